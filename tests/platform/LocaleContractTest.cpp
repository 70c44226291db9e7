// The locale seam against the system of each target.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Locale.h"

#ifndef _WIN32
#include <clocale>
#include <filesystem>

#include "tests/support/TestSupport.h"

// glibc's newlocale keeps the search list it builds from LOCPATH (a few bytes per call).
// Only this test sets LOCPATH; the program never does.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }
#endif

using plat::userLocale;

namespace {

// A separator is one short non-digit mark.
void ExpectPlausibleSeparator(const std::string& sep) {
  ASSERT_FALSE(sep.empty());
  EXPECT_LE(sep.size(), 4u);
  for (char c : sep) EXPECT_FALSE(c >= '0' && c <= '9') << sep;
}

// The locale that the environment names for numbers, as both targets read it.
std::string EnvironmentLocale() {
  for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return "C";
}

TEST(LocaleContract, DecimalSeparatorOfTheUser) {
  const std::string sep = userLocale().DecimalSeparator();
  ExpectPlausibleSeparator(sep);
  // Asking again gives the same answer.
  EXPECT_EQ(userLocale().DecimalSeparator(), sep);
  // The C and POSIX locales (Wine reads them as US English) write a point.
  const std::string name = EnvironmentLocale();
  if (name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0 || name.rfind("en_", 0) == 0) {
    EXPECT_EQ(sep, ".") << name;
  }
}

#ifndef _WIN32
// Sets an environment variable for one scope, restoring the previous value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(LocaleContract, FollowsTheEnvironmentNotTheProgramLocale) {
  {
    ScopedEnv all("LC_ALL", "C");
    EXPECT_EQ(userLocale().DecimalSeparator(), ".");
  }
  {
    // A locale that is not installed leaves the C locale's point.
    ScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");
    EXPECT_EQ(userLocale().DecimalSeparator(), ".");
  }

  // A German locale compiled into a directory of our own, where the system can make one.
  const char* definitions = "/usr/share/i18n/locales/de_DE";
  if (!std::filesystem::exists(definitions) || std::system("command -v localedef >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "localedef or the de_DE locale definition is not available";
  nolt::test::TempDir dir;
  const std::string target = (dir.path() / "de_DE.UTF-8").string();
  // localedef may end with a warning status and still write the locale; its files decide.
  (void)std::system(("localedef -i de_DE -f UTF-8 '" + target + "' >/dev/null 2>&1").c_str());
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "de_DE.UTF-8" / "LC_NUMERIC"));

  ScopedEnv path("LOCPATH", dir.path().string());
  {
    ScopedEnv all("LC_ALL", "de_DE.UTF-8");
    // The program's own locale stays "C"; the user's setting is what counts.
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(userLocale().DecimalSeparator(), ",");
  }
  {
    ScopedEnv numeric("LC_NUMERIC", "de_DE.UTF-8");
    ScopedEnv all("LC_ALL", "");
    EXPECT_EQ(userLocale().DecimalSeparator(), ",");
    ScopedEnv override("LC_ALL", "C");  // LC_ALL wins over LC_NUMERIC
    EXPECT_EQ(userLocale().DecimalSeparator(), ".");
  }
}
#endif

}  // namespace
