// HTTP uploads over libcurl's multi interface, shaped like WinINet's: a connection
// names the server, a request is opened, started with the body length announced,
// fed block by block, and ended. The body passes through a small ring of bytes that
// libcurl's read callback drains; while the ring is empty the transfer is paused,
// and a write that finds it full drives the transfer until libcurl has taken some.
// So the body is never held in memory, and a 4 KiB block costs a copy, not a
// system call. Must contain only code of the POSIX internet implementation.
#include "platform/posix/internet/InternetUpload.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/Text.h"
#include "platform/posix/internet/CurlSession.h"

namespace plat::curlnet {
namespace {

// The ring holds two of libcurl's upload buffers, so that one can be filled while
// libcurl sends the other.
constexpr long kCurlUploadBlock = 256 * 1024;
constexpr std::size_t kRingSize = 2 * kCurlUploadBlock;

// The server and port that HTTP requests of this connection go to.
struct Connection final : Handle {
  Connection() : Handle(Kind::Connection) {}
  HInternet internet = nullptr;  // looked up again for every request: it may be closed first
  std::string server;
  std::uint16_t port = 0;
  bool secure = false;
};

struct Upload final : Transfer {
  explicit Upload(Session* s) : Transfer(Kind::Upload, s) {}
  ~Upload() override {
    Detach();
    curl_slist_free_all(headers);
  }

  enum class State { Opened, Sending, Ended };

  std::size_t Free() const { return kRingSize - held; }
  // Copies up to count bytes into the ring; returns how many fitted.
  std::size_t Put(const char* data, std::size_t count) {
    const std::size_t n = std::min(count, Free());
    const std::size_t tail = (head + held) % kRingSize;
    const std::size_t first = std::min(n, kRingSize - tail);
    std::memcpy(ring.get() + tail, data, first);
    std::memcpy(ring.get(), data + first, n - first);
    held += n;
    return n;
  }
  std::size_t Take(char* out, std::size_t room) {
    const std::size_t n = std::min(room, held);
    const std::size_t first = std::min(n, kRingSize - head);
    std::memcpy(out, ring.get() + head, first);
    std::memcpy(out + first, ring.get(), n - first);
    head = (head + n) % kRingSize;
    held -= n;
    return n;
  }
  // Lets libcurl ask for body bytes again after the read callback paused it.
  void Resume() {
    if (!paused) return;
    paused = false;
    curl_easy_pause(easy, CURLPAUSE_CONT);
  }

