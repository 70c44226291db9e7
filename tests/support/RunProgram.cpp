#include "tests/support/RunProgram.h"

#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;
#endif

namespace nolt::test {

std::string ProgramPath(const std::string& name) {
#ifdef _WIN32
  return BinDir() + "\\" + name + ".exe";
#else
  return BinDir() + "/" + name;
#endif
}

#ifdef _WIN32

namespace {
std::string Quote(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string q = "\"";
  for (char c : a) {
    if (c == '"') q += '\\';
    q += c;
  }
  return q + "\"";
}
}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         unsigned timeoutMs) {
  ProgramResult r;
  std::string cmd = Quote(program);
  for (const auto& a : args) cmd += " " + Quote(a);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      cwd.empty() ? nullptr : cwd.c_str(), &si, &pi))
    return r;
  r.started = true;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_TIMEOUT) {
    r.timedOut = true;
    TerminateProcess(pi.hProcess, 255);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  r.exitCode = static_cast<int>(code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return r;
}

#else

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         unsigned timeoutMs) {
  ProgramResult r;
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  r.started = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) r.exitCode = 128 + WTERMSIG(status);
  return r;
}

#endif

}  // namespace nolt::test
