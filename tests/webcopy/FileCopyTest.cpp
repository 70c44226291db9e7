// The file copy over the system's files on both targets: blocks and progress, the
// error codes, the date check, cancel and failures that leave the previous target
// and no temporary file, and the share connection through a recording fake of the
// share seam (Wine has no client for shares; tests/platform/ShareContractTest.cpp
// copies from a real smbd on Linux).
#include <gtest/gtest.h>

#include <filesystem>

#include "core/DateTime.h"
#include "platform/Share.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/TestSupport.h"
#include "tests/webcopy/HttpTestKit.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Format.h"

using namespace nolt;
using namespace nolt::test;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 997) & 0xFF);
  return s;
}

std::vector<std::string> Names(const TempDir& d) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(d.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The system's files, with shares of the fake share seam mapped to a local folder,
// failures scripted for reads and writes, and every open recorded in a shared log.
class ScriptedFiles : public ForwardingFiles {
 public:
  std::vector<std::string>* log = nullptr;
  std::string shareName;   // "\\srv\pub"
  std::string shareLocal;  // the folder it maps to, with its separator
  int failReadAt = -1;     // the read of that number (0 first) fails
  int failWriteAt = -1;    // the write of that number fails
  bool shortWrite = false;  // that write reports one byte less, without failing
  int reads = 0;
  int writes = 0;

  std::string Map(const std::string& p) const {
    if (shareName.empty() || p.rfind(shareName + "\\", 0) != 0) return p;
    std::string rest = p.substr(shareName.size() + 1);
    for (char& c : rest)
      if (c == '\\') c = plat::kPathDelim;
    return shareLocal + rest;
  }
  bool IsRegularFile(const std::string& p) override { return real.IsRegularFile(Map(p)); }
  plat::FileHandle CreateFileWithShareMode(const std::string& p, plat::FileAccess a, std::uint32_t s,
                                           plat::FileCreate c) override {
    if (log) log->push_back("open " + p + " share " + std::to_string(s));
    return real.CreateFileWithShareMode(Map(p), a, s, c);
  }
  bool ReadFile(plat::FileHandle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    if (reads++ == failReadAt) {
      real.SetLastError(plat::kErrorAccessDenied);
      return false;
    }
    return real.ReadFile(h, b, n, r);
  }
  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    if (writes++ == failWriteAt) {
      if (!shortWrite) {
        real.SetLastError(plat::kErrorDiskFull);
        *w = 0;
        return false;
      }
      return real.WriteFile(h, b, n - 1, w);
    }
    return real.WriteFile(h, b, n, w);
  }
};

// A recording fake of the share seam with scripted results.
class FakeShare : public plat::Share {
 public:
  std::vector<std::string>* log = nullptr;
  std::uint32_t connectResult = 0;
  std::uint32_t cancelResult = 0;
  plat::NetResource resource;
  std::string remoteName, localName, provider;
  bool commentNull = false;

  std::uint32_t WNetAddConnection2A(const plat::NetResource& r, const char* password, const char* user,
                                    std::uint32_t flags) override {
    resource = r;
    remoteName = r.lpRemoteName ? r.lpRemoteName : "(null)";
    localName = r.lpLocalName ? r.lpLocalName : "(null)";
    provider = r.lpProvider ? r.lpProvider : "(null)";
    commentNull = r.lpComment == nullptr;
    log->push_back(std::string("connect ") + remoteName + " pw=" + (password ? password : "(null)") +
                   " user=" + (user ? user : "(null)") + " flags=" + std::to_string(flags));
    return connectResult;
  }
  std::uint32_t WNetCancelConnection2A(const std::string& name, std::uint32_t flags, bool force) override {
    log->push_back("cancel " + name + " flags=" + std::to_string(flags) + (force ? " force" : ""));
    return cancelResult;
  }
  std::uint32_t GetLastError() override { return 0; }
  std::string ErrorText(std::uint32_t) override { return {}; }
};

class FileCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    wc.ShowDialog = false;
    events.Attach(wc);
    wc.OnConnectError = [this](TObject*) { events.Add("ConnectError"); };
    files.log = &calls;
    share.log = &calls;
  }

  TWebCopyItem& AddItem(const std::string& source, const std::string& targetName = "") {
    TWebCopyItem& item = wc.Items.Add();
    item.Protocol = wpFile;
    item.URL = source;
    item.TargetDir = out.Dir();
    item.TargetFilename = targetName;
    return item;
  }
  std::string Source(const std::string& name, const std::string& bytes) {
    WriteFile(in.File(name), bytes);
    return in.File(name);
  }

  TempDir in, out;
  TestWebCopy wc;
  EventLog events;
  std::vector<std::string> calls;
  ScriptedFiles files;
  FakeShare share;
  plat::ScopedSeam<plat::Files> filesSeam{files};
  plat::ScopedSeam<plat::Share> shareSeam{share};
};

TEST_F(FileCopy, CopiesEverySizeInBlocksOf16384WithOneEmptyReadAtTheEnd) {
  struct Case {
    std::size_t size;
    int progressEvents;
  };
  const Case cases[] = {{0, 1}, {1, 2}, {16384, 2}, {16385, 3}, {300000, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    wc.Items.Clear();
    events = {};
    events.Attach(wc);
    const std::string body = Pattern(c.size);
    TWebCopyItem& item = AddItem(Source("a.bin", body));
    std::string progressLine, fileLine;
    int bar = -1;
    // The dialog as the item leaves it.
    wc.OnFileDone = [&](TObject*, int) {
      bar = wc.Dialog()->ProgressPosition();
      fileLine = wc.Dialog()->Model().Find("FileLine")->text;
      progressLine = wc.Dialog()->Model().Find("ProgressLine")->text;
    };
    wc.Execute();
    EXPECT_TRUE(item.Success);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"FileStart 0", "CopyDone"}));
    EXPECT_EQ(ReadFile(out.File("a.bin")), body);
    EXPECT_EQ(Names(out), std::vector<std::string>{"a.bin"});
    ASSERT_EQ(events.progress.size(), static_cast<std::size_t>(c.progressEvents));
    // Every event reports the source's size; the last follows the read of 0 bytes.
    const std::string whole = "1:" + std::to_string(c.size) + "/" + std::to_string(c.size);
    EXPECT_EQ(events.progress.back(), whole);
    EXPECT_EQ(events.progress[events.progress.size() - 2 + (c.progressEvents == 1)], whole);
    EXPECT_EQ(bar, 100);
    // The line always names the size, 0 bytes included, and the file's own folder.
    EXPECT_EQ(progressLine, "Progress : " + FormatSize(static_cast<std::int32_t>(c.size)) + " of " +
                                FormatSize(static_cast<std::int32_t>(c.size)));
    std::string folder = in.Dir();
    folder.pop_back();
    EXPECT_EQ(fileLine, "File : a.bin from " + folder);
    EXPECT_EQ(wc.LastTargetFile, out.File("a.bin"));
  }
}

