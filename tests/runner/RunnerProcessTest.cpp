// TRunner starting real programs: this test program as its own child, and documents
// through their associated program (notepad under Wine, xdg-open with a test
// association on Linux).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Clock.h"
#include "runner/Runner.h"
#include "tests/support/child/RunnerChild.h"
#include "tests/runner/RunnerWait.h"
#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#endif

using namespace nolt;
using nolt::test::ChildReport;
using nolt::test::PumpUntil;
using nolt::test::ReadChildReport;

namespace {

void SetVariable(const std::string& name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), value);
#else
  if (value)
    setenv(name.c_str(), value, 1);
  else
    unsetenv(name.c_str());
#endif
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string ShortForm(const std::string& path) {
  std::string s;
  EXPECT_NE(plat::process().GetShortPathNameA(path, &s), 0u) << path;
  return s;
}

// The local time now as a TDateTime.
TDateTime Now() {
  plat::SystemTime st = plat::sysClock().GetLocalTime();
  std::uint64_t ft = 0;
  plat::SystemTimeToFileTime(st, &ft);
  return static_cast<double>(ft) / 864000000000.0 - 109205;
}

class RunnerLive : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
    plat::ui().ProcessMessages();
  }

  // Starts FileToRun and waits for its OnAppTerminate; events seen land in events.
  TAppInfo RunToEnd() {
    TAppInfo ended;
    bool done = false;
    runner.OnAppIdle = [&](TAppInfo&) { events.push_back("idle"); };
    runner.Execute();
    runner.OnAppTerminate = [&](TAppInfo& app) {
      events.push_back("terminate");
      ended = app;
      done = true;
    };
    EXPECT_TRUE(PumpUntil([&] { return done; }));
    return ended;
  }

  test::TempDir dir;
  std::string report = dir.File("report.txt");
  std::string quit = dir.File("quit");
  std::string self = test::SelfPath();
  std::vector<std::string> events;
  TRunner runner;
};

TEST_F(RunnerLive, ProgramWithParametersGetsThemAfterItsShortPath) {
  runner.FileToRun = self;
  // Words without quotes: on Linux the child sees its arguments, joined here by blanks.
  runner.Parameters = "  --runner-child " + report + " 3 a b  \t";
  const TDateTime before = Now();
  TAppInfo ended = RunToEnd();
  const std::string trimmed = "--runner-child " + report + " 3 a b";
  EXPECT_EQ(runner.Parameters, trimmed);

  ChildReport child = ReadChildReport(report);
  EXPECT_EQ(child.commandLine, ShortForm(self) + " " + trimmed);
  ASSERT_EQ(child.args.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(child.args.begin() + 1, child.args.end()),
            (std::vector<std::string>{"--runner-child", report, "3", "a", "b"}));
  EXPECT_EQ(child.cwd, std::filesystem::current_path().string()) << "the caller's current directory";

  EXPECT_EQ(ended.FileName, self);
  EXPECT_EQ(ended.ExitCode, 3u);
  EXPECT_LT(ended.StartTime, ended.EndTime);
  // Local times of this run (a minute of slack for clock granularity).
  EXPECT_GT(ended.StartTime, before - 1.0 / 1440);
  EXPECT_LT(ended.EndTime, Now() + 1.0 / 1440);
}

TEST_F(RunnerLive, WithoutParametersTheCallersEnvironmentIsPassedOn) {
  // With no arguments the child finds its report path in the environment.
  SetVariable(test::kChildVariable, report.c_str());
  SetVariable("NOLT_RUNNER_MARK", "inherited value");
  runner.FileToRun = self;
  runner.Parameters = " \t ";
  TAppInfo ended = RunToEnd();
  SetVariable(test::kChildVariable, nullptr);
  SetVariable("NOLT_RUNNER_MARK", nullptr);

  ChildReport child = ReadChildReport(report);
  EXPECT_EQ(child.commandLine, ShortForm(self)) << "blank parameters add nothing, not even a space";
  EXPECT_EQ(runner.Parameters, "");
  EXPECT_TRUE(child.Has("NOLT_RUNNER_MARK=inherited value"));
  EXPECT_TRUE(child.Has(std::string(test::kChildVariable) + "=" + report));
  EXPECT_GT(child.env.size(), 2u);
  EXPECT_EQ(ended.ExitCode, 0u);
}

