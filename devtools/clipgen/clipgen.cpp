// Draws the progress dialog's animation clips, the login banner and the programs'
// icon, and writes them as the files the build embeds: AVI clips (8-bit RLE, no
// sound), a 256-colour BMP, an icon (IconArt.cpp), and a C++ source holding the
// clips' and the banner's bytes for the targets that link them as data.
//
// Usage: clipgen OUTDIR
// Writes OUTDIR/clip257.avi, clip258.avi, clip259.avi, banner.bmp, nolt.ico,
// ResourceData.cpp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "IconArt.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- palette

struct Rgb {
  std::uint8_t r, g, b;
};

// Fixed colour indexes; 64..127 a blue ramp for the banner, the rest black.
enum Colour : std::uint8_t {
  kBack = 0,  // the top-left pixel: views draw it in the window's own colour
  kBlack,
  kWhite,
  kGrey,
  kDarkGrey,
  kOcean,
  kOceanLight,
  kLand,
  kLandDark,
  kFolder,
  kFolderDark,
  kFolderLight,
  kPaperLine,
  kArrow,
  kArrowDark,
  kScreen,
  kScreenLight,
  kGold,
  kGoldDark,
  kShadow,
  kRampStart = 64,
  kRampSize = 64,
};

std::array<Rgb, 256> MakePalette() {
  std::array<Rgb, 256> p{};
  p[kBack] = {192, 192, 192};
  p[kBlack] = {0, 0, 0};
  p[kWhite] = {255, 255, 255};
  p[kGrey] = {160, 160, 160};
  p[kDarkGrey] = {96, 96, 96};
  p[kOcean] = {24, 88, 184};
  p[kOceanLight] = {72, 136, 224};
  p[kLand] = {56, 160, 72};
  p[kLandDark] = {32, 112, 48};
  p[kFolder] = {240, 200, 72};
  p[kFolderDark] = {184, 136, 24};
  p[kFolderLight] = {252, 228, 140};
  p[kPaperLine] = {120, 136, 168};
  p[kArrow] = {40, 168, 64};
  p[kArrowDark] = {16, 104, 32};
  p[kScreen] = {0, 64, 128};
  p[kScreenLight] = {64, 160, 208};
  p[kGold] = {248, 200, 48};
  p[kGoldDark] = {168, 120, 16};
  p[kShadow] = {150, 150, 150};
  for (int i = 0; i < kRampSize; ++i) {
    // From a deep navy to a light steel blue.
    const double t = i / double(kRampSize - 1);
    p[kRampStart + i] = {std::uint8_t(8 + t * 120), std::uint8_t(24 + t * 140), std::uint8_t(72 + t * 160)};
  }
  return p;
}

// ---------------------------------------------------------------- drawing

struct Canvas {
  int w, h;
  Bytes px;  // top-down, one palette index per pixel
  Canvas(int width, int height, std::uint8_t fill) : w(width), h(height), px(std::size_t(width) * height, fill) {}

