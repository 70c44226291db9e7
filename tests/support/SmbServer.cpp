#include "tests/support/SmbServer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace nolt::test {

#ifdef _WIN32

SmbServer::SmbServer() { why_ = "Wine has no client for network shares"; }
SmbServer::~SmbServer() = default;
void SmbServer::Kill() {}

#else

SmbServer::SmbServer() {
  const char* src = std::getenv("NOLT_SOURCE_DIR");
  if (!src) {
    why_ = "NOLT_SOURCE_DIR is not set";
    return;
  }
  std::filesystem::create_directories(dir_.path() / "share");
  // The share's files belong to root (smbd forces that user); the directory must be
  // reachable for smbd's workers.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec |
                                                std::filesystem::perms::group_exec);
  const std::string info = (dir_.path() / "info.txt").string();
  const std::string script = std::string(src) + "/tests/support/nolt_smb_server.py";
  std::vector<std::string> args = {"/usr/bin/python3", script, "--root", (dir_.path() / "share").string(),
                                   "--share", kShare, "--user", kUser, "--password", kPassword, "--info", info};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Standard input is the lease: when this end closes, the script stops smbd.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why_ = "no pipe";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  const std::string out = (dir_.path() / "server.out").string();
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  lease_ = fds[1];
  if (rc != 0) {
    why_ = "python3 cannot be started";
    return;
  }
  process_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (std::filesystem::exists(info, ec)) {
      const std::string text = ReadFile(info);
      port_ = std::atoi(text.c_str());
      group_ = std::atoll(text.c_str() + text.find(' '));
      return;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      process_ = 0;
      why_ = "smbd did not start: " + ReadFile(out);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  why_ = "smbd did not start in time: " + ReadFile(out);
}

SmbServer::~SmbServer() {
  if (lease_ >= 0) ::close(lease_);
  if (process_ > 0) {
    const pid_t pid = static_cast<pid_t>(process_);
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

void SmbServer::Kill() {
  if (group_ > 0) ::kill(-static_cast<pid_t>(group_), SIGKILL);
}

#endif

std::string SmbServer::RemoteName() const { return "\\\\127.0.0.1:" + std::to_string(port_) + "\\" + kShare; }

std::string SmbServer::LocalPath(const std::string& relPath) const {
  return (dir_.path() / "share" / std::filesystem::path(relPath)).string();
}

}  // namespace nolt::test
