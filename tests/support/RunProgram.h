// Runs a built program of ours as a child process and waits for it, for the tests
// of whole programs on both targets.
#pragma once

#include <string>
#include <vector>

namespace nolt::test {

struct ProgramResult {
  bool started = false;
  bool timedOut = false;  // the program was still running and has been killed
  int exitCode = -1;
  std::string errorOutput;  // what it wrote to standard error, when asked for
};

struct ProgramOptions {
  // Linux: the program gets no DISPLAY and no WAYLAND_DISPLAY, and so no windows.
  // Windows programs always have a display.
  bool headless = false;
  // Keep what the program writes to standard error (ProgramResult::errorOutput).
  bool captureErrors = false;
};

// Starts program with args in directory cwd (empty: the current one) and waits up
// to timeoutMs for it to end.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         unsigned timeoutMs, const ProgramOptions& options = {});

// The path of a program built beside the tests ("nolt-cab" -> ".../bin/nolt-cab[.exe]").
std::string ProgramPath(const std::string& name);

}  // namespace nolt::test