  void Set(int x, int y, std::uint8_t c) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[std::size_t(y) * w + x] = c;
  }
  void Rect(int x, int y, int rw, int rh, std::uint8_t c) {
    for (int j = y; j < y + rh; ++j)
      for (int i = x; i < x + rw; ++i) Set(i, j, c);
  }
  void Frame(int x, int y, int rw, int rh, std::uint8_t c) {
    for (int i = x; i < x + rw; ++i) {
      Set(i, y, c);
      Set(i, y + rh - 1, c);
    }
    for (int j = y; j < y + rh; ++j) {
      Set(x, j, c);
      Set(x + rw - 1, j, c);
    }
  }
  void Disc(double cx, double cy, double r, std::uint8_t c) {
    for (int j = int(cy - r) - 1; j <= int(cy + r) + 1; ++j)
      for (int i = int(cx - r) - 1; i <= int(cx + r) + 1; ++i)
        if ((i + 0.5 - cx) * (i + 0.5 - cx) + (j + 0.5 - cy) * (j + 0.5 - cy) <= r * r) Set(i, j, c);
  }
  void Ring(double cx, double cy, double r, std::uint8_t c) {
    for (int a = 0; a < 360; ++a) {
      const double t = a * M_PI / 180;
      Set(int(std::floor(cx + r * std::cos(t))), int(std::floor(cy + r * std::sin(t))), c);
    }
  }
  // A filled triangle (scan conversion by half-plane tests).
  void Triangle(double x0, double y0, double x1, double y1, double x2, double y2, std::uint8_t c) {
    auto edge = [](double ax, double ay, double bx, double by, double px, double py) {
      return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
    };
    const int minX = int(std::min({x0, x1, x2})), maxX = int(std::max({x0, x1, x2})) + 1;
    const int minY = int(std::min({y0, y1, y2})), maxY = int(std::max({y0, y1, y2})) + 1;
    for (int j = minY; j <= maxY; ++j)
      for (int i = minX; i <= maxX; ++i) {
        const double px = i + 0.5, py = j + 0.5;
        const double e0 = edge(x0, y0, x1, y1, px, py), e1 = edge(x1, y1, x2, y2, px, py),
                     e2 = edge(x2, y2, x0, y0, px, py);
        if ((e0 >= 0 && e1 >= 0 && e2 >= 0) || (e0 <= 0 && e1 <= 0 && e2 <= 0)) Set(i, j, c);
      }
  }
};

// A globe whose meridians turn with the phase (0..1).
void DrawGlobe(Canvas& c, double cx, double cy, double r, double phase) {
  c.Disc(cx + 2, cy + 2, r, kShadow);
  c.Disc(cx, cy, r, kOcean);
  c.Disc(cx - r * 0.35, cy - r * 0.35, r * 0.35, kOceanLight);
  // Two continents that travel round with the phase and vanish behind the rim.
  for (int k = 0; k < 2; ++k) {
    const double lon = (phase + k * 0.5) * 2 * M_PI;
    const double s = std::sin(lon);
    if (std::cos(lon) < 0) continue;
    const double lx = cx + s * r * 0.6, ly = cy + (k ? 5 : -6);
    c.Disc(lx, ly, r * 0.32 * std::cos(lon) + 1, kLand);
    c.Disc(lx + 3, ly + 4, r * 0.18 * std::cos(lon) + 1, kLandDark);
  }
  // Meridians and the equator.
  for (int m = 0; m < 3; ++m) {
    const double lon = (phase + m / 3.0) * M_PI;
    const double rx = r * std::cos(lon);
    for (int a = 0; a < 180; ++a) {
      const double t = a * M_PI / 180 - M_PI / 2;
      c.Set(int(cx + rx * std::cos(t)), int(cy + r * std::sin(t)), kOceanLight);
    }
  }
  for (int i = int(cx - r); i <= int(cx + r); ++i) c.Set(i, int(cy), kOceanLight);
  c.Ring(cx, cy, r, kBlack);
}

void DrawFolder(Canvas& c, int x, int y, int w, int h, bool open) {
  c.Rect(x + 3, y + 3, w, h, kShadow);
  c.Rect(x, y - 5, w / 3, 6, kFolderDark);  // the tab
  c.Rect(x, y, w, h, kFolderDark);
  c.Rect(x + 1, y + 1, w - 2, h - 2, kFolder);
  if (open) {
    // The front flap, tilted open: a parallelogram lighter than the back.
    for (int j = 0; j < h - 6; ++j) {
      const int shift = (h - 6 - j) / 3;
      for (int i = 2 + shift; i < w - 1; ++i) c.Set(x + i, y + 6 + j, kFolderLight);
    }
  }
  c.Frame(x, y, w, h, kBlack);
}

// A sheet of paper with a folded corner and text lines; (x, y) is its top-left.
void DrawDocument(Canvas& c, int x, int y) {
  const int w = 14, h = 18;
  c.Rect(x + 2, y + 2, w, h, kShadow);
  c.Rect(x, y, w, h, kWhite);
  c.Frame(x, y, w, h, kBlack);
  c.Triangle(x + w - 5, y, x + w, y + 5, x + w - 5, y + 5, kGrey);
  for (int line = 0; line < 4; ++line) c.Rect(x + 3, y + 6 + line * 3, w - 6 - (line == 3 ? 3 : 0), 1, kPaperLine);
}

