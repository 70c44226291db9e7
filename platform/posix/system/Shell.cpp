// Linux implementation of the shell seam: xdg-open, started and not waited for.
#include "platform/Shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char** environ;

namespace plat {
namespace {

class PosixShell final : public Shell {
 public:
  bool ShellExecuteOpen(const std::string& path) override {
    if (HoldsNul(path)) return false;  // the system would open a shorter path
    std::string prog = "xdg-open";
    char* argv[] = {prog.data(), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    // xdg-open returns soon after handing the file on; reap it without waiting here.
    std::thread([pid] {
      int status;
      waitpid(pid, &status, 0);
    }).detach();
    return true;
  }
};

}  // namespace

template <> Shell& SystemInstance<Shell>() {
  static PosixShell* instance = new PosixShell;
  return *instance;
}

}  // namespace plat
