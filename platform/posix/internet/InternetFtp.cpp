// FTP over libcurl, shaped like WinINet's FTP session. A connection owns one easy
// handle and a multi handle of its own, whose connection cache keeps the control
// connection and its logon from one operation to the next; closing the connection
// closes it (QUIT). The current directory is ours: every command names an absolute
// path (libcurl's "no CWD" method), and a directory change is a CWD sent as a quote
// command, so that the server confirms that the directory exists. A file's bytes
// pass through a small buffer in either direction, the transfer pausing while it
// is full (download) or empty (upload). Must contain only code of the POSIX
// internet implementation.
#include "platform/posix/internet/InternetFtp.h"

#include "base/Text.h"
#include "base/Time.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace plat::curlnet {
namespace {

constexpr long kCurlBlock = 256 * 1024;
constexpr std::size_t kBufferLimit = 4 * kCurlBlock;
constexpr int kPollMs = 20;
// FILETIME of the Unix epoch, in 100 ns units.
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFtpTransferTypeAscii = 1;

struct FtpFile;

// The reply that LastFtpReply gives.
thread_local std::string lastReply;

struct FtpConnection final : Handle {
  FtpConnection() : Handle(Kind::FtpConnection) {}
  ~FtpConnection() override;

  std::string base;  // "ftp://host:port"
  std::string user;
  std::string password;
  bool passive = false;
  std::uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;  // the internet handle's limits
  std::uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  std::string cwd = "/";
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  FtpFile* file = nullptr;  // the file open on this connection

