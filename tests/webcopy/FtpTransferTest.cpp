// FTP downloads and uploads end to end: TWebCopy runs against the FTP test server on
// loopback, through the system's internet seam (libcurl on Linux, WinINet under
// Wine). The server's log tells how often the items logged on and changed directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "core/DateTime.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TestSupport.h"
#include "tests/webcopy/HttpTestKit.h"

using namespace nolt;
using namespace nolt::test;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 29 + i / 311) & 0xFF);
  return s;
}

// The system's internet seam, with the sizes of the FTP writes recorded.
class RecordingInternet : public plat::Internet {
 public:
  std::vector<std::uint32_t> writes;

  plat::HInternet InternetOpenA(const std::string& a, std::uint32_t t, const std::string& p, const std::string& b,
                                std::uint32_t f) override {
    return sys().InternetOpenA(a, t, p, b, f);
  }
  bool InternetCloseHandle(plat::HInternet h) override { return sys().InternetCloseHandle(h); }
  plat::HInternet InternetOpenUrlA(plat::HInternet i, const std::string& u, const char* h, std::uint32_t l,
                                   std::uint32_t f, std::uintptr_t c) override {
    return sys().InternetOpenUrlA(i, u, h, l, f, c);
  }
  bool HttpQueryInfoA(plat::HInternet r, std::uint32_t l, void* b, std::uint32_t* n, std::uint32_t* i) override {
    return sys().HttpQueryInfoA(r, l, b, n, i);
  }
  bool InternetReadFile(plat::HInternet h, void* b, std::uint32_t n, std::uint32_t* r) override {
    return sys().InternetReadFile(h, b, n, r);
  }
  bool InternetQueryDataAvailable(plat::HInternet h, std::uint32_t* a, std::uint32_t f, std::uintptr_t c) override {
    return sys().InternetQueryDataAvailable(h, a, f, c);
  }
  bool InternetSetOptionA(plat::HInternet h, std::uint32_t o, const void* b, std::uint32_t l) override {
    return sys().InternetSetOptionA(h, o, b, l);
  }
  plat::HInternet InternetConnectA(plat::HInternet i, const std::string& s, std::uint16_t p, const std::string& u,
                                   const std::string& w, std::uint32_t v, std::uint32_t f, std::uintptr_t c) override {
    return sys().InternetConnectA(i, s, p, u, w, v, f, c);
  }
  plat::HInternet HttpOpenRequestA(plat::HInternet c, const std::string& v, const std::string& o, const std::string& r,
                                   const std::string& f, const char* const* a, std::uint32_t g,
                                   std::uintptr_t x) override {
    return sys().HttpOpenRequestA(c, v, o, r, f, a, g, x);
  }
  bool HttpSendRequestExA(plat::HInternet r, const plat::InternetBuffers* b, std::uint32_t f,
                          std::uintptr_t c) override {
    return sys().HttpSendRequestExA(r, b, f, c);
  }
  bool InternetWriteFile(plat::HInternet h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    writes.push_back(n);
    return sys().InternetWriteFile(h, b, n, w);
  }
  bool HttpEndRequestA(plat::HInternet r, std::uint32_t f, std::uintptr_t c) override {
    return sys().HttpEndRequestA(r, f, c);
  }
  bool FtpSetCurrentDirectoryA(plat::HInternet c, const std::string& d) override {
    return sys().FtpSetCurrentDirectoryA(c, d);
  }
  bool FtpCreateDirectoryA(plat::HInternet c, const std::string& d) override { return sys().FtpCreateDirectoryA(c, d); }
  plat::HInternet FtpFindFirstFileA(plat::HInternet c, const std::string& n, plat::FtpFindData* d, std::uint32_t f,
                                    std::uintptr_t x) override {
    return sys().FtpFindFirstFileA(c, n, d, f, x);
  }
  plat::HInternet FtpOpenFileA(plat::HInternet c, const std::string& n, std::uint32_t a, std::uint32_t f,
                               std::uintptr_t x) override {
    return sys().FtpOpenFileA(c, n, a, f, x);
  }
  bool InternetGetLastResponseInfoA(std::string* reply) override { return sys().InternetGetLastResponseInfoA(reply); }
  std::uint32_t GetLastError() override { return sys().GetLastError(); }
  std::string FormatMessageText(std::uint32_t code) override { return sys().FormatMessageText(code); }

 private:
  static plat::Internet& sys() { return plat::SystemInstance<plat::Internet>(); }
};

class FtpTransfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new FtpServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearRules();
    server_->ClearLog();
    wc.ShowDialog = false;
    wc.FTPPassive = true;
    events.Attach(wc);
  }

  TWebCopyItem& Add(TWebCopyProtocol protocol, const std::string& url, bool account = true) {
    TWebCopyItem& item = wc.Items.Add();
    item.Protocol = protocol;
    item.URL = url;
    item.TargetDir = dir.Dir();
    item.FTPHost = "127.0.0.1";
    item.FTPPort = server_->Port();
    if (account) {
      item.FTPUserID = FtpServer::User();
      item.FTPPassword = FtpServer::Password();
    }
    return item;
  }
  TWebCopyItem& Upload(const std::string& local, const std::string& remoteDir) {
    TWebCopyItem& item = Add(wpFtpUpload, local);
    item.TargetDir = remoteDir;
    return item;
  }
  bool Disconnected() const {
    return server_->WaitForLog([](const std::vector<FtpLogRecord>& log) {
      return std::any_of(log.begin(), log.end(), [](const FtpLogRecord& r) { return r.event == "disconnect"; });
    });
  }

  static FtpServer* server_;
  TempDir dir;
  TestWebCopy wc;
  EventLog events;
  RecordingInternet net;
  plat::ScopedSeam<plat::Internet> useNet{net};
};

FtpServer* FtpTransfer::server_ = nullptr;

// Consecutive items of one server and account share one logon; "a.zip" stays where
// the item before left the connection, "/pub/a.zip" changes to "/pub/"; the last
// item of the chain closes the connection.
TEST_F(FtpTransfer, ChainOfDownloadsLogsOnOnceAndFollowsTheDirectory) {
  server_->AddFile("pub/a.bin", Pattern(100000));
  server_->AddFile("pub/b.bin", Pattern(5000));
  TWebCopyItem& first = Add(wpFtp, "/pub/a.bin");
  TWebCopyItem& second = Add(wpFtp, "b.bin");
  wc.Execute();
  EXPECT_TRUE(first.Success && second.Success) << events.Text();
  EXPECT_TRUE(ReadFile(dir.File("a.bin")) == Pattern(100000));
  EXPECT_TRUE(ReadFile(dir.File("b.bin")) == Pattern(5000));
  EXPECT_EQ(server_->Count("USER"), 1);
  EXPECT_EQ(server_->Count("CWD"), 1);
  const auto commands = server_->Commands();
  EXPECT_TRUE(std::find(commands.begin(), commands.end(), "USER nolt") != commands.end());
  EXPECT_TRUE(std::find(commands.begin(), commands.end(), "PASV") != commands.end());
  EXPECT_EQ(events.progress.front(), "1:4096/100000");
  EXPECT_EQ(wc.FtpConnection, nullptr);
  EXPECT_TRUE(Disconnected());
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"a.bin", "b.bin"}));
}

// An account without a password logs on anonymously; active mode; a file that the
// listing does not show arrives of unknown size; a Cancel clicked while connecting is
// forgotten when the transfer starts.
TEST_F(FtpTransfer, AnonymousActiveUnlistedAndAnEarlyCancel) {
  server_->AddFile("hidden.bin", Pattern(9000));
  server_->SetRule("/hidden.bin", "hide", "1");
  wc.FTPPassive = false;
  TWebCopyItem& item = Add(wpFtp, "hidden.bin");
  item.FTPPassword = "";
  wc.OnFileStart = [this](TObject*, int) { wc.Cancelled = true; };
  wc.Execute();
  EXPECT_TRUE(item.Success) << events.Text();
  EXPECT_TRUE(ReadFile(dir.File("hidden.bin")) == Pattern(9000));
  EXPECT_EQ(events.progress.front(), "1:4096/0");
  EXPECT_EQ(events.progress.back(), "1:9000/0");
  const auto commands = server_->Commands();
  EXPECT_TRUE(std::find(commands.begin(), commands.end(), "USER anonymous") != commands.end());
  EXPECT_GE(server_->Count("PORT"), 1);
  EXPECT_EQ(server_->Count("PASV"), 0);
}

TEST_F(FtpTransfer, CopyNewerOnlyWithAnEqualDateFetchesNothing) {
  // A recent whole minute: what a listing tells to the minute.
  const std::time_t when = (std::time(nullptr) - 5 * 86400) / 60 * 60;
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", std::gmtime(&when));
  server_->AddFile("dated.bin", "new");
  server_->SetRule("/dated.bin", "mtime", stamp);
  WriteFile(dir.File("dated.bin"), "old");
  TWebCopyItem& item = Add(wpFtp, "dated.bin");
  item.CopyNewerOnly = true;
  item.FileDate = FileTimeToDateTime((static_cast<std::uint64_t>(when) + 11644473600ull) * 10000000ull);
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_TRUE(item.NoNewFile);
  EXPECT_EQ(server_->Count("RETR"), 0);
  EXPECT_EQ(ReadFile(dir.File("dated.bin")), "old");
  ASSERT_EQ(events.lines.size(), 4u) << events.Text();
  EXPECT_TRUE(events.lines[1].starts_with("NoNewFile dated.bin ")) << events.Text();
}

