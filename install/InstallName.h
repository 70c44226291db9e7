// Whether a name from outside (a manifest line, a cabinet entry) may be written
// below the installation directory. Every component that turns such a name into a
// local path asks here first; nothing else decides it.
#pragma once

#include <string>

#include "platform/CabinetWriter.h"

namespace nolt {

// The longest name that can be installed: a package brings its file as a cabinet
// entry of that name, and a cabinet stores at most this many bytes of a name.
inline constexpr std::size_t kMaxInstallNameLength = plat::kCabinetMaxNameLength;

// Where a name comes from. A cabinet entry becomes a file, so it must name one; a
// manifest name is only looked up and queued.
enum class NameUse { ManifestEntry, CabinetEntry };

// True when name, taken relative to the installation directory, stays inside it.
// Either separator counts on both targets. Refused:
//   - a control byte (0x00-0x1F, 0x7F) anywhere: no such name reaches a system call;
//   - more than kMaxInstallNameLength bytes: no package can bring such a file;
//   - an absolute name, or one with a UNC prefix (a leading '\' or '/');
//   - any ':' (a drive such as "C:x", or an NTFS stream such as "a.dll:s");
//   - a component of dots and blanks with two dots in a row ("..", "...", ". .."):
//     Windows drops trailing dots and blanks, so it climbs like "..";
//   - for a cabinet entry also an empty name and a trailing separator ("sub\"),
//     which name no file.
// Examples: "sub\a.dll" and "a..b" stay inside; "..\a", "\\srv\s\a", "C:a",
// "a:b", "x\.. \y" do not.
bool StaysInside(const std::string& name, NameUse use);

// True for a name the updater keeps for itself, relative to the installation
// directory:
//   - a first component beginning with "nolt-patch-updater.": the manifest (.txt),
//     the signature file (.sig), the record of accepted releases (.serial) and any
//     record of ours to come;
//   - any component beginning with ".nolt-": the staging folder (".nolt-packages")
//     and the temporary files of a staged write (".nolt-XXXXXX.tmp").
// Letters A to Z compare without case, as Windows names do, and components that
// Windows reads as the directory itself ("", ".", ". ") are passed over first.
// Examples: "NOLT-PATCH-UPDATER.SERIAL", ".\nolt-patch-updater.txt",
// "sub\.nolt-AB12cd.tmp" are kept; "sub\nolt-patch-updater.txt" and "nolt.dll" are not.
bool IsKeptName(const std::string& name);

// The one rule for a name that may be installed from a package, and so packed into
// a release: it stays inside the installation and is none of the updater's own.
inline bool MayInstall(const std::string& name, NameUse use) { return StaysInside(name, use) && !IsKeptName(name); }

}  // namespace nolt