TEST_F(FileCopy, FailuresReportTheirCodeAndLeaveThePreviousTargetAlone) {
  const std::string source = Source("b.bin", Pattern(200000));
  struct Case {
    const char* name;
    std::function<void(TWebCopyItem&)> arrange;
    std::string expected;  // the events
  };
  const std::string target = out.File("b.bin");
  const Case cases[] = {
      {"identical", [&](TWebCopyItem& i) { i.TargetDir = in.Dir(); },
       "Error 0\nErrorInfo 0 Cannot copy identical files " + source + "\n"},
      {"missing source", [&](TWebCopyItem& i) { i.URL = in.File("none.bin"); },
       "Error 1\nErrorInfo 1 Cannot open source file " + in.File("none.bin") + "\n"},
      {"a folder as source", [&](TWebCopyItem& i) { i.URL = out.path().string(); },
       "Error 1\nErrorInfo 1 Cannot open source file " + out.path().string() + "\n"},
      {"read fails", [&](TWebCopyItem&) { files.failReadAt = 1; },
       "Error 4\nErrorInfo 4 Error reading source file " + source + "\n"},
      {"write fails", [&](TWebCopyItem&) { files.failWriteAt = 0; },
       "Error 5\nErrorInfo 5 Error writing to destination file " + target + "\n"},
      {"short write", [&](TWebCopyItem&) { files.failWriteAt = 0, files.shortWrite = true; },
       "Error 5\nErrorInfo 5 Error writing to destination file " + target + "\n"},
      {"overwrite refused",
       [&](TWebCopyItem&) { wc.OnCopyOverWrite = [](TObject*, const std::string&, bool& allow) { allow = false; }; },
       ""},
      {"cancel", [&](TWebCopyItem&) {
         wc.OnCopyProgress = [&](TObject*, int, std::uint32_t done, std::uint32_t) {
           if (done == 2 * 16384) wc.Dialog()->CancelClick();
         };
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wc.Items.Clear();
    wc.OnCopyOverWrite = nullptr;
    files.failReadAt = files.failWriteAt = -1;
    files.shortWrite = false;
    files.reads = files.writes = 0;
    WriteFile(target, "previous");
    TWebCopyItem& item = AddItem(source);
    events.lines.clear();
    events.Attach(wc);
    c.arrange(item);
    wc.Execute();
    EXPECT_FALSE(item.Success);
    std::string expected = "FileStart 0\n" + c.expected + (std::string(c.name) == "cancel" ? "" : "FileDone 0\n");
    EXPECT_EQ(events.Text(), expected + "CopyDone\n");
    EXPECT_EQ(ReadFile(target), "previous");
    EXPECT_EQ(Names(out), std::vector<std::string>{"b.bin"});
  }
}

TEST_F(FileCopy, ASourceHeldWithoutSharingCannotBeOpened) {
  const std::string source = Source("held.bin", "data");
  auto& fs = plat::SystemInstance<plat::Files>();
  const plat::FileHandle held =
      fs.CreateFileWithShareMode(source, plat::FileAccess::Read, plat::kFileShareNone, plat::FileCreate::OpenExisting);
  ASSERT_NE(held, plat::kInvalidFile);
  TWebCopyItem& item = AddItem(source);
  wc.Execute();
  fs.CloseHandle(held);
  EXPECT_FALSE(item.Success);
  EXPECT_TRUE(events.Has("ErrorInfo 1 Cannot open source file " + source)) << events.Text();
  EXPECT_FALSE(FileExists(out.File("held.bin")));
}

// Names that differ only in letter case are not identical texts. Where the file
// system folds case (Windows) they name the source itself, open without sharing:
// the target cannot be created. Elsewhere they are two files, and the copy is made.
TEST_F(FileCopy, ATargetThatDiffersFromTheSourceInCaseOnly) {
  const std::string source = Source("Case.txt", "text");
  const bool folds = std::filesystem::exists(in.File("CASE.TXT"));
  TWebCopyItem& item = AddItem(source, "CASE.TXT");
  item.TargetDir = in.Dir();
  wc.Execute();
  if (folds) {
    EXPECT_FALSE(item.Success);
    EXPECT_TRUE(events.Has("ErrorInfo 3 Cannot create target file " + in.File("CASE.TXT"))) << events.Text();
  } else {
    EXPECT_TRUE(item.Success);
    EXPECT_EQ(ReadFile(in.File("CASE.TXT")), "text");
  }
  EXPECT_EQ(ReadFile(source), "text");
}

TEST_F(FileCopy, TheDateCheckComparesTheSourcesLastWriteTime) {
  const std::string source = Source("d.txt", "dated");
  auto& fs = plat::SystemInstance<plat::Files>();
  std::uint64_t ft = 0;
  const plat::FileHandle h = fs.CreateFileA(source, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  ASSERT_TRUE(fs.GetFileTime(h, &ft));
  fs.CloseHandle(h);
  const TDateTime t = FileTimeToDateTime(ft);

  // The same time: nothing is copied, and OnNoNewFileFound names the source.
  TWebCopyItem& same = AddItem(source);
  same.CopyNewerOnly = true;
  same.FileDate = t;
  wc.Execute();
  EXPECT_FALSE(same.Success);
  EXPECT_TRUE(same.NoNewFile);
  std::ostringstream line;
  line.precision(12);
  line << "NoNewFile " << source << " " << t << " " << t;
  EXPECT_TRUE(events.Has(line.str())) << events.Text();
  EXPECT_FALSE(FileExists(out.File("d.txt")));

  // A handler that refuses leaves FileDate as it was; one that allows sets it.
  for (bool allow : {false, true}) {
    SCOPED_TRACE(allow);
    wc.Items.Clear();
    TWebCopyItem& item = AddItem(source);
    item.FileDate = 1.0;
    wc.OnFileDateCheck = [allow](TObject*, int, TDateTime, bool& a) { a = allow; };
    wc.Execute();
    EXPECT_EQ(item.Success, allow);
    EXPECT_EQ(item.NewDate, allow ? t : 1.0);
    EXPECT_EQ(FileExists(out.File("d.txt")), allow);
  }
}

TEST_F(FileCopy, AShareIsConnectedForTheItemAndDisconnectedAfterIt) {
  WriteFile(in.File("a.txt"), "from the share");
  std::filesystem::create_directory(in.path() / "dir");
  WriteFile((in.path() / "dir" / "a.txt").string(), "below the share");
  files.shareName = "\\\\srv\\pub";
  files.shareLocal = in.Dir();
  TWebCopyItem& item = AddItem("dir\\a.txt");
  item.FTPHost = "\\\\srv\\pub";
  item.FTPUserID = "anna";
  item.FTPPassword = "pw";
  std::string fileLine;
  wc.OnCopyProgress = [&](TObject*, int, std::uint32_t, std::uint32_t) {
    fileLine = wc.Dialog()->Model().Find("FileLine")->text;
  };
  wc.Execute();
  EXPECT_TRUE(item.Success);
  EXPECT_EQ(ReadFile(out.File("a.txt")), "below the share");
  EXPECT_EQ(fileLine, "File : a.txt from \\\\srv\\pub");
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls.front(), "connect \\\\srv\\pub pw=pw user=anna flags=0");
  EXPECT_EQ(calls[1], "open \\\\srv\\pub\\dir\\a.txt share 0");
  EXPECT_EQ(calls.back(), "cancel \\\\srv\\pub flags=1 force");
  EXPECT_EQ(share.resource.dwScope, 0u);
  EXPECT_EQ(share.resource.dwType, 1u);
  EXPECT_EQ(share.resource.dwDisplayType, 0u);
  EXPECT_EQ(share.resource.dwUsage, 0u);
  EXPECT_EQ(share.localName, "");
  EXPECT_EQ(share.provider, "");
  EXPECT_TRUE(share.commentNull);

  // Failures of the share: a failed connect copies nothing, a failed disconnect
  // makes even a whole copy false.
  struct Case {
    std::uint32_t connect, cancel;
    int connectErrors;
    bool copied;
  };
  for (const Case& c : {Case{86, 2250, 2, false}, Case{86, 0, 1, false}, Case{0, 2250, 1, true}}) {
    SCOPED_TRACE(std::to_string(c.connect) + "/" + std::to_string(c.cancel));
    std::filesystem::remove(out.File("a.txt"));
    calls.clear();
    events.lines.clear();
    share.connectResult = c.connect;
    share.cancelResult = c.cancel;
    wc.Execute();
    EXPECT_FALSE(item.Success);
    EXPECT_EQ(std::count(events.lines.begin(), events.lines.end(), "ConnectError"), c.connectErrors);
    EXPECT_EQ(FileExists(out.File("a.txt")), c.copied);
    EXPECT_EQ(calls.back(), "cancel \\\\srv\\pub flags=1 force");
    EXPECT_EQ(calls.size(), c.copied ? 3u : 2u);
  }
}

}  // namespace
