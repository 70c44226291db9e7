// TRunner and its wait threads over a scripted process seam: the exact command line,
// startup description, priority and environment handed to the system, every failure
// path, and the events with their records, on both targets alike.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Seam.h"
#include "runner/Runner.h"
#include "tests/runner/FakeProcess.h"
#include "tests/runner/RunnerWait.h"
#include "tests/support/FixedClock.h"

using namespace nolt;
using nolt::test::FixedClock;
using nolt::test::FakeProcess;
using nolt::test::PumpUntil;

namespace {

TEST(RunnerEnvironmentBlock, EachLineEndsInNulAndOneMoreNulEndsTheBlock) {
  EXPECT_EQ(BuildEnvironmentBlock({"A=1", "PATH=C:\\x;y"}), std::string("A=1\0PATH=C:\\x;y\0\0", 17));
  EXPECT_EQ(BuildEnvironmentBlock({}), std::string(1, '\0'));
  // Lines pass as they stand, without any check of their form.
  EXPECT_EQ(BuildEnvironmentBlock({"no equals sign"}), std::string("no equals sign\0\0", 16));
}

TEST(RunnerProperties, InitialValuesAndCopyingSetters) {
  TRunner runner;
  EXPECT_EQ(runner.FileToRun, "");
  EXPECT_EQ(runner.Priority, ppNormal);
  EXPECT_EQ(runner.ShowState, wssShow);
  EXPECT_TRUE(runner.Environment.empty());
  EXPECT_EQ(runner.Position.Left | runner.Position.Top | runner.Position.Width | runner.Position.Height, 0);
  EXPECT_FALSE(runner.OnAppTerminate);
  EXPECT_FALSE(runner.OnAppIdle);

  TStringList lines{"A=1", "B=2"};
  runner.SetEnvironment(&lines);
  lines.push_back("C=3");
  EXPECT_EQ(runner.Environment, (TStringList{"A=1", "B=2"})) << "the setter copies the lines";
  EXPECT_THROW(runner.SetEnvironment(nullptr), EConvertError);

  TWindowPosition pos;
  pos.Left = 1, pos.Top = 2, pos.Width = 3, pos.Height = 4;
  runner.SetPosition(&pos);
  pos.Left = 9;
  EXPECT_EQ(runner.Position.Left, 1);
  EXPECT_EQ(runner.Position.Height, 4);
  runner.SetPosition(nullptr);
  EXPECT_EQ(runner.Position.Width, 3) << "an absent position is ignored";

  TObject other;
  EXPECT_THROW(runner.Position.Assign(&other), EConvertError);
  EXPECT_THROW(runner.Position.Assign(nullptr), EConvertError);
}

class RunnerFake : public ::testing::Test {
 protected:
  void TearDown() override {
    fake.BecomeIdle();
    fake.End();
    EXPECT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
    plat::ui().ProcessMessages();
  }

  // Starts and returns the command line as Windows would receive it.
  std::string Start(const std::string& file, const std::string& parameters = "") {
    runner.FileToRun = file;
    runner.Parameters = parameters;
    runner.Execute();
    return fake.commandLine.Text();
  }

