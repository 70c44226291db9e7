// Linux implementation of the process seam: posix_spawn, waits on pidfds, times from
// /proc and wait4. Must contain only POSIX and Linux-specific code.
#include "platform/Process.h"
#include "base/Time.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace plat {
namespace {

thread_local std::uint32_t lastError = 0;

using nolt::kUnixEpochFileTime;

std::uint64_t Hundreds(const timespec& ts) {
  return static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

std::uint64_t Hundreds(const timeval& tv) {
  return static_cast<std::uint64_t>(tv.tv_sec) * 10000000ULL + static_cast<std::uint64_t>(tv.tv_usec) * 10;
}

std::uint64_t NowFileTime() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpochFileTime + Hundreds(now);
}

// Clock ticks of /proc in 100 ns units.
std::uint64_t TicksToHundreds(unsigned long long ticks) {
  static const long hz = sysconf(_SC_CLK_TCK);
  return static_cast<std::uint64_t>(ticks) * (10000000ULL / static_cast<std::uint64_t>(hz > 0 ? hz : 100));
}

struct ProcStat {
  unsigned long long utime = 0;      // user time, clock ticks
  unsigned long long stime = 0;      // kernel time, clock ticks
  unsigned long long starttime = 0;  // clock ticks after boot
};

// Reads /proc/<pid>/stat. The program name (field 2) may hold blanks and
// parentheses, so the fields are counted from its last ')'.
bool ReadProcStat(pid_t pid, ProcStat* out) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  std::size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 1));
  std::vector<std::string> fields;  // fields[0] is field 3, the state
  for (std::string f; rest >> f;) fields.push_back(f);
  if (fields.size() < 20) return false;
  out->utime = std::stoull(fields[11]);
  out->stime = std::stoull(fields[12]);
  out->starttime = std::stoull(fields[19]);
  return true;
}

// Wall-clock FILETIME of a moment given in ticks after boot.
std::uint64_t BootTicksToFileTime(unsigned long long ticks) {
  timespec real, boot;
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return kUnixEpochFileTime + Hundreds(real) - Hundreds(boot) + TicksToHundreds(ticks);
}

// One started child, shared by every handle to it. Only the first successful wait
// reaps it; what that wait learns stays here for the other handles.
struct Child {
  pid_t pid = 0;
  int pidfd = -1;               // readable once the child has ended
  std::uint64_t creation = 0;   // FILETIME
  std::mutex mutex;
  bool reaped = false;
  int status = 0;
  std::uint64_t exitTime = 0;   // FILETIME
  std::uint64_t kernel = 0;
  std::uint64_t user = 0;

  // Reaps the child when it has ended (block: wait until it has). True once reaped.
  bool Reap(bool block) {
    std::lock_guard<std::mutex> lock(mutex);
    if (reaped) return true;
    int st = 0;
    rusage ru{};
    pid_t r;
    do r = wait4(pid, &st, block ? 0 : WNOHANG, &ru);
    while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    reaped = true;
    exitTime = NowFileTime();
    if (r == pid) {
      status = st;
      kernel = Hundreds(ru.ru_stime);
      user = Hundreds(ru.ru_utime);
    }
    return true;
  }

  // Reaps the child if it has ended by now, without waiting.
  bool Refresh() {
    if (pidfd < 0) return Reap(false);
    pollfd p{pidfd, POLLIN, 0};
    return Reap(poll(&p, 1, 0) > 0);
  }

  ~Child() {
    if (pidfd >= 0) close(pidfd);
    if (reaped) return;
    // Every handle is closed and nobody waited: reap the child when it ends, so it
    // does not linger as a zombie.
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
      pid_t p = pid;
      std::thread([p] { waitpid(p, nullptr, 0); }).detach();
    }
  }
};

// The open handles. Created once and never destroyed, so a child outliving the
// program's static objects still finds it.
class HandleTable {
 public:
  ProcessHandle Add(const std::shared_ptr<Child>& child) {
    std::lock_guard<std::mutex> lock(mutex_);
    ProcessHandle h = next_;
    next_ += 4;
    open_[h] = child;
    return h;
  }

  std::shared_ptr<Child> Find(ProcessHandle h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(h);
    if (it == open_.end()) return nullptr;
    return it->second;
  }

