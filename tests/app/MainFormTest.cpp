// The update run of the main form with the real files seam in a temporary
// installation directory, a fake internet seam and the headless view.
#include <gtest/gtest.h>

#include "app/FormReader.h"
#include "app/MainForm.h"
#include "app/Staging.h"
#include "base/Text.h"
#include "crc/FileCRC32.h"
#include "platform/Files.h"
#include "platform/HeadlessUi.h"
#include "platform/Internet.h"
#include "tests/runner/FakeProcess.h"
#include "tests/runner/RunnerWait.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/NullInternet.h"
#include "tests/support/TestSupport.h"

extern const char* const kMainFormDescription;

using namespace nolt;

namespace {

// Opens nothing: every download fails as with an unreachable server.
class OfflineInternet : public test::NullInternet {
 public:
  std::vector<std::string> urls;
  plat::HInternet InternetOpenA(const std::string&, std::uint32_t, const std::string&, const std::string&,
                                std::uint32_t) override {
    return this;
  }
  bool InternetCloseHandle(plat::HInternet) override { return true; }
  plat::HInternet InternetOpenUrlA(plat::HInternet, const std::string& url, const char*, std::uint32_t, std::uint32_t,
                                   std::uintptr_t) override {
    urls.push_back(url);
    return nullptr;
  }
};

// The headless view, recording message boxes. It stands for a view with a window
// (boxes stay open) unless told that there is no display; then it behaves as the
// headless view itself.
class RecordingUi : public plat::HeadlessUi {
 public:
  bool display = true;
  std::vector<std::string> boxes;
  bool HasDisplay() override { return display; }
  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override {
    boxes.push_back(caption + ": " + text);
    return display ? plat::kIdOk : HeadlessUi::MessageBoxA(text, caption, type);
  }
};

// The system's files, except that opening one path fails as a locked file would.
class FailingReadFiles : public test::ForwardingFiles {
 public:
  explicit FailingReadFiles(std::string path) : path_(std::move(path)) {}
  plat::FileHandle CreateFileA(const std::string& p, plat::FileAccess a, plat::FileCreate c) override {
    if (p == path_) {
      real.SetLastError(plat::kErrorAccessDenied);
      return plat::kInvalidFile;
    }
    return real.CreateFileA(p, a, c);
  }

 private:
  std::string path_;
};

std::string Crc(const std::string& path) {
  std::uint32_t c = 0;
  return FileCRC32(path, c);
}

class MainForm : public ::testing::Test {
 protected:
  RecordingUi view;
  plat::ScopedSeam<plat::Ui> uiSeam{view};
  OfflineInternet net;
  plat::ScopedSeam<plat::Internet> netSeam{net};
  test::TempDir dir;

