// An independent CRC-32 for the tests: one bit at a time, no table, so a fault in
// the tables or in a fast path cannot hide in the reference as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nolt::test {

inline std::uint32_t BitwiseUpdate(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1u) ? 0xEDB88320u : 0u);
  }
  return reg;
}

inline std::uint32_t BitwiseCrc(const std::string& bytes) {
  return ~BitwiseUpdate(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace nolt::test
