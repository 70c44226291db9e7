// URL, path and time helpers of the transfer routines. The string helpers never
// fail: they return their input or a part of it.
#include "webcopy/WcHelpers.h"

#include "platform/Files.h"
#include "platform/Internet.h"

namespace nolt {
namespace {

// Drive letters ("C:") and the colon as a path separator exist only where local
// paths are written with a backslash.
constexpr bool kDrivePaths = plat::kPathDelim == '\\';

// A local path with every separator in the local form. Names written on Windows use
// '\', which on Linux is read as a directory separator too; on Windows this changes
// nothing.
std::string LocalPath(std::string path) {
  for (char& c : path)
    if (c == '\\') c = plat::kPathDelim;
  return path;
}

bool IsPathDelim(char c) { return c == plat::kPathDelim || c == '\\'; }

// Days from 30 December 1899 to a date of the proleptic Gregorian calendar
// (Howard Hinnant's days-from-civil, counted from 1970-01-01, which is day 25569).
std::int64_t DayNumber(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 25569;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

// "http://host/dir/file.cab" -> "file.cab"; "C:\dir\a.txt" -> "a.txt"; "dir/sub\file" ->
// "file"; "http://host/dir/" -> ""; "http://host" -> "host".
std::string ExtractURLFileName(const std::string& text) {
  std::string::size_type p = text.find_last_of("/\\");
  return p == std::string::npos ? text : text.substr(p + 1);
}

// The server as the credentials prompt names it, user information and port included:
// "http://u:p@host:81/a" -> "u:p@host:81"; "host\share\x" -> "host".
std::string ExtractURLServer(const std::string& URL) {
  std::string rest = URL;
  std::string::size_type p = rest.find("://");
  if (p != std::string::npos) rest.erase(0, p + 3);
  p = rest.find('/');
  if (p != std::string::npos) rest.resize(p);
  p = rest.find('\\');
  if (p != std::string::npos) rest.resize(p);
  return rest;
}

// ("", "a.cab") -> "a.cab"; ("C:\dir", "a.cab") and ("C:\dir\", "a.cab") -> "C:\dir\a.cab".
// On Windows only a backslash ends a directory: ("dir/", "a") -> "dir/\a". On Linux a
// trailing '/' or '\' does, and the result is written with '/'.
std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return LocalPath(name);
  if (IsPathDelim(directory.back())) return LocalPath(directory + name);
  return LocalPath(directory + plat::kPathDelim + name);
}

bool DirExists(const std::string& path) {
  const std::uint32_t attributes = plat::files().GetFileAttributesA(LocalPath(path));
  return attributes != plat::kInvalidFileAttributes && (attributes & plat::kFileAttributeDirectory) != 0;
}

// Creates a directory and whatever is missing above it, top down. True means that the
// directory exists afterwards: only a root ("C:", "/") is taken for granted; a short
// relative name such as "ab" is created like any other. Directories made before a
// failure stay.
bool ForceDirs(const std::string& directory) {
  if (directory.empty()) return true;
  std::string dir = LocalPath(directory);
  while (!dir.empty() && dir.back() == plat::kPathDelim) dir.pop_back();
  if (dir.empty()) return true;                                      // the root of the file system
  if (kDrivePaths && dir.size() == 2 && dir[1] == ':') return true;  // a drive such as "C:"
  if (DirExists(dir)) return true;

  std::string::size_type cut = dir.find_last_of(kDrivePaths ? std::string{plat::kPathDelim, ':'}
                                                            : std::string{plat::kPathDelim});
  const std::string parent = cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
  // Only a name ending in ':' is its own parent ("ab:"): no directory can be made of it.
  if (parent == dir) return false;
  if (!ForceDirs(parent)) return false;
  return plat::files().CreateDirectoryA(dir);
}

bool SystemTimeToDateTime(const plat::SystemTime& st, TDateTime* value) {
  static const unsigned kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.wYear < 1 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wHour > 23 ||
      st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  const unsigned days = kDaysInMonth[st.wMonth - 1] + (st.wMonth == 2 && IsLeapYear(st.wYear) ? 1 : 0);
  if (st.wDay > days) return false;
  const double msOfDay = st.wHour * 3600000.0 + st.wMinute * 60000.0 + st.wSecond * 1000.0 + st.wMilliseconds;
  *value = static_cast<double>(DayNumber(st.wYear, st.wMonth, st.wDay)) + msOfDay / 86400000.0;
  return true;
}

// The calendar value of the FILETIME as it stands: a UTC file time stays UTC.
TDateTime FileTimeToDateTime(std::uint64_t fileTime) {
  plat::SystemTime st;
  TDateTime value = 0;
  if (plat::FileTimeToSystemTime(fileTime, &st)) SystemTimeToDateTime(st, &value);
  return value;
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

}  // namespace nolt
