// Win32 implementation of the internet seam: a thin pass-through to wininet.dll,
// except that a request opened through an internet handle with a receive limit
// keeps that limit (TimedRequest.h says why and how), and an upload's announced
// length is kept, so that a body is never sent longer than announced, and a short
// one is neither waited on nor leaves its connection to the next request.
// Must contain only Win32-specific code.
#include "platform/Internet.h"

#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/TimedRequest.h"

namespace plat {
namespace {

HINTERNET H(HInternet h) {
  if (TimedRequest* r = TimedRequest::From(h)) return r->Raw();
  return static_cast<HINTERNET>(h);
}

// How long a request may move nothing before it fails.
constexpr DWORD kStallTimeoutMs = 30000;

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
    if (limits.receiveMs == 0)
      return ::InternetOpenUrlA(H(internet), url.c_str(), headersLength ? headers : nullptr, headersLength, flags,
                                context);
    std::string text;
    if (headers && headersLength)
      text.assign(headers, headersLength == 0xFFFFFFFFu ? std::strlen(headers) : headersLength);
    return TimedRequest::Open(H(internet), url, text, flags, limits);
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
    else ok = ::InternetReadFile(H(h), buffer, count, &n);
    *read = n;
    return ok != 0;
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
    return ::InternetConnectA(H(internet), server.c_str(), port, user.empty() ? nullptr : user.c_str(),
                              password.empty() ? nullptr : password.c_str(), service, flags, context);
  }

  HInternet HttpOpenRequestA(HInternet connection, const std::string& verb, const std::string& object,
                             const std::string& version, const std::string& referrer,
                             const char* const* acceptTypes, std::uint32_t flags, std::uintptr_t context) override {
    HINTERNET request = ::HttpOpenRequestA(H(connection), verb.c_str(), object.c_str(),
                                           version.empty() ? nullptr : version.c_str(),
                                           referrer.empty() ? nullptr : referrer.c_str(),
                                           const_cast<LPCSTR*>(acceptTypes), flags, context);
    // A server that stops taking the body, or never answers it, ends the request
    // after kStallTimeoutMs; Wine's WinINet would otherwise wait as long as the
    // server holds the connection.
    if (request) {
      DWORD timeout = kStallTimeoutMs;
      ::InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
      ::InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    }
    return request;
  }

  bool HttpSendRequestExA(HInternet request, const InternetBuffers* buffersIn, std::uint32_t flags,
                          std::uintptr_t context) override {
    // The record of this target's layout: 40 bytes, as the caller says, on the
    // 32-bit program.
    static_assert(sizeof(void*) != 4 || sizeof(INTERNET_BUFFERSA) == kInternetBuffersSize);
    INTERNET_BUFFERSA b{};
    b.dwStructSize = sizeof b;
    if (buffersIn) {
      b.lpcszHeader = buffersIn->header.empty() ? nullptr : buffersIn->header.c_str();
      b.dwHeadersLength = static_cast<DWORD>(buffersIn->header.size());
      b.dwBufferTotal = buffersIn->bufferTotal;
    }
    if (!::HttpSendRequestExA(H(request), buffersIn ? &b : nullptr, nullptr, flags, context)) return false;
    std::lock_guard<std::mutex> lock(lock_);
    bodies_[request] = Body{b.dwBufferTotal, 0};
    return true;
  }

  bool InternetWriteFile(HInternet h, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    {
      // Bytes past the announced length would run into what the server reads as
      // the next request.
      std::lock_guard<std::mutex> lock(lock_);
      auto body = bodies_.find(h);
      if (body != bodies_.end() && count > body->second.announced - body->second.written) {
        ::SetLastError(kErrorInternetIncorrectHandleState);
        return false;
      }
    }
    DWORD n = 0;
    BOOL ok = ::InternetWriteFile(H(h), buffer, count, &n);
    *written = n;
    std::lock_guard<std::mutex> lock(lock_);
    auto body = bodies_.find(h);
    if (body != bodies_.end()) body->second.written += n;
    return ok != 0;
  }

  bool HttpEndRequestA(HInternet request, std::uint32_t flags, std::uintptr_t context) override {
    {
      // WinINet would wait for the answer to a body that the server, still expecting
      // the rest, never gives. The request is given up instead; closing its handle
      // drops the connection (InternetCloseHandle).
      std::lock_guard<std::mutex> lock(lock_);
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
        status == 0) {
      ::SetLastError(kErrorHttpInvalidServerResponse);
      return false;
    }
    return true;
  }

  bool FtpSetCurrentDirectoryA(HInternet connection, const std::string& directory) override {
    return ::FtpSetCurrentDirectoryA(H(connection), directory.c_str()) != 0;
  }

  bool FtpCreateDirectoryA(HInternet connection, const std::string& directory) override {
    return ::FtpCreateDirectoryA(H(connection), directory.c_str()) != 0;
  }

  HInternet FtpFindFirstFileA(HInternet connection, const std::string& searchFile, FtpFindData* data,
                              std::uint32_t flags, std::uintptr_t context) override {
    WIN32_FIND_DATAA fd{};
    HINTERNET h = ::FtpFindFirstFileA(H(connection), searchFile.c_str(), &fd, flags, context);
    if (h && data) {
      data->attributes = fd.dwFileAttributes;
      data->lastWriteTime =
          (static_cast<std::uint64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
      data->sizeHigh = fd.nFileSizeHigh;
      data->sizeLow = fd.nFileSizeLow;
      data->fileName = fd.cFileName;
    }
    return h;
  }

  HInternet FtpOpenFileA(HInternet connection, const std::string& fileName, std::uint32_t access,
                         std::uint32_t flags, std::uintptr_t context) override {
    return ::FtpOpenFileA(H(connection), fileName.c_str(), access, flags, context);
  }

  std::uint32_t GetLastError() override { return ::GetLastError(); }

  // The library's message table through its module handle (loaded already, not
  // loaded anew), into a fixed buffer of 256 bytes: a text that does not fit counts
  // as no text. The text is returned as the system wrote it, its closing line
  // break included. Inserts are left as they stand, since no arguments are passed.
  std::string FormatMessageText(std::uint32_t code) override {
    char buf[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                               ::GetModuleHandleA("wininet.dll"), code, 0, buf, sizeof buf, nullptr);
    return n ? std::string(buf, n) : std::string();
  }

 private:
  // The time limits set on internet handles, for the requests opened through them.
  std::mutex limitsLock_;
  std::map<HInternet, RequestLimits> limits_;

  // The announced length of an upload's body and the bytes written so far.
  struct Body {
    std::uint32_t announced;
    std::uint32_t written;
  };

  // Forgets an upload request; true when its body was not sent whole.
  bool Forget(HInternet h) {
    std::lock_guard<std::mutex> lock(lock_);
    auto body = bodies_.find(h);
    if (body == bodies_.end()) return false;
    const bool incomplete = body->second.written < body->second.announced;
    bodies_.erase(body);
    return incomplete;
  }

  std::mutex lock_;
  std::map<HInternet, Body> bodies_;
};

}  // namespace

template <> Internet& SystemInstance<Internet>() {
  static Win32Internet* instance = new Win32Internet;
  return *instance;
}

}  // namespace plat
