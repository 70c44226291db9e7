// Win32 implementation of the internet seam: a thin pass-through to wininet.dll,
// except that a request opened through an internet handle with a receive limit
// keeps that limit (TimedRequest.h says why and how), and an upload's announced
// length is kept, so that a body is never sent longer than announced, and a short
// one is neither waited on nor leaves its connection to the next request.
// Must contain only Win32-specific code.
#include "platform/Internet.h"

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "base/Limits.h"
#include "platform/win32/internet/InternetFtp.h"
#include "platform/win32/internet/TimedCall.h"
#include "platform/win32/internet/TimedRequest.h"
#include "platform/win32/system/SystemMessage.h"

namespace plat {
namespace {

HINTERNET H(HInternet h) {
  if (TimedRequest* r = TimedRequest::From(h)) return r->Raw();
  return static_cast<HINTERNET>(h);
}

// Wine's WinINet takes an answer that begins with no status line (no HTTP at all: a
// server of another protocol, garbage) for HTTP/0.9 and makes one up, "HTTP/1.0 200
// OK" and not a header more, the first line of the answer lost. No server's answer
// is that bare; the libcurl stand-in refuses such an answer too.
bool NoStatusLine(HINTERNET request) {
  char raw[64] = {};
  DWORD length = sizeof raw - 1;
  DWORD index = 0;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw, &length, &index)) return false;
  return std::strcmp(raw, "HTTP/1.0 200 OK\r\n\r\n") == 0;
}

// Wine's WinINet passes a socket's error of a transfer on as it stands; the callers
// expect WinINet's numbers for a broken connection.
bool FailWithInternetError() {
  ::SetLastError(winftp::InternetNumberOf(::GetLastError()));
  return false;
}

class Win32Internet final : public Internet {
 public:
  HInternet InternetOpenA(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                          const std::string& proxyBypass, std::uint32_t flags) override {
    return ::InternetOpenA(agent.c_str(), accessType, proxy.empty() ? nullptr : proxy.c_str(),
                           proxyBypass.empty() ? nullptr : proxyBypass.c_str(), flags);
  }