void DrawMonitor(Canvas& c, int x, int y) {
  c.Rect(x + 3, y + 3, 40, 30, kShadow);
  c.Rect(x, y, 40, 30, kGrey);
  c.Frame(x, y, 40, 30, kBlack);
  c.Rect(x + 4, y + 4, 32, 20, kScreen);
  c.Rect(x + 6, y + 6, 12, 2, kScreenLight);
  c.Rect(x + 6, y + 10, 20, 2, kScreenLight);
  c.Rect(x + 14, y + 30, 12, 4, kDarkGrey);
  c.Rect(x + 6, y + 34, 28, 4, kGrey);
  c.Frame(x + 6, y + 34, 28, 4, kBlack);
}

// An upward arrow with its tip at (cx, top).
void DrawUpArrow(Canvas& c, double cx, double top, std::uint8_t fill, std::uint8_t edge) {
  c.Triangle(cx - 13, top + 14, cx + 13, top + 14, cx, top, edge);
  c.Triangle(cx - 10, top + 13, cx + 10, top + 13, cx, top + 2, fill);
  c.Rect(int(cx) - 6, int(top) + 14, 13, 14, edge);
  c.Rect(int(cx) - 5, int(top) + 13, 11, 14, fill);
}

// ---------------------------------------------------------------- the clips

constexpr int kClipW = 272;
constexpr int kClipH = 60;

// Clip 257: a document flies in an arc from a turning globe into a folder.
std::vector<Canvas> DownloadClip() {
  std::vector<Canvas> frames;
  const int n = 31;
  for (int f = 0; f < n; ++f) {
    Canvas c(kClipW, kClipH, kBack);
    DrawGlobe(c, 38, 31, 24, f / double(n));
    DrawFolder(c, 210, 20, 46, 32, true);
    const double t = f / double(n - 1);
    const double x = 62 + t * (216 - 62);
    const double y = 26 - std::sin(t * M_PI) * 22;
    // The sheet slips into the folder at the end of its flight.
    if (f < n - 2) DrawDocument(c, int(x), int(y));
    frames.push_back(std::move(c));
  }
  return frames;
}

// Clip 258: an arrow rises from a computer towards the globe, again and again.
std::vector<Canvas> UploadClip() {
  std::vector<Canvas> frames;
  const int n = 26;
  for (int f = 0; f < n; ++f) {
    Canvas c(kClipW, kClipH, kBack);
    DrawMonitor(c, 30, 14);
    DrawGlobe(c, 226, 31, 24, 0.15);
    // Two arrows half a cycle apart, each climbing 60 pixels per cycle.
    for (int k = 0; k < 2; ++k) {
      const double t = std::fmod(f / double(n) + k * 0.5, 1.0);
      const double top = 58 - t * 84;
      DrawUpArrow(c, 136, top, kArrow, kArrowDark);
    }
    frames.push_back(std::move(c));
  }
  return frames;
}

// Clip 259: documents fly from one folder to another (our copy-files clip).
std::vector<Canvas> CopyClip() {
  std::vector<Canvas> frames;
  const int n = 20;
  for (int f = 0; f < n; ++f) {
    Canvas c(kClipW, kClipH, kBack);
    DrawFolder(c, 16, 20, 46, 32, true);
    DrawFolder(c, 210, 20, 46, 32, true);
    const double t = f / double(n - 1);
    DrawDocument(c, int(40 + t * (222 - 40)), int(24 - std::sin(t * M_PI) * 20));
    frames.push_back(std::move(c));
  }
  return frames;
}

// ---------------------------------------------------------------- the banner

