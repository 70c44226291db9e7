// The floor below the seams: text rules and time arithmetic, each checked against
// values worked out by hand.
#include <gtest/gtest.h>

#include <tuple>

#include "base/Text.h"
#include "base/Time.h"

namespace nolt {
namespace {

TEST(Text, TrimsFoldsAndEncodesBytes) {
  EXPECT_EQ(TrimView(std::string_view(" \t a b\r\n\0", 9)), "a b");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(LowerCaseAscii("Ab.cD-\xC3\x84"), "ab.cd-\xC3\x84");
  EXPECT_TRUE(StartsWithNoCase("Location: x", "location:"));
  EXPECT_TRUE(StartsWithNoCase("HTTP/1.1 200", "http/"));
  EXPECT_FALSE(StartsWithNoCase("loc", "location:"));
  EXPECT_FALSE(StartsWithNoCase("Locatiom:", "location:"));
  EXPECT_EQ(PercentEncodePath("a b/\xC3\xA4~_.-%"), "a%20b/%C3%A4~_.-%25");
  EXPECT_EQ(PercentEncodePath(std::string_view("\0\r\n", 3)), "%00%0D%0A");
}

TEST(Time, CalendarAndFileTimeConversions) {
  struct Case {
    std::int64_t y;
    unsigned m, d;
    std::int64_t days;
  };
  const Case cases[] = {{1970, 1, 1, 0},         {1969, 12, 31, -1},       {2000, 3, 1, 11017},
                        {2000, 2, 29, 11016},    {1601, 1, 1, -134774},    {1900, 3, 1, -25508},
                        {9999, 12, 31, 2932896}};
  for (const Case& c : cases) {
    EXPECT_EQ(DaysFromCivil(c.y, c.m, c.d), c.days) << c.y << "-" << c.m << "-" << c.d;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(c.days, &y, &m, &d);
    EXPECT_EQ(std::make_tuple(y, m, d), std::make_tuple(c.y, c.m, c.d)) << c.days;
  }
  EXPECT_EQ(kUnixEpochFileTime, 116444736000000000ull);
  EXPECT_EQ(static_cast<std::uint64_t>(-DaysFromCivil(1601, 1, 1)) * 86400, kUnixEpochFileTimeSeconds);
}

}  // namespace
}  // namespace nolt