  bool Remove(ProcessHandle h) {
    std::shared_ptr<Child> child;  // released after the lock: its destructor may reap
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(h);
    if (it == open_.end()) return false;
    child = std::move(it->second);
    open_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<ProcessHandle, std::shared_ptr<Child>> open_;
  ProcessHandle next_ = 0x1000;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// Splits parameters into words as a shell does, without expanding anything: blanks
// separate words; '...' keeps everything inside; "..." keeps everything but lets a
// backslash escape " \ $ and `; a backslash outside quotes keeps the next character.
// An unclosed quote runs to the end.   a "b c" 'd e' f\ g  ->  a | b c | d e | f g
void SplitWords(const std::string& text, std::vector<std::string>* words) {
  std::string word;
  bool inWord = false;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '\'') {
      inWord = true;
      while (++i < n && text[i] != '\'') word += text[i];
    } else if (c == '"') {
      inWord = true;
      while (++i < n && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < n && std::strchr("\"\\$`", text[i + 1])) ++i;
        word += text[i];
      }
    } else if (c == '\\' && i + 1 < n) {
      inWord = true;
      word += text[++i];
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else {
      inWord = true;
      word += c;
    }
  }
  if (inWord) words->push_back(word);
}

// FindExecutableA's answer for a file that cannot be examined.
std::uintptr_t LookupFailure(int err, const std::string& path) {
  switch (err) {
    case ENOMEM: return kSeOutOfMemory;
    case EACCES: return kSeAccessDenied;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kSePathNotFound;
    case ENOENT: {
      // Missing file or missing directory on the way to it.
      std::size_t slash = path.rfind('/');
      std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
      struct stat st;
      return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? kSeFileNotFound : kSePathNotFound;
    }
    default: return kSeFileNotFound;
  }
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string SearchPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

// Nice value of a priority class; ppNormal keeps the caller's.
bool NiceOf(std::uint32_t creationFlags, int* nice) {
  switch (creationFlags) {
    case kIdlePriorityClass: *nice = 19; return true;
    case kHighPriorityClass: *nice = -10; return true;
    case kRealtimePriorityClass: *nice = -20; return true;
    default: return false;
  }
}

// True when every text may go to the system; one holding a NUL fails with EINVAL,
// as the system would read it only up to the NUL.
bool Passable(std::initializer_list<const std::string*> texts) {
  for (const std::string* t : texts)
    if (HoldsNul(*t)) {
      lastError = EINVAL;
      return false;
    }
  return true;
}

class PosixProcess final : public Process {
 public:
  std::uintptr_t FindExecutableA(const std::string& file, const std::string& directory,
                                 std::string* program) override {
    if (!Passable({&file, &directory})) return kSeFileNotFound;
    std::string path = file;
    if (!directory.empty() && !file.empty() && file[0] != '/') path = directory + "/" + file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      int err = errno;
      lastError = static_cast<std::uint32_t>(err);
      return LookupFailure(err, path);
    }
    if (IsExecutableFile(path)) {
      *program = path;
      return 42;
    }
    // A document: xdg-open hands it to the program associated with its type.
    std::string opener = SearchPath("xdg-open");
    if (opener.empty()) return kSeNoAssoc;
    *program = opener;
    return 42;
  }

  bool StartsByItself(const std::string& path) override { return Passable({&path}) && IsExecutableFile(path); }

  std::uint32_t GetShortPathNameA(const std::string& path, std::string* shortPath) override {
    if (!Passable({&path})) return 0;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
      lastError = path.empty() ? ENOENT : static_cast<std::uint32_t>(errno);
      return 0;
    }
    *shortPath = path;
    return static_cast<std::uint32_t>(path.size());
  }

  bool CreateProcessA(const CommandLine& commandLine, std::uint32_t creationFlags, const std::string* environment,
                      const StartupInfo&, ProcessInformation* info) override {
    if (!Passable({&commandLine.program, &commandLine.document, &commandLine.parameters})) return false;
    std::vector<std::string> args{commandLine.program};
    if (!commandLine.document.empty()) args.push_back(commandLine.document);
    SplitWords(commandLine.parameters, &args);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::string block;
    std::vector<char*> envp;
    if (environment) {
      block = *environment;
      for (std::size_t pos = 0; pos < block.size() && block[pos] != '\0'; pos += std::strlen(&block[pos]) + 1)
        envp.push_back(&block[pos]);
      envp.push_back(nullptr);
    }

    // The new program starts with no signal blocked or ignored that we may have
    // blocked or ignored, and with no descriptor of ours (handles are not inherited).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN,
                    SIGTTOU})
      sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attr, argv.data(), environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      lastError = static_cast<std::uint32_t>(rc);
      return false;
    }

    // posix_spawn cannot set a nice value in the child, so it is set right after the
    // start; raising the priority needs a privilege and is skipped without one.
    int niceValue;
    if (NiceOf(creationFlags, &niceValue)) setpriority(PRIO_PROCESS, static_cast<id_t>(pid), niceValue);

    auto child = std::make_shared<Child>();
    child->pid = pid;
    child->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    // The child cannot vanish before we reap it, so its /proc entry is there.
    ProcStat ps;
    child->creation = ReadProcStat(pid, &ps) ? BootTicksToFileTime(ps.starttime) : NowFileTime();
    info->hProcess = Handles().Add(child);
    // There is no separate thread object: the thread handle names the same child.
    info->hThread = Handles().Add(child);
    info->dwProcessId = static_cast<std::uint32_t>(pid);
    info->dwThreadId = static_cast<std::uint32_t>(pid);
    return true;
  }

  std::uint32_t WaitForSingleObject(ProcessHandle h, std::uint32_t timeoutMs) override {
    auto child = Handles().Find(h);
    if (!child) return Failed(EBADF);
    if (child->Refresh()) return kWaitObject0;
    if (child->pidfd < 0) {
      // Without a pidfd (Linux before 5.3) only an endless wait is possible. It waits
      // without reaping, so that no lock is held while it blocks.
      if (timeoutMs != kInfinite) return kWaitTimeout;
      siginfo_t ended;
      while (waitid(P_PID, static_cast<id_t>(child->pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
      }
      child->Reap(true);
      return kWaitObject0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int wait = -1;
      if (timeoutMs != kInfinite) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        wait = static_cast<int>(std::min<long long>(std::max<long long>(left.count(), 0), INT_MAX));
      }
      pollfd p{child->pidfd, POLLIN, 0};
      int r = poll(&p, 1, wait);
      if (r > 0) {
        child->Reap(true);
        return kWaitObject0;
      }
      if (r == 0) {
        if (timeoutMs != kInfinite && wait < INT_MAX) return kWaitTimeout;
        continue;
      }
      if (errno != EINTR) return Failed(errno);
    }
  }

  std::uint32_t WaitForInputIdle(ProcessHandle h, std::uint32_t) override {
    return Handles().Find(h) ? 0 : Failed(EBADF);
  }

  bool GetExitCodeProcess(ProcessHandle h, std::uint32_t* exitCode) override {
    auto child = Handles().Find(h);
    if (!child) return Fail(EBADF);
    if (!child->Refresh()) {
      *exitCode = kStillActive;
      return true;
    }
    std::lock_guard<std::mutex> lock(child->mutex);
    if (WIFEXITED(child->status))
      *exitCode = static_cast<std::uint32_t>(WEXITSTATUS(child->status));
    else if (WIFSIGNALED(child->status))
      *exitCode = 128u + static_cast<std::uint32_t>(WTERMSIG(child->status));
    else
      *exitCode = 0;
    return true;
  }

  bool GetProcessTimes(ProcessHandle h, std::uint64_t* creation, std::uint64_t* exit, std::uint64_t* kernel,
                       std::uint64_t* user) override {
    auto child = Handles().Find(h);
    if (!child) return Fail(EBADF);
    bool ended = child->Refresh();
    std::lock_guard<std::mutex> lock(child->mutex);
    *creation = child->creation;
    if (ended) {
      *exit = child->exitTime;
      *kernel = child->kernel;
      *user = child->user;
      return true;
    }
    ProcStat ps;
    if (!ReadProcStat(child->pid, &ps)) return Fail(ESRCH);
    *exit = 0;
    *kernel = TicksToHundreds(ps.stime);
    *user = TicksToHundreds(ps.utime);
    return true;
  }

  bool CloseHandle(ProcessHandle h) override { return Handles().Remove(h) || Fail(EBADF); }

  // Linux has no consent prompt that raises a program's rights: whoever may write
  // where it works starts it.
  ElevatedRun RunElevated(const std::string&, const std::string&, std::uint32_t*) override {
    lastError = ENOTSUP;
    return ElevatedRun::Unavailable;
  }

  bool GetVersionExA(std::uint32_t* platformId) override {
    *platformId = kVerPlatformWin32Nt;
    return true;
  }

  std::uint32_t GetLastError() override { return lastError; }

  std::string ErrorText(std::uint32_t code) override {
    char buffer[256];
    return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  }

 private:
  static std::uint32_t Failed(int err) {
    lastError = static_cast<std::uint32_t>(err);
    return kWaitFailed;
  }
  static bool Fail(int err) {
    lastError = static_cast<std::uint32_t>(err);
    return false;
  }
};

}  // namespace

template <> Process& SystemInstance<Process>() {
  static PosixProcess* instance = new PosixProcess;
  return *instance;
}

}  // namespace plat