// Failures: the previous local file stays as it was, no temporary file is left, and
// the item reports what went wrong.
TEST_F(FtpTransfer, FailedDownloadsLeaveThePreviousFile) {
  server_->AddFile("drop.bin", Pattern(200000));
  server_->SetRule("/drop.bin", "drop", "50000");
  WriteFile(dir.File("drop.bin"), "previous");
  TWebCopyItem& dropped = Add(wpFtp, "/drop.bin");
  TWebCopyItem& missing = Add(wpFtp, "/missing.bin");
  wc.Execute();
  EXPECT_FALSE(dropped.Success);
  EXPECT_FALSE(missing.Success);
  EXPECT_EQ(ReadFile(dir.File("drop.bin")), "previous");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"drop.bin"});
  EXPECT_TRUE(events.Has("Error 12030")) << events.Text();
  EXPECT_TRUE(events.Has("URLNotFound /missing.bin")) << events.Text();

  // A cancel in the middle: the previous file stays, the kept connection is closed
  // with the run.
  events.lines.clear();
  wc.Items.Clear();
  server_->AddFile("big.bin", Pattern(3 << 20));
  WriteFile(dir.File("big.bin"), "previous");
  TWebCopyItem& cancelled = Add(wpFtp, "/big.bin");
  Add(wpFtp, "/drop.bin");
  wc.OnCopyProgress = [this](TObject*, int, std::uint32_t done, std::uint32_t) {
    if (done == 3 * 4096) wc.Cancelled = true;
  };
  wc.Execute();
  wc.OnCopyProgress = nullptr;
  EXPECT_FALSE(cancelled.Success);
  EXPECT_EQ(ReadFile(dir.File("big.bin")), "previous");
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"big.bin", "drop.bin"}));
  EXPECT_EQ(wc.FtpConnection, nullptr);
  EXPECT_TRUE(Disconnected());

  server_->SetRule("*", "refuse_logon", "1");
  events.lines.clear();
  wc.Items.Clear();
  Add(wpFtp, "/drop.bin");
  wc.Execute();
  EXPECT_EQ(events.Text(),
            "FileStart 0\nError 6\nErrorInfo 6 Cannot connect to FTP server 127.0.0.1\nFileDone 0\nCopyDone\n");
}

// Uploads: a missing directory is made (one level), and a chain into one directory
// changes to it once; a 4096-byte file goes as one full block and one empty one.
TEST_F(FtpTransfer, UploadsMakeTheDirectoryOnceAndSendEveryBlock) {
  WriteFile(dir.File("x.bin"), Pattern(4096));
  WriteFile(dir.File("y.bin"), Pattern(70001));
  TWebCopyItem& first = Upload(dir.File("x.bin"), "/in");
  TWebCopyItem& second = Upload(dir.File("y.bin"), "/in");
  second.TargetFilename = "renamed.bin";
  wc.Execute();
  EXPECT_TRUE(first.Success && second.Success) << events.Text();
  EXPECT_TRUE(ReadFile(server_->LocalPath("in/x.bin")) == Pattern(4096));
  EXPECT_TRUE(ReadFile(server_->LocalPath("in/renamed.bin")) == Pattern(70001));
  EXPECT_EQ(server_->Count("USER"), 1);
  EXPECT_EQ(server_->Count("MKD"), 1);
  EXPECT_EQ(server_->Count("CWD"), 2);  // the failed change, and the one after MKD
  ASSERT_GE(net.writes.size(), 2u);
  EXPECT_EQ(net.writes[0], 4096u);
  EXPECT_EQ(net.writes[1], 0u);

  // Into the existing directory: one change for the chain of two.
  server_->ClearLog();
  wc.Execute();
  EXPECT_EQ(server_->Count("CWD"), 1);
  EXPECT_EQ(server_->Count("MKD"), 0);
}

TEST_F(FtpTransfer, UploadFailures) {
  WriteFile(dir.File("x.bin"), "x");
  WriteFile(dir.File("big.bin"), Pattern(3 << 20));
  server_->SetRule("/big.bin", "drop", "100000");
  // The server resets the data connection in the middle.
  TWebCopyItem& reset = Upload(dir.File("big.bin"), "/");
  // The parent is missing too: no directory is made, nothing is reported.
  TWebCopyItem& deep = Upload(dir.File("x.bin"), "/no/such");
  // A missing local file is found out before anything is sent: no remote file is emptied.
  server_->AddFile("gone.bin", "kept");
  TWebCopyItem& gone = Upload(dir.File("gone.bin"), "/");
  wc.Execute();
  EXPECT_FALSE(reset.Success);
  EXPECT_FALSE(deep.Success);
  EXPECT_FALSE(gone.Success);
  ASSERT_GE(events.lines.size(), 4u);
  EXPECT_TRUE(events.lines[1].starts_with("Error 120")) << events.Text();
  const std::vector<std::string> rest(events.lines.end() - 7, events.lines.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"FileStart 1", "FileDone 1", "FileStart 2", "Error 1",
                                            "ErrorInfo 1 Cannot open target file " + dir.File("gone.bin"),
                                            "FileDone 2", "CopyDone"}))
      << events.Text();
  EXPECT_EQ(server_->Count("STOR"), 1);
  EXPECT_EQ(ReadFile(server_->LocalPath("gone.bin")), "kept");
}

}  // namespace
