// The launcher tests start this test program again as their child. In child mode it
// writes what it was started with (command line, arguments, environment, current
// directory, priority, startup placement) to a report file and exits with a given code.
//
//   runner_test --runner-child REPORT CODE [--window QUIT] [--wait QUIT] [more...]
//   NOLT_RUNNER_CHILD=REPORT runner_test          (no arguments; exit code 0)
//
// --window shows a window and runs a message loop (Windows) until the file QUIT
// exists; --wait waits for QUIT without a window. Either ends after 60 s at the latest.
#pragma once

#include <string>
#include <vector>

namespace nolt::test {

inline constexpr const char* kChildSwitch = "--runner-child";
inline constexpr const char* kChildVariable = "NOLT_RUNNER_CHILD";

// Runs child mode when the arguments or the environment ask for it; returns true and
// sets *exitCode then.
bool RunAsChild(int argc, char** argv, int* exitCode);

// A child's report.
struct ChildReport {
  std::string commandLine;        // as the system gave it (Linux: the arguments joined by blanks)
  std::vector<std::string> args;  // argv, program first
  std::vector<std::string> env;   // NAME=value, in the order of the block
  std::string cwd;
  long priority = 0;              // Windows: priority class; Linux: nice value
  std::string startup;            // Windows: "flags show x y w h" of STARTUPINFO; Linux: empty
  bool Has(const std::string& entry) const;
};

// Reads a report; throws when it is missing.
ChildReport ReadChildReport(const std::string& path);

// Full path of this program, and of the same child built as a program with a window.
std::string SelfPath();
std::string WindowChildPath();

// True when this Windows program runs under Wine.
bool UnderWine();

// The environment a child reported, without the variables that Wine adds to every
// process it starts (WINE*, SystemDrive, SystemRoot); unchanged elsewhere.
std::vector<std::string> OwnVariables(const std::vector<std::string>& env);

}  // namespace nolt::test