  // The operation in progress.
  bool done = false;
  CURLcode result = CURLE_OK;
  long osErrno = 0;
  bool opened = false;  // the server accepted RETR or STOR (a 125 or 150 reply)
  std::vector<std::string> replies;  // the final reply lines of the operation, in order
};

// Bytes between libcurl and the caller, in buffer[begin, end).
struct Pipe {
  std::size_t Size() const { return end - begin; }
  void Put(const char* data, std::size_t n) {
    if (begin == end) begin = end = 0;
    if (end + n > capacity && begin > 0) {
      std::memmove(buffer.get(), buffer.get() + begin, Size());
      end -= begin;
      begin = 0;
    }
    if (end + n > capacity) {
      const std::size_t bigger = std::max(kBufferLimit + kCurlBlock, end + n);
      auto b = std::make_unique_for_overwrite<char[]>(bigger);
      if (end > 0) std::memcpy(b.get(), buffer.get(), end);
      buffer = std::move(b);
      capacity = bigger;
    }
    std::memcpy(buffer.get() + end, data, n);
    end += n;
  }
  std::size_t Take(char* out, std::size_t room) {
    const std::size_t n = std::min(room, Size());
    if (n == 0) return 0;
    std::memcpy(out, buffer.get() + begin, n);
    begin += n;
    return n;
  }

  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct FtpFile final : Handle {
  FtpFile() : Handle(Kind::FtpFile) {}
  ~FtpFile() override { Detach(); }
  void Detach() {
    if (!connection) return;
    curl_multi_remove_handle(connection->multi, connection->easy);
    connection->file = nullptr;
    connection = nullptr;
  }
  void Resume() {
    if (!paused || !connection) return;
    paused = false;
    curl_easy_pause(connection->easy, CURLPAUSE_CONT);
  }

  FtpConnection* connection = nullptr;
  bool writing = false;
  bool ending = false;  // an upload's last byte is in the pipe
  bool paused = false;
  Pipe pipe;
};

struct FtpSearch final : Handle {
  FtpSearch() : Handle(Kind::FtpFind) {}
};

FtpConnection::~FtpConnection() {
  if (file) file->Detach();
  if (easy) curl_easy_cleanup(easy);
  if (multi) curl_multi_cleanup(multi);
}

// Runs the connection's operation until ready() holds or the operation has ended.
template <class Ready> void Drive(FtpConnection& c, Ready ready) {
  while (!ready() && !c.done) {
    int running = 0;
    const CURLMcode mc = curl_multi_perform(c.multi, &running);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(c.multi, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      c.done = true;
      c.result = m->data.result;
      if (c.result != CURLE_OK) curl_easy_getinfo(m->easy_handle, CURLINFO_OS_ERRNO, &c.osErrno);
    }
    if (ready() || c.done) return;
    if (mc != CURLM_OK) {
      c.done = true;
      c.result = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_RECV_ERROR;
      return;
    }
    // libcurl does not always set a timer for the step that follows a refused RETR
    // or the end of an upload; a short wait keeps such a step from waiting long.
    curl_multi_poll(c.multi, nullptr, 0, kPollMs, nullptr);
  }
}

// Every server reply line passes here: a preliminary reply to RETR or STOR means
// the file is open.
size_t OnReply(char* data, size_t size, size_t n, void* userp) {
  auto* c = static_cast<FtpConnection*>(userp);
  const size_t len = size * n;
  const std::string_view line(data, len);
  if (line.starts_with("125") || line.starts_with("150")) c->opened = true;
  // "ddd text": the last line of a reply.
  if (len >= 4 && line[3] == ' ' && std::isdigit(static_cast<unsigned char>(line[0])))
    c->replies.emplace_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
  return len;
}

// What libcurl reports of an operation without data (the size and date as header
// lines) is not wanted.
size_t OnDiscard(char*, size_t size, size_t n, void*) { return size * n; }

size_t OnReceive(char* data, size_t size, size_t n, void* userp) {
  auto* f = static_cast<FtpFile*>(userp);
  const size_t len = size * n;
  if (f->pipe.Size() > 0 && f->pipe.Size() + len > kBufferLimit) {
    f->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  f->pipe.Put(data, len);
  return len;
}

size_t OnSend(char* out, size_t size, size_t n, void* userp) {
  auto* f = static_cast<FtpFile*>(userp);
  if (f->pipe.Size() == 0) {
    if (f->ending) return 0;
    f->paused = true;
    return CURL_READFUNC_PAUSE;
  }
  return f->pipe.Take(out, size * n);
}

FtpConnection* LookupConnection(HInternet h) {
  Handle* p = Lookup(h);
  if (!p) return FailHandle(kErrorInvalidHandleValue);
  if (p->kind != Kind::FtpConnection) return FailHandle(kErrorInternetIncorrectHandleType);
  auto* c = static_cast<FtpConnection*>(p);
  if (c->file) return FailHandle(kErrorFtpTransferInProgress);
  return c;
}

// A URL naming an absolute path: the leading '/' escaped as %2F, so that libcurl
// sends the path from the root; every other byte that may not stand in a URL escaped.
std::string UrlOf(const FtpConnection& c, const std::string& path) {
  return c.base + "/%2F" + nolt::PercentEncodePath(std::string_view(path).substr(path.empty() ? 0 : 1));
}

// Sets the options that every operation of the connection shares.
void Prepare(FtpConnection& c, const std::string& url) {
  CURL* e = c.easy;
  curl_easy_reset(e);
  c.done = false;
  c.result = CURLE_OK;
  c.osErrno = 0;
  c.opened = false;
  c.replies.clear();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  if (!c.user.empty()) {
    curl_easy_setopt(e, CURLOPT_USERNAME, c.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, c.password.c_str());
  }
  curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  // PASV or PORT, as WinINet sends them.
  curl_easy_setopt(e, CURLOPT_FTP_USE_EPSV, 0L);
  curl_easy_setopt(e, CURLOPT_FTP_USE_EPRT, 0L);
  if (!c.passive) curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
  // The limits of the internet handle: the receive limit bounds a wait for a reply
  // and a transfer that moves nothing; 0 means none.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(c.connectTimeoutMs));
  if (c.receiveTimeoutMs != 0) {
    const long seconds = static_cast<long>((c.receiveTimeoutMs + 999) / 1000);
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, seconds);
  }
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnReply);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &c);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnDiscard);
}

// Fails with code, keeping the server's last reply on the connection for LastFtpReply.
bool FailWithReply(const FtpConnection& c, std::uint32_t code) {
  lastReply = c.replies.empty() ? std::string() : c.replies.back();
  return Fail(code);
}

