// Base64 of RFC 4648: the basic alphabet, "=" padding, one line.
#include "webcopy/Base64.h"

#include <cstdint>

namespace nolt {

// "a" -> "YQ==", "ab" -> "YWI=", "abc" -> "YWJj", "abcd" -> "YWJjZA==".
std::string Base64Encode(const std::string& text) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t n = text.size();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (std::size_t i = 0; i < n; i += 3) {
    // A short last group is completed with zero bytes; its surplus characters become "=".
    const std::size_t have = n - i < 3 ? n - i : 3;
    const std::uint32_t b0 = static_cast<unsigned char>(text[i]);
    const std::uint32_t b1 = have > 1 ? static_cast<unsigned char>(text[i + 1]) : 0;
    const std::uint32_t b2 = have > 2 ? static_cast<unsigned char>(text[i + 2]) : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 << 4) | (b1 >> 4)) & 63];
    out += have > 1 ? kAlphabet[((b1 << 2) | (b2 >> 6)) & 63] : '=';
    out += have > 2 ? kAlphabet[b2 & 63] : '=';
  }
  return out;
}

}  // namespace nolt
