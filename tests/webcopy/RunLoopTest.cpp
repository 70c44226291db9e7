// The run loop of TWebCopy with scripted transfer routines and a recording internet
// seam: event order, result fields, cancel, inactive items, the kept FTP connection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/HeadlessUi.h"
#include "platform/Internet.h"
#include "tests/support/NullInternet.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/WebCopy.h"

using namespace nolt;

namespace {

// Records InternetOpenA, the options set and InternetCloseHandle; every other
// operation fails.
class RecordingInternet : public test::NullInternet {
 public:
  std::vector<std::string> calls;
  bool failOpen = false;

  plat::HInternet InternetOpenA(const std::string& agent, std::uint32_t access, const std::string& proxy,
                                const std::string& bypass, std::uint32_t flags) override {
    calls.push_back("open " + agent + " " + std::to_string(access) + " [" + proxy + "] [" + bypass + "] " +
                    std::to_string(flags));
    return failOpen ? nullptr : &handle_;
  }
  bool InternetCloseHandle(plat::HInternet h) override {
    calls.push_back(h == &handle_ ? "close" : "close ?");
    return true;
  }
  bool InternetSetOptionA(plat::HInternet h, std::uint32_t option, const void* buffer, std::uint32_t length) override {
    std::uint32_t value = 0;
    if (length == sizeof value) std::memcpy(&value, buffer, sizeof value);
    calls.push_back(std::string(h == &handle_ ? "option " : "option ? ") + std::to_string(option) + " " +
                    std::to_string(value));
    return true;
  }

 private:
  int handle_ = 0;
};

// A TWebCopy whose routines follow a script: per item index, the result, the date
// they leave, NoNewFile, and an optional action (a cancel, say).
class ScriptedWebCopy : public TWebCopy {
 public:
  struct Step {
    bool ok = true;
    TDateTime newDate = -1;  // -1 leaves FileDate unchanged
    bool noNewFile = false;
    bool cancel = false;
  };
  std::vector<Step> script;
  std::vector<std::string> log;  // routine calls and events, in order
  std::vector<bool> keep;        // KeepConnection per FTP routine call

  ScriptedWebCopy() {
    ShowDialog = false;
    OnFileStart = [this](TObject* s, int idx) {
      EXPECT_EQ(s, this);
      log.push_back("start " + std::to_string(idx) + " #" + std::to_string(FileNumber));
    };
    OnFileDone = [this](TObject*, int idx) { log.push_back("done " + std::to_string(idx)); };
    OnCopyDone = [this](TObject*) { log.push_back("copydone"); };
  }