  FakeProcess fake;
  FixedClock clock;  // local time an hour ahead of UTC
  plat::ScopedSeam<plat::Process> processSeam{fake};
  plat::ScopedSeam<plat::Clock> clockSeam{clock};
  TRunner runner;
};

TEST_F(RunnerFake, CommandLinesOfProgramsAndDocuments) {
  struct Case {
    const char* file;
    const char* found;  // the lookup's answer
    bool startsByItself;
    const char* parameters;
    const char* commandLine;
    const char* storedParameters;
  };
  const Case cases[] = {
      {"C:\\Apps\\tool.exe", "C:\\Apps\\tool.exe", false, " \t -a  \"b c\"\r\n ", "~C:\\Apps\\tool.exe -a  \"b c\"",
       "-a  \"b c\""},
      {"C:\\Apps\\tool.exe", "C:\\Apps\\tool.exe", false, "  \t ", "~C:\\Apps\\tool.exe", ""},
      {"C:\\Docs\\read.me.txt", "C:\\Ed\\ed.exe", false, "-p", "~C:\\Ed\\ed.exe ~C:\\Docs\\read.me.txt -p", "-p"},
      // Program extensions in any case; only the part after the last delimiter counts.
      {"C:\\x\\setup.BaT", "C:\\x\\setup.BaT", false, "", "~C:\\x\\setup.BaT", ""},
      {"C:\\x\\old.cOm", "C:\\x\\old.cOm", false, "", "~C:\\x\\old.cOm", ""},
      {"C:\\x.exe\\readme", "C:\\Ed\\ed.exe", false, "", "~C:\\Ed\\ed.exe ~C:\\x.exe\\readme", ""},
      {"C:\\x\\tool.exec", "C:\\Ed\\ed.exe", false, "", "~C:\\Ed\\ed.exe ~C:\\x\\tool.exec", ""},
      // A file that the system starts by itself whatever its name (Linux).
      {"/opt/tool/run", "/opt/tool/run", true, "x", "~/opt/tool/run x", "x"},
  };
  for (const Case& c : cases) {
    fake.lookupProgram = c.found;
    fake.startsByItself = c.startsByItself;
    EXPECT_EQ(Start(c.file, c.parameters), c.commandLine) << c.file;
    EXPECT_EQ(runner.Parameters, c.storedParameters) << "the trimmed text is stored back";
    EXPECT_EQ(fake.lookupFile, c.file);
    EXPECT_EQ(fake.lookupDirectory, "");
  }
  EXPECT_EQ(runner.ProcessInfo.hProcess, FakeProcess::kProcess);
  EXPECT_EQ(runner.ProcessInfo.hThread, FakeProcess::kThread);
  EXPECT_EQ(runner.ProcessInfo.dwProcessId, 1234u);
  EXPECT_EQ(runner.ProcessInfo.dwThreadId, 5678u);
}

TEST_F(RunnerFake, StartupDescriptionPriorityAndEnvironment) {
  Start("C:\\a.exe");
  EXPECT_EQ(fake.startup.dwFlags, plat::kStartfUseShowWindow);
  EXPECT_EQ(fake.startup.wShowWindow, 5);
  EXPECT_EQ(fake.startup.dwX | fake.startup.dwY | fake.startup.dwXSize | fake.startup.dwYSize, 0);
  EXPECT_EQ(fake.creationFlags, plat::kNormalPriorityClass);
  EXPECT_FALSE(fake.environmentGiven) << "an empty list passes the caller's environment on";

  // One value set hands over all four, as they stand.
  runner.Position.Width = 640;
  runner.ShowState = wssShowMinNoActive;
  runner.Environment = {"ONLY=1"};
  Start("C:\\a.exe");
  EXPECT_EQ(fake.startup.dwFlags, plat::kStartfUsePosition | plat::kStartfUseSize | plat::kStartfUseShowWindow);
  EXPECT_EQ(fake.startup.dwX, 0);
  EXPECT_EQ(fake.startup.dwY, 0);
  EXPECT_EQ(fake.startup.dwXSize, 640);
  EXPECT_EQ(fake.startup.dwYSize, 0);
  EXPECT_EQ(fake.startup.wShowWindow, 7);
  EXPECT_TRUE(fake.environmentGiven);
  EXPECT_EQ(fake.environment, std::string("ONLY=1\0\0", 8));

  const std::pair<TProcessPriority, std::uint32_t> classes[] = {
      {ppIdle, 0x40}, {ppNormal, 0x20}, {ppHigh, 0x80}, {ppRealTime, 0x100}};
  for (auto [priority, flags] : classes) {
    runner.Priority = priority;
    Start("C:\\a.exe");
    EXPECT_EQ(fake.creationFlags, flags) << int(priority);
  }
}

TEST_F(RunnerFake, FailedLookupRaisesItsMessageAndStartsNothing) {
  const std::pair<std::uintptr_t, const char*> table[] = {
      {0, "The system is out of memory or resources"},
      {2, "The specified file was not found"},
      {3, "The specified path was not found"},
      {11, "The .EXE file is invalid (non-Win32 .EXE or error in .EXE image)"},
      {31, "There is no association for the specified file type"},
      {5, ""},
      {32, ""}};
  for (auto [result, message] : table) {
    fake.lookupResult = result;
    runner.FileToRun = "C:\\missing.exe";
    runner.Parameters = " p ";
    try {
      runner.Execute();
      ADD_FAILURE() << "no error for " << result;
    } catch (const ERunnerError& e) {
      EXPECT_STREQ(e.what(), message);
    }
    EXPECT_EQ(runner.Parameters, " p ") << "left untrimmed";
  }
  EXPECT_EQ(fake.Calls(), std::vector<std::string>(7, "FindExecutableA"));
}

TEST_F(RunnerFake, FailedShortPathRaisesTheSystemTextAndLeavesParameters) {
  fake.lastError = 5;
  fake.shortPathFailsFor = "C:\\doc.txt";
  runner.Parameters = " p ";
  try {
    Start("C:\\doc.txt", " p ");
    ADD_FAILURE();
  } catch (const ERunnerError& e) {
    EXPECT_STREQ(e.what(), "5: Access is denied") << "trailing blanks, controls and full stops go";
  }
  EXPECT_EQ(runner.Parameters, " p ");

  // At most 255 characters of the system's text.
  fake.shortPathFails = true;
  fake.errorText = std::string(300, 'x');
  try {
    Start("C:\\doc.txt");
    ADD_FAILURE();
  } catch (const ERunnerError& e) {
    EXPECT_EQ(std::string(e.what()), "5: " + std::string(252, 'x'));
  }
  for (const auto& call : fake.Calls()) EXPECT_NE(call, "CreateProcessA");
}

TEST_F(RunnerFake, FailedCreationRaisesTheSystemTextWithParametersTrimmed) {
  fake.createFails = true;
  fake.lastError = 2;
  fake.errorText = "The system cannot find the file specified.\r\n";
  try {
    Start("C:\\a.exe", "  p  ");
    ADD_FAILURE();
  } catch (const ERunnerError& e) {
    EXPECT_STREQ(e.what(), "2: The system cannot find the file specified");
  }
  EXPECT_EQ(runner.Parameters, "p");
  EXPECT_EQ(WaitThreadsRunning(), 0);
}

TEST_F(RunnerFake, UnreadableStartTimeRaisesAndNoThreadWatches) {
  fake.timesFail = true;
  fake.lastError = 6;
  fake.errorText = "The handle is invalid.";
  EXPECT_THROW(Start("C:\\a.exe"), ERunnerError);
  EXPECT_EQ(WaitThreadsRunning(), 0);
  for (const auto& call : fake.Calls()) EXPECT_EQ(call.find("CloseHandle"), std::string::npos) << "handles stay open";
}

TEST_F(RunnerFake, IdleThenTerminateOnTheMainThreadWithLocalTimes) {
  fake.creation = 133594528890000000ULL;        // 2024-05-06 07:08:09 UTC
  fake.exitTime = fake.creation + 25000000ULL;  // 2.5 s later
  fake.kernel = 1111;
  fake.user = 2222;
  std::vector<std::string> events;
  const auto mainId = std::this_thread::get_id();
  TAppInfo idle, ended;
  runner.OnAppIdle = [&](TAppInfo& app) {
    EXPECT_EQ(std::this_thread::get_id(), mainId);
    events.push_back("idle");
    idle = app;
  };
  Start("C:\\a.exe");
  // Assigned after Execute: looked up when the notification runs.
  runner.OnAppTerminate = [&](TAppInfo& app) {
    EXPECT_EQ(std::this_thread::get_id(), mainId);
    events.push_back("terminate");
    ended = app;
  };
  runner.FileToRun = "changed later";
  fake.BecomeIdle();
  ASSERT_TRUE(PumpUntil([&] { return events.size() == 1; }));
  fake.End();
  ASSERT_TRUE(PumpUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"idle", "terminate"}));

  EXPECT_EQ(idle.FileName, "C:\\a.exe");
  EXPECT_EQ(idle.ExitCode, 0u);
  EXPECT_EQ(idle.StartTime, 0);
  EXPECT_EQ(idle.EndTime, 0);
  EXPECT_EQ(idle.KernelTime + idle.UserTime, 0u);

  EXPECT_EQ(ended.FileName, "C:\\a.exe") << "FileToRun when the thread was set up";
  EXPECT_EQ(ended.ExitCode, 3u);
  // 2024-05-06 08:08:09 local (the fake clock is one hour ahead of UTC).
  EXPECT_NEAR(ended.StartTime, 45418 + (8 * 3600 + 8 * 60 + 9) / 86400.0, 1e-9);
  EXPECT_NEAR(ended.EndTime - ended.StartTime, 2.5 / 86400, 1e-9);
  EXPECT_EQ(ended.KernelTime, 1111u);
  EXPECT_EQ(ended.UserTime, 2222u);
}