  State state = State::Opened;
  std::string url;
  std::string verb;
  curl_slist* headers = nullptr;
  std::uint64_t total = 0;  // announced
  std::uint64_t given = 0;  // accepted by InternetWriteFile
  std::unique_ptr<char[]> ring;
  std::size_t head = 0;
  std::size_t held = 0;
  bool paused = false;
  bool requestGoing = false;    // connected, the request is being sent
  bool answerStarted = false;   // the status line and headers of the final answer are in
  std::uint32_t status = 0;     // the final answer's status and Location
  std::string location;
};

int OnPrereq(void* userp, char*, char*, int, int) {
  static_cast<Upload*>(userp)->requestGoing = true;
  return CURL_PREREQFUNC_OK;
}

size_t OnRead(char* buffer, size_t size, size_t n, void* userp) {
  auto* u = static_cast<Upload*>(userp);
  if (u->held == 0) {
    // Everything announced has been handed over: the end. Otherwise wait for the
    // next InternetWriteFile.
    if (u->given == u->total) return 0;
    u->paused = true;
    return CURL_READFUNC_PAUSE;
  }
  return u->Take(buffer, size * n);
}

size_t OnHeader(char* data, size_t size, size_t n, void* userp) {
  auto* u = static_cast<Upload*>(userp);
  const size_t len = size * n;
  const std::string_view line = nolt::TrimView(std::string_view(data, len));
  if (nolt::StartsWithNoCase(line, "http/")) {
    u->location.clear();  // a new answer
    return len;
  }
  if (!line.empty()) {
    if (nolt::StartsWithNoCase(line, "location:")) u->location = std::string(nolt::TrimView(line.substr(9)));
    return len;
  }
  long code = 0;
  curl_easy_getinfo(u->easy, CURLINFO_RESPONSE_CODE, &code);
  if (code >= 200) {  // 100 Continue and the like are interim
    u->answerStarted = true;
    u->status = static_cast<std::uint32_t>(code);
  }
  return len;
}

// The answer's body is of no interest to an upload.
size_t OnBody(char*, size_t size, size_t n, void*) { return size * n; }

Upload* FindUpload(HInternet h) {
  Handle* p = Lookup(h);
  if (!p) {
    Fail(kErrorInvalidHandleValue);
    return nullptr;
  }
  if (p->kind != Kind::Upload) {
    Fail(kErrorInternetIncorrectHandleType);
    return nullptr;
  }
  return static_cast<Upload*>(p);
}

// An upload that has ended before its body was all given: the server answered
// early, or the connection failed.
bool FailEnded(Upload& u) { return Fail(ErrorOf(u, kErrorInternetConnectionAborted)); }

}  // namespace

HInternet ConnectHttp(HInternet internet, const std::string& server, std::uint16_t port, std::uint32_t flags) {
  Handle* h = Lookup(internet);
  if (!h) return FailHandle(kErrorInvalidHandleValue);
  if (h->kind != Kind::Session) return FailHandle(kErrorInternetIncorrectHandleType);
  if (server.empty()) return FailHandle(kErrorInternetInvalidUrl);
  auto c = std::make_unique<Connection>();
  c->internet = internet;
  c->server = server;
  c->secure = (flags & kInternetFlagSecure) != 0;
  // Port 0 is INTERNET_INVALID_PORT_NUMBER: the scheme's default.
  c->port = port != 0 ? port : c->secure ? kInternetDefaultHttpsPort : kInternetDefaultHttpPort;
  Register(c.get());
  return static_cast<Handle*>(c.release());
}

HInternet OpenUpload(HInternet connection, const std::string& verb, const std::string& object, std::uint32_t flags) {
  Handle* h = Lookup(connection);
  if (!h) return FailHandle(kErrorInvalidHandleValue);
  if (h->kind != Kind::Connection) return FailHandle(kErrorInternetIncorrectHandleType);
  const auto* c = static_cast<Connection*>(h);
  Handle* s = Lookup(c->internet);
  if (!s || s->kind != Kind::Session) return FailHandle(kErrorInvalidHandleValue);
  auto* session = static_cast<Session*>(s);

  auto u = std::make_unique<Upload>(session);
  u->easy = session->TakeEasy();
  if (!u->easy) return FailHandle(kErrorNotEnoughMemory);
  session->transfers.insert(u.get());
  u->verb = verb.empty() ? "GET" : verb;
  // An object without its leading slash is sent below the root, as WinINet does.
  const bool secure = c->secure || (flags & kInternetFlagSecure) != 0;
  const bool ipv6 = c->server.find(':') != std::string::npos;
  u->url = std::string(secure ? "https://" : "http://") + (ipv6 ? "[" + c->server + "]" : c->server) + ":" +
           std::to_string(c->port) + (object.empty() || object[0] != '/' ? "/" : "") + EscapeUrl(object);
  Register(u.get());
  return static_cast<Handle*>(u.release());
}

bool SendUpload(HInternet request, const InternetBuffers* buffersIn) {
  Upload* u = FindUpload(request);
  if (!u) return false;
  if (!u->session) return Fail(kErrorInvalidHandleValue);
  if (u->state != Upload::State::Opened) return Fail(kErrorInternetIncorrectHandleState);
  u->state = Upload::State::Sending;
  u->total = buffersIn ? buffersIn->bufferTotal : 0;
  if (buffersIn) u->headers = ParseHeaders(buffersIn->header.c_str(), static_cast<std::uint32_t>(buffersIn->header.size()));
  // WinINet sends the body at once; libcurl would first wait up to a second for a
  // "100 Continue" that many servers never send.
  u->headers = curl_slist_append(u->headers, "Expect:");
  u->ring = std::make_unique_for_overwrite<char[]>(kRingSize);

  CURL* e = u->easy;
  curl_easy_setopt(e, CURLOPT_URL, u->url.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, static_cast<Transfer*>(u));
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  // An upload with its length announced: a Content-Length, no chunks. The verb
  // replaces PUT in the request line and changes nothing else.
  curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(u->total));
  if (u->verb != "PUT") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, u->verb.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, u->headers);
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kCurlUploadBlock);
  curl_easy_setopt(e, CURLOPT_READFUNCTION, OnRead);
  curl_easy_setopt(e, CURLOPT_READDATA, u);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnPrereq);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, u);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, u);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);

  if (!u->Start()) {
    u->Detach();
    return Fail(kErrorInternetInternalError);
  }
  Drive(*u, [u] { return u->requestGoing || u->answerStarted; });
  if (u->done && u->result != CURLE_OK) {
    const std::uint32_t code = ErrorOf(*u, kErrorInternetCannotConnect);
    u->Detach();
    return Fail(code);
  }
  return true;
}

bool WriteUpload(HInternet request, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  *written = 0;
  Upload* u = FindUpload(request);
  if (!u) return false;
  if (!u->session) return Fail(kErrorInvalidHandleValue);
  if (u->state != Upload::State::Sending) return Fail(kErrorInternetIncorrectHandleState);
  // Nothing to send: an empty body may have been answered already.
  if (count == 0) return true;
  if (u->done) return FailEnded(*u);
  // More than announced would run into what the server reads as the next request.
  if (count > u->total - u->given) return Fail(kErrorInternetIncorrectHandleState);

  const auto* data = static_cast<const char*>(buffer);
  std::size_t put = u->Put(data, count);
  while (put < count) {
    u->Resume();
    Drive(*u, [u] { return u->Free() > 0; });
    if (u->done) {
      *written = static_cast<std::uint32_t>(put);
      u->given += put;
      return FailEnded(*u);
    }
    put += u->Put(data + put, count - put);
  }
  u->given += count;
  *written = count;
  return true;
}

bool EndUpload(HInternet request) {
  Upload* u = FindUpload(request);
  if (!u) return false;
  if (!u->session) return Fail(kErrorInvalidHandleValue);
  if (u->state != Upload::State::Sending) return Fail(kErrorInternetIncorrectHandleState);
  u->state = Upload::State::Ended;
  if (u->given < u->total) {
    // The server still waits for the rest of the body: no answer will come.
    u->Detach();
    return Fail(kErrorInternetConnectionAborted);
  }
  u->Resume();
  Drive(*u, [u] { return u->answerStarted; });
  if (u->answerStarted) return true;
  return Fail(ErrorOf(*u, kErrorHttpInvalidServerResponse));
}

bool UploadAnswer(HInternet request, std::uint32_t infoLevel, std::string* value) {
  Upload* u = FindUpload(request);
  if (!u) return false;
  if (!u->answerStarted) return Fail(kErrorHttpHeaderNotFound);
  switch (infoLevel & 0xFFFFu) {
    case kHttpQueryStatusCode: *value = std::to_string(u->status); return true;
    case kHttpQueryLocation:
      if (u->location.empty()) return Fail(kErrorHttpHeaderNotFound);
      *value = u->location;
      return true;
    default: return Fail(kErrorHttpHeaderNotFound);
  }
}

}  // namespace plat::curlnet
