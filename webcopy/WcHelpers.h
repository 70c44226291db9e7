// URL, path and time helpers of the transfer routines. InsertProxyCredentials,
// ExtractURLHost and ExtractURLPath are members of TWebCopy (WebCopy.h).
#pragma once

#include <cstdint>
#include <string>

#include "core/Component.h"
#include "platform/Clock.h"

namespace nolt {

std::string ExtractURLFileName(const std::string& text);
std::string ExtractURLServer(const std::string& URL);
std::string JoinPath(const std::string& directory, const std::string& name);
bool DirExists(const std::string& path);
bool ForceDirs(const std::string& directory);
// FILETIME (100 ns units since 1601, UTC) -> TDateTime.
TDateTime FileTimeToDateTime(std::uint64_t fileTime);
// SYSTEMTIME of a server date -> TDateTime; an all-zero record gives the current local time.
TDateTime ServerTimeToDateTime(const plat::SystemTime& st);
std::string InternetErrorText(std::uint32_t code);

}  // namespace nolt
