// Locale seam: the user's regional settings that the display texts follow.
#pragma once

#include <string>

#include "platform/Seam.h"

namespace plat {

class Locale {
 public:
  virtual ~Locale() = default;
  // The decimal separator of the user's number format: "." or "," in most locales,
  // up to three bytes on Windows, one UTF-8 character on Linux. Never empty: when
  // the system has no answer it is ".".
  //  Windows: GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL), read on every call so
  //           that a change in the regional settings shows at once.
  //  Linux:   the radix character of LC_NUMERIC as the environment sets it (LC_ALL,
  //           LC_NUMERIC, LANG), whatever locale the program itself has selected.
  virtual std::string DecimalSeparator() = 0;
};

inline Locale& userLocale() { return Use<Locale>(); }

}  // namespace plat
