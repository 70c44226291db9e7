// Internet seam: the WinINet operations the transfer engine relies on, one method
// per call with the same arguments (flags stay numbers). Windows passes them to
// wininet.dll; Linux implements them over libcurl and reports WinINet's error
// numbers for the failures it maps, so events carry the same codes on both.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Seam.h"

namespace plat {

// An open internet, connection, request, FTP file or FTP search handle; nullptr is none.
using HInternet = void*;

// InternetOpenA access types.
inline constexpr std::uint32_t kInternetOpenTypePreconfig = 0;
inline constexpr std::uint32_t kInternetOpenTypeDirect = 1;
inline constexpr std::uint32_t kInternetOpenTypeProxy = 3;

// Request flags.
inline constexpr std::uint32_t kInternetFlagReload = 0x80000000u;
inline constexpr std::uint32_t kInternetFlagNoCacheWrite = 0x04000000u;
inline constexpr std::uint32_t kInternetFlagKeepConnection = 0x00400000u;
inline constexpr std::uint32_t kInternetFlagPassive = 0x08000000u;
inline constexpr std::uint32_t kInternetFlagTransferBinary = 0x00000002u;
inline constexpr std::uint32_t kInternetFlagSecure = 0x00800000u;
// An answer that redirects is the request's answer: it is not followed.
inline constexpr std::uint32_t kInternetFlagNoAutoRedirect = 0x00200000u;

// InternetConnectA ports.
inline constexpr std::uint16_t kInternetDefaultHttpPort = 80;
inline constexpr std::uint16_t kInternetDefaultHttpsPort = 443;

// InternetConnectA services.
inline constexpr std::uint32_t kInternetServiceFtp = 1;
inline constexpr std::uint32_t kInternetServiceHttp = 3;

// InternetSetOptionA options: time limits in milliseconds, as a 32-bit number. Set
// on the internet handle, they hold for every request opened through it.
inline constexpr std::uint32_t kInternetOptionConnectTimeout = 2;
inline constexpr std::uint32_t kInternetOptionSendTimeout = 5;
inline constexpr std::uint32_t kInternetOptionReceiveTimeout = 6;

// HttpSendRequestExA flags.
inline constexpr std::uint32_t kHsrInitiate = 8;

// HttpQueryInfoA levels and modifiers. Without a modifier a level answers the
// header's text as the server sent it.
inline constexpr std::uint32_t kHttpQueryContentLength = 5;
inline constexpr std::uint32_t kHttpQueryLastModified = 11;
inline constexpr std::uint32_t kHttpQueryLocation = 33;
inline constexpr std::uint32_t kHttpQueryStatusCode = 19;
inline constexpr std::uint32_t kHttpQueryContentRange = 53;
inline constexpr std::uint32_t kHttpQueryETag = 54;
inline constexpr std::uint32_t kHttpQueryFlagSystemTime = 0x40000000u;
inline constexpr std::uint32_t kHttpQueryFlagNumber = 0x20000000u;

// FtpOpenFileA access.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;

// WinINet error numbers.
inline constexpr std::uint32_t kErrorInternetTimeout = 12002;
inline constexpr std::uint32_t kErrorInternetInternalError = 12004;
inline constexpr std::uint32_t kErrorInternetInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorInternetUnrecognizedScheme = 12006;
inline constexpr std::uint32_t kErrorInternetNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorInternetIncorrectUserName = 12013;
inline constexpr std::uint32_t kErrorInternetIncorrectPassword = 12014;
inline constexpr std::uint32_t kErrorInternetLoginFailure = 12015;
inline constexpr std::uint32_t kErrorInternetOperationCancelled = 12017;
inline constexpr std::uint32_t kErrorInternetIncorrectHandleType = 12018;
inline constexpr std::uint32_t kErrorInternetIncorrectHandleState = 12019;
inline constexpr std::uint32_t kErrorInternetConnectionAborted = 12030;
inline constexpr std::uint32_t kErrorInternetConnectionReset = 12031;
inline constexpr std::uint32_t kErrorInternetCannotConnect = 12029;
inline constexpr std::uint32_t kErrorInternetExtendedError = 12003;
inline constexpr std::uint32_t kErrorFtpTransferInProgress = 12110;
inline constexpr std::uint32_t kErrorHttpInvalidServerResponse = 12152;
inline constexpr std::uint32_t kErrorHttpInvalidHeader = 12153;

// A NUL, CR or LF in a remote name would cut the FTP command short or add one of
// its own; such a name never reaches the server.
inline bool BreaksFtpCommand(const std::string& name) {
  return name.find_first_of(std::string("\0\r\n", 3)) != std::string::npos;
}

// The part of WIN32_FIND_DATAA that an FTP search delivers. The size is the one
// the server's SIZE gives, 64 bits wide; sizeKnown is false when the server told
// no size that can be trusted (the file is listed all the same).
struct FtpFindData {
  std::uint32_t attributes = 0;
  std::uint64_t lastWriteTime = 0;  // FILETIME, UTC
  std::uint32_t sizeHigh = 0;
  std::uint32_t sizeLow = 0;
  bool sizeKnown = true;
  std::string fileName;
};

// INTERNET_BUFFERSA as HttpSendRequestExA reads it: the record's size as the caller
// fills it in (40, the record of the 32-bit program), extra header lines, and the
// announced body length. Each target passes the record of its own layout.
inline constexpr std::uint32_t kInternetBuffersSize = 40;
struct InternetBuffers {
  std::uint32_t structSize = 0;
  std::string header;
  std::uint32_t bufferTotal = 0;
};

class Internet {
 public:
  virtual ~Internet() = default;

