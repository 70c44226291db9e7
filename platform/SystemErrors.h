// The words of the system error numbers that the seams report, as the Windows message
// table gives them (without the closing full stop): the texts of the Linux files
// seam, and a fallback where a Windows system has none (Wine lacks some).
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// "" for a number not in the table.
std::string SystemErrorMessage(std::uint32_t code);

}  // namespace plat
