// The connected network shares through libsmbclient (see SmbClient.h). Each share
// has a client context of its own (its account, its port); files opened below it
// are handles of ours from a range that no file descriptor reaches.
#include "platform/posix/share/SmbClient.h"

#include <dlfcn.h>
#include <libsmbclient.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "base/Limits.h"
#include "base/Text.h"
#include "platform/Share.h"

namespace plat::smb {
namespace {

static_assert(sizeof(FileHandle) >= 8, "share handles lie above every file descriptor");
constexpr FileHandle kFirstHandle = FileHandle{1} << 40;
// No data for this long ends a call on the share (as the transfers' own limit).
constexpr int kTimeoutMs = static_cast<int>(nolt::kStallLimitMs);

// The functions of the library that are used.
struct Api {
  decltype(&smbc_new_context) newContext;
  decltype(&smbc_free_context) freeContext;
  decltype(&smbc_init_context) initContext;
  decltype(&smbc_setDebug) setDebug;
  decltype(&smbc_setFunctionAuthDataWithContext) setAuthFunction;
  decltype(&smbc_setOptionUserData) setUserData;
  decltype(&smbc_getOptionUserData) getUserData;
  decltype(&smbc_setOptionNoAutoAnonymousLogin) setNoAutoAnonymousLogin;
  decltype(&smbc_setPort) setPort;
  decltype(&smbc_setTimeout) setTimeout;
  decltype(&smbc_getFunctionOpen) open;
  decltype(&smbc_getFunctionRead) read;
  decltype(&smbc_getFunctionWrite) write;
  decltype(&smbc_getFunctionLseek) lseek;
  decltype(&smbc_getFunctionFstat) fstat;
  decltype(&smbc_getFunctionStat) stat;
  decltype(&smbc_getFunctionClose) close;
  decltype(&smbc_getFunctionUnlink) unlink;
  decltype(&smbc_getFunctionMkdir) mkdir;
  decltype(&smbc_getFunctionRmdir) rmdir;
  decltype(&smbc_getFunctionOpendir) opendir;
  decltype(&smbc_getFunctionClosedir) closedir;
  decltype(&smbc_getFunctionUtimes) utimes;
};

struct Connection {
  std::string host;  // as the URL names it
  std::uint16_t port = 0;  // 0: the library's choice (445, then 139)
  std::string share;
  std::string workgroup;
  std::string user;
  std::string password;
  SMBCCTX* ctx = nullptr;
  int uses = 1;
};

struct OpenFile {
  Connection* share;
  SMBCFILE* file;
  std::string url;
};

struct State {
  std::mutex mutex;
  std::string soname = "libsmbclient.so.0";
  bool loaded = false;
  std::string loadError;
  Api api{};
  std::map<std::string, std::unique_ptr<Connection>> shares;  // by Key()
  std::map<FileHandle, OpenFile> files;
  FileHandle next = kFirstHandle;
};

State& S() {
  static State* state = new State;
  return *state;
}

// -- names ----------------------------------------------------------------------

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A path below a share: "\\host[:port]\share\rest" with either separator.
struct SharePath {
  std::string host;
  std::uint16_t port = 0;
  std::string share;
  std::string rest;  // '/'-separated, without a leading separator
};

bool ParseSharePath(const std::string& path, SharePath* out) {
  if (path.size() < 5 || !IsSeparator(path[0]) || !IsSeparator(path[1]) || IsSeparator(path[2]) ||
      path.find('\0') != std::string::npos)
    return false;
  std::size_t end = 2;
  while (end < path.size() && !IsSeparator(path[end])) ++end;
  std::string server = path.substr(2, end - 2);
  if (end >= path.size()) return false;
  const std::size_t shareStart = end + 1;
  end = shareStart;
  while (end < path.size() && !IsSeparator(path[end])) ++end;
  SharePath p;
  p.share = path.substr(shareStart, end - shareStart);
  if (p.share.empty()) return false;
  if (end < path.size()) p.rest = path.substr(end + 1);
  for (char& c : p.rest)
    if (c == '\\') c = '/';
  // "host", "host:port", "[v6]", "[v6]:port"
  std::string port;
  const std::size_t close = server[0] == '[' ? server.find(']') : std::string::npos;
  if (server[0] == '[') {
    if (close == std::string::npos) return false;
    if (close + 1 < server.size()) {
      if (server[close + 1] != ':') return false;
      port = server.substr(close + 2);
    }
    p.host = server.substr(0, close + 1);
  } else {
    const std::size_t colon = server.find(':');
    p.host = server.substr(0, colon);
    if (colon != std::string::npos) port = server.substr(colon + 1);
  }
  if (p.host.empty() || p.host == "[]") return false;
  if (!port.empty() || server.back() == ':') {
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(port);
    if (n < 1 || n > 65535) return false;
    p.port = static_cast<std::uint16_t>(n);
  }
  *out = p;
  return true;
}

// One connection per server, port and share: names compare without regard to case,
// and 445 is the port a name without one reaches.
std::string Key(const SharePath& p) {
  return nolt::LowerCaseAscii(p.host) + ":" + std::to_string(p.port == 445 ? 0 : p.port) + "/" + nolt::LowerCaseAscii(p.share);
}

std::string Url(const Connection& c, const std::string& rest) {
  return "smb://" + c.host + "/" + nolt::PercentEncodePath(c.share) + "/" + nolt::PercentEncodePath(rest);
}

// The connection a path lies below, and its URL there; null when none. Lock held.
Connection* Find(const std::string& path, std::string* url) {
  SharePath p;
  if (!ParseSharePath(path, &p)) return nullptr;
  const auto it = S().shares.find(Key(p));
  if (it == S().shares.end()) return nullptr;
  if (url) *url = Url(*it->second, p.rest);
  return it->second.get();
}

// A path below no connected share. Lock held.
bool NoShare() {
  errno = ENOENT;
  return false;
}

// The open file of a handle; null with EBADF when there is none. Lock held.
OpenFile* FindFile(FileHandle h) {
  const auto it = S().files.find(h);
  if (it != S().files.end()) return &it->second;
  errno = EBADF;
  return nullptr;
}

// -- the library -----------------------------------------------------------------

template <class F> bool Symbol(void* lib, const char* name, F* f, std::string* missing) {
  *f = reinterpret_cast<F>(::dlsym(lib, name));
  if (!*f && missing->empty()) *missing = name;
  return *f != nullptr;
}

// Lock held.
bool Load() {
  State& s = S();
  if (s.loaded) return true;
  void* lib = ::dlopen(s.soname.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = ::dlerror();
    s.loadError = s.soname + " cannot be loaded (" + (why ? why : "not found") + "); install libsmbclient";
    return false;
  }
  Api a{};
  std::string missing;
  Symbol(lib, "smbc_new_context", &a.newContext, &missing);
  Symbol(lib, "smbc_free_context", &a.freeContext, &missing);
  Symbol(lib, "smbc_init_context", &a.initContext, &missing);
  Symbol(lib, "smbc_setDebug", &a.setDebug, &missing);
  Symbol(lib, "smbc_setFunctionAuthDataWithContext", &a.setAuthFunction, &missing);
  Symbol(lib, "smbc_setOptionUserData", &a.setUserData, &missing);
  Symbol(lib, "smbc_getOptionUserData", &a.getUserData, &missing);
  Symbol(lib, "smbc_setOptionNoAutoAnonymousLogin", &a.setNoAutoAnonymousLogin, &missing);
  Symbol(lib, "smbc_setPort", &a.setPort, &missing);
  Symbol(lib, "smbc_setTimeout", &a.setTimeout, &missing);
  Symbol(lib, "smbc_getFunctionOpen", &a.open, &missing);
  Symbol(lib, "smbc_getFunctionRead", &a.read, &missing);
  Symbol(lib, "smbc_getFunctionWrite", &a.write, &missing);
  Symbol(lib, "smbc_getFunctionLseek", &a.lseek, &missing);
  Symbol(lib, "smbc_getFunctionFstat", &a.fstat, &missing);
  Symbol(lib, "smbc_getFunctionStat", &a.stat, &missing);
  Symbol(lib, "smbc_getFunctionClose", &a.close, &missing);
  Symbol(lib, "smbc_getFunctionUnlink", &a.unlink, &missing);
  Symbol(lib, "smbc_getFunctionMkdir", &a.mkdir, &missing);
  Symbol(lib, "smbc_getFunctionRmdir", &a.rmdir, &missing);
  Symbol(lib, "smbc_getFunctionOpendir", &a.opendir, &missing);
  Symbol(lib, "smbc_getFunctionClosedir", &a.closedir, &missing);
  Symbol(lib, "smbc_getFunctionUtimes", &a.utimes, &missing);
  if (!missing.empty()) {
    s.loadError = s.soname + " lacks " + missing;
    ::dlclose(lib);
    return false;
  }
  s.api = a;
  s.loaded = true;
  s.loadError.clear();
  return true;
}

// The account of the context's share, asked for by the library at every logon.
void Authenticate(SMBCCTX* ctx, const char*, const char*, char* workgroup, int workgroupLength, char* user,
                  int userLength, char* password, int passwordLength) {
  const auto* c = static_cast<const Connection*>(S().api.getUserData(ctx));
  if (!c) return;
  if (!c->workgroup.empty()) std::snprintf(workgroup, static_cast<std::size_t>(workgroupLength), "%s", c->workgroup.c_str());
  std::snprintf(user, static_cast<std::size_t>(userLength), "%s", c->user.c_str());
  std::snprintf(password, static_cast<std::size_t>(passwordLength), "%s", c->password.c_str());
}

// The share client's translation: what WNetAddConnection2A answers for the errno of
// a failed logon or tree connect (EACCES -> 86 ERROR_INVALID_PASSWORD, ENOENT -> 67
// ERROR_BAD_NET_NAME, an unreachable host -> 53 ERROR_BAD_NETPATH, else 1203 ERROR_NO_NET_OR_BAD_PATH). The
// files below a connected share use ErrorFromErrno like the local ones.
std::uint32_t ConnectError(int e) {
  switch (e) {
    case EACCES:
    case EPERM: return kErrorInvalidPassword;
    case ENOENT:
    case ENODEV:
    case ENOTDIR:
    case ENXIO: return kErrorBadNetName;
    case ECONNREFUSED:
    case ECONNRESET:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ETIMEDOUT:
    case EINVAL:  // the server's name does not resolve
      return kErrorBadNetPath;
    default: return kErrorNoNetOrBadPath;
  }
}

void CloseContext(SMBCCTX* ctx) { S().api.freeContext(ctx, 1); }

}  // namespace

std::uint32_t Connect(const std::string& remoteName, const std::string& user, const std::string& password) {
  SharePath p;
  if (!ParseSharePath(remoteName, &p) || !p.rest.empty()) return kErrorBadNetName;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto c = std::make_unique<Connection>();
  c->host = p.host;
  c->port = p.port;
  c->share = p.share;
  c->user = user;
  c->password = password;
  // "DOMAIN\user" logs on to that domain.
  const std::size_t slash = user.find('\\');
  if (slash != std::string::npos) {
    c->workgroup = user.substr(0, slash);
    c->user = user.substr(slash + 1);
  }
  const std::string key = Key(p);
  const auto it = s.shares.find(key);
  if (it != s.shares.end()) {
    Connection& old = *it->second;
    if (old.user != c->user || old.workgroup != c->workgroup || old.password != password)
      return kErrorSessionCredentialConflict;
    ++old.uses;
    return 0;
  }
  if (!Load()) return kErrorNoNetwork;
  const Api& a = s.api;
  SMBCCTX* ctx = a.newContext();
  if (!ctx) return kErrorNoNetOrBadPath;
  a.setDebug(ctx, 0);
  a.setUserData(ctx, c.get());
  a.setAuthFunction(ctx, &Authenticate);
  // A refused account must not become a guest's logon.
  a.setNoAutoAnonymousLogin(ctx, 1);
  a.setTimeout(ctx, kTimeoutMs);
  if (c->port) a.setPort(ctx, c->port);
  if (!a.initContext(ctx)) {
    a.freeContext(ctx, 0);
    return kErrorNoNetOrBadPath;
  }
  // Listing the share's root logs on and connects to the share: a wrong account or
  // share fails here, not at the first file.
  errno = 0;
  SMBCFILE* root = a.opendir(ctx)(ctx, Url(*c, "").c_str());
  if (!root) {
    const int e = errno;
    CloseContext(ctx);
    return ConnectError(e);
  }
  a.closedir(ctx)(ctx, root);
  c->ctx = ctx;
  s.shares.emplace(key, std::move(c));
  return 0;
}

std::uint32_t Disconnect(const std::string& remoteName, bool force) {
  SharePath p;
  if (!ParseSharePath(remoteName, &p) || !p.rest.empty()) return kErrorNotConnected;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.shares.find(Key(p));
  if (it == s.shares.end()) return kErrorNotConnected;
  Connection* c = it->second.get();
  if (c->uses > 1) {
    --c->uses;
    return 0;
  }
  bool open = false;
  for (const auto& f : s.files) open = open || f.second.share == c;
  if (open && !force) return kErrorOpenFiles;
  for (auto f = s.files.begin(); f != s.files.end();) {
    if (f->second.share == c) {
      s.api.close(c->ctx)(c->ctx, f->second.file);
      f = s.files.erase(f);
    } else {
      ++f;
    }
  }
  CloseContext(c->ctx);
  s.shares.erase(it);
  return 0;
}

std::string ErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorBadNetPath: return "The network path was not found";
    case kErrorBadDevType: return "The network resource type is not correct";
    case kErrorBadNetName: return "The network name cannot be found";
    case kErrorInvalidPassword: return "The specified network password is not correct";
    case kErrorBadDevice: return "The specified device name is invalid";
    case kErrorNoNetOrBadPath:
      return "The network path was either typed incorrectly, does not exist, or the network provider is not "
             "currently available";
    case kErrorSessionCredentialConflict:
      return "Multiple connections to a server or shared resource by the same user, using more than one user "
             "name, are not allowed";
    case kErrorNoNetwork: {
      std::lock_guard<std::mutex> lock(S().mutex);
      const std::string why = S().loadError;
      return "The network is not present or not started" + (why.empty() ? std::string() : ": " + why);
    }
    case kErrorNotConnected: return "This network connection does not exist";
    case kErrorOpenFiles: return "There are open files or requests pending on this connection";
    default: return {};
  }
}

