// Base64 of RFC 4648.
#include <gtest/gtest.h>

#include "webcopy/Base64.h"

namespace nolt {
namespace {

TEST(Base64Encode, PadsTheLastGroup) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("abcd"), "YWJjZA==");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  // Basic authorization values: the colon stays when the password is empty.
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Encode("user:"), "dXNlcjo=");
}

TEST(Base64Encode, EncodesEveryByteValue) {
  EXPECT_EQ(Base64Encode("\xFB\xFF"), "+/8=");
  EXPECT_EQ(Base64Encode("\xFF\xFE\xFD"), "//79");
  EXPECT_EQ(Base64Encode("\x80"), "gA==");
  EXPECT_EQ(Base64Encode(std::string("\0\0\0\0", 4)), "AAAAAA==");
  // User name in the ANSI code page (u umlaut, e acute) with the colon of an empty password.
  EXPECT_EQ(Base64Encode("J\xFCrg\xE9:"), "SvxyZ+k6");

  // All 256 byte values: one line of 4 x 86 characters ending in "==".
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::string out = Base64Encode(all);
  EXPECT_EQ(out.size(), 344u);
  EXPECT_EQ(out.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(out.substr(out.size() - 8), "/P3+/w==");
  EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
}  // namespace nolt
