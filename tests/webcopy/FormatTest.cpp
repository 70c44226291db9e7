// The progress dialog's size, rate and time-left texts.
#include <gtest/gtest.h>

#include <climits>

#include "platform/Locale.h"
#include "webcopy/Format.h"

namespace nolt {
namespace {

class FixedLocale final : public plat::Locale {
 public:
  explicit FixedLocale(std::string sep) : sep_(std::move(sep)) {}
  std::string DecimalSeparator() override { return sep_; }

 private:
  std::string sep_;
};

class Formatters : public ::testing::Test {
 protected:
  FixedLocale point_{"."};
  plat::ScopedSeam<plat::Locale> seam_{point_};
};

TEST_F(Formatters, SizeInDecimalUnits) {
  EXPECT_EQ(FormatSize(0), "0 bytes");
  EXPECT_EQ(FormatSize(999), "999 bytes");
  EXPECT_EQ(FormatSize(-5), "-5 bytes");
  EXPECT_EQ(FormatSize(INT_MIN), "-2147483648 bytes");
  EXPECT_EQ(FormatSize(1000), "1.00 Kb");
  EXPECT_EQ(FormatSize(1500), "1.50 Kb");
  EXPECT_EQ(FormatSize(999999), "1000.00 Kb");
  EXPECT_EQ(FormatSize(1000000), "1.00 Mb");
  EXPECT_EQ(FormatSize(1500000), "1.50 Mb");
  EXPECT_EQ(FormatSize(INT_MAX), "2147.48 Mb");
  // Two decimals of the value the division gives: 1.005 lies just below the half,
  // and 1.125 is an exact half, which goes to the even digit on both targets.
  EXPECT_EQ(FormatSize(1005), "1.00 Kb");
  EXPECT_EQ(FormatSize(1125), "1.12 Kb");
  EXPECT_EQ(FormatSize(1375), "1.38 Kb");
}

TEST_F(Formatters, RateInDecimalUnitsPerSecond) {
  EXPECT_EQ(FormatRate(999), "999 bytes/sec");
  EXPECT_EQ(FormatRate(0), "0 bytes/sec");
  EXPECT_EQ(FormatRate(250000), "250.00 Kb/sec");
  EXPECT_EQ(FormatRate(12345678), "12.35 Mb/sec");
}

TEST(FormattersLocale, UseTheUsersDecimalSeparator) {
  FixedLocale comma(",");
  plat::ScopedSeam<plat::Locale> seam(comma);
  EXPECT_EQ(FormatSize(1500), "1,50 Kb");
  EXPECT_EQ(FormatSize(2500000), "2,50 Mb");
  EXPECT_EQ(FormatRate(250000), "250,00 Kb/sec");
  EXPECT_EQ(FormatSize(999), "999 bytes");
  // A separator of more than one byte (Arabic decimal separator in UTF-8) stands whole.
  FixedLocale arabic("\xD9\xAB");
  plat::ScopedSeam<plat::Locale> inner(arabic);
  EXPECT_EQ(FormatSize(1500), "1\xD9\xAB" "50 Kb");
}

// Elapsed 10 s for 1000 bytes: 100 bytes a second, so a total of 1000 + 100 x s leaves s seconds.
std::string Left(int seconds) { return FormatTimeLeft(10000, 1000, 1000 + 100 * seconds); }

TEST(FormatTimeLeft, RoundsSecondsMinutesAndHoursInTurn) {
  EXPECT_EQ(FormatTimeLeft(10000, 1000, 3000), "20 sec.");
  EXPECT_EQ(Left(30), "30 sec.");
  EXPECT_EQ(Left(31), "1 minutes");
  EXPECT_EQ(Left(90), "2 minutes");
  EXPECT_EQ(Left(30 * 60), "30 minutes");
  EXPECT_EQ(Left(31 * 60), "0h 31");
  EXPECT_EQ(Left(59 * 60), "0h 59");
  EXPECT_EQ(Left(95 * 60), "1h 35");
  EXPECT_EQ(Left(150 * 60), "2h 30");
  EXPECT_EQ(Left(0), "0 sec.");
}

TEST(FormatTimeLeft, RoundsHalvesToEven) {
  // Estimates of exactly 2.5 s and 3.5 s (elapsed ms for one byte of two).
  EXPECT_EQ(FormatTimeLeft(2500, 1, 2), "2 sec.");
  EXPECT_EQ(FormatTimeLeft(3500, 1, 2), "4 sec.");
  EXPECT_EQ(FormatTimeLeft(1500, 1, 2), "2 sec.");
  // Half a millisecond left rounds to none.
  EXPECT_EQ(FormatTimeLeft(1, 2, 3), "0 sec.");
  // 150 s is 2.5 minutes -> 2; 210 s is 3.5 minutes -> 4.
  EXPECT_EQ(Left(150), "2 minutes");
  EXPECT_EQ(Left(210), "4 minutes");
  // 90 minutes is 1.5 hours -> 2, which only decides the form: "1h 30".
  EXPECT_EQ(Left(90 * 60), "1h 30");
}

TEST(FormatTimeLeft, IsEmptyWithoutProgressOrTotal) {
  EXPECT_EQ(FormatTimeLeft(10000, 0, 3000), "");
  EXPECT_EQ(FormatTimeLeft(10000, -1, 3000), "");
  EXPECT_EQ(FormatTimeLeft(10000, 1000, 0), "");
}

TEST(FormatTimeLeft, HugeEstimatesDoNotOverflow) {
  // About 4.6e18 ms left: far beyond 32 bits at every step.
  const std::string text = FormatTimeLeft(INT_MAX, 1, INT_MAX);
  EXPECT_EQ(text, "1281023892218h 2");
}

}  // namespace
}  // namespace nolt