  std::unique_ptr<TMainForm> MakeForm() {
    view.SetApplicationTitle("NOLT-Patch-Setup");
    auto form = std::make_unique<TMainForm>(kMainFormDescription);
    form->AppDir = dir.Dir();
    return form;
  }
  std::vector<std::string> Queued(TMainForm& f) {
    std::vector<std::string> q;
    for (int i = 0; i < f.UpdateFiles.Items.Count(); ++i) {
      const TWebCopyItem& it = f.UpdateFiles.Items[i];
      // Packages arrive in the staging folder, under names of their own.
      EXPECT_EQ(it.TargetDir, dir.Dir() + ".nolt-packages" + plat::kPathDelim);
      EXPECT_TRUE(it.Active);
      EXPECT_EQ(it.Protocol, wpHttp);
      q.push_back(it.TargetFilename + " <- " + it.URL);
    }
    return q;
  }
};

TEST_F(MainForm, StoredSettingsOfTheFormDescription) {
  auto f = MakeForm();
  EXPECT_EQ(f->Window().caption, "NOLT-Patch-Setup");
  EXPECT_EQ(f->Window().clientWidth, 214);
  EXPECT_EQ(f->Window().clientHeight, 29);
  EXPECT_TRUE(f->Window().centred);
  EXPECT_EQ(f->Window().border, plat::BorderStyle::Single);

  const TWebCopy& m = f->WebCopyMain;
  EXPECT_EQ(m.Name, "WebCopyMain");
  EXPECT_TRUE(m.AlwaysOnTop);
  EXPECT_FALSE(m.ShowDialog);
  EXPECT_FALSE(m.ShowTime);
  EXPECT_EQ(m.DlgCaption, "Downloading");
  EXPECT_TRUE(m.Proxy.empty());
  ASSERT_EQ(m.Items.Count(), 1);
  EXPECT_EQ(m.Items[0].Protocol, wpHttp);
  EXPECT_EQ(m.Items[0].HTTPCommand, hcPut);
  EXPECT_EQ(m.Items[0].FTPPort, 21);
  EXPECT_EQ(m.Items[0].TargetFilename, "nolt-patch-updater.txt");
  EXPECT_EQ(m.Items[0].URL, std::string(NOLT_DOWNLOAD_BASE_URL) + "nolt-patch-updater.txt");
  EXPECT_TRUE(m.Items[0].Active);
  EXPECT_EQ(m.Items[0].Authenticate, waNever);

  const TWebCopy& u = f->UpdateFiles;
  EXPECT_FALSE(u.AlwaysOnTop);
  EXPECT_TRUE(u.ShowDialog);
  EXPECT_TRUE(u.ShowTime);
  EXPECT_FALSE(u.ShowOpenFile);
  EXPECT_FALSE(u.ShowCompletion);
  EXPECT_EQ(u.DlgCaption, "Aktualisiere");
  EXPECT_EQ(u.DlgCompleted, "fertig");
  EXPECT_EQ(u.DlgFileLabel, "Datei :");
  EXPECT_EQ(u.DlgFileOfLabel, "/");
  EXPECT_EQ(u.DlgFromServerLabel, "von");
  EXPECT_EQ(u.DlgProgressLabel, "Fortschritt :");
  EXPECT_EQ(u.DlgCopying, "Kopiere");
  EXPECT_EQ(u.DlgDwnload, "Downloade");
  EXPECT_EQ(u.DlgUpload, "Uploading");
  EXPECT_EQ(u.Items.Count(), 0);
  EXPECT_TRUE(u.OnCopyOverWrite);
  EXPECT_TRUE(u.OnCopyCancel);
  bool allow = false;
  u.OnCopyOverWrite(nullptr, "x", allow);
  EXPECT_TRUE(allow);
}

TEST_F(MainForm, BrokenDescriptionsAreRejected) {
  EXPECT_THROW(TMainForm("object MainForm: TMainForm\n  Bogus = 1\nend\n"), EFormError);
  EXPECT_THROW(TMainForm("object MainForm: TMainForm\n  object X: TWebCopy\n    ShowTime = Maybe\n  end\nend\n"),
               EFormError);
  EXPECT_THROW(TMainForm("object MainForm: TMainForm\n  Caption = 'open\nend\n"), EFormError);
}

TEST_F(MainForm, DecisionQueuesMissingAndChangedFilesInOrder) {
  test::WriteFile(dir.File("a.dll"), "same contents");
  test::WriteFile(dir.File("b.dll"), "old contents");
  test::WriteFile(dir.File("empty.dat"), "");
  test::WriteFile(dir.File("upper.dll"), "upper");
  const std::string base = NOLT_DOWNLOAD_BASE_URL;
  std::string upperSum = Crc(dir.File("upper.dll"));
  for (char& c : upperSum) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  test::WriteFile(dir.File("nolt-patch-updater.txt"),
                  "a.dll:" + Crc(dir.File("a.dll")) + "\r\n" +
                  "b.dll : 123456\r\n"
                  "c.dll:ABCDEF\r\n"
                  "empty.dat:0\r\n"
                  "upper.dll:" + upperSum + "\r\n"
                  "c.dll:ABCDEF\r\n"
                  "sub\\d.dll:1\r\n"
                  "..\\outside.dll:1\r\n"
                  "C:\\windows\\x.dll:1\r\n"
                  "no colon\r\n");
  auto f = MakeForm();
  f->ReadManifestEntries();
  f->QueuePackages();
  // Staged under the name and the manifest's checksum (letter case aside).
  EXPECT_EQ(Queued(*f), (std::vector<std::string>{
                            StagedPackageName("b.dll", "123456") + " <- " + base + "b.dll.cab",
                            StagedPackageName("c.dll", "abcdef") + " <- " + base + "c.dll.cab",
                            StagedPackageName("c.dll", "abcdef") + " <- " + base + "c.dll.cab",
                            StagedPackageName("sub\\d.dll", "1") + " <- " + base + "sub\\d.dll.cab",
                            // The first colon splits: a drive path is the name "C".
                            StagedPackageName("C", "\\windows\\x.dll:1") + " <- " + base + "C.cab",
                            StagedPackageName("", "no colon") + " <- " + base + ".cab",
                        }));
}

TEST_F(MainForm, ChecksumTextsThatNeverMatch) {
  // A file whose CRC needs seven digits: the same value written with eight never matches.
  std::string data = "x";
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    data = "seed" + std::to_string(i);
    test::WriteFile(dir.File("f.bin"), data);
    text = Crc(dir.File("f.bin"));
    if (text.size() == 7) break;
  }
  ASSERT_EQ(text.size(), 7u);
  test::WriteFile(dir.File("nolt-patch-updater.txt"), "f.bin:0" + text + "\nf.bin:" + text + "\n");
  auto f = MakeForm();
  f->ReadManifestEntries();
  f->QueuePackages();
  ASSERT_EQ(f->UpdateFiles.Items.Count(), 1);
  EXPECT_EQ(f->UpdateFiles.Items[0].TargetFilename, StagedPackageName("f.bin", "0" + LowerCaseAscii(text)));
}

