// The update manifest: one entry per line, "name : checksum". Read by the updater,
// written by nolt-mkpatch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nolt {

// The manifest's file name, on the server, in the release and in the installation.
inline constexpr char kManifestName[] = "nolt-patch-updater.txt";

// The longest manifest an updater fetches: a million entries with names of 200
// bytes take about 211 MB. A longer answer is cut off there, and the run fails.
inline constexpr std::int64_t kManifestMaxSize = 256ll * 1024 * 1024;

// Reads every entry of the manifest at path into names and checksums, in file
// order, through the files seam, one block at a time. Throws plat::EInOutError when
// the file cannot be opened or read.
//
// Line rules: LF ends a line and a CR right before it belongs to the line end; any
// other CR is dropped. 0x1A as the first byte of a line ends the file; inside a
// line it drops the rest of that line. Lines are trimmed of bytes 0x00..0x20 and
// empty ones skipped. The first ':' splits name (trimmed) and checksum (at most 512
// bytes after the colon, trimmed); a line without ':' has an empty name and its
// first 512 bytes, trimmed, as checksum.
//
// A line may be of any length; what is kept of it is bounded (ManifestLine), so a
// run's memory grows with the number of entries, never with the length of a line.
void ReadManifest(const std::string& path, std::vector<std::string>& names, std::vector<std::string>& checksums);

// One line, taken byte by byte (line ends and 0x1A already handled by the reader).
// It keeps at most 512 bytes before the first colon and 512 after it, and a name
// of at most kMaxInstallNameLength + 1 bytes: a longer name is cut there and stays
// too long to be installed (StaysInside). Examples:
//   "  a.dll : 1A2B3C \t" -> "a.dll", "1A2B3C"     "c:d:e"      -> "c", "d:e"
//   "no colon"             -> "", "no colon"        " \t "      -> no entry
class ManifestLine {
 public:
  void Add(char c);
  // The entry of the line taken so far, false for a blank line; starts a new line.
  bool Finish(std::string& name, std::string& checksum);

 private:
  std::string head_;          // from the first non-blank byte, up to the colon: at most 512 bytes
  std::uint64_t length_ = 0;  // bytes of the head, kept or not
  std::uint64_t nameEnd_ = 0; // one past the head's last non-blank byte
  bool colon_ = false;
  bool nonBlank_ = false;
  std::string tail_;          // at most 512 bytes after the colon
};

// The line nolt-mkpatch writes for an entry, CR LF ended: ("a.dll", "1A2B3C") ->
// "a.dll:1A2B3C\r\n", which ParseManifestLine reads back.
std::string ManifestLineOf(const std::string& name, const std::string& checksum);

// Splits one line (without its line end) into an entry; false for a blank line.
// Whether a name may be installed is decided by StaysInside (install/InstallName.h).
bool ParseManifestLine(const std::string& line, std::string& name, std::string& checksum);

}  // namespace nolt