// The WinINet number of an operation that libcurl ended with a failure. A transfer
// whose final reply refused it after the data (451, 550, ...) is the server's
// refusal, as WinINet reports one; 426, the data connection closed, is an aborted
// connection.
bool FailOperation(const FtpConnection& c) {
  const std::string last = c.replies.empty() ? std::string() : c.replies.back();
  const bool refusedAfterData = (c.result == CURLE_PARTIAL_FILE || c.result == CURLE_UPLOAD_FAILED) &&
                                (last.starts_with('4') || last.starts_with('5')) && !last.starts_with("426");
  return FailWithReply(c, refusedAfterData ? kErrorInternetExtendedError : ErrorFromCurl(c.result, c.osErrno));
}

// Runs an operation without data to its end.
bool Perform(FtpConnection& c) {
  if (curl_multi_add_handle(c.multi, c.easy) != CURLM_OK) return Fail(kErrorInternetInternalError);
  Drive(c, [] { return false; });
  curl_multi_remove_handle(c.multi, c.easy);
  return c.result == CURLE_OK || FailOperation(c);
}

// Commands sent as an empty operation at the root, their answers judged here: a
// refusal that libcurl judged would end the control connection, and the logon with
// it. The final replies of the commands, in order, go to answers.
bool Commands(FtpConnection& c, const std::vector<std::string>& commands, std::vector<std::string>& answers) {
  Prepare(c, c.base + "/");
  curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
  curl_slist* quote = nullptr;
  for (const std::string& command : commands) {
    curl_slist* more = curl_slist_append(quote, ("*" + command).c_str());
    if (!more) {
      curl_slist_free_all(quote);
      return Fail(kErrorNotEnoughMemory);
    }
    quote = more;
  }
  curl_easy_setopt(c.easy, CURLOPT_QUOTE, quote);
  const bool ok = Perform(c);
  curl_easy_setopt(c.easy, CURLOPT_QUOTE, nullptr);
  curl_slist_free_all(quote);
  if (!ok) return false;
  // The commands' replies are the last ones: nothing follows them.
  if (c.replies.size() < commands.size()) return Fail(kErrorHttpInvalidServerResponse);
  answers.assign(c.replies.end() - static_cast<std::ptrdiff_t>(commands.size()), c.replies.end());
  return true;
}

bool Accepted(const std::string& reply) { return reply.size() >= 4 && reply[0] == '2'; }

// One command that the server must accept.
bool Command(FtpConnection& c, const std::string& command) {
  std::vector<std::string> answers;
  if (!Commands(c, {command}, answers)) return false;
  return Accepted(answers[0]) || FailWithReply(c, kErrorInternetExtendedError);
}

// The FILETIME of an MDTM reply ("213 YYYYMMDDHHMMSS[.sss]", UTC); 0 when it gives none.
std::uint64_t FileTimeOfMdtm(const std::string& reply) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!reply.starts_with("213 ") ||
      std::sscanf(reply.c_str() + 4, "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) != 6 || mo < 1 || mo > 12 ||
      d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
    return 0;
  const long long days = nolt::DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  const long long seconds = days * 86400 + h * 3600 + mi * 60 + s;
  if (seconds < 0) return 0;
  return nolt::kUnixEpochFileTime + static_cast<std::uint64_t>(seconds) * nolt::kFileTimeTicksPerSecond;
}

}  // namespace

bool LastFtpReply(std::string* reply) {
  *reply = lastReply;
  return !lastReply.empty();
}

std::string ResolveFtpPath(const std::string& cwd, const std::string& name) {
  std::vector<std::string_view> parts;
  const auto add = [&parts](std::string_view path) {
    while (!path.empty()) {
      const std::size_t slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
        continue;
      }
      parts.push_back(part);
    }
  };
  if (name.empty() || name.front() != '/') add(cwd);
  add(name);
  std::string out;
  for (std::string_view p : parts) (out += '/') += p;
  return out.empty() ? "/" : out;
}

