#include "app/ReleaseCheck.h"

#include <charconv>

#include "app/MainUser.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"

namespace nolt {
namespace {

// A small file read whole, or false when it is missing, unreadable or longer than limit.
bool ReadSmallFile(const std::string& path, std::uint64_t limit, std::string* text) {
  if (!FileExists(path)) return false;
  plat::Files& files = plat::files();
  const plat::FileHandle h = files.CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return false;
  text->clear();
  char buffer[64 * 1024];
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

std::string ReleaseCheck::CheckRelease(const std::string& appDir, std::int64_t now) {
  release_ = ReleaseSignature();
  std::string text;
  if (!ReadSmallFile(appDir + kSignatureName, kSignatureMaxSize, &text))
    return std::string("the signature file ") + kSignatureName + " is missing or unreadable";
  ReleaseSignature r;
  const std::string why = VerifyRelease(text, key_, &r);
  if (!why.empty()) return std::string("the signature file ") + kSignatureName + " is refused: " + why;

  std::string sha;
  std::uint64_t size = 0;
  const bool read = HashFile(appDir + kManifestName, r.manifest.size, &sha, &size);
  const std::string manifestWhy = Describe(r.manifest.sha256, r.manifest.size, sha, size, read);
  if (!manifestWhy.empty()) return std::string("the manifest ") + kManifestName + " is refused: " + manifestWhy;

  if (r.expires <= now) return "the release expired (its signature was valid until " + std::to_string(r.expires) + ")";

  const std::string recordPath = appDir + kSerialRecordName;
  std::int64_t highest = 0;
  std::string record;
  if (ReadSmallFile(recordPath, 64, &record)) {
    while (!record.empty() && (record.back() == '\n' || record.back() == '\r')) record.pop_back();
    const auto [end, ec] = std::from_chars(record.data(), record.data() + record.size(), highest);
    if (ec != std::errc() || end != record.data() + record.size())
      return std::string("the record of accepted releases ") + kSerialRecordName + " is damaged";
  }
  if (r.serial < highest)
    return "the release is older (serial " + std::to_string(r.serial) + ") than one already accepted (serial " +
           std::to_string(highest) + ")";
  if (r.serial > highest && !WriteRecord(recordPath, std::to_string(r.serial) + "\n"))
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

std::int64_t UnixTimeNow() {
  std::uint64_t fileTime = 0;
  plat::SystemTimeToFileTime(plat::sysClock().GetSystemTime(), &fileTime);
  constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11644473600;
  return static_cast<std::int64_t>(fileTime / 10000000) - kUnixEpochInFileTimeSeconds;
}

}  // namespace nolt
