// The HTTP upload against a recording fake of the internet seam: the exact calls,
// their arguments and blocks, where the connection goes for each kind of URL, the
// progress display, and every failure path.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.h"
#include "tests/webcopy/HttpTestKit.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Format.h"

using namespace nolt;
using namespace nolt::test;

namespace {

class HttpUploadFake : public ::testing::Test {
 protected:
  void SetUp() override {
    wc.ShowDialog = false;
    events.Attach(wc);
  }

  TWebCopyItem& AddItem(const std::string& url, const std::string& file, std::size_t size,
                        TWebCopyHTTPCommand command = hcPut) {
    WriteFile(dir.File(file), std::string(size, 'u'));
    TWebCopyItem& item = wc.Items.Add();
    item.Protocol = wpHttpUpload;
    item.HTTPCommand = command;
    item.URL = url;
    item.TargetDir = dir.Dir();
    item.TargetFilename = file;
    return item;
  }
  // The calls between the internet handle's opening and closing.
  std::vector<std::string> UploadCalls() const {
    return std::vector<std::string>(net.calls.begin() + 1, net.calls.end() - 1);
  }

  FakeInternet net;
  FakeClock clock;
  CountingUi ui;
  plat::ScopedSeam<plat::Internet> netSeam{net};
  plat::ScopedSeam<plat::Clock> clockSeam{clock};
  plat::ScopedSeam<plat::Ui> uiSeam{ui};
  TempDir dir;
  TestWebCopy wc;
  EventLog events;
};

TEST_F(HttpUploadFake, SendsTwoFullBlocksAndAnEmptyOneFor8192Bytes) {
  TWebCopyItem& item = AddItem("http://host/dir/up.bin", "up.bin", 8192);
  std::vector<std::string> lines;
  std::vector<int> bar;
  wc.OnCopyProgress = [&](TObject*, int fileidx, std::uint32_t size, std::uint32_t total) {
    events.progress.push_back(std::to_string(fileidx) + ":" + std::to_string(size) + "/" + std::to_string(total));
    lines.push_back(wc.Dialog()->Model().Find("ProgressLine")->text);
    bar.push_back(wc.Dialog()->ProgressPosition());
  };
  wc.Execute();

  EXPECT_EQ(UploadCalls(), (std::vector<std::string>{
                               "InternetSetOptionA 2 30000", "InternetSetOptionA 6 30000",
                               "InternetSetOptionA 5 30000", "InternetConnectA session host 80 '' '' 3 0x0 0",
                               "HttpOpenRequestA connection PUT /dir/up.bin '' '' null 0x04200000 0",
                               "HttpSendRequestExA upload size 40 total 8192 header '' 0x8 0",
                               "InternetWriteFile 4096", "InternetWriteFile 4096", "InternetWriteFile 0",
                               "HttpEndRequestA upload 0 0", "HttpQueryInfoA 0x20000013 len 4 index 0",
                               "InternetCloseHandle upload",
                               "InternetCloseHandle connection"}));
  EXPECT_TRUE(item.Success);
  EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
  EXPECT_EQ(events.progress, (std::vector<std::string>{"1:4096/8192", "1:8192/8192", "1:8192/8192"}));
  // The empty block's write reported no bytes: the bar stays, the line shows the count alone.
  EXPECT_EQ(bar, (std::vector<int>{50, 100, 100}));
  const std::string half = FormatSize(4096), whole = FormatSize(8192);
  EXPECT_EQ(lines, (std::vector<std::string>{"Progress : " + half + " of " + whole,
                                             "Progress : " + whole + " of " + whole, "Progress : " + whole}));
  EXPECT_FALSE(item.NoNewFile);
  EXPECT_TRUE(wc.LastTargetFile.empty());
}

TEST_F(HttpUploadFake, ConnectsToThePortAndSchemeTheUrlNames) {
  struct Case {
    const char* url;
    const char* connect;  // server and port
    const char* object;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {"http://host/up.bin", "host 80", "/up.bin", 0x04200000},
      {"http://host:8080/a/up.bin?x=1", "host 8080", "/a/up.bin?x=1", 0x04200000},
      {"https://host/up.bin", "host 443", "/up.bin", 0x04A00000},
      {"HTTPS://host:8443/up.bin", "host 8443", "/up.bin", 0x04A00000},
      {"http://user:pw@host:81/up.bin", "host 81", "/up.bin", 0x04200000},
      {"http://[::1]:99/up.bin", "::1 99", "/up.bin", 0x04200000},
      // Without a path the object is the root.
      {"http://host", "host 80", "/", 0x04200000},
      {"http://host:8080", "host 8080", "/", 0x04200000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    net.calls.clear();
    wc.Items.Clear();
    AddItem(c.url, "up.bin", 10);
    wc.Execute();
    // After InternetOpenA and the three time limits.
    ASSERT_GE(net.calls.size(), 6u);
    EXPECT_EQ(net.calls[4], std::string("InternetConnectA session ") + c.connect + " '' '' 3 0x0 0");
    char open[160];
    std::snprintf(open, sizeof open, "HttpOpenRequestA connection PUT %s '' '' null 0x%08X 0", c.object, c.flags);
    EXPECT_EQ(net.calls[5], open);
    EXPECT_TRUE(wc.Items[0].Success);
  }
}

TEST_F(HttpUploadFake, FailuresAreReportedAndCountedByTheBytesThatWentOut) {
  struct Case {
    const char* name;
    FakeInternet::UploadScript script;
    const char* url;
    bool success;
    std::string events;
    int writes;  // InternetWriteFile calls made
  };
  using Script = FakeInternet::UploadScript;
  const Case cases[] = {
      {"connection refused at the start", Script{.sendError = 12029}, "http://host/a", false,
       "Error 12029\nErrorInfo 12029 text of 12029\n", 0},
      {"no connection", Script{.connectFails = true}, "http://host:81/a", false,
       "Error 6\nErrorInfo 6 Cannot connect to server host:81\n", 0},
      {"no request", Script{.openFails = true}, "http://host/a", false,
       "Error 6\nErrorInfo 6 Cannot connect to server host\n", 0},
      {"a port that is no number", Script{}, "http://host:99999/a", false,
       "Error 6\nErrorInfo 6 Cannot connect to server host:99999\n", 0},
      // The request is still ended after a failed write; the item reports one error.
      {"a failed write", Script{.failWrite = 2, .endError = 12030}, "http://host/a", false,
       "Error 12031\nErrorInfo 12031 text of 12031\n", 2},
      {"a request that cannot be ended", Script{.endError = 12152}, "http://host/a", false,
       "Error 12152\nErrorInfo 12152 text of 12152\n", 3},
      // A redirect is not followed: the file was not stored where it was sent.
      {"a redirect", Script{.status = 307, .location = "http://other/b"}, "http://host/a", false,
       "Error 307\nErrorInfo 307 The server redirected the upload (http status 307) to http://other/b; it was not "
       "sent again\n", 3},
      {"a redirect without a location", Script{.status = 302}, "http://host/a", false,
       "Error 302\nErrorInfo 302 The server redirected the upload (http status 302) to no location; it was not sent "
       "again\n", 3},
      // Any other answer counts by the bytes that went out.
      {"an error status", Script{.status = 500}, "http://host/a", true, "", 3},
      // Neither line breaks in the URL nor in the path reach the seam.
      {"a line break in the URL", Script{}, "http://host/a\r\nX-Evil: 1", false,
       "Error 12005\nErrorInfo 12005 text of 12005\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net.calls.clear();
    net.uploadScript = c.script;
    wc.Items.Clear();
    events.lines.clear();
    AddItem(c.url, "a", 8192);
    wc.Execute();
    EXPECT_EQ(wc.Items[0].Success, c.success);
    EXPECT_EQ(events.Text(), "FileStart 0\n" + c.events + "FileDone 0\nCopyDone\n");
    EXPECT_EQ(net.Count("InternetWriteFile"), c.writes);
    EXPECT_EQ(net.openUploadHandles, 0);
  }
}

TEST_F(HttpUploadFake, AMissingLocalFileOpensNoConnectionAndReportsNothing) {
  TWebCopyItem& item = AddItem("http://host/a", "a", 10);
  item.TargetFilename = "missing";
  TWebCopyItem& folder = AddItem("http://host/b", "b", 10);
  folder.TargetFilename = "";  // the URL's last segment: "b", a file
  folder.URL = "http://host/";  // the last segment is empty: the folder itself
  wc.Execute();
  EXPECT_EQ(net.calls, (std::vector<std::string>{"InternetOpenA", "InternetSetOptionA 2 30000", "InternetSetOptionA 6 30000",
                                                "InternetSetOptionA 5 30000", "InternetCloseHandle session"}));
  EXPECT_FALSE(item.Success);
  EXPECT_FALSE(folder.Success);
  EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nFileStart 1\nFileDone 1\nCopyDone\n");
}

TEST_F(HttpUploadFake, AFailedLocalReadEndsTheRunAndClosesTheHandles) {
  // The system's files, failing every read after the first.
  class FailingReads : public ForwardingFiles {
   public:
    int reads = 0;
    bool ReadFile(plat::FileHandle h, void* b, std::uint32_t n, std::uint32_t* r) override {
      if (++reads > 1) {
        *r = 0;
        real.SetLastError(plat::kErrorAccessDenied);
        return false;
      }
      return real.ReadFile(h, b, n, r);
    }
  } files;
  plat::ScopedSeam<plat::Files> seam(files);
  AddItem("http://host/a", "a", 600000);  // more than one read ahead
  try {
    wc.Execute();
    ADD_FAILURE() << "no error raised";
  } catch (const plat::EInOutError& e) {
    EXPECT_EQ(e.Code(), plat::kErrorAccessDenied);
  }
  EXPECT_GT(net.Count("InternetWriteFile"), 0);
  EXPECT_EQ(net.openUploadHandles, 0);
}

TEST_F(HttpUploadFake, AFileOf4GiBOrMoreCannotBeAnnounced) {
  TWebCopyItem& item = AddItem("http://host/big", "big", 0);
  std::filesystem::resize_file(dir.path() / "big", 0x100000000ull);  // sparse
  EXPECT_THROW(wc.Execute(), plat::EInOutError);
  EXPECT_EQ(net.Count("HttpSendRequestExA"), 0);
  EXPECT_EQ(net.Count("InternetCloseHandle upload"), 1);
  EXPECT_FALSE(item.Success);
}

}  // namespace
