// Decoders of the program's pictures for the FLTK view: AVI clips of 8-bit frames
// (uncompressed or BI_RLE8, key frames and delta frames) and 8-bit BMP files. They
// read untrusted bytes carefully: every offset and run is checked against the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plat {

struct PaletteImage {
  int width = 0;
  int height = 0;
  std::uint32_t palette[256] = {};  // 0xRRGGBB
  std::vector<std::vector<std::uint8_t>> frames;  // top-down palette indexes, width * height each
  int microSecPerFrame = 0;                       // clips only
};

// A clip's frames; false when the data is not an AVI of 8-bit frames.
bool DecodeAviClip(const unsigned char* data, std::size_t size, PaletteImage& out);
// One frame from an uncompressed 8-bit BMP file.
bool DecodeBmp8(const unsigned char* data, std::size_t size, PaletteImage& out);

// Decodes one BI_RLE8 frame onto `pixels` (top-down, width * height), which holds the
// previous frame: pixels that a delta skips keep their value. False on bad data.
bool DecodeRle8(const unsigned char* data, std::size_t size, int width, int height, std::vector<std::uint8_t>& pixels);

}  // namespace plat
