// URL, path and time helpers of the transfer routines. InsertProxyCredentials,
// ExtractURLHost and ExtractURLPath are members of TWebCopy (WebCopy.h).
#pragma once

#include <cstdint>
#include <string>

#include "core/Component.h"
#include "platform/Clock.h"

namespace nolt {

// The text after the last '/' or '\' (a URL or a local path).
std::string ExtractURLFileName(const std::string& text);
// The server part of a URL as shown to the user: user information and port stay.
std::string ExtractURLServer(const std::string& URL);

// Local paths: the separator is plat::kPathDelim. On Linux a '\' in a local path is
// read as a separator as well (names written on Windows) and written as '/'.
std::string JoinPath(const std::string& directory, const std::string& name);
bool DirExists(const std::string& path);
// Creates the directory and its missing parents; true when it exists afterwards.
bool ForceDirs(const std::string& directory);

// A calendar record -> TDateTime (day number plus fraction of the day); false, and
// nothing written, for a record that names no calendar day and time.
bool SystemTimeToDateTime(const plat::SystemTime& st, TDateTime* value);
// FILETIME (100 ns units since 1601, UTC) -> TDateTime, in the same time base.
TDateTime FileTimeToDateTime(std::uint64_t fileTime);
// SYSTEMTIME of a server date -> TDateTime; an all-zero record (no date sent), or one
// that is no calendar date, gives the current local time.
TDateTime ServerTimeToDateTime(const plat::SystemTime& st);
std::string InternetErrorText(std::uint32_t code);

}  // namespace nolt