TEST_F(RunnerFake, SharedHandleIsClosedOnlyAfterTheIdleWaitHasEnded) {
  bool idleSeen = false, terminateSeen = false;
  runner.OnAppIdle = [&](TAppInfo&) { idleSeen = true; };
  runner.OnAppTerminate = [&](TAppInfo&) {
    EXPECT_TRUE(idleSeen) << "idle comes first";
    terminateSeen = true;
  };
  Start("C:\\a.exe");
  fake.End();  // the program ends before it is ever idle
  ASSERT_TRUE(PumpUntil([&] {
    auto calls = fake.Calls();
    return std::find(calls.begin(), calls.end(), "GetExitCodeProcess") != calls.end();
  }));
  for (const auto& call : fake.Calls()) EXPECT_EQ(call.find("CloseHandle"), std::string::npos);
  EXPECT_FALSE(terminateSeen);
  fake.BecomeIdle();
  ASSERT_TRUE(PumpUntil([&] { return terminateSeen; }));
  auto calls = fake.Calls();
  auto at = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
  EXPECT_LT(at("idle wait ended"), at("CloseHandle process"));
  EXPECT_LT(at("CloseHandle process"), at("CloseHandle thread"));
  EXPECT_LT(at("CloseHandle thread"), static_cast<long>(calls.size()));
}

