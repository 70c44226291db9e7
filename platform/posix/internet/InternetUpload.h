// The HTTP upload operations of the libcurl stand-in for WinINet (InternetConnectA
// for HTTP, HttpOpenRequestA, HttpSendRequestExA, InternetWriteFile,
// HttpEndRequestA, and HttpQueryInfoA on an upload). Must contain only code of the POSIX internet implementation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Internet.h"

namespace plat::curlnet {

HInternet ConnectHttp(HInternet internet, const std::string& server, std::uint16_t port, std::uint32_t flags);
HInternet OpenUpload(HInternet connection, const std::string& verb, const std::string& object, std::uint32_t flags);
bool SendUpload(HInternet request, const InternetBuffers* buffersIn);
bool WriteUpload(HInternet request, const void* buffer, std::uint32_t count, std::uint32_t* written);
bool EndUpload(HInternet request);
// HttpQueryInfoA on an upload whose answer has begun: its status
// (kHttpQueryStatusCode) or its Location (kHttpQueryLocation), as text.
bool UploadAnswer(HInternet request, std::uint32_t infoLevel, std::string* value);

}  // namespace plat::curlnet
