// Linux implementation of the internet seam over libcurl. Handles are objects of
// ours; the internet handle owns the curl multi handle of one run, so connections
// are reused between its requests. Only code specific to the libcurl stand-in for
// WinINet lives here; libcurl's errors become WinINet numbers in ErrorFromCurl alone.
#include "platform/Internet.h"
#include "platform/posix/InternetErrors.h"

#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace plat {
namespace {

thread_local std::uint32_t lastError = 0;

// Error numbers of the system and of WinINet that only this file reports.
constexpr std::uint32_t kErrorInvalidHandleValue = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorInternetInvalidOption = 12009;
constexpr std::uint32_t kErrorInternetBadOptionLength = 12010;
constexpr std::uint32_t kErrorInternetInvalidCa = 12045;
constexpr std::uint32_t kErrorHttpHeaderNotFound = 12150;
constexpr std::uint32_t kErrorHttpRedirectFailed = 12156;
constexpr std::uint32_t kErrorInternetSecurityChannelError = 12157;

// Request flags that change what is sent.
constexpr std::uint32_t kInternetFlagNoAutoRedirect = 0x00200000u;
constexpr std::uint32_t kInternetFlagPragmaNoCache = 0x00000100u;

// WinINet's default limits until InternetSetOptionA changes them: 60 s to connect,
// 30 s for each wait for the next bytes of an answer.
constexpr std::uint32_t kDefaultConnectTimeoutMs = 60000;
constexpr std::uint32_t kDefaultReceiveTimeoutMs = 30000;
constexpr int kMaxRedirects = 20;

// The body is pulled on demand: libcurl hands over up to kCurlBlock bytes at a
// time, and the transfer pauses while the request holds about kBufferLimit bytes
// that the caller has not read yet.
constexpr long kCurlBlock = 64 * 1024;
constexpr std::size_t kBufferLimit = 4 * kCurlBlock;

bool Fail(std::uint32_t code) {
  lastError = code;
  return false;
}

std::nullptr_t FailHandle(std::uint32_t code) {
  lastError = code;
  return nullptr;
}

// The one place where libcurl's results become WinINet error numbers.
std::uint32_t ErrorFromCurl(CURLcode code, long osErrno) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_UNSUPPORTED_PROTOCOL: return kErrorInternetUnrecognizedScheme;
    case CURLE_URL_MALFORMAT: return kErrorInternetInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kErrorInternetTimeout;
    case CURLE_PARTIAL_FILE: return kErrorInternetConnectionAborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return osErrno == ECONNRESET || osErrno == EPIPE ? kErrorInternetConnectionReset
                                                        : kErrorInternetConnectionAborted;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING: return kErrorHttpInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return kErrorHttpRedirectFailed;
    case CURLE_PEER_FAILED_VERIFICATION: return kErrorInternetInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return kErrorInternetSecurityChannelError;
    case CURLE_LOGIN_DENIED: return kErrorInternetLoginFailure;
    case CURLE_ABORTED_BY_CALLBACK: return kErrorInternetOperationCancelled;
    case CURLE_OUT_OF_MEMORY: return kErrorNotEnoughMemory;
    default: return kErrorInternetInternalError;
  }
}

enum class Kind { Session, Request };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Kind kind;
};

// Every handle we gave out and did not close yet, so that a stale or foreign
// handle fails like in WinINet instead of being followed.
std::mutex registryLock;
std::unordered_set<Handle*> registry;

void Register(Handle* h) {
  std::lock_guard<std::mutex> lock(registryLock);
  registry.insert(h);
}

bool Unregister(Handle* h) {
  std::lock_guard<std::mutex> lock(registryLock);
  return registry.erase(h) == 1;
}

Handle* Lookup(HInternet h) {
  std::lock_guard<std::mutex> lock(registryLock);
  auto* p = static_cast<Handle*>(h);
  return registry.count(p) ? p : nullptr;
}

struct Request;

// The internet handle: agent, proxy settings, and the multi handle that carries the
// transfers of one run and keeps their connections for the next request.
struct Session final : Handle {
  Session() : Handle(Kind::Session) {}
  ~Session() override;

  CURL* TakeEasy() {
    CURL* e = spare;
    spare = nullptr;
    return e ? e : curl_easy_init();
  }
  void ReturnEasy(CURL* e) {
    if (spare) {
      curl_easy_cleanup(e);
    } else {
      curl_easy_reset(e);
      spare = e;
    }
  }

  std::string agent;
  std::uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;
  std::uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  std::uint32_t accessType = kInternetOpenTypePreconfig;
  std::string proxy;
  std::string proxyBypass;
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  CURL* spare = nullptr;
  std::set<Request*> requests;
};

// A request opened by InternetOpenUrlA: the transfer, the response headers of the
// final answer, and the body bytes received but not read yet.
struct Request final : Handle {
  explicit Request(Session* s) : Handle(Kind::Request), session(s) {}
  ~Request() override {
    Detach();
    curl_slist_free_all(headers);
  }

