#include "app/Staging.h"

#include <cstdio>
#include <set>

#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "webcopy/PartialDownload.h"

namespace nolt {

const char* const kStagingFolder = ".nolt-packages";

namespace {

constexpr std::size_t kReadablePart = 100;
constexpr std::size_t kDigestBytes = 8;

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The regular files of the staging folder that are no links; none when the folder
// is not one of ours or cannot be read.
std::vector<std::string> OwnFilesIn(const std::string& dir) {
  std::vector<plat::FoundFile> found;
  std::vector<std::string> names;
  if (!IsOwnDirectory(dir) || !plat::files().ListDirectory(dir, &found)) return names;
  for (const plat::FoundFile& f : found)
    if (!(f.attributes & plat::kFileAttributeDirectory) && IsOwnFile(dir + f.name)) names.push_back(f.name);
  return names;
}

// The package a file of the staging folder belongs to, when it is a kept beginning
// or its record; "" otherwise.
std::string KeptPackageOf(const std::string& staging, const std::string& name) {
  const std::string path = staging + name;
  for (const std::string& side : {PartialDownload::BodyPath(""), PartialDownload::RecordPath("")})
    if (EndsWith(path, side)) return path.substr(0, path.size() - side.size());
  return {};
}

}  // namespace

std::string StagingDir(const std::string& appDir) { return appDir + kStagingFolder + plat::kPathDelim; }

std::string StagedPackageName(const std::string& entryName, const std::string& identity) {
  std::string readable;
  for (char c : entryName.substr(0, kReadablePart)) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    readable += keep ? c : '_';
  }
  // The NUL keeps name and identity apart: ("ab", "c") and ("a", "bc") differ.
  const std::string digest = plat::Sha256Of(entryName + '\0' + identity);
  std::string hex;
  for (std::size_t i = 0; i < kDigestBytes; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(digest[i]));
    hex += two;
  }
  return readable + "-" + hex + ".cab";
}

bool StagingUsable(const std::string& appDir) {
  const std::string staging = StagingDir(appDir);
  const std::string folder = staging.substr(0, staging.size() - 1);
  return plat::files().GetFileAttributesNoFollowA(folder) == plat::kInvalidFileAttributes || IsOwnDirectory(folder);
}

void SweepLeftovers(const std::string& appDir, const std::vector<std::string>& manifestNames) {
  auto& files = plat::files();
  std::set<std::string> dirs{appDir};
  for (const std::string& name : manifestNames)
    if (StaysInside(name, NameUse::ManifestEntry)) dirs.insert(DirectoryOf(appDir + LocalPath(name)));
  for (const std::string& dir : dirs) StagedFile::RemoveLeftovers(dir);

  const std::string staging = StagingDir(appDir);
  for (const std::string& name : OwnFilesIn(staging)) {
    const std::string package = KeptPackageOf(staging, name);
    if (package.empty() || !PartialDownload::Resumable(package)) files.DeleteFileA(staging + name);
  }
  RemoveStagingIfEmpty(appDir);
}

void TidyStaging(const std::string& appDir, const std::vector<std::string>& wantedPackages) {
  const std::set<std::string> wanted(wantedPackages.begin(), wantedPackages.end());
  const std::string staging = StagingDir(appDir);
  for (const std::string& name : OwnFilesIn(staging)) {
    const std::string package = KeptPackageOf(staging, name);
    if (!package.empty() && !wanted.count(package)) PartialDownload::Remove(package);
  }
  RemoveStagingIfEmpty(appDir);
}

void RemoveStagingIfEmpty(const std::string& appDir) {
  const std::string staging = StagingDir(appDir);
  const std::string folder = staging.substr(0, staging.size() - 1);
  if (IsOwnDirectory(folder)) plat::files().RemoveDirectoryA(folder);  // only when empty
}

}  // namespace nolt
