// The URL helpers of the transfer routines: the file name and the server of a URL
// (Url.h), and the members of TWebCopy that give the host and the path of a
// request and write the proxy credentials into a URL.
#include "webcopy/Url.h"

#include <algorithm>

#include "base/Text.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

// What stands after the scheme and the user information:
// "http://user:pw@host:81/a/b?q" -> "host:81/a/b?q".
std::string AfterUserInfo(const std::string& URL) {
  std::string rest = URL;
  std::string::size_type p = rest.find("://");
  if (p != std::string::npos) rest.erase(0, p + 3);
  p = rest.find('@');
  if (p != std::string::npos) rest.erase(0, p + 1);
  return rest;
}

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

bool IsSendableUrl(const std::string& URL) { return !HoldsControlByte(URL); }

HttpEndpoint ParseHttpEndpoint(const std::string& URL) {
  HttpEndpoint e;
  e.secure = UpperCaseAscii(URL.substr(0, 8)) == "HTTPS://";
  std::string rest = AfterUserInfo(URL);
  rest.resize(std::min(rest.find('/'), rest.size()));
  // A bracketed IPv6 address keeps its colons: "[::1]:81".
  std::string::size_type colon = std::string::npos;
  if (!rest.empty() && rest[0] == '[' && rest.find(']') != std::string::npos) {
    const std::string::size_type close = rest.find(']');
    e.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') colon = close + 1;
  } else {
    colon = rest.rfind(':');
    e.host = rest.substr(0, colon);
  }
  const std::string port = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
  if (port.empty()) {
    e.port = e.secure ? 443 : 80;
    return e;
  }
  unsigned long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9' || value > 65535) return e;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value >= 1 && value <= 65535) e.port = static_cast<std::uint16_t>(value);
  return e;
}

// "http://host:8080/x" -> "host:8080"; "http://u:p@host/x" -> "host". An "@" in the
// path is taken for the end of user information: "http://host/a@b" -> "b".
std::string TWebCopy::ExtractURLHost(const std::string& URL) const {
  std::string rest = AfterUserInfo(URL);
  std::string::size_type slash = rest.find('/');
  if (slash != std::string::npos) rest.resize(slash);
  return rest;
}

// "http://host/dir/x?a=1" -> "/dir/x?a=1"; "http://host" -> "/" (no path: the root,
// not the host text, which a server would take for an object of that name).
std::string TWebCopy::ExtractURLPath(const std::string& URL) const {
  const std::string rest = AfterUserInfo(URL);
  const std::string::size_type slash = rest.find('/');
  return slash == std::string::npos ? "/" : rest.substr(slash);
}

// "HTTP://Host/x" -> "http://user:pw@Host/x" when both proxy credentials are set.
// Only plain http gets them; they are inserted as they stand, without escaping, in
// front of any user information that the URL carries.
std::string TWebCopy::InsertProxyCredentials(const std::string& URL) const {
  static constexpr char kScheme[] = "HTTP://";
  constexpr std::string::size_type kSchemeLength = sizeof kScheme - 1;
  if (ProxyUserID.empty() || ProxyPassword.empty() || UpperCaseAscii(URL.substr(0, kSchemeLength)) != kScheme)
    return URL;
  return "http://" + ProxyUserID + ":" + ProxyPassword + "@" + URL.substr(kSchemeLength);
}

}  // namespace nolt
