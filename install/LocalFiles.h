// The questions and steps on local paths that installing a file needs: does a file
// or a directory exist, where does a path's directory end, and the creation of a
// directory chain. All of them go through the files seam.
#pragma once

#include <string>

namespace nolt {

// A local path with every separator in the local form. Names written on Windows use
// '\', which on Linux is read as a directory separator too; on Windows nothing
// changes.   Linux: "sub\x.dll" -> "sub/x.dll"
std::string LocalPath(std::string path);

// A path names an existing file when it names a regular file (plat::Files::
// IsRegularFile): a directory never counts, nor does a FIFO, a device or a socket,
// which could never be read to its end. Whatever is checksummed, replaced, unpacked,
// deleted or started is first asked here, so nothing else acts on such a thing; a
// download moves a regular file over it.
bool FileExists(const std::string& path);
// True for an existing directory only; a name written on Windows is read as LocalPath.
bool DirExists(const std::string& path);
// The updater's own places never go through a link (a symbolic link, a junction or
// another reparse point), whatever a user or another program put there:
//   IsOwnFile: a regular file, itself no link;
//   IsOwnDirectory: a directory, itself no link (a trailing separator is ignored).
bool IsOwnFile(const std::string& path);
bool IsOwnDirectory(const std::string& path);
// A path that a finished file may be moved over: nothing is there, or a file that
// is not read-only.
bool IsReplaceable(const std::string& path);

// The directory part of a local path, up to and including its last separator; ""
// when it has none. On Windows a drive ("C:a.cab" -> "C:") and a '/' end it as well.
std::string DirectoryOf(const std::string& path);

// Creates a directory and whatever is missing above it, top down. True means that
// the directory exists afterwards: only a root ("C:", "/") is taken for granted; a
// short relative name such as "ab" is created like any other, and a name that is
// its own parent ("ab:" on Windows) cannot be made and gives false. Directories
// made before a failure stay.
bool ForceDirs(const std::string& directory);

}  // namespace nolt