TEST_F(MainForm, AnUnopenableLocalFileCountsAsEmpty) {
  test::WriteFile(dir.File("locked.dll"), "contents");
  test::WriteFile(dir.File("nolt-patch-updater.txt"), "locked.dll:0\nlocked.dll:" + Crc(dir.File("locked.dll")) + "\n");
  FailingReadFiles files(dir.File("locked.dll"));
  plat::ScopedSeam<plat::Files> seam(files);
  auto f = MakeForm();
  f->ReadManifestEntries();
  f->QueuePackages();
  ASSERT_EQ(f->UpdateFiles.Items.Count(), 1) << "unopenable reads as \"0\"";
}

TEST_F(MainForm, FullRunDeletesTheStalePatchProgramAndTerminates) {
  test::WriteFile(dir.File("noltpatch.exe"), "stale");
  test::WriteFile(dir.File("nolt-patch-updater.txt"), "gone.dll:123456\n");
  auto f = MakeForm();
  f->Show();
  view.RunMessageLoop();  // FormShow runs inside the loop and asks it to end
  EXPECT_TRUE(view.Terminated());
  EXPECT_FALSE(test::FileExists(dir.File("noltpatch.exe")));
  EXPECT_TRUE(test::FileExists(dir.File("nolt-patch-updater.txt"))) << "the manifest is never deleted";
  EXPECT_EQ(f->UpdateFiles.Items.Count(), 0) << "the item list is emptied";
  EXPECT_TRUE(view.boxes.empty()) << "with a window, these failures are silent";
  // Only the exit status tells: no manifest from the server, and gone.dll still missing.
  EXPECT_EQ(f->ExitStatus(), 1);
  ASSERT_EQ(f->Failures.size(), 2u);
  EXPECT_EQ(f->Failures[0].rfind("the manifest could not be fetched from " + std::string(NOLT_DOWNLOAD_BASE_URL), 0),
            0u) << f->Failures[0];
  EXPECT_EQ(f->Failures[1].rfind("\"gone.dll\" was not updated: no answer from the server", 0), 0u) << f->Failures[1];
}

// A failed transfer leaves whatever is at the package's path: a file of the
// installation that carries that name is neither unpacked nor deleted.
TEST_F(MainForm, AFailedTransferLeavesAFileAtThePackagePathAlone) {
  test::WriteFile(dir.File("data.cab"), "the application's own data");
  test::WriteFile(dir.File("nolt-patch-updater.txt"), "data:123456\n");
  auto f = MakeForm();
  f->Show();
  view.RunMessageLoop();
  EXPECT_EQ(test::ReadFile(dir.File("data.cab")), "the application's own data");
  EXPECT_EQ(f->ExitStatus(), 1);
}

