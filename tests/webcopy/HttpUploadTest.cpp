// The HTTP upload end to end: a TWebCopy run against the HTTP test server on
// loopback, through the system's internet seam (libcurl on Linux, WinINet under
// Wine): what the server receives, the bar, a cancel, a server that hangs up, and a
// local file that changes size while it is sent.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/ForwardingFiles.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSupport.h"
#include "tests/webcopy/HttpTestKit.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"

using namespace nolt;
using namespace nolt::test;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 17 + i / 311) & 0xFF);
  return s;
}

// The system's files, reporting for the next file measured a size that differs
// from the real one by delta: as if the file had grown or shrunk after it was
// measured.
class ChangingSize : public ForwardingFiles {
 public:
  std::int64_t delta = 0;
  bool GetFileSize(plat::FileHandle h, std::uint64_t* size) override {
    if (!real.GetFileSize(h, size)) return false;
    *size = static_cast<std::uint64_t>(static_cast<std::int64_t>(*size) + delta);
    delta = 0;
    return true;
  }
};

class HttpUpload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new HttpServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearLog();
    wc.ShowDialog = false;
    events.Attach(wc);
    // Every error passes through OnError and OnErrorInfo with the same code and its text.
    wc.OnErrorInfo = [this](TObject*, int code, const std::string& text) {
      events.Add("ErrorInfo " + std::to_string(code));
      EXPECT_EQ(text, FailureText(static_cast<std::uint32_t>(code)));
      EXPECT_FALSE(text.empty());
      errorCode = code;
    };
    wc.OnCopyProgress = [this](TObject*, int, std::uint32_t, std::uint32_t) {
      const int position = wc.Dialog()->ProgressPosition();
      EXPECT_LE(position, 100);
      lastPosition = position;
    };
  }

  TWebCopyItem& AddItem(const std::string& target, const std::string& body,
                        TWebCopyHTTPCommand command = hcPut) {
    const std::string name = "local" + std::to_string(wc.Items.Count()) + ".bin";
    WriteFile(dir.File(name), body);
    TWebCopyItem& item = wc.Items.Add();
    item.Protocol = wpHttpUpload;
    item.HTTPCommand = command;
    item.URL = server_->Url(target);
    item.TargetDir = dir.Dir();
    item.TargetFilename = name;
    return item;
  }

  static HttpServer* server_;
  TempDir dir;
  TestWebCopy wc;
  EventLog events;
  int errorCode = 0;
  int lastPosition = -1;
};

HttpServer* HttpUpload::server_ = nullptr;

TEST_F(HttpUpload, TheServerReceivesTheExactBytesAndTrueWhateverItAnswers) {
  struct Case {
    const char* target;
    TWebCopyHTTPCommand command;
    std::size_t size;
    const char* stored;  // where the server keeps the body; null when it answers an error
  };
  const Case cases[] = {
      {"/in/put.bin", hcPut, 300000, "in/put.bin"},
      {"/in/post.bin", hcPost, 8192, "in/post.bin"},
      {"/in/empty.bin", hcPut, 0, "in/empty.bin"},
      {"/in/e404.bin?status=404", hcPut, 10000, nullptr},
      {"/in/e500.bin?status=500", hcPost, 10000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    server_->ClearLog();
    wc.Items.Clear();
    events.lines.clear();
    lastPosition = -1;
    const std::string body = Pattern(c.size);
    TWebCopyItem& item = AddItem(c.target, body, c.command);
    wc.Execute();
    EXPECT_TRUE(item.Success);
    EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
    // The bar reaches 100 with the last block; an empty file never moves it.
    EXPECT_EQ(lastPosition, c.size ? 100 : 0);

    auto log = server_->Requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, c.command == hcPut ? "PUT" : "POST");
    EXPECT_EQ(log[0].target, c.target);
    EXPECT_EQ(log[0].Header("Content-Length"), std::to_string(c.size));
    EXPECT_EQ(log[0].bodyLength, static_cast<long long>(c.size));
    EXPECT_EQ(log[0].HeaderCount("Authorization"), 0);
    if (c.stored) {
      EXPECT_EQ(ReadFile(server_->LocalPath(c.stored)), body);
    }
  }
}

TEST_F(HttpUpload, AMissingLocalFileSendsNothing) {
  TWebCopyItem& item = AddItem("/in/missing.bin", "");
  item.TargetFilename = "missing.bin";
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
  EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(HttpUpload, ACancelInTheMiddleEndsTheRequestAndGivesFalse) {
  const std::size_t size = 8 * 1024 * 1024;
  TWebCopyItem& item = AddItem("/in/cancelled.bin", Pattern(size));
  wc.OnCopyProgress = [&](TObject*, int, std::uint32_t sent, std::uint32_t) {
    if (sent == 3 * 4096) wc.Dialog()->CancelClick();
  };
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_EQ(events.Text(), "FileStart 0\nCopyDone\n");
  // The server logs the request once it sees the connection end.
  auto log = server_->Requests();
  for (int i = 0; i < 200 && log.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = server_->Requests();
  }
  ASSERT_EQ(log.size(), 1u);
  EXPECT_LT(log[0].bodyLength, static_cast<long long>(size));
  EXPECT_FALSE(FileExists(server_->LocalPath("in/cancelled.bin")));
}

TEST_F(HttpUpload, AServerThatHangsUpGivesFalseWithTheError) {
  // Early in a large body, and after a whole small body without an answer.
  const std::pair<const char*, std::size_t> cases[] = {{"/in/gone.bin?hangup=100000", 16 * 1024 * 1024},
                                                       {"/in/mute.bin?hangup=999999", 10000}};
  for (const auto& [target, size] : cases) {
    SCOPED_TRACE(target);
    wc.Items.Clear();
    events.lines.clear();
    errorCode = 0;
    TWebCopyItem& item = AddItem(target, Pattern(size));
    wc.Execute();
    EXPECT_FALSE(item.Success);
    EXPECT_NE(errorCode, 0);
    EXPECT_TRUE(events.Has("Error " + std::to_string(errorCode))) << events.Text();
    EXPECT_TRUE(events.Has("ErrorInfo " + std::to_string(errorCode))) << events.Text();
  }
}

TEST_F(HttpUpload, AFileThatShrinksOrGrowsWhileSentGivesFalse) {
  ChangingSize files;
  plat::ScopedSeam<plat::Files> seam(files);
  // Measured larger than it is: the body ends short of its length. Measured smaller:
  // a block would run past it.
  for (std::int64_t delta : {std::int64_t{10000}, std::int64_t{-10000}}) {
    SCOPED_TRACE(delta);
    files.delta = delta;
    wc.Items.Clear();
    events.lines.clear();
    errorCode = 0;
    AddItem("/in/changing.bin", Pattern(100000));
    // The next item of the run goes whole to its own place: it takes no connection
    // that still carries the broken body.
    AddItem("/in/after.bin", Pattern(70000));
    wc.Execute();
    EXPECT_FALSE(wc.Items[0].Success);
    EXPECT_NE(errorCode, 0) << events.Text();
    EXPECT_TRUE(wc.Items[1].Success);
    EXPECT_EQ(ReadFile(server_->LocalPath("in/after.bin")), Pattern(70000));
  }
}

}  // namespace