HInternet ConnectFtp(HInternet internet, const std::string& server, std::uint16_t port, const std::string& user,
                     const std::string& password, std::uint32_t flags) {
  Handle* h = Lookup(internet);
  if (!h) return FailHandle(kErrorInvalidHandleValue);
  if (h->kind != Kind::Session) return FailHandle(kErrorInternetIncorrectHandleType);
  if (server.empty() || BreaksFtpCommand(server)) return FailHandle(kErrorInternetNameNotResolved);
  if (BreaksFtpCommand(user) || BreaksFtpCommand(password)) return FailHandle(kErrorInternetLoginFailure);

  auto c = std::make_unique<FtpConnection>();
  const bool ipv6 = server.find(':') != std::string::npos;
  c->base = "ftp://" + (ipv6 ? "[" + server + "]" : server) + ":" + std::to_string(port ? port : 21);
  // Anonymous unless both are given, as the callers pass them.
  if (!user.empty() && !password.empty()) {
    c->user = user;
    c->password = password;
  }
  c->passive = (flags & kInternetFlagPassive) != 0;
  c->connectTimeoutMs = static_cast<Session*>(h)->connectTimeoutMs;
  c->receiveTimeoutMs = static_cast<Session*>(h)->receiveTimeoutMs;
  c->multi = curl_multi_init();
  c->easy = curl_easy_init();
  if (!c->multi || !c->easy) return FailHandle(kErrorNotEnoughMemory);
  curl_multi_setopt(c->multi, CURLMOPT_MAXCONNECTS, 1L);

  // The logon: an empty operation at the root, which also asks for the directory
  // the server puts the session in.
  Prepare(*c, c->base + "/");
  curl_easy_setopt(c->easy, CURLOPT_NOBODY, 1L);
  if (!Perform(*c)) return nullptr;
  const char* entry = nullptr;
  if (curl_easy_getinfo(c->easy, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry)
    c->cwd = ResolveFtpPath("/", entry);
  Register(c.get());
  return static_cast<Handle*>(c.release());
}

bool FtpChangeDirectory(HInternet connection, const std::string& directory) {
  FtpConnection* c = LookupConnection(connection);
  if (!c) return false;
  if (BreaksFtpCommand(directory)) return Fail(kErrorInvalidName);
  const std::string path = ResolveFtpPath(c->cwd, directory);
  if (!Command(*c, "CWD " + path)) return false;
  c->cwd = path;
  return true;
}

bool FtpMakeDirectory(HInternet connection, const std::string& directory) {
  FtpConnection* c = LookupConnection(connection);
  if (!c) return false;
  if (BreaksFtpCommand(directory)) return Fail(kErrorInvalidName);
  return Command(*c, "MKD " + ResolveFtpPath(c->cwd, directory));
}

HInternet FtpFind(HInternet connection, const std::string& name, FtpFindData* data) {
  FtpConnection* c = LookupConnection(connection);
  if (!c) return nullptr;
  if (BreaksFtpCommand(name)) return FailHandle(kErrorInvalidName);
  const std::string path = ResolveFtpPath(c->cwd, name);
  if (path == "/") return FailHandle(kErrorInternetExtendedError);
  // The file's size and date; a file whose size the server does not give is not
  // listed. SIZE is answered in binary mode only.
  std::vector<std::string> answers;
  if (!Commands(*c, {"TYPE I", "SIZE " + path, "MDTM " + path}, answers)) return nullptr;
  unsigned long long size = 0;
  if (!answers[1].starts_with("213 ") || std::sscanf(answers[1].c_str() + 4, "%llu", &size) != 1)
    return FailHandle(kErrorInternetExtendedError);
  if (data) {
    *data = FtpFindData{};
    data->attributes = kFileAttributeNormal;
    data->sizeLow = static_cast<std::uint32_t>(size);
    data->sizeHigh = static_cast<std::uint32_t>(size >> 32);
    data->lastWriteTime = FileTimeOfMdtm(answers[2]);
    data->fileName = path.substr(path.rfind('/') + 1);
  }
  auto s = std::make_unique<FtpSearch>();
  Register(s.get());
  return static_cast<Handle*>(s.release());
}

HInternet FtpOpen(HInternet connection, const std::string& name, std::uint32_t access, std::uint32_t flags) {
  FtpConnection* c = LookupConnection(connection);
  if (!c) return nullptr;
  if (BreaksFtpCommand(name)) return FailHandle(kErrorInvalidName);
  const bool writing = access == kGenericWrite;
  if (!writing && access != kGenericRead) return FailHandle(kErrorInvalidParameter);
  const std::string path = ResolveFtpPath(c->cwd, name);

  auto f = std::make_unique<FtpFile>();
  f->writing = writing;
  Prepare(*c, UrlOf(*c, path));
  CURL* e = c->easy;
  if ((flags & 3) == kFtpTransferTypeAscii) curl_easy_setopt(e, CURLOPT_TRANSFERTEXT, 1L);
  if (writing) {
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, OnSend);
    curl_easy_setopt(e, CURLOPT_READDATA, f.get());
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 4 * kCurlBlock);
  } else {
    // RETR at once: SIZE first would fail the download of a file the server does not list.
    curl_easy_setopt(e, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnReceive);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, f.get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBlock);
  }
  if (curl_multi_add_handle(c->multi, e) != CURLM_OK) return FailHandle(kErrorInternetInternalError);
  f->connection = c;
  c->file = f.get();
  // Open once the server has accepted RETR or STOR.
  FtpFile* file = f.get();
  Drive(*c, [c, file] { return c->opened || file->pipe.Size() > 0 || file->paused; });
  // A transfer that failed after the server accepted it opens all the same: its
  // bytes are read first, then the failure.
  if (c->done && c->result != CURLE_OK && !c->opened && file->pipe.Size() == 0) {
    FailOperation(*c);
    f.reset();
    return nullptr;
  }
  Register(f.get());
  return static_cast<Handle*>(f.release());
}

