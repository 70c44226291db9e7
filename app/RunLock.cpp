#include "app/RunLock.h"

namespace nolt {

const char* const kRunLockName = ".nolt-lock";

RunLock::Outcome RunLock::TryAcquire(const std::string& appDir) {
  if (Held()) return Outcome::Held;
  auto& files = plat::files();
  path_ = appDir + kRunLockName;
  file_ = files.TakeLockFile(path_);
  if (file_ != plat::kInvalidFile) return Outcome::Held;
  return files.GetLastError() == plat::kErrorSharingViolation ? Outcome::Busy : Outcome::Failed;
}

void RunLock::Release() {
  if (!Held()) return;
  plat::files().ReleaseLockFile(file_, path_);
  file_ = plat::kInvalidFile;
}

}  // namespace nolt
