// CRC-32 of a whole file, as a number and as the text the update manifest carries.
#pragma once

#include <cstdint>
#include <string>

namespace nolt {

// Never throws. An unopenable file gives Crc 0 and "0", as an empty file does.
std::string FileCRC32(const std::string& FileName, std::uint32_t& Crc);

}  // namespace nolt