  // Ends the transfer; the request stays a valid handle that fails every call.
  void Detach() {
    if (!session) return;
    curl_multi_remove_handle(session->multi, easy);
    session->ReturnEasy(easy);
    session->requests.erase(this);
    session = nullptr;
    easy = nullptr;
  }

  // Ends the transfer with a failure of our own (a timeout); its connection is
  // closed, never reused.
  void Abort(CURLcode code) {
    if (session) curl_multi_remove_handle(session->multi, easy);
    done = true;
    result = code;
  }

  std::size_t Buffered() const { return end - begin; }

  // The value of the final answer's first header of that name.
  const std::string* Header(std::string_view name) const;

  Session* session;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  bool followRedirects = true;
  std::uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  // Bytes of headers and body taken from libcurl so far: what the receive time limit watches.
  std::uint64_t arrived = 0;

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

  bool done = false;
  CURLcode result = CURLE_OK;
  long osErrno = 0;
};

Session::~Session() {
  // Closing the internet handle ends its requests, as in WinINet; their handles
  // stay valid until closed and fail every other call.
  while (!requests.empty()) (*requests.begin())->Detach();
  if (spare) curl_easy_cleanup(spare);
  if (multi) curl_multi_cleanup(multi);
  if (share) curl_share_cleanup(share);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// WinINet escapes what may not stand in a URL (a space in a file name, 8-bit
// bytes); libcurl refuses such URLs, so they are escaped here the same way. Like
// WinINet, a backslash before the query is sent as '/': "base/sub\a.cab" asks for
// "base/sub/a.cab" on both targets.
std::string EscapeUrl(const std::string& url) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  bool inQuery = false;
  for (char ch : url) {
    auto c = static_cast<unsigned char>(ch);
    if (ch == '?' || ch == '#') inQuery = true;
    if (ch == '\\' && !inQuery) {
      out += '/';
    } else if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

const std::string* Request::Header(std::string_view name) const {
  for (const auto& [n, v] : responseHeaders)
    if (EqualsNoCase(n, name)) return &v;
  return nullptr;
}

size_t OnHeader(char* data, size_t size, size_t n, void* userp) {
  auto* r = static_cast<Request*>(userp);
  const size_t len = size * n;
  r->arrived += len;
  std::string_view line(data, len);
  if (StartsWithNoCase(line, "http/")) {
    // A new response: after a followed redirect only the last one counts.
    r->headersComplete = false;
    r->sawLocation = false;
    r->responseHeaders.clear();
    return len;
  }
  line = Trim(line);
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
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
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
  r->arrived += len;
  return len;
}

// Marks the transfers of the session that libcurl reports as finished.
void CollectDone(Session& s) {
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(s.multi, &left)) {
    if (m->msg != CURLMSG_DONE) continue;
    Request* q = nullptr;
    curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&q));
    if (!q) continue;
    q->done = true;
    q->result = m->data.result;
    if (q->result != CURLE_OK) curl_easy_getinfo(m->easy_handle, CURLINFO_OS_ERRNO, &q->osErrno);
  }
}

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Connected and the request on its way: from here on the receive time limit holds.
bool Connected(const Request& r) {
  curl_off_t pre = 0;
  return curl_easy_getinfo(r.easy, CURLINFO_PRETRANSFER_TIME_T, &pre) == CURLE_OK && pre > 0;
}

