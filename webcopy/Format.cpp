// The display formatters of the progress dialog's lines.
#include "webcopy/Format.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/Locale.h"

namespace nolt {
namespace {

// "%.2f" with the user's decimal separator: 1.5 -> "1.50" or "1,50". The digits are
// those of the C formatting (the value correctly rounded); only the separator follows
// the locale, which is asked for it and not through the runtime's global locale.
std::string TwoDecimals(double value) {
  char buf[64];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  std::string text(buf, r.ptr);
  std::string::size_type point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, plat::userLocale().DecimalSeparator());
  return text;
}

// Decimal units (1000-based), no thousands separators.
std::string ScaledAmount(std::int32_t amount, const char* bytesUnit, const char* kiloUnit, const char* megaUnit) {
  if (amount < 1000) return std::to_string(amount) + bytesUnit;
  if (amount < 1000000) return TwoDecimals(amount / 1000.0) + kiloUnit;
  return TwoDecimals(amount / 1000000.0) + megaUnit;
}

// Nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2),
// whatever rounding mode the floating-point unit is in.
double RoundHalfEven(double x) {
  double r = std::floor(x);
  const double diff = x - r;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
  return r;
}

std::string Decimal(double wholeNumber) { return std::to_string(static_cast<std::int64_t>(wholeNumber)); }

}  // namespace

// 999 -> "999 bytes", 1000 -> "1.00 Kb", 999999 -> "1000.00 Kb", 1000000 -> "1.00 Mb".
std::string FormatSize(std::int32_t bytes) { return ScaledAmount(bytes, " bytes", " Kb", " Mb"); }

std::string FormatRate(std::int32_t bytesPerSecond) {
  return ScaledAmount(bytesPerSecond, " bytes/sec", " Kb/sec", " Mb/sec");
}

// The remaining time at the average speed so far. Each step rounds the previous one:
// 30 s -> "30 sec.", 31 s -> "1 minutes", 30 min -> "30 minutes", and since the hours are
// rounded too, 31 min -> "0h 31", 95 min -> "1h 35".
std::string FormatTimeLeft(std::int32_t elapsedMs, std::int32_t done, std::int32_t total) {
  if (done <= 0 || total == 0) return {};
  const double estimate = (static_cast<double>(total) - done) * elapsedMs / done;
  const double ms = RoundHalfEven(estimate);
  const double s = RoundHalfEven(ms / 1000.0);
  const double m = RoundHalfEven(s / 60.0);
  const double h = RoundHalfEven(m / 60.0);
  if (m == 0 && h == 0) return Decimal(s) + " sec.";
  if (h > 0) {
    const std::int64_t minutes = static_cast<std::int64_t>(m);
    return std::to_string(minutes / 60) + "h " + std::to_string(minutes % 60);
  }
  return Decimal(m) + " minutes";
}

}  // namespace nolt