// Without a display every failure is one line on standard error, and an error that
// would keep the window open ends the program after its line.
TEST_F(MainForm, HeadlessRunsWriteEachFailureAndEndAfterAnError) {
  view.display = false;
  test::WriteFile(dir.File("nolt-patch-updater.txt"), std::string("a\0x.dll:0\n", 10));
  {
    auto f = MakeForm();
    f->Show();
    view.RunMessageLoop();
    EXPECT_EQ(f->ExitStatus(), 1);
    ASSERT_EQ(view.boxes.size(), 2u) << "one line per failure";
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(view.boxes[i], "NOLT-Patch-Setup: " + f->Failures[i]);
    EXPECT_EQ(f->Failures[1],
              "the manifest entry \"a\\x00x.dll\" is refused: it names no file that may be installed in this directory");
  }

  RecordingUi fresh;
  fresh.display = false;
  fresh.SetApplicationTitle("NOLT-Patch-Setup");
  plat::ScopedSeam<plat::Ui> ui(fresh);
  FailingReadFiles files(dir.File("nolt-patch-updater.txt"));
  plat::ScopedSeam<plat::Files> seam(files);
  auto f = MakeForm();
  f->Show();
  fresh.ProcessMessages();
  EXPECT_TRUE(fresh.Terminated()) << "nobody could close the window";
  EXPECT_EQ(f->ExitStatus(), 1);
  ASSERT_EQ(fresh.boxes.size(), 2u);
  EXPECT_EQ(fresh.boxes[1], "NOLT-Patch-Setup: " + plat::files().ErrorText(plat::kErrorAccessDenied));
}

TEST_F(MainForm, UnreadableManifestShowsTheErrorAndStaysOpen) {
  test::WriteFile(dir.File("noltpatch.exe"), "stale");
  test::WriteFile(dir.File("nolt-patch-updater.txt"), "a.dll:1\n");
  FailingReadFiles files(dir.File("nolt-patch-updater.txt"));
  plat::ScopedSeam<plat::Files> seam(files);
  auto f = MakeForm();
  f->Show();
  // Run what the loop would run, without waiting for a termination that must not come.
  view.ProcessMessages();
  EXPECT_FALSE(view.Terminated()) << "the program stays open";
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].rfind("NOLT-Patch-Setup: ", 0), 0u) << view.boxes[0];
  EXPECT_TRUE(test::FileExists(dir.File("noltpatch.exe"))) << "nothing after the error happens";
}

TEST_F(MainForm, LauncherSettingsFromTheDescription) {
  auto f = MakeForm();
  EXPECT_EQ(f->Runner1.Name, "Runner1");
  EXPECT_EQ(f->Runner1.Priority, ppNormal);
  EXPECT_EQ(f->Runner1.ShowState, wssShow);
  EXPECT_EQ(f->Runner1.Position.Left + f->Runner1.Position.Top + f->Runner1.Position.Width +
                f->Runner1.Position.Height, 0);
  EXPECT_TRUE(f->Runner1.FileToRun.empty());
  EXPECT_TRUE(f->Runner1.Parameters.empty());
  EXPECT_TRUE(f->Runner1.Environment.empty());
}

TEST_F(MainForm, StartsTheApplicationAfterTheCleanUp) {
  test::FakeProcess proc;
  plat::ScopedSeam<plat::Process> seam(proc);
  test::WriteFile(dir.File("pomr.exe"), "the application");
  test::WriteFile(dir.File("noltpatch.exe"), "stale");
  auto f = MakeForm();
  f->Show();
  view.RunMessageLoop();
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_FALSE(test::FileExists(dir.File("noltpatch.exe")));
  EXPECT_EQ(proc.lookupFile, dir.File("pomr.exe"));
  EXPECT_EQ(f->Runner1.FileToRun, dir.File("pomr.exe"));
  // Let the wait threads finish before the fake goes.
  proc.BecomeIdle();
  proc.End();
  EXPECT_TRUE(test::PumpUntil([] { return WaitThreadsRunning() == 0; }));
}

TEST_F(MainForm, NoApplicationNoLaunch) {
  test::FakeProcess proc;
  plat::ScopedSeam<plat::Process> seam(proc);
  auto f = MakeForm();
  f->Show();
  view.RunMessageLoop();
  EXPECT_TRUE(proc.Calls().empty());
}

TEST_F(MainForm, ALaunchFailureShowsItsErrorAndStaysOpen) {
  test::FakeProcess proc;
  proc.createFails = true;
  proc.lastError = plat::kErrorAccessDenied;
  plat::ScopedSeam<plat::Process> seam(proc);
  test::WriteFile(dir.File("pomr.exe"), "the application");
  test::WriteFile(dir.File("noltpatch.exe"), "stale");
  auto f = MakeForm();
  f->Show();
  view.ProcessMessages();
  EXPECT_FALSE(view.Terminated());
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].rfind("NOLT-Patch-Setup: ", 0), 0u) << view.boxes[0];
  EXPECT_NE(view.boxes[0].find("Access is denied"), std::string::npos) << view.boxes[0];
  EXPECT_FALSE(test::FileExists(dir.File("noltpatch.exe"))) << "the clean-up comes before the launch";
}

}  // namespace