TEST_F(RunnerLive, OneEnvironmentLineIsTheWholeEnvironment) {
  const std::string only = std::string(test::kChildVariable) + "=" + report;
  runner.FileToRun = self;
  runner.Environment = {only};
  RunToEnd();
  ChildReport child = ReadChildReport(report);
  EXPECT_EQ(test::OwnVariables(child.env), std::vector<std::string>{only});
}

TEST_F(RunnerLive, MissingFileRaisesAndStartsNothing) {
  runner.FileToRun = dir.File("missing.exe");
  try {
    runner.Execute();
    ADD_FAILURE() << "no error";
  } catch (const ERunnerError& e) {
    EXPECT_STREQ(e.what(), "The specified file was not found");
  }
  EXPECT_EQ(WaitThreadsRunning(), 0);
}

TEST_F(RunnerLive, IdleComesBeforeTerminateAssignedAfterExecute) {
  // The child shows a window (Windows) and runs until told to end, which happens only
  // once it has been reported idle.
  runner.FileToRun = test::WindowChildPath();
  runner.Parameters = "--runner-child " + Quoted(report) + " 7 --window " + Quoted(quit);
  TAppInfo idle, ended;
  bool done = false;
  runner.OnAppIdle = [&](TAppInfo& app) {
    events.push_back("idle");
    idle = app;
  };
  runner.Execute();
  runner.OnAppTerminate = [&](TAppInfo& app) {
    events.push_back("terminate");
    ended = app;
    done = true;
  };
  EXPECT_TRUE(PumpUntil([&] { return !events.empty(); }));
  test::WriteFile(quit, "");
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(events, (std::vector<std::string>{"idle", "terminate"}));
  EXPECT_EQ(idle.FileName, test::WindowChildPath());
  EXPECT_EQ(idle.ExitCode, 0u);
  EXPECT_EQ(idle.StartTime, 0);
  EXPECT_EQ(idle.EndTime, 0);
  EXPECT_EQ(idle.KernelTime + idle.UserTime, 0u);
  EXPECT_EQ(ended.ExitCode, 7u);
  EXPECT_GT(ended.StartTime, 0);
  EXPECT_LT(ended.StartTime, ended.EndTime);
}

TEST_F(RunnerLive, RunnerDestroyedWhileItsProgramRunsIsNotCalled) {
  int calls = 0;
  auto* doomed = new TRunner;
  doomed->FileToRun = self;
  doomed->Parameters = "--runner-child " + Quoted(report) + " 0 --wait " + Quoted(quit);
  doomed->OnAppIdle = doomed->OnAppTerminate = [&](TAppInfo&) { ++calls; };
  doomed->Execute();
  delete doomed;
  test::WriteFile(quit, "");
  ASSERT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
  plat::ui().ProcessMessages();
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(test::FileExists(report)) << "the program ran to its end";
}

TEST_F(RunnerLive, PriorityAndWindowPlacementReachTheProgram) {
  runner.FileToRun = self;
  runner.Parameters = "--runner-child " + Quoted(report) + " 0";
  runner.Priority = ppIdle;
  runner.Position.Width = 300;
  runner.ShowState = wssShowMinNoActive;
  RunToEnd();
  ChildReport child = ReadChildReport(report);
#ifdef _WIN32
  // Wine ignores the priority class of CreateProcess ("ignoring some flags in 40" in its
  // process warnings): the child runs at normal priority there.
  if (!test::UnderWine()) {
    EXPECT_EQ(child.priority, IDLE_PRIORITY_CLASS);
  }
  // STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION, SW_SHOWMINNOACTIVE, 0, 0, 300, 0.
  EXPECT_EQ(child.startup, "7 7 0 0 300 0");
#else
  EXPECT_EQ(child.priority, 19) << "the idle class is the lowest nice value";
#endif
}

#ifdef _WIN32