  bool InternetCloseHandle(HInternet h) override {
    if (TimedRequest* r = TimedRequest::From(h)) {
      delete r;
      return true;
    }
    if (winftp::IsOurs(h)) return winftp::Close(h);
    winftp::Forget(static_cast<HINTERNET>(h));
    {
      std::lock_guard<std::mutex> guard(limitsLock_);
      limits_.erase(h);
    }
    const bool givenUp = Forget(h);
    const bool closed = ::InternetCloseHandle(H(h)) != 0;
    // WinINet keeps the connection of a request it takes for finished, and takes it
    // for the next request to that server, whose bytes the server would then read
    // as the rest of this body. Dropping the idle connections drops that one too.
    if (givenUp) ::InternetSetOptionA(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    return closed;
  }

  HInternet InternetOpenUrlA(HInternet internet, const std::string& url, const char* headers,
                             std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t context) override {
    RequestLimits limits;
    {
      std::lock_guard<std::mutex> guard(limitsLock_);
      auto it = limits_.find(internet);
      if (it != limits_.end()) limits = it->second;
    }
    HInternet request;
    if (limits.receiveMs == 0) {
      request = ::InternetOpenUrlA(H(internet), url.c_str(), headersLength ? headers : nullptr, headersLength, flags,
                                   context);
    } else {
      std::string text;
      if (headers && headersLength)
        text.assign(headers, headersLength == 0xFFFFFFFFu ? std::strlen(headers) : headersLength);
      request = TimedRequest::Open(H(internet), url, text, flags, limits);
    }
    if (request && NoStatusLine(H(request))) {
      InternetCloseHandle(request);
      ::SetLastError(kErrorHttpInvalidServerResponse);
      return nullptr;
    }
    return request;
  }

  bool HttpQueryInfoA(HInternet request, std::uint32_t infoLevel, void* buffer, std::uint32_t* length,
                      std::uint32_t* index) override {
    DWORD len = *length;
    DWORD idx = index ? *index : 0;
    if (infoLevel & kHttpQueryFlagSystemTime) {
      SYSTEMTIME st;
      len = sizeof st;
      if (!::HttpQueryInfoA(H(request), infoLevel, &st, &len, &idx)) return false;
      SystemTime* out = static_cast<SystemTime*>(buffer);
      out->wYear = st.wYear;
      out->wMonth = st.wMonth;
      out->wDayOfWeek = st.wDayOfWeek;
      out->wDay = st.wDay;
      out->wHour = st.wHour;
      out->wMinute = st.wMinute;
      out->wSecond = st.wSecond;
      out->wMilliseconds = st.wMilliseconds;
    } else if (!::HttpQueryInfoA(H(request), infoLevel, buffer, &len, &idx)) {
      return false;
    }
    *length = len;
    if (index) *index = idx;
    return true;
  }

  bool InternetReadFile(HInternet h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    DWORD n = 0;
    BOOL ok;
    if (TimedRequest* r = TimedRequest::From(h)) ok = r->Read(buffer, count, &n);
    else if (winftp::IsOurs(h)) ok = winftp::Read(h, buffer, count, &n);
    else ok = ::InternetReadFile(H(h), buffer, count, &n);
    *read = n;
    return ok != 0 || FailWithInternetError();
  }

  bool InternetQueryDataAvailable(HInternet h, std::uint32_t* available, std::uint32_t flags,
                                  std::uintptr_t context) override {
    DWORD n = 0;
    BOOL ok;
    if (TimedRequest* r = TimedRequest::From(h)) ok = r->QueryAvailable(&n);
    else ok = ::InternetQueryDataAvailable(H(h), &n, flags, context);
    *available = ok ? n : 0;
    return ok != 0;
  }

  // The limits are passed to WinINet and kept for the requests opened later.
  bool InternetSetOptionA(HInternet h, std::uint32_t option, const void* buffer, std::uint32_t length) override {
    if (!::InternetSetOptionA(H(h), option, const_cast<void*>(buffer), length)) return false;
    DWORD ms = 0;
    if (length >= sizeof ms) std::memcpy(&ms, buffer, sizeof ms);
    if (TimedRequest* r = TimedRequest::From(h)) {
      if (option == INTERNET_OPTION_RECEIVE_TIMEOUT) r->SetReceiveLimit(ms);
      return true;
    }
    if (option == INTERNET_OPTION_CONNECT_TIMEOUT || option == INTERNET_OPTION_RECEIVE_TIMEOUT) {
      std::lock_guard<std::mutex> guard(limitsLock_);
      RequestLimits& l = limits_[h];
      (option == INTERNET_OPTION_CONNECT_TIMEOUT ? l.connectMs : l.receiveMs) = ms;
    }
    return true;
  }

  HInternet InternetConnectA(HInternet internet, const std::string& server, std::uint16_t port,
                             const std::string& user, const std::string& password, std::uint32_t service,
                             std::uint32_t flags, std::uintptr_t context) override {
    const RequestLimits limits = LimitsOf(internet);
    // An FTP connection logs on at once: its replies are waited for within the limits.
    if (service == INTERNET_SERVICE_FTP)
      return winftp::Connect(H(internet), server, port, user, password, flags, limits);
    HINTERNET connection = ::InternetConnectA(H(internet), server.c_str(), port, user.empty() ? nullptr : user.c_str(),
                                              password.empty() ? nullptr : password.c_str(), service, flags, context);
    // The connection's requests keep the limits of the internet handle.
    if (connection) {
      std::lock_guard<std::mutex> guard(limitsLock_);
      limits_[connection] = limits;
    }
    return connection;
  }

  HInternet HttpOpenRequestA(HInternet connection, const std::string& verb, const std::string& object,
                             const std::string& version, const std::string& referrer,
                             const char* const* acceptTypes, std::uint32_t flags, std::uintptr_t context) override {
    HINTERNET request = ::HttpOpenRequestA(H(connection), verb.c_str(), object.c_str(),
                                           version.empty() ? nullptr : version.c_str(),
                                           referrer.empty() ? nullptr : referrer.c_str(),
                                           const_cast<LPCSTR*>(acceptTypes), flags, context);
    // A server that stops taking the body, or never answers it, ends the request
    // after the receive limit (the stall limit without one); Wine's WinINet would
    // otherwise wait as long as the server holds the connection.
    if (request) {
      RequestLimits limits = LimitsOf(connection);
      if (limits.receiveMs == 0) limits.receiveMs = nolt::kStallLimitMs;
      DWORD timeout = limits.receiveMs;
      ::InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
      ::InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
      std::lock_guard<std::mutex> guard(limitsLock_);
      limits_[request] = limits;
    }
    return request;
  }

  bool HttpSendRequestExA(HInternet request, const InternetBuffers* buffersIn, std::uint32_t flags,
                          std::uintptr_t context) override {
    // The record of this target's layout: 40 bytes, as the caller says, on the
    // 32-bit program.
    static_assert(sizeof(void*) != 4 || sizeof(INTERNET_BUFFERSA) == kInternetBuffersSize);
    const bool withBuffers = buffersIn != nullptr;
    const std::string header = withBuffers ? buffersIn->header : std::string();
    const DWORD total = withBuffers ? buffersIn->bufferTotal : 0;
    // Connecting, the TLS handshake and the request's headers, within the limits:
    // Wine's WinINet waits for a handshake that never comes for as long as the server
    // holds the connection.
    const RequestLimits limits = LimitsOf(request);
    const DWORD limit = limits.receiveMs == 0 ? INFINITE : limits.connectMs + limits.receiveMs;
    auto sent = std::make_shared<std::pair<BOOL, DWORD>>(FALSE, 0);
    HINTERNET raw = H(request);
    const bool inTime = RunWithin(limit, [=] {
      INTERNET_BUFFERSA b{};
      b.dwStructSize = sizeof b;
      b.lpcszHeader = header.empty() ? nullptr : header.c_str();
      b.dwHeadersLength = static_cast<DWORD>(header.size());
      b.dwBufferTotal = total;
      sent->first = ::HttpSendRequestExA(raw, withBuffers ? &b : nullptr, nullptr, flags, context);
      sent->second = ::GetLastError();
    });
    std::lock_guard<std::mutex> lock(lock_);
    if (!inTime) {
      // The request is given up: it takes no body, and closing it drops its connection.
      bodies_[request] = Body{1, 0};
      givenUp_.insert(request);
      ::SetLastError(kErrorInternetTimeout);
      return false;
    }
    if (!sent->first) {
      ::SetLastError(sent->second);
      return false;
    }
    bodies_[request] = Body{total, 0};
    return true;
  }

  bool InternetWriteFile(HInternet h, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (winftp::IsOurs(h)) {
      DWORD n = 0;
      const bool ok = winftp::Write(h, buffer, count, &n);
      *written = n;
      return ok;
    }
    {
      // Bytes past the announced length would run into what the server reads as
      // the next request.
      std::lock_guard<std::mutex> lock(lock_);
      if (givenUp_.count(h)) {
        ::SetLastError(kErrorInternetTimeout);
        return false;
      }
      auto body = bodies_.find(h);
      if (body != bodies_.end() && count > body->second.announced - body->second.written) {
        ::SetLastError(kErrorInternetIncorrectHandleState);
        return false;
      }
    }
    DWORD n = 0;
    BOOL ok = ::InternetWriteFile(H(h), buffer, count, &n);
    const DWORD error = ok ? 0 : ::GetLastError();
    *written = n;
    {
      std::lock_guard<std::mutex> lock(lock_);
      auto body = bodies_.find(h);
      if (body != bodies_.end()) body->second.written += n;
    }
    if (ok) return true;
    ::SetLastError(error);
    return FailWithInternetError();
  }

  bool HttpEndRequestA(HInternet request, std::uint32_t flags, std::uintptr_t context) override {
    {
      // WinINet would wait for the answer to a body that the server, still expecting
      // the rest, never gives. The request is given up instead; closing its handle
      // drops the connection (InternetCloseHandle).
      std::lock_guard<std::mutex> lock(lock_);
      if (givenUp_.count(request)) {
        ::SetLastError(kErrorInternetTimeout);
        return false;
      }
      auto body = bodies_.find(request);
      if (body != bodies_.end() && body->second.written < body->second.announced) {
        ::SetLastError(kErrorInternetConnectionAborted);
        return false;
      }
    }
    if (!::HttpEndRequestA(H(request), nullptr, flags, context)) return false;
    // Wine's WinINet ends a request whose connection closed before any answer as if
    // it had been answered; without a status line nothing confirms the upload.
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!::HttpQueryInfoA(H(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
        status == 0 || NoStatusLine(H(request))) {
      ::SetLastError(kErrorHttpInvalidServerResponse);
      return false;
    }
    return true;
  }

  // A name that would cut an FTP command short, or add one, is refused before
  // WinINet could send it.
  static bool Refused(const std::string& name) {
    if (!BreaksFtpCommand(name)) return false;
    ::SetLastError(kErrorInvalidName);
    return true;
  }

  // The FTP calls wait for the server within the connection's limits (InternetFtp.h).
  bool FtpSetCurrentDirectoryA(HInternet connection, const std::string& directory) override {
    if (Refused(directory)) return false;
    return winftp::ChangeDirectory(H(connection), directory);
  }

  bool FtpCreateDirectoryA(HInternet connection, const std::string& directory) override {
    if (Refused(directory)) return false;
    return winftp::MakeDirectory(H(connection), directory);
  }

  HInternet FtpFindFirstFileA(HInternet connection, const std::string& searchFile, FtpFindData* data, std::uint32_t,
                              std::uintptr_t) override {
    if (Refused(searchFile)) return nullptr;
    return winftp::Find(H(connection), searchFile, data);
  }

  HInternet FtpOpenFileA(HInternet connection, const std::string& fileName, std::uint32_t access,
                         std::uint32_t flags, std::uintptr_t) override {
    if (Refused(fileName)) return nullptr;
    return winftp::Open(H(connection), fileName, access, flags);
  }

  bool InternetGetLastResponseInfoA(std::string* reply) override { return winftp::LastReply(reply); }

  std::uint32_t GetLastError() override { return ::GetLastError(); }

  // The library's message table through its module handle (loaded already, not
  // loaded anew), into a fixed buffer of 256 bytes: a text that does not fit counts
  // as no text. The text is returned as the system wrote it, its closing line
  // break included. Inserts are left as they stand, since no arguments are passed.
  std::string FormatMessageText(std::uint32_t code) override {
    return win32::SystemMessage(code, ::GetModuleHandleA("wininet.dll"), 256);
  }

 private:
  // The time limits set on internet handles, for the requests opened through them,
  // and kept for the connections and upload requests made through those.
  std::mutex limitsLock_;
  std::map<HInternet, RequestLimits> limits_;

  RequestLimits LimitsOf(HInternet h) {
    std::lock_guard<std::mutex> guard(limitsLock_);
    auto it = limits_.find(h);
    return it == limits_.end() ? RequestLimits{} : it->second;
  }

  // The announced length of an upload's body and the bytes written so far.
  struct Body {
    std::uint32_t announced;
    std::uint32_t written;
  };

  // Forgets an upload request; true when its body was not sent whole.
  bool Forget(HInternet h) {
    std::lock_guard<std::mutex> lock(lock_);
    givenUp_.erase(h);
    auto body = bodies_.find(h);
    if (body == bodies_.end()) return false;
    const bool incomplete = body->second.written < body->second.announced;
    bodies_.erase(body);
    return incomplete;
  }

  std::mutex lock_;
  std::map<HInternet, Body> bodies_;
  std::set<HInternet> givenUp_;  // upload requests whose start ran out of time
};

}  // namespace

template <> Internet& SystemInstance<Internet>() {
  static Win32Internet* instance = new Win32Internet;
  return *instance;
}

}  // namespace plat
