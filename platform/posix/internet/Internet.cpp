// Linux implementation of the internet seam over libcurl. Handles are objects of
// ours; the internet handle owns the curl multi handle of one run, so connections
// are reused between its requests. Only code specific to the libcurl stand-in for
// WinINet lives here: the downloads in this file, the uploads in InternetUpload.cpp,
// what they share in CurlSession.cpp, where libcurl's errors become WinINet numbers
// in ErrorFromCurl alone.
#include "platform/Internet.h"

#include "base/Text.h"
#include "platform/InternetErrors.h"
#include "platform/posix/internet/CurlSession.h"
#include "platform/posix/internet/InternetFtp.h"
#include "platform/posix/internet/InternetUpload.h"

#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {
namespace {

using namespace curlnet;

constexpr std::uint32_t kErrorInternetInvalidOption = 12009;
constexpr std::uint32_t kErrorInternetBadOptionLength = 12010;

// Request flags that change what is sent.
constexpr std::uint32_t kInternetFlagPragmaNoCache = 0x00000100u;

constexpr int kMaxRedirects = 20;

// The body is pulled on demand: libcurl hands over up to kCurlBlock bytes at a
// time, and the transfer pauses while the request holds about kBufferLimit bytes
// that the caller has not read yet.
constexpr long kCurlBlock = 64 * 1024;
constexpr std::size_t kBufferLimit = 4 * kCurlBlock;

// A request opened by InternetOpenUrlA: the transfer, the response headers of the
// final answer, and the body bytes received but not read yet.
struct Request final : Transfer {
  explicit Request(Session* s) : Transfer(Kind::Request, s) {}
  ~Request() override {
    Detach();
    curl_slist_free_all(headers);
  }

  std::size_t Buffered() const { return end - begin; }

  // The value of the final answer's first header of that name.
  const std::string* Header(std::string_view name) const;

  curl_slist* headers = nullptr;
  bool followRedirects = true;

  // Response state, reset by every status line (a followed redirect starts anew).
  bool headersComplete = false;
  bool sawLocation = false;
  std::uint32_t status = 0;
  std::vector<std::pair<std::string, std::string>> responseHeaders;

  // Body bytes in buffer[begin, end).
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool paused = false;
};

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && nolt::StartsWithNoCase(a, b); }

const std::string* Request::Header(std::string_view name) const {
  for (const auto& [n, v] : responseHeaders)
    if (EqualsNoCase(n, name)) return &v;
  return nullptr;
}

