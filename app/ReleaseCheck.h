// The release check of an updater built with a release key (NOLT_RELEASE_PUBLIC_KEY):
// only what the vendor's signature file vouches for is installed. The manifest must
// have the signed digest and size, the release must not have expired, and its serial
// must not be lower than the highest this installation has accepted, which is kept in
// "nolt-patch-updater.serial" beside the updater. Each package must have its signed
// digest and size before anything is unpacked from it.
//
// Without a key the check is off: the signature file is neither fetched nor read.
#pragma once

#include <cstdint>
#include <string>

#include "signing/ReleaseSignature.h"

namespace nolt {

inline constexpr char kSerialRecordName[] = "nolt-patch-updater.serial";

class ReleaseCheck {
 public:
  // keyText: the text of the vendor's KEYFILE.pub, or empty for no key. A key that is
  // not well formed refuses every release (the build checks it before this can happen).
  explicit ReleaseCheck(const std::string& keyText);

  bool Enabled() const { return enabled_; }

  // Checks the signature file and the manifest in appDir at the time now (seconds
  // since 1970, UTC) and records the release's serial. Empty when the release is
  // accepted, else why it is refused.
  std::string CheckRelease(const std::string& appDir, std::int64_t now);

  // The accepted release's entry for a package ("sub\file.dll.cab"), or null.
  const SignedFile* Package(const std::string& packageName) const { return release_.Package(packageName); }

  // Empty when the file at path is the package the accepted release signed, else
  // why not. Reads no more than the signed size.
  std::string CheckPackage(const std::string& packageName, const std::string& path) const;

 private:
  bool enabled_;
  std::string key_;
  ReleaseSignature release_;
};

// Seconds since 1970 (UTC) from the clock seam.
std::int64_t UnixTimeNow();

}  // namespace nolt
