// Linux only: the files seam on the local file system (Files.cpp), below the layer
// that sends paths under a connected network share to that share (ShareFiles.cpp).
#pragma once

#include <cstdint>

#include "platform/Files.h"

namespace plat::posix {

Files& LocalFiles();
// The one translation of errno into Win32 error numbers.
std::uint32_t ErrorFromErrno(int e);

}  // namespace plat::posix
