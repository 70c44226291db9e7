// The update manifest: one entry per line, "name : checksum".
#pragma once

#include <string>
#include <vector>

namespace nolt {

// Reads every entry of the manifest at path into names and checksums, in file
// order, through the files seam, one block at a time (lines may be of any length).
// Throws plat::EInOutError when the file cannot be opened or read.
//
// Line rules: LF ends a line and a CR right before it belongs to the line end; any
// other CR is dropped. 0x1A as the first byte of a line ends the file; inside a
// line it drops the rest of that line. Lines are trimmed of bytes 0x00..0x20 and
// empty ones skipped. The first ':' splits name (trimmed) and checksum (at most 512
// bytes after the colon, trimmed); a line without ':' has an empty name and its
// first 512 bytes, trimmed, as checksum.
void ReadManifest(const std::string& path, std::vector<std::string>& names, std::vector<std::string>& checksums);

// Splits one line (without its line end) into an entry; false for a blank line.
// Whether a name may be installed is decided by StaysInside (install/InstallName.h).
bool ParseManifestLine(const std::string& line, std::string& name, std::string& checksum);

}  // namespace nolt
