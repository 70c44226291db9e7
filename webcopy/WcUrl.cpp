// The URL helpers that belong to TWebCopy: the host and the path of a request, and
// the proxy credentials written into a URL. They search plain text: no percent
// decoding, no special meaning for a query or a fragment.
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

// Case folding of the letters A to Z only.
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

// "http://host:8080/x" -> "host:8080"; "http://u:p@host/x" -> "host". An "@" in the
// path is taken for the end of user information: "http://host/a@b" -> "b".
std::string TWebCopy::ExtractURLHost(const std::string& URL) const {
  std::string rest = AfterUserInfo(URL);
  std::string::size_type slash = rest.find('/');
  if (slash != std::string::npos) rest.resize(slash);
  return rest;
}

// "http://host/dir/x?a=1" -> "/dir/x?a=1"; "http://host" -> "host" (no path: the
// host text comes back).
std::string TWebCopy::ExtractURLPath(const std::string& URL) const {
  std::string rest = AfterUserInfo(URL);
  std::string::size_type slash = rest.find('/');
  if (slash != std::string::npos) rest.erase(0, slash);
  return rest;
}

// "HTTP://Host/x" -> "http://user:pw@Host/x" when both proxy credentials are set.
// Only plain http gets them; they are inserted as they stand, without escaping, in
// front of any user information that the URL carries.
std::string TWebCopy::InsertProxyCredentials(const std::string& URL) const {
  static constexpr char kScheme[] = "HTTP://";
  constexpr std::string::size_type kSchemeLength = sizeof kScheme - 1;
  if (ProxyUserID.empty() || ProxyPassword.empty() || URL.size() < kSchemeLength) return URL;
  for (std::string::size_type i = 0; i < kSchemeLength; ++i)
    if (UpperAscii(URL[i]) != kScheme[i]) return URL;
  return "http://" + ProxyUserID + ":" + ProxyPassword + "@" + URL.substr(kSchemeLength);
}

}  // namespace nolt