TEST_F(RunnerFake, FailedIdleWaitGivesOnlyTheTermination) {
  fake.idleResult = plat::kWaitFailed;
  int idles = 0, terminates = 0;
  runner.OnAppIdle = [&](TAppInfo&) { ++idles; };
  runner.OnAppTerminate = [&](TAppInfo&) { ++terminates; };
  Start("C:\\a.exe");
  fake.BecomeIdle();
  fake.End();
  ASSERT_TRUE(PumpUntil([&] { return terminates == 1; }));
  EXPECT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
  plat::ui().ProcessMessages();
  EXPECT_EQ(idles, 0);
}

TEST_F(RunnerFake, UnreadableExitCodeEndsSilentlyButClosesTheHandles) {
  fake.exitCodeFails = true;
  bool seen = false;
  runner.OnAppTerminate = [&](TAppInfo&) { seen = true; };
  Start("C:\\a.exe");
  fake.BecomeIdle();
  fake.End();
  ASSERT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
  plat::ui().ProcessMessages();
  EXPECT_FALSE(seen);
  auto calls = fake.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "CloseHandle process"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "CloseHandle thread"), calls.end());
}

TEST_F(RunnerFake, DestroyedRunnerIsNeverCalled) {
  // One runner is freed by its own idle handler, another before anything arrives;
  // under the sanitizers a late call into either would be caught.
  int calls = 0;
  auto* selfFreeing = new TRunner;
  selfFreeing->FileToRun = "C:\\a.exe";
  selfFreeing->OnAppIdle = [&](TAppInfo&) {
    ++calls;
    delete selfFreeing;
  };
  selfFreeing->OnAppTerminate = [&](TAppInfo&) { ++calls; };
  selfFreeing->Execute();
  auto* early = new TRunner;
  early->FileToRun = "C:\\b.exe";
  early->OnAppIdle = early->OnAppTerminate = [&](TAppInfo&) { calls += 100; };
  early->Execute();
  delete early;
  fake.BecomeIdle();
  fake.End();
  ASSERT_TRUE(PumpUntil([] { return WaitThreadsRunning() == 0; }));
  plat::ui().ProcessMessages();
  EXPECT_EQ(calls, 1);
}

}  // namespace