// The file name of a running process's program, in lower case.
std::string ExeNameOf(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  std::string name;
  for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry))
    if (entry.th32ProcessID == pid) name = entry.szExeFile;
  CloseHandle(snap);
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return name.substr(name.find_last_of('\\') + 1);
}

TEST_F(RunnerLive, BatchFileInAnyCaseRunsByItself) {
  const std::string batch = dir.File("Run Me.BaT");
  test::WriteFile(batch, "@echo off\r\necho ran %1> \"%~dp0batch.txt\"\r\nexit 4\r\n");
  runner.FileToRun = batch;
  runner.Parameters = "first";
  TAppInfo ended = RunToEnd();
  EXPECT_EQ(ended.ExitCode, 4u);
  EXPECT_EQ(test::ReadFile(dir.File("batch.txt")), "ran first\r\n") << "the batch file's first argument is the parameter";
}

TEST_F(RunnerLive, DocumentOpensInItsAssociatedProgram) {
  // .ini: the text type that a fresh Wine prefix associates (with notepad); Wine 8
  // sets up no association for .txt.
  const std::string doc = dir.File("settings.ini");
  test::WriteFile(doc, "opened by its program\r\n");
  runner.FileToRun = doc;
  bool idle = false, done = false;
  TAppInfo ended;
  runner.OnAppIdle = [&](TAppInfo&) { idle = true; };
  runner.OnAppTerminate = [&](TAppInfo& app) {
    ended = app;
    done = true;
  };
  runner.Execute();
  // The program started is the one associated with the type.
  EXPECT_EQ(ExeNameOf(runner.ProcessInfo.dwProcessId), "notepad.exe");
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, runner.ProcessInfo.dwProcessId);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return idle; })) << "notepad shows a window";
  TerminateProcess(h, 9);
  CloseHandle(h);
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(ended.ExitCode, 9u);
  EXPECT_EQ(ended.FileName, doc);
}

#else

TEST_F(RunnerLive, DocumentOpensThroughXdgOpenWithItsAssociation) {
  // A private association: text/plain opens with this test program in child mode.
  const std::string doc = dir.File("notes.txt");
  test::WriteFile(doc, "opened by its program\n");
  test::WriteFile(dir.File("data/applications/nolt-runner-test.desktop"),
                  "[Desktop Entry]\nType=Application\nName=NOLT runner test\n"
                  "Exec=" + self + " --runner-child " + report + " 0 %f\nMimeType=text/plain;\n");
  test::WriteFile(dir.File("config/mimeapps.list"), "[Default Applications]\ntext/plain=nolt-runner-test.desktop\n");
  const char* path = std::getenv("PATH");
  runner.FileToRun = doc;
  runner.Environment = {std::string("PATH=") + (path ? path : "/usr/bin:/bin"),
                        "HOME=" + dir.path().string(),
                        "XDG_DATA_HOME=" + dir.File("data"),
                        "XDG_CONFIG_HOME=" + dir.File("config"),
                        "XDG_DATA_DIRS=" + dir.File("none"),
                        "XDG_CONFIG_DIRS=" + dir.File("none"),
                        // xdg-open consults associations only when a display is named.
                        "DISPLAY=:nolt-test"};
  TAppInfo ended = RunToEnd();
  EXPECT_EQ(ended.ExitCode, 0u);
  ChildReport child = ReadChildReport(report);
  ASSERT_EQ(child.args.size(), 5u);
  EXPECT_EQ(child.args[4], doc) << "the document reaches its program";
  EXPECT_TRUE(child.Has("XDG_DATA_HOME=" + dir.File("data")));
}

TEST_F(RunnerLive, ArgumentsAreSplitAsAShellWouldWithoutExpansion) {
  runner.FileToRun = self;
  runner.Parameters = "--runner-child '" + report + "' 0 plain \"two words\" 'single $HOME' back\\ slash "
                      "\"esc \\\" \\$x\" '' end";
  RunToEnd();
  ChildReport child = ReadChildReport(report);
  EXPECT_EQ(std::vector<std::string>(child.args.begin() + 1, child.args.end()),
            (std::vector<std::string>{"--runner-child", report, "0", "plain", "two words", "single $HOME",
                                      "back slash", "esc \" $x", "", "end"}));
}

#endif

}  // namespace
