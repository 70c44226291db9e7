// Path, time and error-text helpers of the transfer routines. The URL helpers are in
// Url.h; whether a file exists and the creation of its directories are in
// install/LocalFiles.h, the time conversions in core/DateTime.h.
#pragma once

#include <cstdint>
#include <string>

#include "core/DateTime.h"
#include "platform/Clock.h"

namespace nolt {

// Local paths: the separator is plat::kPathDelim. On Linux a '\' in a local path is
// read as a separator as well (names written on Windows) and written as '/'.
std::string JoinPath(const std::string& directory, const std::string& name);

// SYSTEMTIME of a server date -> TDateTime; an all-zero record (no date sent), or one
// that is no calendar date, gives the current local time.
TDateTime ServerTimeToDateTime(const plat::SystemTime& st);
std::string InternetErrorText(std::uint32_t code);
// The text that goes with a WinINet or system error number a transfer reports, never
// empty: the internet library's text, else the system's; for an FTP command the
// server refused (kErrorInternetExtendedError), the server's own reply.
std::string FailureText(std::uint32_t code);

}  // namespace nolt
