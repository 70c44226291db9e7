// One run at a time per installation. A run holds the lock file ".nolt-lock" in the
// installation directory (plat::Files::TakeLockFile: Windows, a handle that shares
// nothing; Linux, an exclusive lock) for its whole life, and removes it at its end.
// The system lets go of it with the process however the process ends, so a lock left
// by a killed run never blocks: the next run takes the file that is left.
#pragma once

#include <string>

#include "platform/Files.h"

namespace nolt {

extern const char* const kRunLockName;  // ".nolt-lock"

class RunLock {
 public:
  enum class Outcome {
    Held,    // this run holds the lock
    Busy,    // another live run holds it
    Failed,  // the lock file cannot be made or opened (a link, a read-only directory)
  };

  RunLock() = default;
  ~RunLock() { Release(); }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Tries once, without waiting. On Failed, plat::files().GetLastError() tells why.
  Outcome TryAcquire(const std::string& appDir);
  void Release();
  bool Held() const { return file_ != plat::kInvalidFile; }

 private:
  plat::FileHandle file_ = plat::kInvalidFile;
  std::string path_;
};

}  // namespace nolt
