#include "install/LocalFiles.h"

#include "platform/Files.h"

namespace nolt {
namespace {

// Drive letters ("C:") and the colon as a path separator exist only where local
// paths are written with a backslash.
constexpr bool kDrivePaths = plat::kPathDelim == '\\';

}  // namespace

std::string LocalPath(std::string path) {
  for (char& c : path)
    if (c == '\\') c = plat::kPathDelim;
  return path;
}

bool FileExists(const std::string& path) { return plat::files().IsRegularFile(path); }

bool IsOwnFile(const std::string& path) {
  const std::uint32_t a = plat::files().GetFileAttributesNoFollowA(path);
  if (a == plat::kInvalidFileAttributes || (a & (plat::kFileAttributeDirectory | plat::kFileAttributeReparsePoint)))
    return false;
  return plat::files().IsRegularFile(path);
}

bool IsOwnDirectory(const std::string& path) {
  // "link/" would name what the link points to: the separator goes first.
  std::string itself = path;
  while (itself.size() > 1 && (itself.back() == '/' || itself.back() == plat::kPathDelim)) itself.pop_back();
  const std::uint32_t a = plat::files().GetFileAttributesNoFollowA(itself);
  return a != plat::kInvalidFileAttributes && (a & plat::kFileAttributeDirectory) &&
         !(a & plat::kFileAttributeReparsePoint);
}

bool DirExists(const std::string& path) {
  const std::uint32_t a = plat::files().GetFileAttributesA(LocalPath(path));
  return a != plat::kInvalidFileAttributes && (a & plat::kFileAttributeDirectory) != 0;
}

bool IsReplaceable(const std::string& path) {
  const std::uint32_t a = plat::files().GetFileAttributesA(path);
  return a == plat::kInvalidFileAttributes || !(a & (plat::kFileAttributeDirectory | plat::kFileAttributeReadOnly));
}

std::string DirectoryOf(const std::string& path) {
  const std::string separators = kDrivePaths ? "\\/:" : "/";
  const auto p = path.find_last_of(separators);
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

bool ForceDirs(const std::string& directory) {
  if (directory.empty()) return true;
  std::string dir = LocalPath(directory);
  while (!dir.empty() && dir.back() == plat::kPathDelim) dir.pop_back();
  if (dir.empty()) return true;                                      // the root of the file system
  if (kDrivePaths && dir.size() == 2 && dir[1] == ':') return true;  // a drive such as "C:"
  if (DirExists(dir)) return true;

  std::string::size_type cut = dir.find_last_of(kDrivePaths ? std::string{plat::kPathDelim, ':'}
                                                            : std::string{plat::kPathDelim});
  const std::string parent = cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
  // Only a name ending in ':' is its own parent ("ab:"): no directory can be made of it.
  if (parent == dir) return false;
  if (!ForceDirs(parent)) return false;
  return plat::files().CreateDirectoryA(dir);
}

}  // namespace nolt
