// Path, time and error-text helpers of the transfer routines. JoinPath never fails:
// it returns its input joined.
#include "webcopy/Helpers.h"

#include "install/LocalFiles.h"
#include "platform/Files.h"
#include "platform/InternetErrors.h"
#include "platform/Internet.h"

namespace nolt {

// ("", "a.cab") -> "a.cab"; ("C:\dir", "a.cab") and ("C:\dir\", "a.cab") -> "C:\dir\a.cab".
// On Windows only a backslash ends a directory: ("dir/", "a") -> "dir/\a". On Linux a
// trailing '/' or '\' does, and the result is written with '/'.
std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return LocalPath(name);
  const char last = directory.back();
  if (last == plat::kPathDelim || last == '\\') return LocalPath(directory + name);
  return LocalPath(directory + plat::kPathDelim + name);
}

// A server date as it was sent; a record without one (year and month 0), or one that
// names no calendar day, stands for "now" in local time.
TDateTime ServerTimeToDateTime(const plat::SystemTime& st) {
  TDateTime value = 0;
  if (!(st.wYear == 0 && st.wMonth == 0) && SystemTimeToDateTime(st, &value)) return value;
  SystemTimeToDateTime(plat::sysClock().GetLocalTime(), &value);
  return value;
}

std::string InternetErrorText(std::uint32_t code) { return plat::internet().FormatMessageText(code); }

std::string FailureText(std::uint32_t code) {
  auto& net = plat::internet();
  std::string reply;
  if (code == plat::kErrorInternetExtendedError && net.InternetGetLastResponseInfoA(&reply) && !reply.empty())
    return "The server answered: " + reply;
  // The library's own text; else ours of a WinINet number (the loaded library may
  // lack some); else the system's of its error numbers.
  std::string text = InternetErrorText(code);
  if (text.empty()) text = plat::InternetErrorMessage(code);
  if (text.empty()) text = plat::files().ErrorText(code);
  return text;
}

}  // namespace nolt
