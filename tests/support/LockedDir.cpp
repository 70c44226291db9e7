#include "tests/support/LockedDir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/ServerProcess.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace nolt::test {
namespace {

// Whether this process can create a file in dir, asked without the files seam, which
// the tests check.
bool Writable(const std::filesystem::path& dir) {
  const std::filesystem::path probe = dir / "locked-dir-probe";
  std::FILE* f = std::fopen(probe.string().c_str(), "wb");
  if (!f) return false;
  std::fclose(f);
  std::error_code ec;
  std::filesystem::remove(probe, ec);
  return true;
}

// Runs a command of the Linux shell with the directory's Linux path as $0, then waits
// until the directory is as wanted (Wine's start of a Linux program gives no handle
// to wait for).
bool Shell(const std::string& script, const std::filesystem::path& dir, bool wantWritable) {
  const std::string unixDir = UnixPath(dir);
#ifdef _WIN32
  // The Windows command line quotes with \" inside "...".
  std::string quoted;
  for (char c : script) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
  std::string cmd = "Z:\\bin\\sh -c \"" + quoted + "\" \"" + unixDir + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  if (pi.hThread) ::CloseHandle(pi.hThread);
  if (pi.hProcess) ::CloseHandle(pi.hProcess);
#else
  if (std::system(("sh -c '" + script + "' '" + unixDir + "'").c_str()) == -1) return false;
#endif
  for (int i = 0; i < 250; ++i) {
    if (Writable(dir) == wantWritable) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

LockedDir::LockedDir(const std::string& dir) : dir_(dir) {
  locked_ = Shell("chattr +i \"$0\" 2>/dev/null || chmod a-w \"$0\"", dir_, false);
}

LockedDir::~LockedDir() { Shell("chattr -i \"$0\" 2>/dev/null; chmod u+w \"$0\"", dir_, true); }

}  // namespace nolt::test
