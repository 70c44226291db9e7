// Linux only: the files seam on the local file system (Files.cpp), below the layer
// that sends paths under a connected network share to that share (ShareFiles.cpp).
#pragma once

#include <time.h>

#include <cstdint>

#include "platform/Files.h"

namespace plat::posix {

Files& LocalFiles();
// The one translation of errno into Win32 error numbers.
std::uint32_t ErrorFromErrno(int e);
// Seconds and nanoseconds since 1970 <-> FILETIME, for the local files and a share's.
std::uint64_t FileTimeOf(const timespec& ts);
timespec TimespecOf(std::uint64_t fileTime);

}  // namespace plat::posix
