// The FTP operations of the libcurl stand-in for WinINet (InternetConnectA for FTP,
// FtpSetCurrentDirectoryA, FtpCreateDirectoryA, FtpFindFirstFileA, FtpOpenFileA and
// the reads, writes and close of an FTP file). Must contain only code of the POSIX
// internet implementation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Internet.h"
#include "platform/posix/internet/CurlSession.h"

namespace plat::curlnet {

HInternet ConnectFtp(HInternet internet, const std::string& server, std::uint16_t port, const std::string& user,
                     const std::string& password, std::uint32_t flags);
bool FtpChangeDirectory(HInternet connection, const std::string& directory);
bool FtpMakeDirectory(HInternet connection, const std::string& directory);
HInternet FtpFind(HInternet connection, const std::string& name, FtpFindData* data);
HInternet FtpOpen(HInternet connection, const std::string& name, std::uint32_t access, std::uint32_t flags);
bool FtpRead(Handle* file, void* buffer, std::uint32_t count, std::uint32_t* read);
bool FtpWrite(Handle* file, const void* buffer, std::uint32_t count, std::uint32_t* written);
// Ends the file's transfer and frees the handle (unregistered already). An upload is
// completed; false when the server did not confirm it.
bool FtpCloseFile(Handle* file);

// The server's reply to the last FTP command on this thread that failed or ended a
// transfer (InternetGetLastResponseInfoA); false when there is none.
bool LastFtpReply(std::string* reply);

// The path that name stands for on a session whose current directory is cwd:
// absolute, '/'-separated, with "." and ".." resolved and no trailing '/'.
std::string ResolveFtpPath(const std::string& cwd, const std::string& name);

}  // namespace plat::curlnet
