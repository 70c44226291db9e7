#include "app/UpdateDecision.h"

#include <cstdint>

#include "base/Text.h"
#include "crc/FileCRC32.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "platform/Files.h"

namespace nolt {

EntryState DecideEntry(const std::string& appDir, const std::string& name, const std::string& checksum) {
  // A refused name reaches no system call: nothing is checksummed, queued,
  // unpacked or deleted for it.
  if (!MayInstall(name, NameUse::ManifestEntry)) return EntryState::Refused;
  return EntryMatches(appDir, name, checksum) ? EntryState::Current : EntryState::Queued;
}

bool EntryMatches(const std::string& appDir, const std::string& name, const std::string& checksum) {
  const std::string path = appDir + LocalPath(name);
  if (!FileExists(path)) return false;
  std::uint32_t crc = 0;
  return LowerCaseAscii(checksum) == LowerCaseAscii(FileCRC32(path, crc));
}

std::string PackageURL(const std::string& baseURL, const std::string& name) { return baseURL + name + ".cab"; }

}  // namespace nolt