size_t OnHeader(char* data, size_t size, size_t n, void* userp) {
  auto* r = static_cast<Request*>(userp);
  const size_t len = size * n;
  std::string_view line(data, len);
  if (nolt::StartsWithNoCase(line, "http/")) {
    // A new response: after a followed redirect only the last one counts.
    r->headersComplete = false;
    r->sawLocation = false;
    r->responseHeaders.clear();
    return len;
  }
  line = nolt::TrimView(line);
  if (line.empty()) {
    long code = 0;
    curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
    const bool interim = code >= 100 && code < 200;
    const bool redirect = r->followRedirects && r->sawLocation && code >= 300 && code < 400 && code != 304;
    if (!interim && !redirect) {
      r->status = static_cast<std::uint32_t>(code);
      r->headersComplete = true;
    }
    return len;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return len;
  const std::string_view name = nolt::TrimView(line.substr(0, colon));
  const std::string_view value = nolt::TrimView(line.substr(colon + 1));
  if (EqualsNoCase(name, "location")) r->sawLocation = true;
  r->responseHeaders.emplace_back(name, value);
  return len;
}

size_t OnBody(char* data, size_t size, size_t n, void* userp) {
  auto* r = static_cast<Request*>(userp);
  const size_t len = size * n;
  if (r->Buffered() > 0 && r->Buffered() + len > kBufferLimit) {
    // Enough waiting already: libcurl keeps this piece and stops reading the
    // socket until InternetReadFile has emptied the buffer.
    r->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r->begin == r->end) r->begin = r->end = 0;
  if (r->end + len > r->capacity) {
    if (r->begin > 0) {
      std::memmove(r->buffer.get(), r->buffer.get() + r->begin, r->Buffered());
      r->end -= r->begin;
      r->begin = 0;
    }
    if (r->end + len > r->capacity) {
      const std::size_t capacity = std::max(kBufferLimit + kCurlBlock, r->end + len);
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
      if (r->end > 0) std::memcpy(bigger.get(), r->buffer.get(), r->end);
      r->buffer = std::move(bigger);
      r->capacity = capacity;
    }
  }
  std::memcpy(r->buffer.get() + r->end, data, len);
  r->end += len;
  return len;
}

// Waits until body bytes can be read, the body has ended or the request failed.
// False with the error number set on failure; bytes that arrived before a failure
// are delivered first.
bool AwaitBody(Request& r) {
  for (;;) {
    if (r.Buffered() > 0) return true;
    if (!r.session) return Fail(kErrorInvalidHandleValue);
    if (r.done) return r.result == CURLE_OK || Fail(ErrorFromCurl(r.result, r.osErrno));
    if (r.paused) {
      // Delivers the piece libcurl held back, then reading the socket goes on.
      r.paused = false;
      curl_easy_pause(r.easy, CURLPAUSE_CONT);
      continue;
    }
    Drive(r, [&r] { return r.Buffered() > 0 || r.paused; });
  }
}

bool SystemTimeFromHttpDate(const std::string& text, SystemTime* st) {
  const time_t t = curl_getdate(text.c_str(), nullptr);
  if (t == -1) return false;
  struct tm tm;
  if (!gmtime_r(&t, &tm)) return false;
  st->wYear = static_cast<std::uint16_t>(tm.tm_year + 1900);
  st->wMonth = static_cast<std::uint16_t>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
  st->wDay = static_cast<std::uint16_t>(tm.tm_mday);
  st->wHour = static_cast<std::uint16_t>(tm.tm_hour);
  st->wMinute = static_cast<std::uint16_t>(tm.tm_min);
  st->wSecond = static_cast<std::uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  st->wMilliseconds = 0;
  return true;
}

class CurlInternet final : public Internet {
 public:
  CurlInternet() { curl_global_init(CURL_GLOBAL_DEFAULT); }

  HInternet InternetOpenA(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                          const std::string& proxyBypass, std::uint32_t) override {
    auto s = std::make_unique<Session>();
    s->agent = agent;
    s->accessType = accessType;
    s->proxy = proxy;
    s->proxyBypass = proxyBypass;
    s->multi = curl_multi_init();
    s->share = curl_share_init();
    if (!s->multi || !s->share) return FailHandle(kErrorInternetInternalError);
    // The multi handle keeps connections and name lookups between requests; the
    // share adds the TLS sessions.
    curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    Register(s.get());
    return static_cast<Handle*>(s.release());
  }

  bool InternetCloseHandle(HInternet h) override {
    auto* p = static_cast<Handle*>(h);
    if (!p || !Unregister(p)) return Fail(kErrorInvalidHandleValue);
    if (p->kind == Kind::FtpFile) return FtpCloseFile(p);
    delete p;
    return true;
  }

  HInternet InternetOpenUrlA(HInternet internet, const std::string& url, const char* headers,
                             std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t) override {
    Handle* h = Lookup(internet);
    if (!h) return FailHandle(kErrorInvalidHandleValue);
    if (h->kind != Kind::Session) return FailHandle(kErrorInternetIncorrectHandleType);
    auto* session = static_cast<Session*>(h);
    if (url.find("://") == std::string::npos) return FailHandle(kErrorInternetInvalidUrl);
    if (!nolt::StartsWithNoCase(url, "http://") && !nolt::StartsWithNoCase(url, "https://"))
      return FailHandle(kErrorInternetUnrecognizedScheme);

    auto r = std::make_unique<Request>(session);
    r->easy = session->TakeEasy();
    if (!r->easy) return FailHandle(kErrorNotEnoughMemory);
    session->transfers.insert(r.get());
    r->followRedirects = (flags & kInternetFlagNoAutoRedirect) == 0;
    r->headers = ParseHeaders(headers, headersLength);
    // Nothing comes from a cache here; a reload also tells caches on the way.
    if (flags & (kInternetFlagReload | kInternetFlagPragmaNoCache)) {
      r->headers = curl_slist_append(r->headers, "Pragma: no-cache");
      r->headers = curl_slist_append(r->headers, "Cache-Control: no-cache");
    }

    CURL* e = r->easy;
    curl_easy_setopt(e, CURLOPT_URL, EscapeUrl(url).c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, static_cast<Transfer*>(r.get()));
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r->followRedirects ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    if (r->headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, r.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, r.get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBlock);

    if (!r->Start()) {
      r->Detach();
      return FailHandle(kErrorInternetInternalError);
    }
    Drive(*r, [&] { return r->headersComplete; });
    if (!r->headersComplete) {
      const std::uint32_t code = ErrorOf(*r, kErrorHttpInvalidServerResponse);
      r.reset();
      return FailHandle(code);
    }
    Register(r.get());
    return static_cast<Handle*>(r.release());
  }

  // Header values answer index 0 only (a response carries one of each), and a
  // success moves the index on to the next header of the name, as in WinINet.
  bool HttpQueryInfoA(HInternet h, std::uint32_t infoLevel, void* buffer, std::uint32_t* length,
                      std::uint32_t* index) override {
    Handle* p = Lookup(h);
    if (!p) return Fail(kErrorInvalidHandleValue);
    if (!buffer || !length) return Fail(kErrorInvalidParameter);
    if (p->kind == Kind::Upload) {
      std::string value;
      return UploadAnswer(h, infoLevel, &value) && Answer(value, infoLevel, buffer, length);
    }
    if (p->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
    auto* r = static_cast<Request*>(p);

    std::string value;
    const char* name = nullptr;
    switch (infoLevel & 0xFFFFu) {
      case kHttpQueryStatusCode: value = std::to_string(r->status); break;
      case kHttpQueryContentLength: name = "content-length"; break;
      case kHttpQueryLastModified: name = "last-modified"; break;
      case kHttpQueryContentRange: name = "content-range"; break;
      case kHttpQueryETag: name = "etag"; break;
      default: return Fail(kErrorHttpHeaderNotFound);
    }
    const std::string* header = name ? r->Header(name) : nullptr;
    if (name) {
      if (!header || (index && *index != 0)) return Fail(kErrorHttpHeaderNotFound);
      value = *header;
    }
    if (!Answer(value, infoLevel, buffer, length)) return false;
    if (header && index) ++*index;
    return true;
  }

  // Writes a value in the form the query asks for: a number, a calendar record or text.
  static bool Answer(const std::string& value, std::uint32_t infoLevel, void* buffer, std::uint32_t* length) {
    if (infoLevel & kHttpQueryFlagNumber) {
      if (*length < sizeof(std::uint32_t)) {
        *length = sizeof(std::uint32_t);
        return Fail(kErrorInsufficientBuffer);
      }
      const auto number = static_cast<std::uint32_t>(std::strtoull(value.c_str(), nullptr, 10));
      std::memcpy(buffer, &number, sizeof number);
      *length = sizeof number;
      return true;
    }
    if (infoLevel & kHttpQueryFlagSystemTime) {
      if (*length < sizeof(SystemTime)) {
        *length = sizeof(SystemTime);
        return Fail(kErrorInsufficientBuffer);
      }
      SystemTime st;
      if (!SystemTimeFromHttpDate(value, &st)) return Fail(kErrorHttpHeaderNotFound);
      std::memcpy(buffer, &st, sizeof st);
      *length = sizeof st;
      return true;
    }
    if (*length < value.size() + 1) {
      *length = static_cast<std::uint32_t>(value.size() + 1);
      return Fail(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    *length = static_cast<std::uint32_t>(value.size());
    return true;
  }

  bool InternetReadFile(HInternet h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    Handle* p = Lookup(h);
    if (!p) return Fail(kErrorInvalidHandleValue);
    if (p->kind == Kind::FtpFile) return FtpRead(p, buffer, count, read);
    if (p->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
    auto* r = static_cast<Request*>(p);
    // Like WinINet's synchronous read, the call fills the whole count unless the body
    // ends first. Bytes that arrived before a failure are delivered first; the next
    // call reports the failure.
    if (count == 0) return true;
    auto* out = static_cast<char*>(buffer);
    std::uint32_t got = 0;
    while (got < count) {
      if (!AwaitBody(*r)) {
        if (got) break;
        return false;
      }
      const std::size_t avail = r->Buffered();
      if (avail == 0) break;  // the end of the body
      const std::size_t n = avail < count - got ? avail : count - got;
      std::memcpy(out + got, r->buffer.get() + r->begin, n);
      r->begin += n;
      got += static_cast<std::uint32_t>(n);
    }
    *read = got;
    return true;
  }

  bool InternetQueryDataAvailable(HInternet h, std::uint32_t* available, std::uint32_t, std::uintptr_t) override {
    *available = 0;
    Handle* p = Lookup(h);
    if (!p) return Fail(kErrorInvalidHandleValue);
    if (p->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
    auto* r = static_cast<Request*>(p);
    if (!AwaitBody(*r)) return false;
    *available = static_cast<std::uint32_t>(std::min<std::size_t>(r->Buffered(), 0xFFFFFFFFu));
    return true;
  }

  // The time limits, on the internet handle, for the transfers started after. A
  // wait for an answer, and sending a request, have one limit here (libcurl's low
  // speed limit), so the send limit is accepted and has no effect of its own.
  bool InternetSetOptionA(HInternet h, std::uint32_t option, const void* buffer, std::uint32_t length) override {
    Handle* p = Lookup(h);
    if (!p) return Fail(kErrorInvalidHandleValue);
    if (option != kInternetOptionConnectTimeout && option != kInternetOptionReceiveTimeout &&
        option != kInternetOptionSendTimeout)
      return Fail(kErrorInternetInvalidOption);
    if (!buffer || length < sizeof(std::uint32_t)) return Fail(kErrorInternetBadOptionLength);
    if (p->kind != Kind::Session) return true;
    std::uint32_t ms = 0;
    std::memcpy(&ms, buffer, sizeof ms);
    auto* s = static_cast<Session*>(p);
    if (option == kInternetOptionConnectTimeout) s->connectTimeoutMs = ms;
    if (option == kInternetOptionReceiveTimeout) s->receiveTimeoutMs = ms;
    return true;
  }

  HInternet InternetConnectA(HInternet internet, const std::string& server, std::uint16_t port,
                             const std::string& user, const std::string& password, std::uint32_t service,
                             std::uint32_t flags, std::uintptr_t) override {
    // HTTP connections take no credentials here: the transfer engine sends none.
    if (service == kInternetServiceHttp) return ConnectHttp(internet, server, port, flags);
    if (service == kInternetServiceFtp) return ConnectFtp(internet, server, port, user, password, flags);
    return FailHandle(kErrorInvalidParameter);
  }
  HInternet HttpOpenRequestA(HInternet connection, const std::string& verb, const std::string& object,
                             const std::string&, const std::string&, const char* const*, std::uint32_t flags,
                             std::uintptr_t) override {
    return OpenUpload(connection, verb, object, flags);
  }
  bool HttpSendRequestExA(HInternet request, const InternetBuffers* buffersIn, std::uint32_t,
                          std::uintptr_t) override {
    return SendUpload(request, buffersIn);
  }
  bool InternetWriteFile(HInternet request, const void* buffer, std::uint32_t count,
                         std::uint32_t* written) override {
    if (Handle* p = Lookup(request); p && p->kind == Kind::FtpFile) return FtpWrite(p, buffer, count, written);
    return WriteUpload(request, buffer, count, written);
  }
  bool HttpEndRequestA(HInternet request, std::uint32_t, std::uintptr_t) override { return EndUpload(request); }
  bool FtpSetCurrentDirectoryA(HInternet connection, const std::string& directory) override {
    return FtpChangeDirectory(connection, directory);
  }
  bool FtpCreateDirectoryA(HInternet connection, const std::string& directory) override {
    return FtpMakeDirectory(connection, directory);
  }
  HInternet FtpFindFirstFileA(HInternet connection, const std::string& searchFile, FtpFindData* data, std::uint32_t,
                              std::uintptr_t) override {
    return FtpFind(connection, searchFile, data);
  }
  HInternet FtpOpenFileA(HInternet connection, const std::string& fileName, std::uint32_t access,
                         std::uint32_t flags, std::uintptr_t) override {
    return FtpOpen(connection, fileName, access, flags);
  }

  bool InternetGetLastResponseInfoA(std::string* reply) override { return LastFtpReply(reply); }
  std::uint32_t GetLastError() override { return LastError(); }
  std::string FormatMessageText(std::uint32_t code) override { return InternetErrorMessage(code); }
};

}  // namespace

template <> Internet& SystemInstance<Internet>() {
  static CurlInternet* instance = new CurlInternet;
  return *instance;
}

}  // namespace plat