// A 5 x 7 font of the few capitals the banner needs.
const char* Glyph(char ch) {
  switch (ch) {
    case 'A': return " ### #   ##   #######   ##   ##   #";
    case 'C': return " ### #   ##    #    #    #   # ### ";
    case 'E': return "######    #### #    #    #    #####";
    case 'G': return " ### #   ##    # ####   ##   # ####";
    case 'H': return "#   ##   ##   #######   ##   ##   #";
    case 'I': return " ###   #    #    #    #    #   ### ";
    case 'L': return "#    #    #    #    #    #    #####";
    case 'N': return "#   ###  ## # ##  ###   ##   ##   #";
    case 'O': return " ### #   ##   ##   ##   ##   # ### ";
    case 'P': return "#### #   ##   ##### #    #    #    ";
    case 'S': return " ####    #     ###     #    #####  ";
    case 'T': return "#####  #    #    #    #    #    #  ";
    case 'U': return "#   ##   ##   ##   ##   ##   # ### ";
    case '-': return "                ###                ";
    default: return "                                   ";
  }
}

void DrawText(Canvas& c, int x, int y, int scale, const std::string& text, std::uint8_t colour) {
  for (char ch : text) {
    const char* g = Glyph(ch);
    for (int j = 0; j < 7; ++j)
      for (int i = 0; i < 5; ++i)
        if (g[j * 5 + i] == '#') c.Rect(x + i * scale, y + j * scale, scale, scale, colour);
    x += 6 * scale;
  }
}

Canvas Banner() {
  Canvas c(320, 60, kBack);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 320; ++x) {
      // A diagonal gradient over the 64 ramp entries.
      const int k = std::min(kRampSize - 1, (x * 40 / 320) + (y * 24 / 60));
      c.Set(x, y, std::uint8_t(kRampStart + k));
    }
  // A key: ring, shaft and two teeth, in gold.
  c.Disc(30, 30, 13, kGoldDark);
  c.Disc(30, 30, 11, kGold);
  c.Disc(30, 30, 5, std::uint8_t(kRampStart + 6));
  c.Rect(42, 27, 34, 7, kGoldDark);
  c.Rect(43, 28, 32, 5, kGold);
  c.Rect(62, 33, 5, 8, kGold);
  c.Rect(70, 33, 5, 10, kGold);
  DrawText(c, 96, 12, 4, "NOLT", kWhite);
  DrawText(c, 98, 46, 1, "PATCH-SETUP", kFolderLight);
  DrawText(c, 218, 24, 2, "LOGIN", kWhite);
  return c;
}

// ---------------------------------------------------------------- encoders

void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(std::uint8_t(v));
  b.push_back(std::uint8_t(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void PutFourCC(Bytes& b, const char* s) { b.insert(b.end(), s, s + 4); }
void Patch32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}

// 8-bit run-length encoding (BI_RLE8) of a whole frame, rows bottom-up. Every frame
// is complete in itself, so any player can start or loop at any frame.
Bytes EncodeRle8(const Canvas& c) {
  Bytes out;
  for (int y = c.h - 1; y >= 0; --y) {
    const std::uint8_t* row = &c.px[std::size_t(y) * c.w];
    int x = 0;
    while (x < c.w) {
      int run = 1;
      while (x + run < c.w && run < 255 && row[x + run] == row[x]) ++run;
      if (run >= 3) {
        out.push_back(std::uint8_t(run));
        out.push_back(row[x]);
        x += run;
        continue;
      }
      // Absolute mode for a stretch without runs of three (at least 3 bytes, padded to a word).
      int lit = 0;
      while (x + lit < c.w && lit < 255) {
        int ahead = 1;
        while (x + lit + ahead < c.w && ahead < 3 && row[x + lit + ahead] == row[x + lit]) ++ahead;
        if (ahead >= 3) break;
        ++lit;
      }
      if (lit >= 3) {
        out.push_back(0);
        out.push_back(std::uint8_t(lit));
        out.insert(out.end(), row + x, row + x + lit);
        if (lit & 1) out.push_back(0);
        x += lit;
      } else {
        for (int i = 0; i < std::max(lit, 1); ++i) {
          out.push_back(1);
          out.push_back(row[x]);
          ++x;
        }
      }
    }
    out.push_back(0);
    out.push_back(y == 0 ? 1 : 0);  // end of line, or end of bitmap after the top row
  }
  return out;
}

void PutBitmapInfo(Bytes& b, int w, int h, std::uint32_t compression, std::uint32_t imageSize,
                   const std::array<Rgb, 256>& pal) {
  Put32(b, 40);
  Put32(b, std::uint32_t(w));
  Put32(b, std::uint32_t(h));
  Put16(b, 1);
  Put16(b, 8);
  Put32(b, compression);
  Put32(b, imageSize);
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, 256);
  Put32(b, 0);
  for (const Rgb& c : pal) {
    b.push_back(c.b);
    b.push_back(c.g);
    b.push_back(c.r);
    b.push_back(0);
  }
}

