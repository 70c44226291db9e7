// The HTTP download end to end: a TWebCopy run against the HTTP test server on
// loopback, through the system's internet seam (libcurl on Linux, WinINet under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "tests/webcopy/HttpTestKit.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSupport.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"

using namespace nolt;
using namespace nolt::test;

namespace {

constexpr TDateTime kJan1st2000Noon = 36526.5;

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
  return s;
}

class HttpDownload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpServer();
    server_->AddFile("a.cab", Pattern(100000));
    server_->AddFile("big.cab", Pattern(3 * 1024 * 1024));
    server_->AddFile("empty.cab", "");
    server_->AddFile("secret.cab", "the secret");
    server_->SetRule("/secret.cab", "auth", "user:pass");
    server_->SetRule("/dated.cab", "body", "dated");
    server_->SetRule("/dated.cab", "lastmod", "Sat, 01 Jan 2000 12:00:00 GMT");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearLog();
    wc.ShowDialog = false;
    events.Attach(wc);
  }

  TWebCopyItem& AddItem(const std::string& path) {
    TWebCopyItem& item = wc.Items.Add();
    item.URL = server_->Url(path);
    item.TargetDir = dir.Dir();
    return item;
  }
  std::string Target(const std::string& name) const { return dir.File(name); }

  static HttpServer* server_;
  TempDir dir;
  TestWebCopy wc;
  EventLog events;
};

HttpServer* HttpDownload::server_ = nullptr;

TEST_F(HttpDownload, FetchesTheFileWithItsEvents) {
  TWebCopyItem& item = AddItem("/a.cab");
  wc.Execute();
  EXPECT_TRUE(item.Success) << events.Text();
  EXPECT_EQ(ReadFile(Target("a.cab")), Pattern(100000));
  EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
  // Blocks of at most 4096 bytes, as they arrive (25 when the body is there in
  // time), then the closing read of 0 bytes.
  ASSERT_GE(events.progress.size(), 26u);
  std::uint32_t previous = 0;
  for (const std::string& p : events.progress) {
    const std::uint32_t done = static_cast<std::uint32_t>(std::stoul(p.substr(2, p.find('/') - 2)));
    EXPECT_LE(done - previous, 4096u) << p;
    EXPECT_EQ(p.substr(p.find('/')), "/100000");
    previous = done;
  }
  EXPECT_EQ(events.progress[events.progress.size() - 2], "1:100000/100000");
  EXPECT_EQ(events.progress.back(), "1:100000/100000");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.cab"});

  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, "/a.cab");
  EXPECT_EQ(log[0].HeaderCount("Authorization"), 0);
}

TEST_F(HttpDownload, MissingFilesAndHostsAreReported) {
  AddItem("/missing.cab");
  TWebCopyItem& gone = wc.Items.Add();
  gone.URL = "http://nolt-test.invalid/a.cab";
  gone.TargetDir = dir.Dir();
  wc.Execute();
  EXPECT_EQ(events.Text(),
            "FileStart 0\nError 404\nErrorInfo 404 Returned http error code 404\nFileDone 0\n"
            "FileStart 1\nURLNotFound http://nolt-test.invalid/a.cab\nFileDone 1\nCopyDone\n");
  EXPECT_TRUE(ListDir(dir.path()).empty());
}

TEST_F(HttpDownload, Status401WithoutPromptingIsAnError) {
  TWebCopyItem& item = AddItem("/secret.cab");
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_TRUE(events.Has("Error 401"));
  EXPECT_TRUE(events.Has("ErrorInfo 401 Returned http error code 401"));
  EXPECT_TRUE(wc.captions.empty());
  EXPECT_FALSE(FileExists(Target("secret.cab")));
}

TEST_F(HttpDownload, AutoAuthenticationPromptsAfter401AndRetries) {
  TWebCopyItem& item = AddItem("/secret.cab");
  item.Authenticate = waAuto;
  wc.answers = {std::make_pair("user", "wrong"), std::make_pair("user", "pass")};
  wc.Execute();
  EXPECT_TRUE(item.Success) << events.Text();
  EXPECT_EQ(ReadFile(Target("secret.cab")), "the secret");
  EXPECT_EQ(wc.captions, std::vector<std::string>(2, "Connect to " + server_->HostPort()));

  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].HeaderCount("Authorization"), 0);
  EXPECT_EQ(log[1].Header("Authorization"), "Basic dXNlcjp3cm9uZw==");
  EXPECT_EQ(log[2].HeaderCount("Authorization"), 1);
  EXPECT_EQ(log[2].Header("Authorization"), "Basic dXNlcjpwYXNz");
}

TEST_F(HttpDownload, AlwaysAuthenticationSendsTheHeaderOnTheFirstRequest) {
  TWebCopyItem& item = AddItem("/secret.cab");
  item.Authenticate = waAlways;
  item.HTTPUserID = "user";
  item.HTTPPassword = "pass";
  wc.Execute();
  EXPECT_TRUE(item.Success) << events.Text();
  EXPECT_TRUE(wc.captions.empty());
  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Header("Authorization"), "Basic dXNlcjpwYXNz");
  // The header's closing CR LF CR LF ends the header block; nothing else is added.
  for (const auto& [name, value] : log[0].headers) EXPECT_FALSE(name.empty()) << value;
}

