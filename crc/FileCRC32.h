// The file checksum of the update manifest: CRC-32 of a whole file, as a number and
// as the manifest's text.
#pragma once

#include <cstdint>
#include <string>

namespace nolt {

// CRC-32 (reflected, polynomial 0xEDB88320, register preset to all ones, result
// complemented) of the file at FileName, read through the files seam.
//
// Crc receives the value; the result is its text: upper-case hexadecimal, padded
// with zeros to six digits, seven or eight digits without a leading zero when the
// value needs them, and "0" when the value is 0.
//   0x00000000 -> "0"          0x00000ABC -> "000ABC"   0x00ABCDEF -> "ABCDEF"
//   0x01234567 -> "1234567"    0xCBF43926 -> "CBF43926"
//
// A file that cannot be opened, and a file whose reading fails after it was opened,
// give Crc 0 and "0", exactly as an empty file does. The function never throws and
// leaves the files seam's last error as it found it.
std::string FileCRC32(const std::string& FileName, std::uint32_t& Crc) noexcept;

}  // namespace nolt
