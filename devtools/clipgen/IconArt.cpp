// The programs' icon: a blue tile with a white arrow coming down onto a gold tray,
// "an update arrives". Each size is drawn from the same shapes in unit coordinates
// with 8 x 8 samples per pixel, so the small sizes stay smooth without hand-made
// pixels.
#include "IconArt.h"

#include <algorithm>
#include <cmath>

namespace clipgen {
namespace {

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;
};

// Whether (u, v) lies in the rectangle [x0, x1] x [y0, y1] with corners rounded by radius.
bool InRoundedRect(double u, double v, double x0, double y0, double x1, double y1, double radius) {
  if (u < x0 || u > x1 || v < y0 || v > y1) return false;
  const double dx = std::max({x0 + radius - u, u - (x1 - radius), 0.0});
  const double dy = std::max({y0 + radius - v, v - (y1 - radius), 0.0});
  return dx * dx + dy * dy <= radius * radius;
}

// Whether (u, v) lies in the triangle a, b, c (either winding).
bool InTriangle(double u, double v, double ax, double ay, double bx, double by, double cx, double cy) {
  auto side = [&](double px, double py, double qx, double qy) { return (qx - px) * (v - py) - (qy - py) * (u - px); };
  const double s0 = side(ax, ay, bx, by), s1 = side(bx, by, cx, cy), s2 = side(cx, cy, ax, ay);
  return (s0 >= 0 && s1 >= 0 && s2 >= 0) || (s0 <= 0 && s1 <= 0 && s2 <= 0);
}

// The colour of one sample point; the border is at least one pixel of a size-pixel icon.
Rgba Shade(double u, double v, int size) {
  const double border = std::max(1.0 / size, 0.045);
  // The tray and the arrow lie over the tile.
  if (InRoundedRect(u, v, 0.21, 0.78, 0.79, 0.87, 0.03)) return {248, 200, 48, 255};
  if (InRoundedRect(u, v, 0.41, 0.16, 0.59, 0.50, 0.02) || InTriangle(u, v, 0.20, 0.46, 0.80, 0.46, 0.50, 0.74))
    return {255, 255, 255, 255};
  if (!InRoundedRect(u, v, 0.05, 0.05, 0.95, 0.95, 0.20)) return {};
  if (!InRoundedRect(u, v, 0.05 + border, 0.05 + border, 0.95 - border, 0.95 - border, 0.20 - border))
    return {16, 48, 112, 255};
  // From a light sky blue at the top to a deep blue at the bottom.
  const double t = std::clamp((v - 0.05) / 0.9, 0.0, 1.0);
  return {72 - 48 * t, 148 - 60 * t, 232 - 48 * t, 255};
}

void Put16(std::vector<std::uint8_t>& b, std::uint32_t v) {
  b.push_back(std::uint8_t(v));
  b.push_back(std::uint8_t(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// One icon image: a BITMAPINFOHEADER of double height, the BGRA rows bottom-up, then
// the AND mask (1 bit per pixel, rows padded to 32 bits), bottom-up too.
std::vector<std::uint8_t> DrawImage(int size) {
  constexpr int kSamples = 8;
  std::vector<std::uint8_t> bgra(std::size_t(size) * size * 4);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      // Average the premultiplied samples, then store straight alpha as icons expect.
      Rgba sum;
      for (int j = 0; j < kSamples; ++j)
        for (int i = 0; i < kSamples; ++i) {
          const Rgba s = Shade((x + (i + 0.5) / kSamples) / size, (y + (j + 0.5) / kSamples) / size, size);
          sum.r += s.r * s.a;
          sum.g += s.g * s.a;
          sum.b += s.b * s.a;
          sum.a += s.a;
        }
      std::uint8_t* p = &bgra[(std::size_t(size - 1 - y) * size + x) * 4];
      const double a = sum.a / (kSamples * kSamples);
      if (sum.a > 0) {
        p[0] = std::uint8_t(std::lround(sum.b / sum.a));
        p[1] = std::uint8_t(std::lround(sum.g / sum.a));
        p[2] = std::uint8_t(std::lround(sum.r / sum.a));
      }
      p[3] = std::uint8_t(std::lround(a));
    }

  const int maskStride = (size + 31) / 32 * 4;
  std::vector<std::uint8_t> mask(std::size_t(maskStride) * size, 0);
  for (int row = 0; row < size; ++row)
    for (int x = 0; x < size; ++x)
      if (bgra[(std::size_t(row) * size + x) * 4 + 3] == 0) mask[std::size_t(row) * maskStride + x / 8] |= 0x80 >> (x % 8);

  std::vector<std::uint8_t> b;
  Put32(b, 40);
  Put32(b, std::uint32_t(size));
  Put32(b, std::uint32_t(size * 2));  // colour rows and mask rows
  Put16(b, 1);
  Put16(b, 32);
  Put32(b, 0);  // BI_RGB
  Put32(b, std::uint32_t(bgra.size() + mask.size()));
  for (int i = 0; i < 4; ++i) Put32(b, 0);
  b.insert(b.end(), bgra.begin(), bgra.end());
  b.insert(b.end(), mask.begin(), mask.end());
  return b;
}

}  // namespace

std::vector<std::uint8_t> WriteIcon() {
  std::vector<std::vector<std::uint8_t>> images;
  for (int size : kIconSizes) images.push_back(DrawImage(size));

  std::vector<std::uint8_t> b;
  Put16(b, 0);  // reserved
  Put16(b, 1);  // an icon
  Put16(b, std::uint32_t(images.size()));
  std::uint32_t offset = 6 + 16 * std::uint32_t(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    b.push_back(std::uint8_t(kIconSizes[i]));
    b.push_back(std::uint8_t(kIconSizes[i]));
    b.push_back(0);  // no palette
    b.push_back(0);
    Put16(b, 1);   // planes
    Put16(b, 32);  // bits per pixel
    Put32(b, std::uint32_t(images[i].size()));
    Put32(b, offset);
    offset += std::uint32_t(images[i].size());
  }
  for (const auto& image : images) b.insert(b.end(), image.begin(), image.end());
  return b;
}

}  // namespace clipgen
