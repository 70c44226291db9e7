#include "crc/Crc32.h"

#include "crc/Cpu.h"

namespace nolt::crc {

std::uint32_t UpdateBytewise(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) reg = kTable[(reg ^ data[i]) & 0xFFu] ^ (reg >> 8);
  return reg;
}

std::uint32_t UpdateSlicing16(std::uint32_t reg, const unsigned char* p, std::size_t size) {
  const SliceTables& t = kSliceTables;
  while (size >= 16) {
    // Bytes are read one by one, so the code is independent of byte order and
    // alignment; compilers merge the first four into one load.
    std::uint32_t a = reg ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                             std::uint32_t{p[3]} << 24);
    reg = t[15][a & 0xFFu] ^ t[14][(a >> 8) & 0xFFu] ^ t[13][(a >> 16) & 0xFFu] ^ t[12][a >> 24] ^
          t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^
          t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
    p += 16;
    size -= 16;
  }
  return UpdateBytewise(reg, p, size);
}

std::uint32_t Update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  using Form = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);
  static const Form form = ClmulAvailable() ? UpdateClmul : UpdateSlicing16;
  return form(reg, data, size);
}

}  // namespace nolt::crc
