// Elevation only where it is needed: the rule over scripted seams, and the built
// updater in an installation directory that this process may not write.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "app/Elevation.h"
#include "platform/HeadlessUi.h"
#include "tests/runner/FakeProcess.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/LockedDir.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

using namespace nolt;

namespace {

const std::string kDir = std::string("inst") + plat::kPathDelim;

class ProbedFiles : public test::ForwardingFiles {
 public:
  bool writable = true;
  std::uint32_t error = 0;
  std::string probed;

  std::string ExecutablePath() override { return kDir + "nolt-patch-setup.exe"; }
  bool CanCreateFileIn(const std::string& dir) override {
    probed = dir;
    return writable;
  }
  std::uint32_t GetLastError() override { return error; }
  std::string ErrorText(std::uint32_t code) override { return "error " + std::to_string(code); }
};

class BoxRecorder : public plat::HeadlessUi {
 public:
  std::vector<std::string> boxes;
  int MessageBoxA(const std::string& text, const std::string&, std::uint32_t type) override {
    boxes.push_back(text);
    EXPECT_TRUE(type & plat::kMbIconError);
    return plat::kIdOk;
  }
};

struct Case {
  const char* what;
  bool writable;
  std::uint32_t error;
  bool elevatedRun;
  plat::ElevatedRun elevation;
  std::uint32_t elevatedStatus;
  std::optional<int> status;  // nothing: the run goes on in this process
  bool asksForElevation;
  const char* message;  // in the one box shown, or nullptr for no box
};

class Rule : public ::testing::TestWithParam<Case> {};

TEST_P(Rule, DecidesWhereTheRunGoesOn) {
  const Case& k = GetParam();
  ProbedFiles files;
  files.writable = k.writable;
  files.error = k.error;
  test::FakeProcess process;
  process.elevatedResult = k.elevation;
  process.elevatedExitCode = k.elevatedStatus;
  process.lastError = 1155;
  BoxRecorder ui;
  ui.SetApplicationTitle("NOLT-Patch-Setup");
  plat::ScopedSeam<plat::Files> f(files);
  plat::ScopedSeam<plat::Process> p(process);
  plat::ScopedSeam<plat::Ui> u(ui);

  EXPECT_EQ(RunElevatedWhereNeeded(k.elevatedRun), k.status);
  EXPECT_EQ(files.probed, kDir) << "the program's own directory is asked";
  EXPECT_EQ(!process.elevatedProgram.empty(), k.asksForElevation);
  if (k.asksForElevation) {
    EXPECT_EQ(process.elevatedProgram, kDir + "nolt-patch-setup.exe");
    EXPECT_EQ(process.elevatedParameters, kElevatedRunArgument);
  }
  if (!k.message) {
    EXPECT_TRUE(ui.boxes.empty());
  } else {
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].find("\"" + kDir + "\" cannot be written (error 5)"), std::string::npos) << ui.boxes[0];
    EXPECT_NE(ui.boxes[0].find(k.message), std::string::npos) << ui.boxes[0];
    EXPECT_NE(ui.boxes[0].find("Nothing was updated."), std::string::npos) << ui.boxes[0];
  }
}

using E = plat::ElevatedRun;
INSTANTIATE_TEST_SUITE_P(
    Elevation, Rule,
    ::testing::Values(
        Case{"writable", true, 0, false, E::Ended, 0, std::nullopt, false, nullptr},
        Case{"writableElevated", true, 0, true, E::Ended, 0, std::nullopt, false, nullptr},
        // Rights cannot help read-only media or a full disk: the run meets it as before.
        Case{"writeProtected", false, 19, false, E::Ended, 0, std::nullopt, false, nullptr},
        Case{"elevatedRunSucceeds", false, 5, false, E::Ended, 0, 0, true, nullptr},
        Case{"elevatedRunFails", false, 5, false, E::Ended, 1, 1, true, nullptr},
        Case{"declined", false, 5, false, E::Declined, 0, 1, true, "administrator rights, and they were not given"},
        Case{"noElevationOnLinux", false, 5, false, E::Unavailable, 0, 1, true,
             "Start NOLT-Patch-Setup as a user who may write there"},
        Case{"startFailed", false, 5, false, E::Failed, 0, 1, true,
             "starting with administrator rights failed: 1155: "},
        // The elevated run never asks again.
        Case{"deniedEvenElevated", false, 5, true, E::Ended, 0, 1, false, "even with administrator rights"}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.what); });

TEST(ElevatedRunArgument, IsTheOnlyArgument) {
  const char* run[] = {"nolt-patch-setup", kElevatedRunArgument};
  const char* other[] = {"nolt-patch-setup", "--other"};
  const char* more[] = {"nolt-patch-setup", kElevatedRunArgument, "x"};
  EXPECT_TRUE(IsElevatedRun(2, run));
  EXPECT_FALSE(IsElevatedRun(1, run));
  EXPECT_FALSE(IsElevatedRun(2, other));
  EXPECT_FALSE(IsElevatedRun(3, more));
}