TEST_F(HttpDownload, NewerOnlyWithAnEqualDateDownloadsNothing) {
  TWebCopyItem& item = AddItem("/dated.cab");
  item.CopyNewerOnly = true;
  item.FileDate = kJan1st2000Noon;
  std::vector<std::string> noNew;
  wc.OnNoNewFileFound = [&](TObject*, const std::string& f, TDateTime cur, TDateTime now) {
    noNew.push_back(f);
    EXPECT_DOUBLE_EQ(cur, kJan1st2000Noon);
    EXPECT_DOUBLE_EQ(now, kJan1st2000Noon);
  };
  wc.Execute();
  EXPECT_EQ(noNew, std::vector<std::string>{"dated.cab"});
  EXPECT_TRUE(item.NoNewFile);
  EXPECT_FALSE(item.Success);
  EXPECT_DOUBLE_EQ(item.NewDate, kJan1st2000Noon);
  EXPECT_TRUE(ListDir(dir.path()).empty());

  item.FileDate = kJan1st2000Noon - 1;
  wc.Execute();
  EXPECT_TRUE(item.Success);
  EXPECT_FALSE(item.NoNewFile);
  EXPECT_EQ(ReadFile(Target("dated.cab")), "dated");
}

TEST_F(HttpDownload, AMissingTargetDirIsCreatedWithItsParents) {
  TWebCopyItem& item = AddItem("/a.cab");
  item.TargetDir = JoinPath(JoinPath(dir.Dir() + "one", "two"), "three");
  wc.Execute();
  EXPECT_TRUE(item.Success) << events.Text();
  EXPECT_EQ(ReadFile(JoinPath(item.TargetDir, "a.cab")), Pattern(100000));
}

TEST_F(HttpDownload, AnEmptyBodyGivesAnEmptyFileAndFalse) {
  TWebCopyItem& item = AddItem("/empty.cab");
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_TRUE(FileExists(Target("empty.cab")));
  EXPECT_EQ(ReadFile(Target("empty.cab")), "");
  EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
}

TEST_F(HttpDownload, ADroppedConnectionLeavesThePreviousFile) {
  WriteFile(Target("a.cab"), "previous");
  TWebCopyItem& item = AddItem("/a.cab?drop=50000");
  item.TargetFilename = "a.cab";
  int code = -1;
  std::string text = "unset";
  wc.OnErrorInfo = [&](TObject*, int c, const std::string& t) {
    code = c;
    text = t;
  };
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_EQ(ReadFile(Target("a.cab")), "previous");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.cab"});
  EXPECT_TRUE(events.Has("Error " + std::to_string(code)));
  EXPECT_EQ(text, FailureText(static_cast<std::uint32_t>(code)));
#ifndef _WIN32
  EXPECT_EQ(code, 12030);  // ERROR_INTERNET_CONNECTION_ABORTED
#else
  EXPECT_NE(code, 0);
#endif
}

TEST_F(HttpDownload, CancelMidBodyLeavesThePreviousFileAndNoTemporaryFile) {
  WriteFile(Target("big.cab"), "previous");
  TWebCopyItem& item = AddItem("/big.cab");
  wc.OnCopyProgress = [&](TObject*, int, std::uint32_t size, std::uint32_t) {
    if (size >= 3 * 4096 && !wc.Cancelled) wc.Dialog()->CancelClick();
  };
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_EQ(events.Text(), "FileStart 0\nCopyDone\n");
  EXPECT_EQ(ReadFile(Target("big.cab")), "previous");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"big.cab"});
}

TEST_F(HttpDownload, AnExistingFileIsReplacedWhole) {
  WriteFile(Target("big.cab"), std::string(5 * 1024 * 1024, 'o'));
  TWebCopyItem& item = AddItem("/big.cab");
  wc.Execute();
  EXPECT_TRUE(item.Success);
  EXPECT_EQ(ReadFile(Target("big.cab")), Pattern(3 * 1024 * 1024));
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"big.cab"});
}

