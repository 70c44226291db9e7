// What the libcurl stand-in for WinINet shares between its download, upload and
// connection handles: the handle registry, the internet handle (a session owning the
// curl multi handle of one run), the last error, the one translation of libcurl's
// results into WinINet numbers, and the loop that drives a transfer. Must contain
// only code of the POSIX internet implementation.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "base/Limits.h"
#include "platform/Internet.h"

namespace plat::curlnet {

// Error numbers of the system and of WinINet that only the libcurl stand-in reports.
inline constexpr std::uint32_t kErrorInvalidHandleValue = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInternetInvalidCa = 12045;
inline constexpr std::uint32_t kErrorHttpHeaderNotFound = 12150;
inline constexpr std::uint32_t kErrorHttpRedirectFailed = 12156;
inline constexpr std::uint32_t kErrorInternetSecurityChannelError = 12157;

// WinINet's default limits until InternetSetOptionA changes them: 60 s to connect;
// a transfer that moves nothing for 30 s has timed out. libcurl does not count a
// paused transfer as slow.
inline constexpr std::uint32_t kDefaultConnectTimeoutMs = 60000;
inline constexpr std::uint32_t kDefaultReceiveTimeoutMs = nolt::kStallLimitMs;

// Sets the last error of this thread and fails.
bool Fail(std::uint32_t code);
std::nullptr_t FailHandle(std::uint32_t code);
std::uint32_t LastError();

// The one place where libcurl's results become the WinINet error numbers that
// WinINet gives for the same failure: CURLE_COULDNT_RESOLVE_HOST -> 12007,
// CURLE_COULDNT_CONNECT -> 12029, CURLE_OPERATION_TIMEDOUT -> 12002, a reset
// (CURLE_RECV_ERROR with osErrno ECONNRESET) -> 12031, an FTP command refused ->
// 12003, whose text is the server's reply. Texts in InternetErrors.cpp.
std::uint32_t ErrorFromCurl(CURLcode code, long osErrno);

enum class Kind { Session, Request, Connection, Upload, FtpConnection, FtpFile, FtpFind };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Kind kind;
};

// Every handle given out and not closed yet, so that a stale or foreign handle
// fails as in WinINet instead of being followed.
void Register(Handle* h);
bool Unregister(Handle* h);
Handle* Lookup(HInternet h);

struct Session;

// A transfer that the session's multi handle carries: a download or an upload.
struct Transfer : Handle {
  Transfer(Kind k, Session* s) : Handle(k), session(s) {}
  ~Transfer() override { Detach(); }
  // Adds the transfer to its session; false when libcurl refuses it.
  bool Start();
  // Ends the transfer; the handle stays valid and fails every further call.
  void Detach();

  Session* session;
  CURL* easy = nullptr;
  bool started = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  long osErrno = 0;
};

// The internet handle: agent, proxy settings, and the multi handle that carries the
// transfers of one run and keeps their connections for the next request.
struct Session final : Handle {
  Session() : Handle(Kind::Session) {}
  ~Session() override;

  // An easy handle for a new transfer (the one kept from the last transfer, reset),
  // with what every transfer of the session shares: the shared caches, the agent,
  // the proxy, HTTP/1.1 and the time limits. Null when libcurl has no memory.
  CURL* TakeEasy();
  void ReturnEasy(CURL* e);

  std::string agent;
  std::uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;
  std::uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  std::uint32_t accessType = kInternetOpenTypePreconfig;
  std::string proxy;
  std::string proxyBypass;
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  CURL* spare = nullptr;
  std::set<Transfer*> transfers;
};

// For the tests only: the certificate authorities of caFile are trusted instead of
// the system's store by every transfer started afterwards, so a test can serve HTTPS
// with a certificate of a test authority that nothing else trusts. The programs never
// call it; there is no way to turn the certificate check off.
void TrustOnlyAuthoritiesIn(const std::string& caFile);
std::string& TestAuthorities();

// Marks the transfers of the session that libcurl reports as finished.
void CollectDone(Session& s);

// Runs the session's transfers until ready() holds or the transfer has ended.
template <class Ready> void Drive(Transfer& t, Ready ready) {
  Session& s = *t.session;
  while (!ready() && !t.done) {
    int running = 0;
    const CURLMcode mc = curl_multi_perform(s.multi, &running);
    CollectDone(s);
    if (ready() || t.done) return;
    if (mc != CURLM_OK) {
      t.done = true;
      t.result = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
      return;
    }
    curl_multi_poll(s.multi, nullptr, 0, 1000, nullptr);
  }
}

// The WinINet number of a transfer that ended without what the caller waited for.
inline std::uint32_t ErrorOf(const Transfer& t, std::uint32_t otherwise) {
  return t.done && t.result != CURLE_OK ? ErrorFromCurl(t.result, t.osErrno) : otherwise;
}

// Extra request headers: lines separated by CR LF; empty lines (the closing CR LF
// CR LF of the caller's text) are dropped. A length of all bits set means a text
// ending with a zero byte.
curl_slist* ParseHeaders(const char* headers, std::uint32_t length);

// WinINet escapes what may not stand in a URL (a space in a file name, 8-bit
// bytes); libcurl refuses such URLs, so they are escaped the same way. Like WinINet,
// a backslash before the query is sent as '/': "base/sub\a.cab" asks for
// "base/sub/a.cab" on both targets.
std::string EscapeUrl(const std::string& url);

}  // namespace plat::curlnet
