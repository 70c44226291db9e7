// The system's message text for an error number: the one call of FormatMessageA.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace plat::win32 {

// The text of code from the system's message table, or from module's when one is
// given, as the system wrote it (its closing line break included); empty when there
// is none. maxBytes: 0 for any length, else a text that does not fit counts as none.
std::string SystemMessage(std::uint32_t code, HMODULE module = nullptr, std::uint32_t maxBytes = 0);

}  // namespace plat::win32
