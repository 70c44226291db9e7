// Decoders of AVI clips and BMP pictures for the FLTK view. Portable code only.
#include "platform/posix/ui/FltkImages.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <string>

namespace plat {
namespace {

std::uint32_t Le32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }
bool Is(const unsigned char* p, const char* fourcc) { return std::memcmp(p, fourcc, 4) == 0; }

// Reads a BITMAPINFOHEADER and its palette. Sets width, height, palette; returns the
// compression and whether rows are stored bottom-up.
bool ReadBitmapInfo(const unsigned char* p, std::size_t size, PaletteImage& out, std::uint32_t& compression,
                    bool& bottomUp) {
  if (size < 40) return false;
  const std::uint32_t headerSize = Le32(p);
  const auto width = static_cast<std::int32_t>(Le32(p + 4));
  const auto height = static_cast<std::int32_t>(Le32(p + 8));
  const std::uint16_t bits = Le16(p + 14);
  compression = Le32(p + 16);
  std::uint32_t colours = Le32(p + 32);
  if (headerSize < 40 || headerSize > size || bits != 8) return false;
  if (width <= 0 || width > 4096 || height == 0 || height > 4096 || height < -4096) return false;
  if (colours == 0 || colours > 256) colours = 256;
  if (headerSize + std::size_t(colours) * 4 > size) return false;
  out.width = width;
  out.height = height < 0 ? -height : height;
  bottomUp = height > 0;
  for (std::uint32_t i = 0; i < colours; ++i) {
    const unsigned char* c = p + headerSize + i * 4;  // blue, green, red, reserved
    out.palette[i] = std::uint32_t(c[2]) << 16 | std::uint32_t(c[1]) << 8 | c[0];
  }
  return true;
}

// An uncompressed 8-bit frame: rows padded to 4 bytes.
bool DecodeRaw8(const unsigned char* data, std::size_t size, int width, int height, bool bottomUp,
                std::vector<std::uint8_t>& pixels) {
  const std::size_t stride = (std::size_t(width) + 3) & ~std::size_t(3);
  if (size < stride * std::size_t(height)) return false;
  for (int row = 0; row < height; ++row) {
    const int y = bottomUp ? height - 1 - row : row;
    std::memcpy(&pixels[std::size_t(y) * width], data + std::size_t(row) * stride, std::size_t(width));
  }
  return true;
}

}  // namespace

bool DecodeRle8(const unsigned char* data, std::size_t size, int width, int height, std::vector<std::uint8_t>& pixels) {
  if (pixels.size() != std::size_t(width) * height) return false;
  // Rows are bottom-up: row 0 of the stream is the last row of the picture.
  int x = 0, row = 0;
  std::size_t i = 0;
  auto put = [&](std::uint8_t v) {
    if (x < width && row < height) pixels[std::size_t(height - 1 - row) * width + x] = v;
    ++x;
  };
  while (i + 1 < size) {
    const std::uint8_t count = data[i], value = data[i + 1];
    i += 2;
    if (count > 0) {
      for (int k = 0; k < count; ++k) put(value);
    } else if (value == 0) {  // end of line
      x = 0;
      ++row;
    } else if (value == 1) {  // end of bitmap
      return true;
    } else if (value == 2) {  // delta: skip right and up
      if (i + 1 >= size) return false;
      x += data[i];
      row += data[i + 1];
      i += 2;
    } else {  // absolute run of `value` bytes, padded to a word
      if (i + value > size) return false;
      for (int k = 0; k < value; ++k) put(data[i + k]);
      i += value + (value & 1);
    }
  }
  return true;  // a frame may end without the end-of-bitmap mark
}

bool DecodeAviClip(const unsigned char* data, std::size_t size, PaletteImage& out) {
  if (size < 12 || !Is(data, "RIFF") || !Is(data + 8, "AVI ")) return false;
  const std::size_t end = std::min<std::size_t>(size, std::size_t(Le32(data + 4)) + 8);
  std::uint32_t compression = 0;
  bool bottomUp = true, haveFormat = false;
  std::vector<std::uint8_t> pixels;

  // Walks chunks, descending into every LIST; frames come from the movi list.
  std::vector<std::pair<std::size_t, std::size_t>> stack{{12, end}};
  while (!stack.empty()) {
    auto& [pos, limit] = stack.back();
    if (pos + 8 > limit) {
      stack.pop_back();
      continue;
    }
    const unsigned char* ck = data + pos;
    const std::size_t ckSize = Le32(ck + 4);
    const std::size_t body = pos + 8;
    if (ckSize > limit - body) return false;
    pos = body + ckSize + (ckSize & 1);
    if (Is(ck, "LIST")) {
      if (ckSize >= 4) stack.push_back({body + 4, body + ckSize});
      continue;
    }
    if (Is(ck, "avih") && ckSize >= 4) {
      out.microSecPerFrame = static_cast<int>(Le32(data + body));
    } else if (Is(ck, "strf") && !haveFormat) {
      if (!ReadBitmapInfo(data + body, ckSize, out, compression, bottomUp)) return false;
      if (compression != 0 && compression != 1) return false;  // BI_RGB or BI_RLE8
      haveFormat = true;
      pixels.assign(std::size_t(out.width) * out.height, 0);
    } else if (ck[2] == 'd' && (ck[3] == 'c' || ck[3] == 'b') && haveFormat) {
      const bool ok = compression == 1 ? DecodeRle8(data + body, ckSize, out.width, out.height, pixels)
                                       : DecodeRaw8(data + body, ckSize, out.width, out.height, bottomUp, pixels);
      if (!ok) return false;
      out.frames.push_back(pixels);
    }
  }
  return haveFormat && !out.frames.empty();
}

bool DecodeBmp8(const unsigned char* data, std::size_t size, PaletteImage& out) {
  if (size < 14 + 40 || data[0] != 'B' || data[1] != 'M') return false;
  const std::size_t offset = Le32(data + 10);
  std::uint32_t compression = 0;
  bool bottomUp = true;
  if (!ReadBitmapInfo(data + 14, size - 14, out, compression, bottomUp)) return false;
  if (offset >= size) return false;
  std::vector<std::uint8_t> pixels(std::size_t(out.width) * out.height, 0);
  bool ok = false;
  if (compression == 0) ok = DecodeRaw8(data + offset, size - offset, out.width, out.height, bottomUp, pixels);
  else if (compression == 1) ok = DecodeRle8(data + offset, size - offset, out.width, out.height, pixels);
  if (!ok) return false;
  out.frames.push_back(std::move(pixels));
  return true;
}

}  // namespace plat
