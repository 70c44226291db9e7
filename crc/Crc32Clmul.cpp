// The carry-less multiplication form of the CRC-32 update. Sixty-four bytes are
// kept as four 128-bit lanes; each step multiplies every lane by x^512 modulo the
// polynomial (folding it forward onto the next 64 bytes), so the work per byte is
// a few vector instructions instead of table lookups. At the end the lanes are
// folded into one, reduced to 64 bits and then to the 32-bit register by Barrett
// reduction. Everything is in the bit-reflected domain of the register.
//
// Only the functions marked with the target attribute use SSE2 and PCLMULQDQ, so
// the rest of the program still runs on a baseline i686 processor; callers go
// through ClmulAvailable() first.
#include "crc/Crc32.h"

#include "crc/Cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#include <wmmintrin.h>
#define NOLT_HAVE_CLMUL 1
#endif

namespace nolt::crc {

#if NOLT_HAVE_CLMUL
namespace {

// The folding constants, derived here from the polynomial rather than copied.
// In normal (unreflected) order the polynomial is x^32 + 0x04C11DB7.
constexpr std::uint64_t Reflect(std::uint64_t v, int bits) {
  std::uint64_t r = 0;
  for (int i = 0; i < bits; ++i, v >>= 1) r = (r << 1) | (v & 1u);
  return r;
}

constexpr std::uint64_t kNormalPoly = (std::uint64_t{1} << 32) | Reflect(kPolynomial, 32);

// x^n mod P, normal order.
constexpr std::uint64_t XPowMod(int n) {
  std::uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if (r & (std::uint64_t{1} << 32)) r ^= kNormalPoly;
  }
  return r;
}

// floor(x^64 / P), normal order (33 bits).
constexpr std::uint64_t X64DivP() {
  std::uint64_t r = 0, q = 0;
  for (int i = 64; i >= 0; --i) {
    r = (r << 1) | (i == 64 ? 1u : 0u);
    if (r & (std::uint64_t{1} << 32)) {
      r ^= kNormalPoly;
      q |= std::uint64_t{1} << i;
    }
  }
  return q;
}

// A multiplier that moves 64 bits of reflected data forward by n - 32 bit positions
// (the extra shift by one keeps the carry-less product aligned in reflected order).
constexpr std::uint64_t FoldBy(int n) { return Reflect(XPowMod(n), 32) << 1; }

constexpr std::uint64_t kK1 = FoldBy(4 * 128 + 32), kK2 = FoldBy(4 * 128 - 32);  // across 64 bytes
constexpr std::uint64_t kK3 = FoldBy(128 + 32), kK4 = FoldBy(128 - 32);          // across 16 bytes
constexpr std::uint64_t kK5 = FoldBy(64);                                       // 64 bits -> 32
constexpr std::uint64_t kPolyReflected = Reflect(kNormalPoly, 33);
constexpr std::uint64_t kMuReflected = Reflect(X64DivP(), 33);

#define NOLT_CLMUL __attribute__((target("sse2,pclmul")))
// 32-bit Windows only keeps the stack 4-byte aligned; realign it for vector spills.
#if defined(__i386__)
#define NOLT_CLMUL_ENTRY NOLT_CLMUL __attribute__((force_align_arg_pointer))
#else
#define NOLT_CLMUL_ENTRY NOLT_CLMUL
#endif

NOLT_CLMUL inline __m128i Pair(std::uint64_t low, std::uint64_t high) {
  return _mm_set_epi32(static_cast<int>(high >> 32), static_cast<int>(high), static_cast<int>(low >> 32),
                       static_cast<int>(low));
}

NOLT_CLMUL inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Lane x moved forward by the distance of k, added to the data that lies there.
NOLT_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// size is at least 64 and a multiple of 16.
NOLT_CLMUL_ENTRY std::uint32_t FoldBlocks(std::uint32_t reg, const unsigned char* p, std::size_t size) {
  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
  p += 64;
  size -= 64;

  const __m128i k1k2 = Pair(kK1, kK2);
  while (size >= 64) {
    x1 = Fold(x1, k1k2, Load(p));
    x2 = Fold(x2, k1k2, Load(p + 16));
    x3 = Fold(x3, k1k2, Load(p + 32));
    x4 = Fold(x4, k1k2, Load(p + 48));
    p += 64;
    size -= 64;
  }

  const __m128i k3k4 = Pair(kK3, kK4);
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  while (size >= 16) {
    x1 = Fold(x1, k3k4, Load(p));
    p += 16;
    size -= 16;
  }

  // 128 bits -> 64: the low half moves forward by 64 bits onto the high half,
  // then the low 32 bits of the result move forward by 32 bits.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), Pair(kK5, 0), 0x00);
  x1 = _mm_xor_si128(x1, t);

  // 64 bits -> 32 by Barrett reduction: q = floor(v * mu), register = v - q * P.
  const __m128i poly = Pair(kPolyReflected, kMuReflected);
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

}  // namespace

std::uint32_t UpdateClmul(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  if (size >= 64) {
    std::size_t bulk = size & ~std::size_t{15};
    reg = FoldBlocks(reg, data, bulk);
    data += bulk;
    size -= bulk;
  }
  return UpdateSlicing16(reg, data, size);
}

bool ClmulAvailable() {
  static const bool available = CpuHasClmul();
  return available;
}

#else  // no carry-less multiplication on this architecture

std::uint32_t UpdateClmul(std::uint32_t reg, const unsigned char* data, std::size_t size) {
  return UpdateSlicing16(reg, data, size);
}

bool ClmulAvailable() { return false; }

#endif

}  // namespace nolt::crc