bool FtpRead(Handle* h, void* buffer, std::uint32_t count, std::uint32_t* read) {
  auto* f = static_cast<FtpFile*>(h);
  *read = 0;
  if (f->writing) return Fail(kErrorInternetIncorrectHandleType);
  if (count == 0) return true;
  // The whole count unless the file ends first; bytes that arrived before a
  // failure are delivered first, the next call reports the failure.
  auto* out = static_cast<char*>(buffer);
  std::uint32_t got = 0;
  for (;;) {
    got += static_cast<std::uint32_t>(f->pipe.Take(out + got, count - got));
    if (got == count) break;
    FtpConnection* c = f->connection;
    if (!c) {
      if (got) break;
      return Fail(kErrorInvalidHandleValue);
    }
    if (c->done) {
      if (got || c->result == CURLE_OK) break;
      return FailOperation(*c);
    }
    if (f->paused) {
      f->Resume();
      continue;
    }
    Drive(*c, [f] { return f->pipe.Size() > 0 || f->paused; });
  }
  *read = got;
  return true;
}

bool FtpWrite(Handle* h, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  auto* f = static_cast<FtpFile*>(h);
  *written = 0;
  if (!f->writing) return Fail(kErrorInternetIncorrectHandleType);
  FtpConnection* c = f->connection;
  if (!c) return Fail(kErrorInvalidHandleValue);
  // Waits while the pipe is full, so that no more than a small window is held.
  while (f->pipe.Size() >= kBufferLimit && !c->done) {
    f->Resume();
    Drive(*c, [f] { return f->pipe.Size() < kBufferLimit || f->paused; });
  }
  if (c->done) return c->result != CURLE_OK ? FailOperation(*c) : Fail(kErrorInternetConnectionAborted);
  f->pipe.Put(static_cast<const char*>(buffer), count);
  f->Resume();
  *written = count;
  return true;
}

bool FtpCloseFile(Handle* h) {
  std::unique_ptr<FtpFile> f(static_cast<FtpFile*>(h));
  FtpConnection* c = f->connection;
  if (!c) return true;
  if (!f->writing) {
    // A download read to its end was confirmed by the server: libcurl judged its
    // final reply. One closed before its end was not (its data connection ends; the
    // control connection stays).
    if (!c->done) return Fail(kErrorInternetConnectionAborted);
    if (c->result != CURLE_OK) return FailOperation(*c);
    lastReply = c->replies.empty() ? std::string() : c->replies.back();
    return true;
  }
  f->ending = true;
  while (!c->done) {
    f->Resume();
    Drive(*c, [f = f.get()] { return f->paused; });
  }
  if (c->result != CURLE_OK) return FailOperation(*c);
  lastReply = c->replies.empty() ? std::string() : c->replies.back();
  return true;
}

}  // namespace plat::curlnet
