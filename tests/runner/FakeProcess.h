// A scripted process seam for the launcher's component tests: records every call,
// answers from its fields, and lets a test decide when a "process" ends or becomes
// idle. Safe to call from the wait threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace nolt::test {

class FakeProcess : public plat::Process {
 public:
  static constexpr plat::ProcessHandle kProcess = 0x100;
  static constexpr plat::ProcessHandle kThread = 0x104;

  // Scripted answers.
  std::uintptr_t lookupResult = 42;
  std::string lookupProgram = "C:\\Program Files\\Editor\\editor.exe";
  bool startsByItself = false;
  bool shortPathFails = false;  // for any path
  std::string shortPathFailsFor; // for this path only
  bool createFails = false;
  std::uint32_t lastError = 0;
  std::string errorText = "Access is denied.  \r\n";
  bool timesFail = false;
  bool exitCodeFails = false;
  std::uint32_t exitCode = 3;
  std::uint64_t creation = 0, exitTime = 0, kernel = 0, user = 0;
  std::uint32_t idleResult = 0;
  plat::ElevatedRun elevatedResult = plat::ElevatedRun::Ended;
  std::uint32_t elevatedExitCode = 0;

  // What the component handed over.
  std::vector<std::string> calls;
  std::string lookupFile, lookupDirectory;
  plat::CommandLine commandLine;
  std::uint32_t creationFlags = 0;
  bool environmentGiven = false;
  std::string environment;
  plat::StartupInfo startup;
  std::string elevatedProgram, elevatedParameters;

  // Lets the process end or become idle; the waits block until then.
  void End() { Set(ended_); }
  void BecomeIdle() { Set(idle_); }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls;
  }

  std::uintptr_t FindExecutableA(const std::string& file, const std::string& directory,
                                 std::string* program) override {
    Record("FindExecutableA");
    lookupFile = file;
    lookupDirectory = directory;
    if (lookupResult > 32) *program = lookupProgram;
    return lookupResult;
  }
  bool StartsByItself(const std::string&) override { return startsByItself; }
  std::uint32_t GetShortPathNameA(const std::string& path, std::string* shortPath) override {
    Record("GetShortPathNameA " + path);
    if (shortPathFails || path == shortPathFailsFor) return 0;
    *shortPath = "~" + path;  // keeps the extension as it is
    return static_cast<std::uint32_t>(shortPath->size());
  }
  bool CreateProcessA(const plat::CommandLine& cl, std::uint32_t flags, const std::string* env,
                      const plat::StartupInfo& si, plat::ProcessInformation* info) override {
    Record("CreateProcessA");
    commandLine = cl;
    creationFlags = flags;
    environmentGiven = env != nullptr;
    environment = env ? *env : std::string();
    startup = si;
    if (createFails) return false;
    *info = {kProcess, kThread, 1234, 5678};
    return true;
  }
  std::uint32_t WaitForSingleObject(plat::ProcessHandle h, std::uint32_t) override {
    Record("WaitForSingleObject " + Name(h));
    Await(ended_);
    return plat::kWaitObject0;
  }
  std::uint32_t WaitForInputIdle(plat::ProcessHandle h, std::uint32_t) override {
    Record("WaitForInputIdle " + Name(h));
    Await(idle_);
    Record("idle wait ended");
    return idleResult;
  }
  bool GetExitCodeProcess(plat::ProcessHandle, std::uint32_t* code) override {
    Record("GetExitCodeProcess");
    if (exitCodeFails) return false;
    *code = exitCode;
    return true;
  }
  bool GetProcessTimes(plat::ProcessHandle, std::uint64_t* c, std::uint64_t* e, std::uint64_t* k,
                       std::uint64_t* u) override {
    Record("GetProcessTimes");
    if (timesFail) return false;
    *c = creation;
    *e = exitTime;
    *k = kernel;
    *u = user;
    return true;
  }
  bool CloseHandle(plat::ProcessHandle h) override {
    Record("CloseHandle " + Name(h));
    return true;
  }
  plat::ElevatedRun RunElevated(const std::string& program, const std::string& parameters,
                                std::uint32_t* code) override {
    Record("RunElevated");
    elevatedProgram = program;
    elevatedParameters = parameters;
    if (elevatedResult == plat::ElevatedRun::Ended) *code = elevatedExitCode;
    return elevatedResult;
  }
  bool GetVersionExA(std::uint32_t* id) override {
    *id = plat::kVerPlatformWin32Nt;
    return true;
  }
  std::uint32_t GetLastError() override { return lastError; }
  std::string ErrorText(std::uint32_t code) override { return std::to_string(code) + ": " + errorText; }

 private:
  static std::string Name(plat::ProcessHandle h) {
    return h == kProcess ? "process" : h == kThread ? "thread" : "other";
  }
  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back(call);
  }
  void Set(bool& flag) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flag = true;
    }
    cv_.notify_all();
  }
  void Await(bool& flag) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return flag; });
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool ended_ = false;
  bool idle_ = false;
};

}  // namespace nolt::test