 protected:
  bool Run(int idx, TDateTime& fileDate, bool& noNewFile, const char* what) {
    log.push_back(std::string(what) + " " + std::to_string(idx) + " caption=" + Dialog()->Caption());
    const Step s = idx < static_cast<int>(script.size()) ? script[static_cast<std::size_t>(idx)] : Step{};
    if (s.newDate != -1) fileDate = s.newDate;
    noNewFile = s.noNewFile;
    if (s.cancel) Dialog()->CancelClick();
    return s.ok;
  }
  bool HttpDownload(int idx, const std::string&, const std::string&, const std::string&, bool, TDateTime& fd,
                    bool& nn, TWebCopyAuthentication, const std::string&, const std::string&) override {
    return Run(idx, fd, nn, "http");
  }
  bool FtpDownload(int idx, const std::string&, const std::string&, const std::string&, std::int32_t,
                   const std::string&, const std::string&, const std::string&, bool, TDateTime& fd, bool& nn,
                   bool keepConnection) override {
    keep.push_back(keepConnection);
    return Run(idx, fd, nn, "ftp");
  }
  bool FileCopy(int idx, const std::string&, const std::string&, const std::string&, std::int32_t,
                const std::string&, const std::string&, const std::string&, bool, TDateTime& fd,
                bool& nn) override {
    return Run(idx, fd, nn, "file");
  }
  bool FtpUpload(int idx, const std::string&, const std::string&, const std::string&, std::int32_t,
                 const std::string&, const std::string&, const std::string&, bool, TDateTime& fd, bool& nn,
                 bool keepConnection) override {
    keep.push_back(keepConnection);
    return Run(idx, fd, nn, "ftpup");
  }
  bool HttpUpload(const std::string& url, const std::string&, const std::string&, TWebCopyHTTPCommand) override {
    TDateTime unused = 0;
    bool nn = false;
    // The upload routine has no index argument; the tests put it in the URL.
    return Run(std::stoi(url), unused, nn, "httpup");
  }
};

class RunLoop : public ::testing::Test {
 protected:
  plat::HeadlessUi view;
  plat::ScopedSeam<plat::Ui> uiSeam{view};
  RecordingInternet net;
  plat::ScopedSeam<plat::Internet> netSeam{net};
};

TEST_F(RunLoop, DefaultsAndVersion) {
  TWebCopy w;
  EXPECT_FALSE(w.AlwaysOnTop);
  EXPECT_TRUE(w.ShowDialog);
  EXPECT_TRUE(w.ShowFileName);
  EXPECT_TRUE(w.ShowServer);
  EXPECT_FALSE(w.ShowTime);
  EXPECT_EQ(w.DlgCaption, "Downloading");
  EXPECT_EQ(w.DlgTimeLabel, "Estimated time left :");
  EXPECT_EQ(w.DlgOpenFolder, "Open folder");
  EXPECT_EQ(w.Version(), "1.5.0.3");
  w.SetVersion("9.9");
  EXPECT_EQ(w.Version(), "1.5.0.3");

  TWebCopyItem& item = w.Items.Add();
  EXPECT_TRUE(item.Active);
  EXPECT_EQ(item.Authenticate, waNever);
  EXPECT_EQ(item.FTPPort, 21);
  EXPECT_EQ(item.HTTPCommand, hcPost);
  EXPECT_EQ(item.Protocol, wpHttp);
  EXPECT_EQ(item.FileDate, 0);
  EXPECT_EQ(w.Items.GetOwner(), &w);
  EXPECT_EQ(static_cast<int>(wpHttpUpload), 4);
  EXPECT_EQ(static_cast<int>(waAuto), 2);
}

TEST_F(RunLoop, EmptyRunBuildsDialogOpensNothingAndEnds) {
  ScriptedWebCopy w;
  w.ShowDialog = true;
  w.Execute();
  EXPECT_EQ(w.log, (std::vector<std::string>{"copydone"}));
  EXPECT_TRUE(net.calls.empty()) << "no internet handle without an active network item";
  EXPECT_EQ(w.Dialog(), nullptr) << "the dialog is freed at the end";
  EXPECT_EQ(w.FileNumber, 0);
}

TEST_F(RunLoop, EventOrderResultsAndDenseFileNumbers) {
  ScriptedWebCopy w;
  for (int i = 0; i < 4; ++i) w.Items.Add();
  w.Items[1].Active = false;
  w.Items[1].Success = true;  // a skipped item keeps its previous results
  w.Items[2].Protocol = wpFile;
  w.Items[3].Protocol = wpHttpUpload;
  w.Items[3].URL = "3";
  w.Items[3].FileDate = 42;
  w.Items[0].FileDate = 5;
  w.script = {{true, 7, false, false}, {}, {false, -1, true, false}, {true, 99, true, false}};
  w.Execute();
  EXPECT_EQ(w.log, (std::vector<std::string>{
                       "start 0 #1", "http 0 caption=Downloading ...", "done 0",
                       "start 2 #2", "file 2 caption=Copying ...", "done 2",
                       "start 3 #3", "httpup 3 caption=Uploading ...", "done 3",
                       "copydone"}));
  EXPECT_TRUE(w.Items[0].Success);
  EXPECT_EQ(w.Items[0].NewDate, 7);
  EXPECT_TRUE(w.Items[1].Success);
  EXPECT_FALSE(w.Items[2].Success);
  EXPECT_TRUE(w.Items[2].NoNewFile);
  EXPECT_EQ(w.Items[2].NewDate, 0);
  // An HTTP upload reports no date and never NoNewFile.
  EXPECT_EQ(w.Items[3].NewDate, 42);
  EXPECT_FALSE(w.Items[3].NoNewFile);
  // The run's internet handle carries the time limits: connect, receive, send.
  EXPECT_EQ(net.calls, (std::vector<std::string>{"open WebCopy 0 [] [] 0", "option 2 30000", "option 6 30000",
                                                 "option 5 30000", "close"}));
}

TEST_F(RunLoop, ProxyAndFileOnlyRuns) {
  ScriptedWebCopy w;
  w.Proxy = "proxy.example:3128";
  w.Items.Add();
  w.Execute();
  w.Limits.connectMs = 1000;
  w.Limits.receiveMs = 2000;
  net.calls.clear();
  w.Execute();
  EXPECT_EQ(net.calls, (std::vector<std::string>{"open WebCopy 3 [proxy.example:3128] [] 0", "option 2 1000",
                                                 "option 6 2000", "option 5 2000", "close"}));

  net.calls.clear();
  ScriptedWebCopy files;
  files.Items.Add().Protocol = wpFile;
  files.Items.Add().Protocol = wpFile;
  files.Items.Add().Active = false;  // an inactive network item does not count
  files.Execute();
  EXPECT_TRUE(net.calls.empty());
}

TEST_F(RunLoop, AFailedInternetOpenStillRunsTheItems) {
  net.failOpen = true;
  ScriptedWebCopy w;
  w.Items.Add();
  w.Execute();
  EXPECT_EQ(w.log.size(), 4u);
  EXPECT_EQ(net.calls.size(), 1u) << "nothing to close";
}

TEST_F(RunLoop, CancelDuringItemStopsTheRun) {
  ScriptedWebCopy w;
  for (int i = 0; i < 3; ++i) w.Items.Add();
  w.Items[2].Success = true;
  w.Items[2].NewDate = 11;
  bool cancelEvent = false;
  w.OnCopyCancel = [&](TObject* s) {
    EXPECT_EQ(s, &w);
    EXPECT_FALSE(w.Cancelled) << "OnCopyCancel comes before the flag";
    cancelEvent = true;
  };
  w.script = {{}, {true, 3, false, true}, {}};
  w.Execute();
  EXPECT_TRUE(cancelEvent);
  EXPECT_TRUE(w.Cancelled);
  EXPECT_EQ(w.log, (std::vector<std::string>{"start 0 #1", "http 0 caption=Downloading ...", "done 0",
                                             "start 1 #2", "http 1 caption=Downloading ...", "copydone"}));
  EXPECT_FALSE(w.Items[1].Success) << "a cancelled item is not a success even when its routine said so";
  EXPECT_EQ(w.Items[1].NewDate, 3);
  EXPECT_TRUE(w.Items[2].Success) << "items after the cancel keep their previous results";
  EXPECT_EQ(w.Items[2].NewDate, 11);
  EXPECT_EQ(net.calls.back(), "close");

  // The next run starts with the flag cleared.
  w.log.clear();
  w.script = {};
  w.Execute();
  EXPECT_FALSE(w.Cancelled);
  EXPECT_TRUE(w.Items[2].Success);
}

TEST_F(RunLoop, KeptFtpConnectionComparesEachField) {
  ScriptedWebCopy w;
  for (int i = 0; i < 3; ++i) {
    TWebCopyItem& it = w.Items.Add();
    it.Protocol = i == 1 ? wpFtpUpload : wpFtp;
    it.FTPHost = "host";
    it.FTPUserID = "user";
    it.FTPPassword = "pw";
  }
  w.Execute();
  EXPECT_EQ(w.keep, (std::vector<bool>{true, true, false}));

  // Host "ab" with user "c" is not host "a" with user "bc".
  ScriptedWebCopy j;
  TWebCopyItem& a = j.Items.Add();
  a.Protocol = wpFtp;
  a.FTPHost = "ab";
  a.FTPUserID = "c";
  TWebCopyItem& b = j.Items.Add();
  b.Protocol = wpFtp;
  b.FTPHost = "a";
  b.FTPUserID = "bc";
  j.Execute();
  EXPECT_EQ(j.keep, (std::vector<bool>{false, false}));

  // The next item counts even when it is inactive; a non-FTP next item does not.
  ScriptedWebCopy k;
  for (int i = 0; i < 3; ++i) {
    TWebCopyItem& it = k.Items.Add();
    it.Protocol = i == 2 ? wpHttp : wpFtp;
    it.FTPHost = "h";
  }
  k.Items[1].Active = false;
  k.Execute();
  EXPECT_EQ(k.keep, (std::vector<bool>{true}));
}

TEST_F(RunLoop, FileStartMayChangeTheItem) {
  ScriptedWebCopy w;
  w.Items.Add();
  w.OnFileStart = [&](TObject*, int idx) { w.Items[idx].Protocol = wpFile; };
  w.Execute();
  EXPECT_EQ(w.log[0], "file 0 caption=Copying ...");
}

TEST_F(RunLoop, DialogStaysOpenWithOpenButtons) {
  ScriptedWebCopy w;
  w.ShowOpenFile = true;
  w.Items.Add();
  w.Execute();
  ASSERT_NE(w.Dialog(), nullptr);
  plat::WindowModel& m = w.Dialog()->Model();
  EXPECT_EQ(m.Find("CancelButton")->text, "Close");
  EXPECT_TRUE(m.Find("OpenFileButton")->enabled);
  EXPECT_FALSE(m.Find("Animation")->playing);

  // After a cancel the open buttons stay disabled.
  w.script = {{true, -1, false, true}};
  w.Execute();
  EXPECT_FALSE(w.Dialog()->Model().Find("OpenFileButton")->enabled);
  EXPECT_FALSE(w.Dialog()->Visible());
}

TEST_F(RunLoop, RoutineExceptionEndsTheRunAtOnce) {
  struct Throwing : ScriptedWebCopy {
    bool HttpDownload(int, const std::string&, const std::string&, const std::string&, bool, TDateTime&, bool&,
                      TWebCopyAuthentication, const std::string&, const std::string&) override {
      throw plat::EInOutError(112, "disk full");
    }
  } w;
  w.Items.Add();
  w.Items.Add();
  EXPECT_THROW(w.Execute(), plat::EInOutError);
  EXPECT_EQ(w.log, (std::vector<std::string>{"start 0 #1"})) << "no OnFileDone, no OnCopyDone";
}

}  // namespace
