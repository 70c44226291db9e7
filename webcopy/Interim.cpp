// INTERIM: temporary stand-ins for the helpers of WcHelpers.h, WcFormat.h,
// WcBase64.h, WcLogin.h and the URL members of TWebCopy, so that the HTTP download
// links and can be tested before the real implementations (WcHelpers.cpp,
// WcFormat.cpp, WcBase64.cpp, WcUrl.cpp, WcLogin.cpp) are merged. Delete this file
// at that merge; nothing else refers to it.
#include <cmath>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Internet.h"
#include "webcopy/WcBase64.h"
#include "webcopy/WcFormat.h"
#include "webcopy/WcHelpers.h"
#include "webcopy/WcLogin.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

std::string AfterFirst(const std::string& s, const std::string& what) {
  auto p = s.find(what);
  return p == std::string::npos ? s : s.substr(p + what.size());
}

std::string HostPart(const std::string& url) { return AfterFirst(AfterFirst(url, "://"), "@"); }

long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

std::string Scaled(std::int32_t v, const char* small, const char* kilo, const char* mega) {
  char buf[64];
  if (v < 1000) std::snprintf(buf, sizeof buf, "%d%s", v, small);
  else if (v < 1000000) std::snprintf(buf, sizeof buf, "%.2f%s", v / 1000.0, kilo);
  else std::snprintf(buf, sizeof buf, "%.2f%s", v / 1000000.0, mega);
  return buf;
}

}  // namespace

std::string ExtractURLFileName(const std::string& text) {
  std::string s = text;
  for (std::size_t p; (p = s.find('/')) != std::string::npos;) s.erase(0, p + 1);
  for (std::size_t p; (p = s.find('\\')) != std::string::npos;) s.erase(0, p + 1);
  return s;
}

std::string ExtractURLServer(const std::string& URL) {
  std::string s = AfterFirst(URL, "://");
  if (auto p = s.find('/'); p != std::string::npos) s.erase(p);
  if (auto p = s.find('\\'); p != std::string::npos) s.erase(p);
  return s;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == plat::kPathDelim) return directory + name;
  return directory + plat::kPathDelim + name;
}

bool DirExists(const std::string& path) {
  const std::uint32_t a = plat::files().GetFileAttributesA(path);
  return a != plat::kInvalidFileAttributes && (a & plat::kFileAttributeDirectory);
}

bool ForceDirs(const std::string& directory) {
  if (directory.empty()) return true;
  std::string dir = directory;
  if (dir.back() == plat::kPathDelim) dir.pop_back();
  if (dir.size() < 3 || DirExists(dir)) return true;
  const auto p = dir.find_last_of(std::string(1, plat::kPathDelim) + ":");
  const std::string parent = p == std::string::npos ? std::string() : dir.substr(0, p + 1);
  if (parent == dir) return true;
  if (!ForceDirs(parent)) return false;
  return plat::files().CreateDirectoryA(dir);
}

TDateTime ServerTimeToDateTime(const plat::SystemTime& in) {
  plat::SystemTime st = in;
  if (st.wYear == 0 && st.wMonth == 0) st = plat::sysClock().GetLocalTime();
  const double days = static_cast<double>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) - DaysFromCivil(1899, 12, 30));
  return days + (st.wHour * 3600000.0 + st.wMinute * 60000.0 + st.wSecond * 1000.0 + st.wMilliseconds) / 86400000.0;
}

std::string InternetErrorText(std::uint32_t code) { return plat::internet().FormatMessageText(code); }

std::string FormatSize(std::int32_t bytes) { return Scaled(bytes, " bytes", " Kb", " Mb"); }

std::string FormatRate(std::int32_t bytesPerSecond) {
  return Scaled(bytesPerSecond, " bytes/sec", " Kb/sec", " Mb/sec");
}

std::string FormatTimeLeft(std::int32_t elapsedMs, std::int32_t done, std::int32_t total) {
  if (done <= 0 || total == 0) return {};
  const double ms = std::nearbyint((static_cast<double>(total) - done) * elapsedMs / done);
  const double s = std::nearbyint(ms / 1000);
  const double m = std::nearbyint(s / 60);
  const double h = std::nearbyint(m / 60);
  const auto mi = static_cast<long long>(m);
  if (m == 0 && h == 0) return std::to_string(static_cast<long long>(s)) + " sec.";
  if (h > 0) return std::to_string(mi / 60) + "h " + std::to_string(mi % 60);
  return std::to_string(mi) + " minutes";
}

std::string Base64Encode(const std::string& text) {
  static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  const auto b = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
  for (; i < text.size(); i += 3) {
    const unsigned v = (b(i) << 16) | (b(i + 1) << 8) | b(i + 2);
    out += a[(v >> 18) & 63];
    out += a[(v >> 12) & 63];
    out += i + 1 < text.size() ? a[(v >> 6) & 63] : '=';
    out += i + 2 < text.size() ? a[v & 63] : '=';
  }
  return out;
}

// The real prompt is a modal login form; until it is merged, no credentials are entered.
bool ShowLoginDialog(const std::string&, std::string&, std::string&) { return false; }

std::string TWebCopy::InsertProxyCredentials(const std::string& URL) const {
  std::string head = URL.substr(0, 7);
  for (char& c : head)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (head == "HTTP://" && !ProxyUserID.empty() && !ProxyPassword.empty())
    return "http://" + ProxyUserID + ":" + ProxyPassword + "@" + URL.substr(7);
  return URL;
}

std::string TWebCopy::ExtractURLHost(const std::string& URL) const {
  std::string s = HostPart(URL);
  if (auto p = s.find('/'); p != std::string::npos) s.erase(p);
  return s;
}

std::string TWebCopy::ExtractURLPath(const std::string& URL) const {
  std::string s = HostPart(URL);
  if (auto p = s.find('/'); p != std::string::npos) s.erase(0, p);
  return s;
}

}  // namespace nolt