#ifdef _WIN32
// A window of another process of the updater: its message box.
struct FoundBox {
  HWND box = nullptr;
  DWORD pid = 0;
};

BOOL CALLBACK MatchBox(HWND h, LPARAM data) {
  auto* f = reinterpret_cast<FoundBox*>(data);
  char cls[64], title[128];
  ::GetClassNameA(h, cls, sizeof cls);
  ::GetWindowTextA(h, title, sizeof title);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(h, &pid);
  if (std::string(cls) != "#32770" || std::string(title) != "NOLT-Patch-Setup" || pid == ::GetCurrentProcessId())
    return TRUE;
  f->box = h;
  f->pid = pid;
  return FALSE;
}

// The path of the common controls library that a process has loaded.
std::string LoadedCommonControls(HANDLE process) {
  HMODULE modules[512];
  DWORD bytes = 0;
  if (!::EnumProcessModules(process, modules, sizeof modules, &bytes)) return {};
  for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameExA(process, modules[i], path, MAX_PATH);
    std::string p = path;
    for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (p.size() >= 12 && p.compare(p.size() - 12, 12, "comctl32.dll") == 0) return p;
  }
  return {};
}
#endif

// The updater copied alone into a directory that this process may not write. On
// Windows it starts itself again elevated (Wine elevates without a prompt); that
// run, which still cannot write, says so and ends with 1, and so does the first.
// On Linux there is no elevation: the message, and 1.
TEST(Program, AnInstallationThatCannotBeWrittenEndsWithItsMessageAndStatus1) {
  test::TempDir dir;
  const std::string exe = test::ProgramPath("nolt-patch-setup");
  const std::string copy = dir.File(std::filesystem::path(exe).filename().string());
  std::filesystem::copy_file(exe, copy);
  test::WriteFile(dir.File("noltpatch.exe"), "stale patch program");
  test::LockedDir locked(dir.Dir());
  if (!locked.Locked()) GTEST_SKIP() << "this process can write any directory here";

#ifdef _WIN32
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string cmd = "\"" + copy + "\"";
  ASSERT_TRUE(::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.Dir().c_str(), &si, &pi));
  FoundBox found;
  for (int i = 0; i < 1500 && !found.box; ++i) {
    ::EnumWindows(&MatchBox, reinterpret_cast<LPARAM>(&found));
    if (!found.box) ::Sleep(20);
  }
  ASSERT_TRUE(found.box) << "no message box of the elevated run";
  EXPECT_NE(found.pid, pi.dwProcessId) << "the box is the elevated run's, not the first run's";
  HANDLE elevated = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, found.pid);
  ASSERT_TRUE(elevated);
  HANDLE token = nullptr;
  TOKEN_ELEVATION te{};
  DWORD n = 0;
  ASSERT_TRUE(::OpenProcessToken(elevated, TOKEN_QUERY, &token));
  ASSERT_TRUE(::GetTokenInformation(token, TokenElevation, &te, sizeof te, &n));
  EXPECT_TRUE(te.TokenIsElevated);
  ::CloseHandle(token);
  // The manifest asks for common controls 6: the visual styles' side-by-side assembly.
  const std::string comctl = LoadedCommonControls(elevated);
  EXPECT_NE(comctl.find("microsoft.windows.common-controls_6595b64144ccf1df_6.0."), std::string::npos) << comctl;
  ::CloseHandle(elevated);

  char text[1024] = {};
  ::GetDlgItemTextA(found.box, 0xFFFF, text, sizeof text);
  const std::string message = text;
  EXPECT_NE(message.find("\"" + dir.Dir() + "\" cannot be written"), std::string::npos) << message;
  EXPECT_NE(message.find("even with administrator rights"), std::string::npos) << message;
  ::PostMessageA(found.box, WM_COMMAND, IDOK, 0);
  ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD status = 0;
  ::GetExitCodeProcess(pi.hProcess, &status);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  EXPECT_EQ(status, 1u);
#else
  test::ProgramOptions options;
  options.headless = true;
  options.captureErrors = true;
  const test::ProgramResult r = test::RunProgram(copy, {}, dir.Dir(), 60000, options);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.errorOutput.find("\"" + dir.Dir() + "\" cannot be written"), std::string::npos) << r.errorOutput;
  EXPECT_NE(r.errorOutput.find("as a user who may write there. Nothing was updated."), std::string::npos)
      << r.errorOutput;
#endif
  EXPECT_TRUE(test::FileExists(dir.File("noltpatch.exe"))) << "nothing of the run happened";
}

}  // namespace