// Runs the session's transfers until ready() holds or the request has ended. Like
// WinINet's receive time limit, a wait in which no byte of the answer arrives for
// receiveTimeoutMs ends the request with a timeout; connecting has its own limit
// (CURLOPT_CONNECTTIMEOUT_MS).
template <class Ready> void Drive(Request& r, Ready ready) {
  Session& s = *r.session;
  std::uint64_t seen = r.arrived;
  std::uint64_t last = NowMs();
  while (!ready() && !r.done) {
    int running = 0;
    const CURLMcode mc = curl_multi_perform(s.multi, &running);
    CollectDone(s);
    if (ready() || r.done) return;
    if (mc != CURLM_OK) {
      r.done = true;
      r.result = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
      return;
    }
    const std::uint64_t now = NowMs();
    long wait = 1000;
    if (r.arrived != seen || !Connected(r)) {
      seen = r.arrived;
      last = now;
    } else if (r.receiveTimeoutMs != 0) {
      if (now - last >= r.receiveTimeoutMs) {
        r.Abort(CURLE_OPERATION_TIMEDOUT);
        return;
      }
      wait = static_cast<long>(std::min<std::uint64_t>(1000, r.receiveTimeoutMs - (now - last)));
    }
    curl_multi_poll(s.multi, nullptr, 0, static_cast<int>(wait), nullptr);
  }
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

// The extra request headers: lines separated by CR LF; empty lines (the closing
// CR LF CR LF of the caller's text) are dropped.
curl_slist* ParseHeaders(const char* headers, std::uint32_t length) {
  curl_slist* list = nullptr;
  if (!headers || length == 0) return list;
  if (length == 0xFFFFFFFFu) length = static_cast<std::uint32_t>(std::strlen(headers));
  std::string_view text(headers, length);
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\0')) line.remove_suffix(1);
    if (line.empty() || line.find(':') == std::string_view::npos) continue;
    list = curl_slist_append(list, std::string(line).c_str());
  }
  return list;
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
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://"))
      return FailHandle(kErrorInternetUnrecognizedScheme);

    auto r = std::make_unique<Request>(session);
    r->receiveTimeoutMs = session->receiveTimeoutMs;
    r->easy = session->TakeEasy();
    if (!r->easy) return FailHandle(kErrorNotEnoughMemory);
    session->requests.insert(r.get());
    r->followRedirects = (flags & kInternetFlagNoAutoRedirect) == 0;
    r->headers = ParseHeaders(headers, headersLength);
    // Nothing comes from a cache here; a reload also tells caches on the way.
    if (flags & (kInternetFlagReload | kInternetFlagPragmaNoCache)) {
      r->headers = curl_slist_append(r->headers, "Pragma: no-cache");
      r->headers = curl_slist_append(r->headers, "Cache-Control: no-cache");
    }

    CURL* e = r->easy;
    curl_easy_setopt(e, CURLOPT_URL, EscapeUrl(url).c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, r.get());
    curl_easy_setopt(e, CURLOPT_SHARE, session->share);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r->followRedirects ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    if (!session->agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, session->agent.c_str());
    if (r->headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, r.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, r.get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBlock);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(session->connectTimeoutMs));
    // Proxy: PRECONFIG leaves libcurl to read http_proxy, https_proxy and no_proxy
    // (the system's settings on Linux); PROXY names it; DIRECT uses none.
    if (session->accessType == kInternetOpenTypeProxy) {
      curl_easy_setopt(e, CURLOPT_PROXY, session->proxy.c_str());
      if (!session->proxyBypass.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, session->proxyBypass.c_str());
    } else if (session->accessType == kInternetOpenTypeDirect) {
      curl_easy_setopt(e, CURLOPT_PROXY, "");
    }

    if (curl_multi_add_handle(session->multi, e) != CURLM_OK) {
      r->Detach();
      return FailHandle(kErrorInternetInternalError);
    }
    Drive(*r, [&] { return r->headersComplete; });
    if (!r->headersComplete) {
      const std::uint32_t code =
          r->done && r->result != CURLE_OK ? ErrorFromCurl(r->result, r->osErrno) : kErrorHttpInvalidServerResponse;
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
    if (p->kind != Kind::Request) return Fail(kErrorInternetIncorrectHandleType);
    if (!buffer || !length) return Fail(kErrorInvalidParameter);
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

  // The time limits, on the internet handle (for the requests opened after) or on a
  // request (for its next waits). Sending a request is part of the wait for its
  // answer here, so the send limit is accepted and has no effect of its own.
  bool InternetSetOptionA(HInternet h, std::uint32_t option, const void* buffer, std::uint32_t length) override {
    Handle* p = Lookup(h);
    if (!p) return Fail(kErrorInvalidHandleValue);
    if (option != kInternetOptionConnectTimeout && option != kInternetOptionReceiveTimeout &&
        option != kInternetOptionSendTimeout)
      return Fail(kErrorInternetInvalidOption);
    if (!buffer || length < sizeof(std::uint32_t)) return Fail(kErrorInternetBadOptionLength);
    std::uint32_t ms = 0;
    std::memcpy(&ms, buffer, sizeof ms);
    if (p->kind == Kind::Session) {
      auto* s = static_cast<Session*>(p);
      if (option == kInternetOptionConnectTimeout) s->connectTimeoutMs = ms;
      if (option == kInternetOptionReceiveTimeout) s->receiveTimeoutMs = ms;
    } else if (option == kInternetOptionReceiveTimeout) {
      static_cast<Request*>(p)->receiveTimeoutMs = ms;
    }
    return true;
  }

  // The upload and FTP operations come with those transfers.
  HInternet InternetConnectA(HInternet, const std::string&, std::uint16_t, const std::string&, const std::string&,
                             std::uint32_t, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  HInternet HttpOpenRequestA(HInternet, const std::string&, const std::string&, const std::string&,
                             const std::string&, const char* const*, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  bool HttpSendRequestExA(HInternet, const InternetBuffers*, std::uint32_t, std::uintptr_t) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool InternetWriteFile(HInternet, const void*, std::uint32_t, std::uint32_t* written) override {
    *written = 0;
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool HttpEndRequestA(HInternet, std::uint32_t, std::uintptr_t) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool FtpSetCurrentDirectoryA(HInternet, const std::string&) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool FtpCreateDirectoryA(HInternet, const std::string&) override { return Fail(kErrorInternetIncorrectHandleType); }
  HInternet FtpFindFirstFileA(HInternet, const std::string&, FtpFindData*, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  HInternet FtpOpenFileA(HInternet, const std::string&, std::uint32_t, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }

  std::uint32_t GetLastError() override { return lastError; }
  std::string FormatMessageText(std::uint32_t code) override { return InternetErrorMessage(code); }

 private:
  HInternet NotBuilt() { return FailHandle(kErrorInternetIncorrectHandleType); }
};

}  // namespace

template <> Internet& SystemInstance<Internet>() {
  static CurlInternet* instance = new CurlInternet;
  return *instance;
}

}  // namespace plat