void UseLibrary(const std::string& soname) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().soname = soname;
  S().loaded = false;
}

bool Routes(const std::string& path) {
  if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return false;
  std::lock_guard<std::mutex> lock(S().mutex);
  return Find(path, nullptr) != nullptr;
}

bool IsHandle(FileHandle h) { return h >= kFirstHandle; }

FileHandle Open(const std::string& path, int flags) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::string url;
  Connection* c = Find(path, &url);
  if (!c) {
    errno = ENOENT;
    return kInvalidFile;
  }
  errno = 0;
  SMBCFILE* f = S().api.open(c->ctx)(c->ctx, url.c_str(), flags, 0666);
  if (!f) {
    if (errno == 0) errno = EIO;
    return kInvalidFile;
  }
  struct stat st;
  if (S().api.fstat(c->ctx)(c->ctx, f, &st) == 0 && S_ISDIR(st.st_mode)) {
    S().api.close(c->ctx)(c->ctx, f);
    errno = EISDIR;
    return kInvalidFile;
  }
  const FileHandle h = S().next++;
  S().files.emplace(h, OpenFile{c, f, url});
  return h;
}

bool Stat(const std::string& path, struct stat* st) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::string url;
  Connection* c = Find(path, &url);
  if (!c) return NoShare();
  return S().api.stat(c->ctx)(c->ctx, url.c_str(), st) == 0;
}

