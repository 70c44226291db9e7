// CRC-32 register updates behind FileCRC32: the plain table-driven form and two
// faster forms that give the same register for the same bytes.
//
// All functions work on the raw register: the caller presets it (0xFFFFFFFF) and
// complements it at the end, so a stream can be fed in pieces of any size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nolt::crc {

inline constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // reflected form

// Tables for slicing by 16 bytes: row 0 is the classic byte table (entry n is n
// shifted right eight times, XORed with the polynomial whenever a 1 falls out);
// row k advances a byte that lies k positions before the end of a 16-byte slice.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr SliceTables MakeSliceTables() {
  SliceTables t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t v = n;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ kPolynomial : v >> 1;
    t[0][n] = v;
  }
  for (std::size_t k = 1; k < t.size(); ++k)
    for (std::size_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
  return t;
}

// Computed by the compiler: constant data of the program, never built at run time.
inline constexpr SliceTables kSliceTables = MakeSliceTables();
inline constexpr const std::array<std::uint32_t, 256>& kTable = kSliceTables[0];

static_assert(kTable[0] == 0 && kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

// One table lookup per byte: the reference that the other forms must equal.
std::uint32_t UpdateBytewise(std::uint32_t reg, const unsigned char* data, std::size_t size);

// Sixteen bytes per step through sixteen tables; portable C++.
std::uint32_t UpdateSlicing16(std::uint32_t reg, const unsigned char* data, std::size_t size);

// Carry-less multiplication (PCLMULQDQ): folds 64 bytes per step and hands the
// short tail to UpdateSlicing16. Call only when ClmulAvailable() is true.
std::uint32_t UpdateClmul(std::uint32_t reg, const unsigned char* data, std::size_t size);

// True when this build has the carry-less path and the processor supports it.
bool ClmulAvailable();

// The fastest form this machine supports; chosen once.
std::uint32_t Update(std::uint32_t reg, const unsigned char* data, std::size_t size);

}  // namespace nolt::crc
