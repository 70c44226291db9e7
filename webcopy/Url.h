// The URL helpers of the transfer routines that need no component state.
// InsertProxyCredentials, ExtractURLHost and ExtractURLPath are members of TWebCopy
// (WebCopy.h); all five are written in Url.cpp. They search plain text: no
// percent decoding, no special meaning for a query or a fragment, and they never
// fail: they return their input or a part of it.
#pragma once

#include <cstdint>
#include <string>

namespace nolt {

// The text after the last '/' or '\' (a URL or a local path).
std::string ExtractURLFileName(const std::string& text);
// The server part of a URL as shown to the user: user information and port stay.
std::string ExtractURLServer(const std::string& URL);

// A URL that can go into a request as it stands: one without a control byte. A line
// break would end the request line and add lines of its own, a NUL would cut it
// short, whatever the library below does with them; so such a URL is refused
// before anything is sent. "http://h/a%0D%0A" (escaped) is sendable.
bool IsSendableUrl(const std::string& URL);

// Where an HTTP request for a URL goes: the host, and the port and scheme that the
// URL names, port 80 (http) or 443 (https) when it names none. port is 0 when the
// URL's port is no number from 1 to 65535.
//   "https://u:p@h:8443/x" -> {"h", 8443, true}   "http://[::1]/" -> {"::1", 80, false}
struct HttpEndpoint {
  std::string host;
  std::uint16_t port = 0;
  bool secure = false;
};
HttpEndpoint ParseHttpEndpoint(const std::string& URL);

}  // namespace nolt