bool Unlink(const std::string& path) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::string url;
  Connection* c = Find(path, &url);
  if (!c) return NoShare();
  return S().api.unlink(c->ctx)(c->ctx, url.c_str()) == 0;
}

bool Mkdir(const std::string& path) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::string url;
  Connection* c = Find(path, &url);
  if (!c) return NoShare();
  return S().api.mkdir(c->ctx)(c->ctx, url.c_str(), 0777) == 0;
}

bool Rmdir(const std::string& path) {
  std::lock_guard<std::mutex> lock(S().mutex);
  std::string url;
  Connection* c = Find(path, &url);
  if (!c) return NoShare();
  return S().api.rmdir(c->ctx)(c->ctx, url.c_str()) == 0;
}

long long Read(FileHandle h, void* buffer, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return -1;
  SMBCCTX* ctx = f->share->ctx;
  return S().api.read(ctx)(ctx, f->file, buffer, count);
}

long long Write(FileHandle h, const void* buffer, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return -1;
  SMBCCTX* ctx = f->share->ctx;
  const char* p = static_cast<const char*>(buffer);
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t n = S().api.write(ctx)(ctx, f->file, p + done, count - done);
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return -1;
    }
    done += static_cast<std::uint32_t>(n);
  }
  return done;
}

long long Seek(FileHandle h, long long offset, int whence) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return -1;
  SMBCCTX* ctx = f->share->ctx;
  return S().api.lseek(ctx)(ctx, f->file, static_cast<off_t>(offset), whence);
}

bool Fstat(FileHandle h, struct stat* st) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return false;
  SMBCCTX* ctx = f->share->ctx;
  return S().api.fstat(ctx)(ctx, f->file, st) == 0;
}

bool SetTimes(FileHandle h, const struct timespec& lastWrite) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return false;
  SMBCCTX* ctx = f->share->ctx;
  struct stat st;
  if (S().api.fstat(ctx)(ctx, f->file, &st) != 0) return false;
  struct timeval times[2];
  times[0].tv_sec = st.st_atim.tv_sec;
  times[0].tv_usec = st.st_atim.tv_nsec / 1000;
  times[1].tv_sec = lastWrite.tv_sec;
  times[1].tv_usec = lastWrite.tv_nsec / 1000;
  return S().api.utimes(ctx)(ctx, f->url.c_str(), times) == 0;
}

bool Close(FileHandle h) {
  std::lock_guard<std::mutex> lock(S().mutex);
  OpenFile* f = FindFile(h);
  if (!f) return false;
  SMBCCTX* ctx = f->share->ctx;
  const bool ok = S().api.close(ctx)(ctx, f->file) == 0;
  const int e = errno;
  S().files.erase(h);
  errno = e;
  return ok;
}

}  // namespace plat::smb