// A RIFF AVI with one RLE8 video stream and an index; no sound.
Bytes WriteAvi(const std::vector<Canvas>& frames, int fps, const std::array<Rgb, 256>& pal) {
  std::vector<Bytes> data;
  std::size_t largest = 0;
  for (const Canvas& c : frames) {
    data.push_back(EncodeRle8(c));
    largest = std::max(largest, data.back().size());
  }
  const int w = frames.front().w, h = frames.front().h;
  const std::uint32_t n = std::uint32_t(frames.size());

  Bytes b;
  PutFourCC(b, "RIFF");
  Put32(b, 0);
  PutFourCC(b, "AVI ");

  PutFourCC(b, "LIST");
  const std::size_t hdrlSize = b.size();
  Put32(b, 0);
  PutFourCC(b, "hdrl");
  PutFourCC(b, "avih");
  Put32(b, 56);
  Put32(b, std::uint32_t(1000000 / fps));  // microseconds per frame
  Put32(b, std::uint32_t(largest * fps));  // max bytes per second
  Put32(b, 0);                             // padding granularity
  Put32(b, 0x10);                          // AVIF_HASINDEX
  Put32(b, n);
  Put32(b, 0);  // initial frames
  Put32(b, 1);  // streams
  Put32(b, std::uint32_t(largest));
  Put32(b, std::uint32_t(w));
  Put32(b, std::uint32_t(h));
  for (int i = 0; i < 4; ++i) Put32(b, 0);

  PutFourCC(b, "LIST");
  const std::size_t strlSize = b.size();
  Put32(b, 0);
  PutFourCC(b, "strl");
  PutFourCC(b, "strh");
  Put32(b, 56);
  PutFourCC(b, "vids");
  PutFourCC(b, "RLE ");
  Put32(b, 0);  // flags
  Put16(b, 0);  // priority
  Put16(b, 0);  // language
  Put32(b, 0);  // initial frames
  Put32(b, 1);  // scale
  Put32(b, std::uint32_t(fps));
  Put32(b, 0);  // start
  Put32(b, n);  // length
  Put32(b, std::uint32_t(largest));
  Put32(b, 0xFFFFFFFF);  // quality: default
  Put32(b, 0);           // sample size: varies
  Put16(b, 0);
  Put16(b, 0);
  Put16(b, std::uint32_t(w));
  Put16(b, std::uint32_t(h));
  PutFourCC(b, "strf");
  Put32(b, 40 + 256 * 4);
  PutBitmapInfo(b, w, h, 1 /* BI_RLE8 */, std::uint32_t(largest), pal);
  Patch32(b, strlSize, std::uint32_t(b.size() - strlSize - 4));
  Patch32(b, hdrlSize, std::uint32_t(b.size() - hdrlSize - 4));

  PutFourCC(b, "LIST");
  const std::size_t moviSize = b.size();
  Put32(b, 0);
  const std::size_t moviStart = b.size();
  PutFourCC(b, "movi");
  std::vector<std::uint32_t> offsets;
  for (const Bytes& d : data) {
    offsets.push_back(std::uint32_t(b.size() - moviStart));
    PutFourCC(b, "00dc");
    Put32(b, std::uint32_t(d.size()));
    b.insert(b.end(), d.begin(), d.end());
    if (d.size() & 1) b.push_back(0);
  }
  Patch32(b, moviSize, std::uint32_t(b.size() - moviSize - 4));

  PutFourCC(b, "idx1");
  Put32(b, n * 16);
  for (std::size_t i = 0; i < data.size(); ++i) {
    PutFourCC(b, "00dc");
    Put32(b, 0x10);  // AVIIF_KEYFRAME
    Put32(b, offsets[i]);
    Put32(b, std::uint32_t(data[i].size()));
  }
  Patch32(b, 4, std::uint32_t(b.size() - 8));
  return b;
}