// An interrupted download is continued from where it stopped only when the server
// confirms the file is the same; otherwise, or when it cannot give the rest, the
// whole file comes again. Nothing but the target is left once it has arrived.
TEST_F(HttpDownload, AnInterruptedDownloadIsContinuedOnlyWhenTheServerConfirmsTheFile) {
  const std::string dateA = "Sat, 01 Jan 2000 12:00:00 GMT";
  const std::string dateB = "Sun, 02 Jan 2000 12:00:00 GMT";
  const std::string old = Pattern(100000);
  const std::string changed = std::string(100000, 'n');
  const std::string shrunk = Pattern(20000);
  struct Case {
    std::string name;
    std::map<std::string, std::string> rules;  // on both requests
    bool cancel;                 // the first download is cancelled instead of dropped
    const std::string* second;   // what the server holds for the second download
    std::string secondDate;      // its date, when it changed
    std::string ifRange;         // the validator the second request names; "" for no range
    int requests;                // of the second download
  } cases[] = {
      {"etag", {{"etag", "\"v1\""}, {"lastmod", dateA}}, false, &old, "", "\"v1\"", 1},
      {"date", {{"lastmod", dateA}}, false, &old, "", dateA, 1},
      {"weak", {{"etag", "W/\"w1\""}, {"lastmod", dateA}}, false, &old, "", dateA, 1},
      {"cancelled", {{"lastmod", dateA}}, true, &old, "", dateA, 1},
      {"changed", {{"lastmod", dateA}}, false, &changed, dateB, dateA, 1},
      {"noranges", {{"lastmod", dateA}, {"ranges", "none"}}, false, &old, "", dateA, 1},
      {"novalidator", {{"lastmod", "omit"}}, false, &old, "", "", 1},
      {"shrunk", {{"lastmod", dateA}}, false, &shrunk, "", dateA, 2},
  };
  wc.ResumeDownloads = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = c.name + ".cab";
    const std::string path = "/" + file;
    server_->AddFile(file, old);
    server_->ClearRules(path);
    for (const auto& [k, v] : c.rules) server_->SetRule(path, k, v);
    if (!c.cancel) server_->SetRule(path, "drop", "30000");
    wc.Items.Clear();
    TWebCopyItem& first = AddItem(path);
    wc.OnCopyProgress = [&](TObject*, int, std::uint32_t size, std::uint32_t) {
      if (c.cancel && size >= 3 * 4096 && !wc.Cancelled) wc.Dialog()->CancelClick();
    };
    wc.Execute();
    EXPECT_FALSE(first.Success);
    EXPECT_FALSE(FileExists(Target(file)));
    const std::string kept = Target(file + ".partial");
    EXPECT_EQ(FileExists(kept), !c.ifRange.empty());
    const std::string keptBytes = FileExists(kept) ? ReadFile(kept) : "";
    EXPECT_EQ(keptBytes, old.substr(0, keptBytes.size()));

    server_->ClearRules(path);
    for (const auto& [k, v] : c.rules) server_->SetRule(path, k, v);
    server_->AddFile(file, *c.second);
    if (!c.secondDate.empty()) server_->SetRule(path, "lastmod", c.secondDate);
    server_->ClearLog();
    wc.OnCopyProgress = nullptr;
    wc.Items.Clear();
    TWebCopyItem& second = AddItem(path);
    wc.Execute();
    EXPECT_TRUE(second.Success);
    EXPECT_EQ(ReadFile(Target(file)), *c.second);
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{file});
    ListDir(dir.path());
    for (const std::string& n : ListDir(dir.path())) std::filesystem::remove(dir.path() / n);

    auto log = server_->Requests();
    ASSERT_EQ(log.size(), static_cast<std::size_t>(c.requests));
    EXPECT_EQ(log[0].Header("If-Range"), c.ifRange);
    EXPECT_EQ(log[0].Header("Range"), c.ifRange.empty() ? "" : "bytes=" + std::to_string(keptBytes.size()) + "-");
    EXPECT_EQ(log.back().HeaderCount("Range"), c.requests == 2 ? 0 : log[0].HeaderCount("Range"));
  }
}

// A server that never answers, stops in the middle of the body or trickles ends the
// item with a timeout within its limit, and the run goes on with the next item.
TEST_F(HttpDownload, StalledAndCrawlingServersEndTheItemAndTheRunGoesOn) {
  wc.Limits.connectMs = 5000;
  wc.Limits.receiveMs = 1500;
  wc.Limits.rateWindowMs = 2000;
  const std::pair<std::string, std::string> stalls[] = {{"hang", "1"}, {"stall", "20000"}, {"trickle", "0.2"}};
  for (const auto& [option, value] : stalls) {
    SCOPED_TRACE(option);
    const std::string path = "/" + option + ".cab";
    server_->AddFile(option + ".cab", Pattern(100000));
    server_->SetRule(path, option, value);
    wc.Items.Clear();
    events.lines.clear();
    TWebCopyItem& bad = AddItem(path);
    TWebCopyItem& good = AddItem("/a.cab");
    std::vector<std::chrono::steady_clock::time_point> starts;
    wc.OnFileStart = [&](TObject*, int) { starts.push_back(std::chrono::steady_clock::now()); };
    wc.Execute();
    EXPECT_FALSE(bad.Success);
    EXPECT_TRUE(events.Has("Error 12002")) << events.Text();
    EXPECT_TRUE(events.Has("ErrorInfo 12002 " + FailureText(12002))) << events.Text();
    EXPECT_TRUE(good.Success);
    ASSERT_EQ(starts.size(), 2u);
    const double seconds = std::chrono::duration<double>(starts[1] - starts[0]).count();
    EXPECT_LT(seconds, 2.0 + 10) << "the item waited far beyond its limit";
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.cab"});
  }
}

}  // namespace
