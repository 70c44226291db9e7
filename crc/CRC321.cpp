// Byte-wise CRC-32 of a file through the files seam.
#include "crc/CRC321.h"

#include <cstdio>
#include <memory>

#include "platform/Files.h"

namespace nolt {
namespace {

constexpr std::uint32_t kBlock = 65521;

struct Table {
  std::uint32_t v[256];
  constexpr Table() : v() {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      v[n] = c;
    }
  }
};
constexpr Table kTable;

}  // namespace

std::string FileCRC32(const std::string& FileName, std::uint32_t& Crc) {
  std::uint32_t reg = 0xFFFFFFFFu;
  plat::Files& fs = plat::files();
  plat::FileHandle h = fs.CreateFileA(FileName, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h != plat::kInvalidFile) {
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kBlock]);
    std::uint32_t n = 0;
    while (fs.ReadFile(h, buf.get(), kBlock, &n) && n > 0)
      for (std::uint32_t i = 0; i < n; ++i) reg = kTable.v[(reg ^ buf[i]) & 0xFF] ^ (reg >> 8);
    fs.CloseHandle(h);
  }
  Crc = ~reg;
  if (Crc == 0) return "0";
  char text[9];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(Crc));
  return text;
}

}  // namespace nolt
