// Linux only: the files seam on the local file system (Files.cpp), below the layer
// that sends paths under a connected network share to that share (ShareFiles.cpp).
#pragma once

#include <time.h>

#include <cstdint>

#include "platform/Files.h"

namespace plat::posix {

Files& LocalFiles();
// The one translation of errno into the Win32 error number that Windows gives for
// the same failure, so that callers and texts see one vocabulary: ENOENT -> 2
// (ERROR_FILE_NOT_FOUND), ENOTDIR -> 3, EACCES -> 5, ENOSPC -> 112 (ERROR_DISK_FULL).
// An errno without a counterpart is kept, tagged as the customer code 0x20000000 |
// errno, whose text the seam's ErrorText gives from strerror. 0 stays 0.
std::uint32_t ErrorFromErrno(int e);
// Seconds and nanoseconds since 1970 <-> FILETIME, for the local files and a share's.
std::uint64_t FileTimeOf(const timespec& ts);
timespec TimespecOf(std::uint64_t fileTime);

}  // namespace plat::posix
