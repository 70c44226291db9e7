// The URL helpers of the transfer routines that need no component state.
// InsertProxyCredentials, ExtractURLHost and ExtractURLPath are members of TWebCopy
// (WebCopy.h); all five are written in WcUrl.cpp. They search plain text: no
// percent decoding, no special meaning for a query or a fragment, and they never
// fail: they return their input or a part of it.
#pragma once

#include <string>

namespace nolt {

// The text after the last '/' or '\' (a URL or a local path).
std::string ExtractURLFileName(const std::string& text);
// The server part of a URL as shown to the user: user information and port stay.
std::string ExtractURLServer(const std::string& URL);

}  // namespace nolt
