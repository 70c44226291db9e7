// The message table of the WinINet error numbers for the libcurl stand-in. Must
// contain only code of the POSIX internet implementation.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The text of a WinINet error number as the Windows message table words it, ending
// with CR LF as a formatted system message does; empty for a number it does not know.
std::string InternetErrorMessage(std::uint32_t code);

}  // namespace plat
