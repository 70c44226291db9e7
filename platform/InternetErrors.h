// The message table of the WinINet error numbers, in the words of the Windows one:
// the texts of the libcurl stand-in, and of every number a transfer reports when
// the loaded WinINet has no text for it (Wine's lacks some).
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The text of a WinINet error number as the Windows message table words it, ending
// with CR LF as a formatted system message does; empty for a number it does not know.
std::string InternetErrorMessage(std::uint32_t code);

}  // namespace plat
