#include "app/ReleaseCheck.h"

#include <charconv>

#include "app/MainForm.h"
#include "base/Time.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "release/Manifest.h"

namespace nolt {
namespace {

// A small file read whole; false when it is missing, unreadable or longer than limit.
bool ReadSmallFile(const std::string& path, std::uint64_t limit, std::string* text) {
  if (!FileExists(path)) return false;
  plat::Files& files = plat::files();
  const plat::FileHandle h = files.CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return false;
  text->clear();
  char buffer[256];
  std::uint32_t got = 0;
  bool ok = true;
  while ((ok = files.ReadFile(h, buffer, sizeof buffer, &got)) && got > 0) {
    text->append(buffer, got);
    if (text->size() > limit) {
      ok = false;
      break;
    }
  }
  files.CloseHandle(h);
  return ok;
}

// Replaces path with text in one step, so a killed run leaves the old record or the new.
bool WriteRecord(const std::string& path, const std::string& text) {
  StagedFile file;
  if (!file.Create(path)) return false;
  try {
    file.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  } catch (const std::exception&) {
    return false;
  }
  return file.Commit();
}

std::string Describe(const std::string& expectedSha, std::uint64_t expectedSize, const std::string& sha,
                     std::uint64_t size, bool read) {
  if (!read) return "it could not be read or is longer than the " + std::to_string(expectedSize) + " signed bytes";
  if (size != expectedSize)
    return "it has " + std::to_string(size) + " bytes, the signature states " + std::to_string(expectedSize);
  if (sha != expectedSha) return "its SHA-256 differs from the signed one";
  return {};
}

}  // namespace

ReleaseCheck::ReleaseCheck(const std::string& keyText) : enabled_(!keyText.empty()), key_(KeyFromText(keyText)) {}

std::string ReleaseCheck::CheckSignature(const std::string& appDir, std::int64_t now) {
  pending_ = release_ = ReleaseSignature();
  const std::string path = appDir + kSignatureName;
  if (!FileExists(path)) return std::string("the signature file ") + kSignatureName + " is missing";
  ReleaseSignature r;
  const std::string why = VerifyReleaseFile(path, key_, &r);
  if (!why.empty()) return std::string("the signature file ") + kSignatureName + " is refused: " + why;
  if (r.expires <= now) return "the release expired (its signature was valid until " + std::to_string(r.expires) + ")";
  if (!ReadSerialRecord(appDir + kSerialRecordName, &highest_))
    return std::string("the record of accepted releases ") + kSerialRecordName +
           " cannot be read; it was left as it is, and no release is taken until it is repaired, so that an older "
           "release can never pass for a newer one";
  if (r.serial < highest_)
    return "the release is older (serial " + std::to_string(r.serial) + ") than one already accepted (serial " +
           std::to_string(highest_) + ")";
  pending_ = std::move(r);
  return {};
}

std::string ReleaseCheck::CheckManifest(const std::string& appDir) {
  ReleaseSignature r = std::move(pending_);
  pending_ = ReleaseSignature();
  std::string sha;
  std::uint64_t size = 0;
  const bool read = FileExists(appDir + kManifestName) && HashFile(appDir + kManifestName, r.manifest.size, &sha, &size);
  const std::string manifestWhy = Describe(r.manifest.sha256, r.manifest.size, sha, size, read);
  if (!manifestWhy.empty()) return std::string("the manifest ") + kManifestName + " is refused: " + manifestWhy;
  if (r.serial > highest_ && !WriteRecord(appDir + kSerialRecordName, std::to_string(r.serial) + "\n"))
    return std::string("the serial of the release could not be recorded in ") + kSerialRecordName;
  release_ = std::move(r);
  return {};
}

std::string ReleaseCheck::CheckPackage(const std::string& packageName, const std::string& path) const {
  const SignedFile* p = Package(packageName);
  if (!p) return "the signature file names no such package";
  std::string sha;
  std::uint64_t size = 0;
  const bool read = HashFile(path, p->size, &sha, &size);
  return Describe(p->sha256, p->size, sha, size, read);
}

bool ReadSerialRecord(const std::string& path, std::int64_t* serial) {
  *serial = 0;
  if (plat::files().GetFileAttributesA(path) == plat::kInvalidFileAttributes) return true;  // no record
  std::string record;
  if (!ReadSmallFile(path, kSerialRecordMaxSize, &record)) return false;
  if (record.size() >= 2 && record.compare(record.size() - 2, 2, "\r\n") == 0) record.resize(record.size() - 2);
  else if (!record.empty() && record.back() == '\n') record.pop_back();
  if (record.empty() || record.size() > 19 || record.find_first_not_of("0123456789") != std::string::npos) return false;
  const auto [end, ec] = std::from_chars(record.data(), record.data() + record.size(), *serial);
  return ec == std::errc() && end == record.data() + record.size();
}

std::int64_t UnixTimeNow() {
  std::uint64_t fileTime = 0;
  plat::SystemTimeToFileTime(plat::sysClock().GetSystemTime(), &fileTime);
  return static_cast<std::int64_t>(fileTime / kFileTimeTicksPerSecond - kUnixEpochFileTimeSeconds);
}

}  // namespace nolt
