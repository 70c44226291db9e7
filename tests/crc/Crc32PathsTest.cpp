// Every form of the CRC-32 update (table per byte, slicing by 16, carry-less
// multiplication) must give the register of the plain bit-by-bit definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "crc/Cpu.h"
#include "crc/Crc32.h"
#include "tests/crc/CrcReference.h"

using namespace nolt::crc;
using nolt::test::BitwiseUpdate;

namespace {

using Form = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);

std::uint32_t Crc(Form form, const std::string& s) {
  return ~form(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::vector<unsigned char> RandomBytes(std::mt19937& rng, std::size_t n) {
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

// Runs form against the bit-by-bit reference on every length up to 300, then on
// random lengths up to a few blocks, each at every alignment 0..15 of a buffer and
// from a random register.
void ExpectAgreesWithReference(Form form) {
  std::mt19937 rng(20240611);
  std::vector<unsigned char> data = RandomBytes(rng, 3 * 65521 + 64);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 300; ++n) sizes.push_back(n);
  for (int i = 0; i < 60; ++i) sizes.push_back(rng() % (3 * 65521));
  for (std::size_t n : {1023u, 1024u, 1025u, 65520u, 65521u, 65522u, 131042u}) sizes.push_back(n);
  for (std::size_t n : sizes) {
    for (std::size_t offset = 0; offset < 16; ++offset) {
      // Long inputs at a few alignments only: the bit-by-bit reference is slow under the sanitizers.
      if (n > 4096 && offset % 5 != 0) continue;
      std::uint32_t start = static_cast<std::uint32_t>(rng());
      const unsigned char* p = data.data() + offset;
      ASSERT_EQ(form(start, p, n), BitwiseUpdate(start, p, n)) << "size " << n << ", offset " << offset;
    }
  }
}

TEST(Crc32Forms, StandardCheckValues) {
  for (Form form : {Form{UpdateBytewise}, Form{UpdateSlicing16}, Form{Update}}) {
    EXPECT_EQ(Crc(form, ""), 0u);
    EXPECT_EQ(Crc(form, "a"), 0xE8B7BE43u);
    EXPECT_EQ(Crc(form, "123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc(form, "The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  }
}

TEST(Crc32Forms, BytewiseAgrees) { ExpectAgreesWithReference(UpdateBytewise); }

TEST(Crc32Forms, Slicing16Agrees) { ExpectAgreesWithReference(UpdateSlicing16); }

TEST(Crc32Forms, ClmulAgrees) {
  ASSERT_EQ(ClmulAvailable(), CpuHasClmul());
  if (!ClmulAvailable()) GTEST_SKIP() << "this processor has no PCLMULQDQ";
  ExpectAgreesWithReference(UpdateClmul);
}

TEST(Crc32Forms, ChosenFormAgrees) { ExpectAgreesWithReference(Update); }

// A stream fed in pieces of any size gives the register of one pass: the file
// checksum relies on it at every block boundary.
TEST(Crc32Forms, PiecesGiveTheRegisterOfOnePass) {
  std::mt19937 rng(7);
  std::vector<unsigned char> data = RandomBytes(rng, 200000);
  const std::uint32_t whole = UpdateBytewise(0xFFFFFFFFu, data.data(), data.size());
  for (Form form : {Form{UpdateSlicing16}, Form{UpdateClmul}, Form{Update}}) {
    if (form == Form{UpdateClmul} && !ClmulAvailable()) continue;
    for (int round = 0; round < 20; ++round) {
      std::uint32_t reg = 0xFFFFFFFFu;
      std::size_t pos = 0;
      while (pos < data.size()) {
        std::size_t piece = std::min<std::size_t>(data.size() - pos, rng() % (round < 10 ? 200 : 70000));
        reg = form(reg, data.data() + pos, piece);
        pos += piece;
      }
      ASSERT_EQ(reg, whole) << "round " << round;
    }
  }
}

}  // namespace
