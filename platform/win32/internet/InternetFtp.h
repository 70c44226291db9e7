// The FTP operations of the Win32 internet seam: WinINet's, each bounded by the time
// limits of the connection (TimedCall.h), an FTP file streamed through a thread of
// its own, and the server's final reply of a transfer read and judged when the file
// is closed. Must contain only Win32-specific code.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

#include "platform/Internet.h"
#include "platform/win32/internet/TimedRequest.h"

namespace plat::winftp {

// WinINet's FTP calls with the limits of the connection (those of its internet
// handle when it was made). A call that outlives its limit fails with
// ERROR_INTERNET_TIMEOUT, and every later call on that connection fails at once.
HINTERNET Connect(HINTERNET internet, const std::string& server, std::uint16_t port, const std::string& user,
                  const std::string& password, DWORD flags, RequestLimits limits);
bool ChangeDirectory(HINTERNET connection, const std::string& directory);
bool MakeDirectory(HINTERNET connection, const std::string& directory);
// The file's listing, with the size its SIZE reply gives (64 bits; WinINet's listing
// holds 32 bits at most). The handle is one of ours, already done with the server.
HInternet Find(HINTERNET connection, const std::string& name, FtpFindData* data);
HInternet Open(HINTERNET connection, const std::string& name, DWORD access, DWORD flags);

// The handles above that are ours (a search, a file); the calls on them.
bool IsOurs(HInternet h);
bool Read(HInternet file, void* buffer, DWORD count, DWORD* read);
bool Write(HInternet file, const void* buffer, DWORD count, DWORD* written);
// Closes a search, or a file: the transfer ends and the server's final reply is
// judged (false, with kErrorInternetExtendedError, or ERROR_INTERNET_CONNECTION_ABORTED
// for a 426, when it is no 2xx).
bool Close(HInternet h);
// A connection closed by the caller: its record goes.
void Forget(HINTERNET connection);

// The server's reply to the last FTP command on this thread that failed or ended a transfer.
bool LastReply(std::string* reply);

// WinINet's number for the error of a transfer's socket: Wine's WinINet passes a
// socket's error of an FTP transfer on as it stands (or as INTERNET_ERROR_BASE).
DWORD InternetNumberOf(DWORD error);

}  // namespace plat::winftp
