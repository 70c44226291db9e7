#include "tests/support/RunProgram.h"

#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
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
                         unsigned timeoutMs, const ProgramOptions& options) {
  ProgramResult r;
  std::string cmd = Quote(program);
  for (const auto& a : args) cmd += " " + Quote(a);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // Standard error goes to a file of its own, read when the program has ended.
  TempDir errors;
  HANDLE errorFile = INVALID_HANDLE_VALUE;
  if (options.captureErrors) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    errorFile = CreateFileA(errors.File("stderr").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0,
                            nullptr);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = errorFile;
  }
  const BOOL created = CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, options.captureErrors, 0, nullptr,
                                      cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
  if (errorFile != INVALID_HANDLE_VALUE) CloseHandle(errorFile);
  if (!created) return r;
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
  if (options.captureErrors) r.errorOutput = nolt::test::ReadFile(errors.File("stderr"));
  return r;
}

#else

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         unsigned timeoutMs, const ProgramOptions& options) {
  ProgramResult r;
  TempDir errors;
  const std::string errorPath = errors.File("stderr");
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment is made before the fork: the child may only make system calls.
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    if (options.headless && (var.rfind("DISPLAY=", 0) == 0 || var.rfind("WAYLAND_DISPLAY=", 0) == 0)) continue;
    envp.push_back(*e);
  }
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (options.captureErrors) {
      const int fd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || dup2(fd, 2) < 0) _exit(127);
    }
    execve(program.c_str(), argv.data(), envp.data());
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
  if (options.captureErrors) r.errorOutput = nolt::test::ReadFile(errorPath);
  return r;
}

#endif

}  // namespace nolt::test
