// The process seam's contract, checked against the system implementation of each
// target with this test program as the child.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Process.h"
#include "platform/Shell.h"
#include "tests/support/child/RunnerChild.h"
#include "tests/support/TestSupport.h"

using namespace plat;

namespace {

class ProcessContract : public ::testing::Test {
 protected:
  Process& sys = process();
  nolt::test::TempDir dir;
  std::string report = dir.File("report.txt");
  std::string quit = dir.File("quit");
  std::string self = nolt::test::SelfPath();

  // Starts this program as a child with the given parameters.
  ProcessInformation StartChild(const std::string& parameters) {
    CommandLine cl;
    cl.program = self;
    cl.parameters = parameters;
    ProcessInformation pi;
    StartupInfo si;
    EXPECT_TRUE(sys.CreateProcessA(cl, kNormalPriorityClass, nullptr, si, &pi)) << sys.GetLastError();
    return pi;
  }
  std::string Short(const std::string& path) {
    std::string s;
    EXPECT_NE(sys.GetShortPathNameA(path, &s), 0u) << path;
    return s;
  }
};

TEST_F(ProcessContract, ProgramLookupAndShortPaths) {
  std::string program;
  EXPECT_GT(sys.FindExecutableA(self, "", &program), 32u);
  EXPECT_EQ(Short(program), Short(self)) << "a program answers itself";

  // .ini: the text type that a fresh Wine prefix associates (with notepad).
  const std::string doc = dir.File("notes.ini");
  nolt::test::WriteFile(doc, "[text]");
  ASSERT_GT(sys.FindExecutableA(doc, "", &program), 32u);
  EXPECT_TRUE(nolt::test::FileExists(program)) << program;
  EXPECT_NE(Short(program), Short(doc));
  // A document is found relative to the directory given.
  EXPECT_GT(sys.FindExecutableA("notes.ini", dir.path().string(), &program), 32u);

  EXPECT_EQ(sys.FindExecutableA(dir.File("missing.txt"), "", &program), kSeFileNotFound);

  std::string shortForm;
  const std::uint32_t n = sys.GetShortPathNameA(self, &shortForm);
  EXPECT_EQ(n, shortForm.size());
  EXPECT_TRUE(nolt::test::FileExists(shortForm)) << "the short form names the same file";
  EXPECT_EQ(sys.GetShortPathNameA(dir.File("missing.txt"), &shortForm), 0u);
  EXPECT_NE(sys.GetLastError(), 0u);
  EXPECT_FALSE(sys.ErrorText(sys.GetLastError()).empty());
}

TEST_F(ProcessContract, ChildLifecycleWaitsExitCodeAndTimes) {
  ProcessInformation pi = StartChild("--runner-child " + report + " 5 --busy 300 --wait " + quit);
  ASSERT_NE(pi.hProcess, kNoProcess);
  EXPECT_NE(pi.dwProcessId, 0u);

  EXPECT_EQ(sys.WaitForSingleObject(pi.hProcess, 0), kWaitTimeout);
  EXPECT_EQ(sys.WaitForSingleObject(pi.hProcess, 20), kWaitTimeout);
#ifdef _WIN32
  EXPECT_EQ(sys.WaitForInputIdle(pi.hProcess, kInfinite), kWaitFailed) << "a console program is never idle";
#else
  EXPECT_EQ(sys.WaitForInputIdle(pi.hProcess, kInfinite), 0u) << "ready once started";
#endif
  std::uint32_t code = 0;
  ASSERT_TRUE(sys.GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, kStillActive);
  std::uint64_t creation = 0, exit = 1, kernel = 0, user = 0;
  ASSERT_TRUE(sys.GetProcessTimes(pi.hProcess, &creation, &exit, &kernel, &user));
  EXPECT_GT(creation, 0u);
  EXPECT_EQ(exit, 0u) << "no exit time while it runs";
  // The child keeps the processor busy first; its times show that work while it
  // runs. Wine brings another process's times up to date only now and then, and
  // in about one run in five never: there the work is not asked for.
  for (int i = 0; i < 100 && kernel + user == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sys.GetProcessTimes(pi.hProcess, &creation, &exit, &kernel, &user));
  }
  if (!nolt::test::UnderWine()) {
    EXPECT_GT(kernel + user, 0u) << "the child did some work";
  }

