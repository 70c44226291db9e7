// The release check of an updater built with a release key (NOLT_RELEASE_PUBLIC_KEY):
// only what the vendor's signature file vouches for is installed. The signature file
// is fetched first and must verify, the release must not have expired, and its serial
// must not be lower than the highest this installation has accepted, which is kept in
// "nolt-patch-updater.serial" beside the updater. Only then is the manifest fetched,
// no further than its signed size, and read only when it has the signed digest. Each
// package must have its signed digest and size before anything is unpacked from it.
//
// Without a key the check is off: the signature file is neither fetched nor read.
#pragma once

#include <cstdint>
#include <string>

#include "release/ReleaseSignature.h"

namespace nolt {

inline constexpr char kSerialRecordName[] = "nolt-patch-updater.serial";
// A record longer than this is damaged: a serial has at most 19 digits.
inline constexpr std::uint64_t kSerialRecordMaxSize = 64;

class ReleaseCheck {
 public:
  // keyText: the text of the vendor's KEYFILE.pub, or empty for no key. A key that is
  // not well formed refuses every release (the build checks it before this can happen).
  explicit ReleaseCheck(const std::string& keyText);

  bool Enabled() const { return enabled_; }

  // Checks the signature file in appDir at the time now (seconds since 1970, UTC):
  // its signature, its expiry, and its serial against the record of accepted
  // releases, which must be absent or readable. Empty when the release may go on to
  // its manifest, else why it is refused.
  std::string CheckSignature(const std::string& appDir, std::int64_t now);
  // The manifest's size as the signature states it (after CheckSignature accepted).
  std::uint64_t ManifestSize() const { return pending_.manifest.size; }
  // Checks the manifest in appDir against the signature and records the release's
  // serial. Empty when the release is accepted, else why it is refused.
  std::string CheckManifest(const std::string& appDir);

  // The accepted release's entry for a package ("sub\file.dll.cab"), or null.
  const SignedFile* Package(const std::string& packageName) const { return release_.Package(packageName); }

  // Empty when the file at path is the package the accepted release signed, else
  // why not. Reads no more than the signed size.
  std::string CheckPackage(const std::string& packageName, const std::string& path) const;

 private:
  bool enabled_;
  std::string key_;
  std::int64_t highest_ = 0;    // the serial of the record, 0 without one
  ReleaseSignature pending_;    // verified, its manifest not yet checked
  ReleaseSignature release_;    // accepted
};

// The highest serial recorded at path: 0 when there is no record. False when
// something is there that is not a record this updater wrote (not a regular file,
// unreadable, too long, or anything but a decimal number of at most 19 digits and a
// line end): it is never taken for "no record", which would let an older release in.
bool ReadSerialRecord(const std::string& path, std::int64_t* serial);

// Seconds since 1970 (UTC) from the clock seam.
std::int64_t UnixTimeNow();

}  // namespace nolt