  virtual HInternet InternetOpenA(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                                  const std::string& proxyBypass, std::uint32_t flags) = 0;
  virtual bool InternetCloseHandle(HInternet h) = 0;

  // HTTP download.
  virtual HInternet InternetOpenUrlA(HInternet internet, const std::string& url, const char* headers,
                                     std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t context) = 0;
  // Writes at most *length bytes into buffer: a 32-bit number for FLAG_NUMBER, a
  // SystemTime for FLAG_SYSTEMTIME. An absent value returns false and leaves buffer as it was.
  virtual bool HttpQueryInfoA(HInternet request, std::uint32_t infoLevel, void* buffer, std::uint32_t* length,
                              std::uint32_t* index) = 0;
  // Up to count body bytes; *read 0 at the end. False on failure. A read waits
  // until count bytes have arrived or the body has ended.
  virtual bool InternetReadFile(HInternet h, void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  // How many body bytes can be read without waiting. When none has arrived it waits
  // for the first (within the receive time limit); 0 means the body has ended. False
  // on failure (a broken connection, a timeout).
  virtual bool InternetQueryDataAvailable(HInternet h, std::uint32_t* available, std::uint32_t flags,
                                          std::uintptr_t context) = 0;
  // Sets an option of a handle: the time limits above (connecting, sending a
  // request, and the longest wait for the next bytes of an answer).
  virtual bool InternetSetOptionA(HInternet h, std::uint32_t option, const void* buffer, std::uint32_t length) = 0;

  // HTTP upload and FTP. An HTTP connection names host and port; nothing goes over
  // the network before HttpSendRequestExA. kInternetFlagSecure in the request's flags
  // makes it an HTTPS request (certificates are checked). An upload that moves
  // nothing for the internet handle's receive limit (a server that stops reading,
  // never answers, or never completes the TLS handshake) fails.
  virtual HInternet InternetConnectA(HInternet internet, const std::string& server, std::uint16_t port,
                                     const std::string& user, const std::string& password, std::uint32_t service,
                                     std::uint32_t flags, std::uintptr_t context) = 0;
  virtual HInternet HttpOpenRequestA(HInternet connection, const std::string& verb, const std::string& object,
                                     const std::string& version, const std::string& referrer,
                                     const char* const* acceptTypes, std::uint32_t flags,
                                     std::uintptr_t context) = 0;
  // Connects and starts the request, with a Content-Length of buffersIn->bufferTotal
  // (its line and headers may travel with the first bytes of the body); the body
  // follows through InternetWriteFile. False when the server cannot be reached
  // (kErrorInternetCannotConnect for a refused connection).
  virtual bool HttpSendRequestExA(HInternet request, const InternetBuffers* buffersIn, std::uint32_t flags,
                                  std::uintptr_t context) = 0;
  // On an upload request: the next count bytes of the body; *written is count on
  // success. A write of 0 bytes does nothing and succeeds; a write that would go
  // past the announced length is refused (kErrorInternetIncorrectHandleState). The body is streamed:
  // nothing keeps more than a small window of it. A write may succeed while bytes
  // of earlier writes are still on their way; a failure of theirs is reported by a
  // later write or by HttpEndRequestA.
  virtual bool InternetWriteFile(HInternet h, const void* buffer, std::uint32_t count, std::uint32_t* written) = 0;
  // Ends an upload: true once the whole announced body went out and the server's
  // answer has begun (its status is not judged here; HttpQueryInfoA gives its
  // status and Location). A body shorter than announced (a
  // cancel, a failed write) cannot be completed: the call then fails at once with
  // kErrorInternetConnectionAborted and drops the connection, instead of waiting
  // for an answer that the server, still expecting the rest, would never send.
  virtual bool HttpEndRequestA(HInternet request, std::uint32_t flags, std::uintptr_t context) = 0;

  // FTP. InternetConnectA with kInternetServiceFtp logs on at once (anonymously when
  // user or password is empty), in passive mode with kInternetFlagPassive, else in
  // active mode; none when the server cannot be reached (kErrorInternetCannotConnect)
  // or refuses the logon (kErrorInternetLoginFailure). Relative names resolve against
  // the connection's current directory. A command the server refuses fails with
  // kErrorInternetExtendedError (InternetGetLastResponseInfoA gives its reply); a name
  // that BreaksFtpCommand with kErrorInvalidName (Files.h). Every wait for the server
  // is bounded by the internet handle's limits, the logon's reply, a command's, and
  // the bytes of a file both ways: a server that keeps a reply or a data connection
  // going without end fails the call with kErrorInternetTimeout, and the connection
  // is of no further use.
  virtual bool FtpSetCurrentDirectoryA(HInternet connection, const std::string& directory) = 0;
  // One level: the parent must exist.
  virtual bool FtpCreateDirectoryA(HInternet connection, const std::string& directory) = 0;
  // One file: its name, size and last-write time (UTC); none when it is not listed.
  virtual HInternet FtpFindFirstFileA(HInternet connection, const std::string& searchFile, FtpFindData* data,
                                      std::uint32_t flags, std::uintptr_t context) = 0;
  // A file handle for InternetReadFile (kGenericRead) or InternetWriteFile
  // (kGenericWrite); the data is streamed in both directions, never held whole.
  // Closing a file handle ends the transfer and reads the server's final reply: the
  // close fails (kErrorInternetExtendedError) when the server did not confirm the
  // transfer, be it a file sent whole and then refused, or one it stopped sending.
  // One file at a time per connection.
  virtual HInternet FtpOpenFileA(HInternet connection, const std::string& fileName, std::uint32_t access,
                                 std::uint32_t flags, std::uintptr_t context) = 0;

  // The server's reply to the last FTP command on this thread that it refused, or
  // that ended a transfer ("550 No such file."); false when there is none.
  virtual bool InternetGetLastResponseInfoA(std::string* reply) = 0;

  // Error number of the last failed call on this thread (WinINet or system numbering).
  virtual std::uint32_t GetLastError() = 0;
  // The text of a WinINet error number from the library's message table; empty when it has none.
  virtual std::string FormatMessageText(std::uint32_t code) = 0;
};

inline Internet& internet() { return Use<Internet>(); }

}  // namespace plat
