// The clips and the banner that every program showing the dialog carries: present
// under the right numbers (and, on Windows, the right language), byte for byte what
// the generator drew, and of the stated form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Ui.h"
#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/ui/FltkImages.h"
#endif

namespace {

std::string GeneratedFile(const std::string& name) {
  std::string dir = NOLT_RESOURCE_DIR;
#ifdef _WIN32
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
#endif
  return nolt::test::ReadFile(dir + "/" + name);
}

// What the program carries under a type and number.
std::string Carried(const char* type, int id) {
#ifdef _WIN32
  const WORD lang = std::strcmp(type, "AVI") == 0 ? MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH_BELGIAN)
                                                  : MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
  LPCSTR rtype = std::strcmp(type, "AVI") == 0 ? "AVI" : reinterpret_cast<LPCSTR>(RT_BITMAP);
  HRSRC r = ::FindResourceExA(nullptr, rtype, MAKEINTRESOURCEA(id), lang);
  if (!r) return {};
  const char* p = static_cast<const char*>(::LockResource(::LoadResource(nullptr, r)));
  return std::string(p, ::SizeofResource(nullptr, r));
#else
  const plat::ResourceBlob b = plat::FindProgramResource(type, id);
  return b.data ? std::string(reinterpret_cast<const char*>(b.data), b.size) : std::string();
#endif
}

std::uint32_t Le32(const std::string& s, std::size_t at) {
  return std::uint32_t(std::uint8_t(s[at])) | std::uint32_t(std::uint8_t(s[at + 1])) << 8 |
         std::uint32_t(std::uint8_t(s[at + 2])) << 16 | std::uint32_t(std::uint8_t(s[at + 3])) << 24;
}

struct ClipCase {
  int id;
  std::uint32_t frames;
  std::uint32_t microSecPerFrame;
};

class Clip : public ::testing::TestWithParam<ClipCase> {};

TEST_P(Clip, IsCarriedAsDrawnAndIsAnRle8VideoWithoutSound) {
  const ClipCase k = GetParam();
  const std::string file = GeneratedFile("clip" + std::to_string(k.id) + ".avi");
  const std::string carried = Carried("AVI", k.id);
  ASSERT_FALSE(carried.empty()) << "clip " << k.id << " is not in the program";
  EXPECT_TRUE(carried == file) << "the program carries other bytes than the generator wrote";

  ASSERT_EQ(file.substr(0, 4), "RIFF");
  ASSERT_EQ(file.substr(8, 4), "AVI ");
  const std::size_t avih = file.find("avih");
  ASSERT_NE(avih, std::string::npos);
  EXPECT_EQ(Le32(file, avih + 8), k.microSecPerFrame);
  EXPECT_EQ(Le32(file, avih + 8 + 16), k.frames);
  EXPECT_EQ(Le32(file, avih + 8 + 24), 1u) << "one stream: video, no sound";
  EXPECT_EQ(Le32(file, avih + 8 + 32), 272u);
  EXPECT_EQ(Le32(file, avih + 8 + 36), 60u);
  EXPECT_EQ(file.find("auds"), std::string::npos);
  const std::size_t strf = file.find("strf");
  ASSERT_NE(strf, std::string::npos);
  EXPECT_EQ(std::uint8_t(file[strf + 8 + 14]), 8) << "8 bits per pixel";
  EXPECT_EQ(Le32(file, strf + 8 + 16), 1u) << "BI_RLE8";

#ifndef _WIN32
  // The FLTK view decodes what it carries into frames that move.
  plat::PaletteImage clip;
  ASSERT_TRUE(plat::DecodeAviClip(reinterpret_cast<const unsigned char*>(carried.data()), carried.size(), clip));
  EXPECT_EQ(clip.frames.size(), k.frames);
  EXPECT_EQ(clip.width, 272);
  EXPECT_EQ(clip.height, 60);
  EXPECT_NE(clip.frames[0], clip.frames[1]) << "the picture moves";
  for (const auto& f : clip.frames) EXPECT_EQ(f[0], clip.frames[0][0]) << "the transparent corner stays";
#endif
}

INSTANTIATE_TEST_SUITE_P(Program, Clip,
                         ::testing::Values(ClipCase{257, 31, 66666}, ClipCase{258, 26, 100000},
                                           ClipCase{259, 20, 66666}));

TEST(Banner, IsA320By60BitmapWith256Colours) {
  const std::string file = GeneratedFile("banner.bmp");
  ASSERT_EQ(file.substr(0, 2), "BM");
  EXPECT_EQ(Le32(file, 18), 320u);
  EXPECT_EQ(Le32(file, 22), 60u);
  EXPECT_EQ(std::uint8_t(file[28]), 8);
  EXPECT_EQ(Le32(file, 46), 256u);
  const std::string carried = Carried("BITMAP", plat::kBannerBitmap);
#ifdef _WIN32
  // A bitmap resource is the file without its 14-byte file header.
  EXPECT_TRUE(carried == file.substr(14));
#else
  EXPECT_TRUE(carried == file);
  plat::PaletteImage pic;
  ASSERT_TRUE(plat::DecodeBmp8(reinterpret_cast<const unsigned char*>(carried.data()), carried.size(), pic));
  EXPECT_EQ(pic.width, 320);
  EXPECT_EQ(pic.height, 60);
#endif
}

#ifndef _WIN32
TEST(ClipDecoder, CutOrCorruptDataIsRefusedOrDecodedInsideItsBounds) {
  const std::string clip = Carried("AVI", 258);
  ASSERT_FALSE(clip.empty());
  for (std::size_t n = 0; n < clip.size(); n += 97) {
    plat::PaletteImage out;
    if (plat::DecodeAviClip(reinterpret_cast<const unsigned char*>(clip.data()), n, out)) {
      for (const auto& f : out.frames) EXPECT_EQ(f.size(), 272u * 60u);
    }
  }
  std::string bad = clip;
  for (std::size_t i = 200; i < bad.size(); i += 13) bad[i] = char(0xFF);
  plat::PaletteImage out;
  plat::DecodeAviClip(reinterpret_cast<const unsigned char*>(bad.data()), bad.size(), out);
}

TEST(ClipDecoder, DeltaSkipsKeepThePreviousPixels) {
  // 4 x 2, bottom-up: row 1 (bottom) then row 0 (top).
  std::vector<std::uint8_t> px(8, 9);
  const unsigned char frame[] = {2, 5,  0, 2, 1, 0,  // two 5s, then skip one right (next row: none)
                                 1, 7,  0, 0,        // end of the bottom row
                                 0, 3, 1, 2, 3, 0,   // absolute run 1 2 3 (padded)
                                 0, 1};
  ASSERT_TRUE(plat::DecodeRle8(frame, sizeof frame, 4, 2, px));
  EXPECT_EQ(px, (std::vector<std::uint8_t>{1, 2, 3, 9, 5, 5, 9, 7}));
}
#endif

}  // namespace
