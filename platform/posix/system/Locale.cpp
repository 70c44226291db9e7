// POSIX implementation of the locale seam. Must contain only POSIX-specific code.
#include "platform/Locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <mutex>

namespace plat {
namespace {

// The variables that decide the user's LC_NUMERIC, and LOCPATH, which says where
// locale data is found. A change in any of them means a fresh look-up.
std::string EnvironmentKey() {
  std::string key;
  for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG", "LOCPATH"}) {
    const char* v = std::getenv(name);
    key += v ? v : "";
    key += '\n';
  }
  return key;
}

std::string LookUpSeparator() {
  // A locale object of our own leaves the program's selected locale alone.
  locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return ".";  // unknown or not installed: the C locale's
  const char* radix = ::nl_langinfo_l(RADIXCHAR, loc);
  std::string sep = radix && *radix ? radix : ".";
  ::freelocale(loc);
  return sep;
}

class PosixLocale final : public Locale {
 public:
  // Loading locale data costs far more than a formatted line, and the formatters run
  // after every transferred block, so the answer is kept until the environment changes.
  std::string DecimalSeparator() override {
    std::string key = EnvironmentKey();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!known_ || key != key_) {
      separator_ = LookUpSeparator();
      key_ = std::move(key);
      known_ = true;
    }
    return separator_;
  }

 private:
  std::mutex mutex_;
  bool known_ = false;
  std::string key_;
  std::string separator_;
};

}  // namespace

template <> Locale& SystemInstance<Locale>() {
  static PosixLocale* instance = new PosixLocale;
  return *instance;
}

}  // namespace plat