  nolt::test::WriteFile(quit, "");
  EXPECT_EQ(sys.WaitForSingleObject(pi.hProcess, kInfinite), kWaitObject0);
  EXPECT_EQ(sys.WaitForSingleObject(pi.hProcess, 0), kWaitObject0) << "an ended process stays signalled";
  ASSERT_TRUE(sys.GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 5u);
  std::uint64_t creation2 = 0;
  ASSERT_TRUE(sys.GetProcessTimes(pi.hProcess, &creation2, &exit, &kernel, &user));
  EXPECT_EQ(creation2, creation);
  EXPECT_GT(exit, creation);

  EXPECT_TRUE(sys.CloseHandle(pi.hThread));
  EXPECT_TRUE(sys.CloseHandle(pi.hProcess));
  EXPECT_EQ(sys.WaitForSingleObject(pi.hProcess, 0), kWaitFailed) << "a closed handle cannot be waited on";
  EXPECT_FALSE(sys.CloseHandle(pi.hProcess));
}

// The system would read a text only up to a NUL: a shorter path, another program.
TEST_F(ProcessContract, ATextHoldingANulIsRefused) {
  const std::string nul(1, '\0');
  std::string out;
  EXPECT_EQ(sys.FindExecutableA(self + nul + "x", "", &out), kSeFileNotFound);
  EXPECT_EQ(sys.FindExecutableA(self, dir.path().string() + nul, &out), kSeFileNotFound);
  EXPECT_FALSE(sys.StartsByItself(self + nul + "x"));
  EXPECT_EQ(sys.GetShortPathNameA(self + nul + "x", &out), 0u);
  ProcessInformation pi;
  for (CommandLine cl : {CommandLine{self + nul + "x", "", ""}, CommandLine{self, "a" + nul + "b", ""},
                         CommandLine{self, "", "--runner-child " + report + nul + " 5"}}) {
    EXPECT_FALSE(sys.CreateProcessA(cl, kNormalPriorityClass, nullptr, StartupInfo{}, &pi));
    EXPECT_NE(sys.GetLastError(), 0u);
  }
  EXPECT_FALSE(nolt::test::FileExists(report)) << "no child was started";
  EXPECT_FALSE(shell().ShellExecuteOpen(dir.File("a.txt") + nul + "x"));
}

TEST_F(ProcessContract, RunElevatedWaitsForTheProgramAndGivesItsExitCode) {
  std::uint32_t code = 0;
#ifdef _WIN32
  // Wine elevates without a consent prompt; Windows would ask here.
  if (!nolt::test::UnderWine()) GTEST_SKIP() << "the consent prompt waits for a user";
  ASSERT_EQ(sys.RunElevated(self, "--runner-child \"" + report + "\" 7", &code), ElevatedRun::Ended)
      << sys.GetLastError();
  EXPECT_EQ(code, 7u);
  const nolt::test::ChildReport r = nolt::test::ReadChildReport(report);
  ASSERT_EQ(r.args.size(), 4u);
  EXPECT_EQ(r.args[1], "--runner-child");
  EXPECT_EQ(r.args[2], report);
  EXPECT_EQ(r.args[3], "7");
#else
  EXPECT_EQ(sys.RunElevated(self, "--runner-child " + report + " 7", &code), ElevatedRun::Unavailable);
  EXPECT_FALSE(nolt::test::FileExists(report)) << "nothing was started";
#endif
  const std::string nul(1, '\0');
  EXPECT_NE(sys.RunElevated(self + nul + "x", "", &code), ElevatedRun::Ended);
}

TEST_F(ProcessContract, FailedStartReportsTheSystemError) {
  CommandLine cl;
  cl.program = dir.File("missing.exe");
  ProcessInformation pi;
  EXPECT_FALSE(sys.CreateProcessA(cl, kNormalPriorityClass, nullptr, StartupInfo{}, &pi));
  // ERROR_FILE_NOT_FOUND on Windows and ENOENT on Linux are both 2.
  EXPECT_EQ(sys.GetLastError(), 2u);
  EXPECT_FALSE(sys.ErrorText(2).empty());
  std::uint32_t platform = 0;
  EXPECT_TRUE(sys.GetVersionExA(&platform));
  EXPECT_EQ(platform, kVerPlatformWin32Nt);
}

}  // namespace