// An uncompressed 8-bit BMP file.
Bytes WriteBmp(const Canvas& c, const std::array<Rgb, 256>& pal) {
  const int stride = (c.w + 3) & ~3;
  const std::uint32_t imageSize = std::uint32_t(stride * c.h);
  const std::uint32_t offset = 14 + 40 + 256 * 4;
  Bytes b;
  b.push_back('B');
  b.push_back('M');
  Put32(b, offset + imageSize);
  Put32(b, 0);
  Put32(b, offset);
  PutBitmapInfo(b, c.w, c.h, 0 /* BI_RGB */, imageSize, pal);
  for (int y = c.h - 1; y >= 0; --y) {
    b.insert(b.end(), c.px.begin() + std::ptrdiff_t(y) * c.w, c.px.begin() + std::ptrdiff_t(y + 1) * c.w);
    for (int i = c.w; i < stride; ++i) b.push_back(0);
  }
  return b;
}

bool WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  return bool(out);
}

void AppendArray(std::string& src, const std::string& name, const Bytes& b) {
  src += "const unsigned char " + name + "[] = {";
  char buf[8];
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i % 20 == 0) src += "\n ";
    std::snprintf(buf, sizeof buf, " %u,", unsigned(b[i]));
    src += buf;
  }
  src += "\n};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: clipgen OUTDIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  const auto pal = MakePalette();

  struct Out {
    std::string file, array, type;
    int id;
    Bytes bytes;
  };
  std::vector<Out> outs = {
      {"clip257.avi", "kClip257", "AVI", 257, WriteAvi(DownloadClip(), 15, pal)},
      {"clip258.avi", "kClip258", "AVI", 258, WriteAvi(UploadClip(), 10, pal)},
      {"clip259.avi", "kClip259", "AVI", 259, WriteAvi(CopyClip(), 15, pal)},
      {"banner.bmp", "kBanner", "BITMAP", 300, WriteBmp(Banner(), pal)},
  };

  // Only the Windows programs carry an icon: it is no resource of the views.
  if (!WriteFile(dir + "/nolt.ico", clipgen::WriteIcon())) {
    std::cerr << "clipgen: cannot write " << dir << "/nolt.ico\n";
    return 1;
  }

  std::string src =
      "// Generated by tools/clipgen: the program's clips and banner as data, registered\n"
      "// with the user-interface seam when the program starts.\n"
      "#include \"platform/Ui.h\"\n\nnamespace {\n\n";
  for (const Out& o : outs) {
    if (!WriteFile(dir + "/" + o.file, o.bytes)) {
      std::cerr << "clipgen: cannot write " << dir << "/" << o.file << "\n";
      return 1;
    }
    AppendArray(src, o.array, o.bytes);
  }
  src += "\nstruct Registration {\n  Registration() {\n";
  for (const Out& o : outs)
    src += "    plat::RegisterProgramResource(\"" + o.type + "\", " + std::to_string(o.id) + ", {" + o.array +
           ", sizeof " + o.array + "});\n";
  src += "  }\n} registration;\n\n}  // namespace\n";
  if (!WriteFile(dir + "/ResourceData.cpp", Bytes(src.begin(), src.end()))) {
    std::cerr << "clipgen: cannot write " << dir << "/ResourceData.cpp\n";
    return 1;
  }
  return 0;
}
