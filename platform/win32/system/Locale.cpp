// Win32 implementation of the locale seam. Must contain only Win32-specific code.
#include "platform/Locale.h"

#include <windows.h>

namespace plat {
namespace {

class Win32Locale final : public Locale {
 public:
  std::string DecimalSeparator() override {
    char buf[8] = {};  // LOCALE_SDECIMAL holds at most three characters and the zero
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, sizeof buf) <= 1) return ".";
    return buf;
  }
};

}  // namespace

template <> Locale& SystemInstance<Locale>() {
  static Win32Locale* instance = new Win32Locale;
  return *instance;
}

}  // namespace plat
