// Must contain only Win32-specific code.
#include "platform/win32/internet/InternetFtp.h"

#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "base/Limits.h"
#include "platform/win32/internet/ByteRing.h"
#include "platform/win32/internet/TimedCall.h"

namespace plat::winftp {
namespace {

constexpr DWORD kRingSize = 256 * 1024;     // bytes of a file between the caller and its thread
// A read waits for all the bytes it asks for (Wine reads FTP data that way), so the
// thread asks for little at a time: a slow server still delivers within the limit.
constexpr DWORD kReadChunk = 8192;
constexpr DWORD kWriteChunk = 64 * 1024;

// What a connection's calls are bounded by, and whether one of them ran out.
struct Session {
  RequestLimits limits;
  bool dead = false;
};

struct File;

// Never destroyed: a thread that outlived its call may still reach it while the
// program exits.
struct Registry {
  std::mutex lock;
  std::map<HINTERNET, Session> sessions;
  std::set<void*> searches;
  std::set<File*> files;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

thread_local std::string lastReply;

DWORD Limit(DWORD ms) { return ms == 0 ? INFINITE : ms; }

// Milliseconds left of a wait that started at `start`.
DWORD Remaining(DWORD limit, DWORD start) {
  if (limit == 0) return INFINITE;
  const DWORD spent = GetTickCount() - start;
  return spent >= limit ? 0 : limit - spent;
}

// Wine's WinINet gives the reply its FTP calls read (InternetGetLastResponseInfoA)
// only while the thread's last WinINet error is set, and a call that succeeds may
// leave it clear. A call refused before it reaches any server (FtpCommandA without
// a command) sets one and leaves the reply alone: made before a call, it lets that
// call's reply be read after it. WinINet gives the reply anyway.
void ArmReply() { ::FtpCommandA(nullptr, FALSE, 0, "", 0, nullptr); }

// The last reply line that WinINet read on this thread: "213 1024".
std::string ThreadReply() {
  constexpr DWORD kReplyMax = 0x5B4;  // the longest reply line WinINet keeps
  DWORD error = 0;
  char buf[kReplyMax + 1] = {};
  DWORD length = kReplyMax;
  if (!::InternetGetLastResponseInfoA(&error, buf, &length) || length > kReplyMax) return {};
  std::string text(buf, length);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  const std::size_t line = text.find_last_of("\r\n");
  return line == std::string::npos ? text : text.substr(line + 1);
}

// The three digits a reply begins with; 0 for none.
int ReplyCode(const std::string& reply) {
  if (reply.size() < 3 || !std::all_of(reply.begin(), reply.begin() + 3, [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

void MarkDead(HINTERNET connection) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.sessions.find(connection);
  if (it != r.sessions.end()) it->second.dead = true;
}

// The limits of a connection; false, with ERROR_INTERNET_TIMEOUT, for one whose
// call ran out already.
bool SessionLimits(HINTERNET connection, RequestLimits* limits) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.sessions.find(connection);
  if (it == r.sessions.end()) {
    limits->receiveMs = nolt::kStallLimitMs;
    return true;
  }
  if (it->second.dead) {
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  *limits = it->second.limits;
  return true;
}

// What a call on a connection leaves, shared with the call's thread.
struct Outcome {
  BOOL ok = FALSE;
  HINTERNET handle = nullptr;
  DWORD error = 0;
  std::string reply;
  FtpFindData data;
};

// Runs call on the connection within its receive limit. True when it returned in
// time: its error and reply are then this thread's. A call that ran out leaves the
// connection dead.
bool OnConnection(HINTERNET connection, const std::shared_ptr<Outcome>& out, std::function<void()> call,
                  std::function<void()> abandoned = {}) {
  RequestLimits limits;
  if (!SessionLimits(connection, &limits)) return false;
  if (!RunWithin(Limit(limits.receiveMs), std::move(call), std::move(abandoned))) {
    MarkDead(connection);
    return false;
  }
  if (!out->ok && !out->handle) lastReply = out->reply;
  SetLastError(out->error);
  return true;
}

// A remote file being read or written: its bytes pass through a ring between the
// caller and a thread of the file, which alone makes the WinINet calls that wait
// for the network, and which closes the WinINet handle at the end and reads the
// server's final reply. The caller waits for the thread at most the receive limit
// without progress.
struct FileState {
  FileState() {
    InitializeCriticalSection(&lock);
    changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  ~FileState() {
    if (thread) CloseHandle(thread);
    CloseHandle(changed);
    CloseHandle(room);
    DeleteCriticalSection(&lock);
  }

  HINTERNET raw = nullptr;
  HINTERNET connection = nullptr;
  HANDLE thread = nullptr;
  bool writing = false;
  DWORD receiveMs = 0;

  CRITICAL_SECTION lock;
  HANDLE changed;  // set by the thread: bytes came or went, the transfer ended, the handle closed
  HANDLE room;     // set by the caller: bytes taken or given, or the end
  ByteRing ring{kRingSize};
  bool ended = false;     // reading: the data ended
  DWORD error = 0;        // reading: the data ended with this failure; writing: a write failed
  bool ending = false;    // writing: the caller gave the last byte
  bool released = false;  // the caller let go: the transfer ends now
  bool timedOut = false;  // the caller waited in vain: every later call fails
  bool closed = false;    // the thread closed the handle; reply is the server's final reply
  std::string reply;

  void Thread();
  // Waits for the caller to give room or bytes; entered and left holding the lock.
  void AwaitCaller() {
    LeaveCriticalSection(&lock);
    WaitForSingleObject(room, INFINITE);
    EnterCriticalSection(&lock);
  }
};

void FileState::Thread() {
  std::vector<char> chunk(writing ? kWriteChunk : kReadChunk);
  EnterCriticalSection(&lock);
  while (!released) {
    if (!writing) {
      if (ended || ring.Room() == 0) {
        AwaitCaller();
        continue;
      }
      const DWORD want = std::min(kReadChunk, ring.Room());
      LeaveCriticalSection(&lock);
      DWORD got = 0;
      const BOOL ok = ::InternetReadFile(raw, chunk.data(), want, &got);
      const DWORD failure = ok ? 0 : InternetNumberOf(::GetLastError());
      EnterCriticalSection(&lock);
      if (!ok || got == 0) {
        ended = true;
        error = ok ? 0 : failure;
      } else {
        ring.Put(chunk.data(), got);
      }
      SetEvent(changed);
      continue;
    }
    if (error != 0 || ring.Size() == 0) {
      if (ending) break;
      AwaitCaller();
      continue;
    }
    const DWORD n = ring.Take(chunk.data(), kWriteChunk);
    SetEvent(changed);
    LeaveCriticalSection(&lock);
    DWORD failure = 0;
    for (DWORD sent = 0; sent < n && failure == 0;) {
      DWORD written = 0;
      if (!::InternetWriteFile(raw, chunk.data() + sent, n - sent, &written)) failure = ::GetLastError();
      else if (written == 0) failure = ERROR_INTERNET_CONNECTION_ABORTED;
      sent += written;
    }
    EnterCriticalSection(&lock);
    if (failure != 0) error = InternetNumberOf(failure);
    SetEvent(changed);
  }
  LeaveCriticalSection(&lock);
  // The transfer ends here: closing the handle makes WinINet read the server's final
  // reply on this thread, where it can be asked for.
  ArmReply();
  ::InternetCloseHandle(raw);
  const std::string finalReply = ThreadReply();
  EnterCriticalSection(&lock);
  closed = true;
  reply = finalReply;
  SetEvent(changed);
  LeaveCriticalSection(&lock);
}

DWORD WINAPI FileThread(void* p) {
  std::unique_ptr<std::shared_ptr<FileState>> own(static_cast<std::shared_ptr<FileState>*>(p));
  (*own)->Thread();
  return 0;
}

// The caller's side of a file: the handle the seam gives out.
struct File {
  std::shared_ptr<FileState> s;
};

File* FindFile(HInternet h) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto* f = static_cast<File*>(h);
  return r.files.count(f) ? f : nullptr;
}

// Gives up on a file whose thread stopped answering; false with ERROR_INTERNET_TIMEOUT.
bool TimeOut(FileState& s) {
  s.timedOut = true;
  LeaveCriticalSection(&s.lock);
  MarkDead(s.connection);
  SetLastError(ERROR_INTERNET_TIMEOUT);
  return false;
}

// A directory command (FtpSetCurrentDirectoryA, FtpCreateDirectoryA) within the limits.
bool DirectoryCommand(HINTERNET connection, const std::string& directory, BOOL(WINAPI* command)(HINTERNET, LPCSTR)) {
  auto out = std::make_shared<Outcome>();
  return OnConnection(connection, out,
                      [=] {
                        out->ok = command(connection, directory.c_str());
                        out->error = ::GetLastError();
                        out->reply = ThreadReply();
                      }) &&
         out->ok;
}

}  // namespace

DWORD InternetNumberOf(DWORD error) {
  switch (error) {
    case WSAECONNRESET: return ERROR_INTERNET_CONNECTION_RESET;
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAESHUTDOWN:
    case INTERNET_ERROR_BASE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case WSAETIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    default: return error;
  }
}

HINTERNET Connect(HINTERNET internet, const std::string& server, std::uint16_t port, const std::string& user,
                  const std::string& password, DWORD flags, RequestLimits limits) {
  if (limits.receiveMs == 0) limits.receiveMs = nolt::kStallLimitMs;
  auto out = std::make_shared<Outcome>();
  // The logon is part of the connect: its replies, however many lines, within the limits.
  const DWORD limit = limits.connectMs == 0 ? INFINITE : limits.connectMs + limits.receiveMs;
  const bool inTime = RunWithin(
      limit,
      [=] {
        out->handle = ::InternetConnectA(internet, server.c_str(), port, user.empty() ? nullptr : user.c_str(),
                                         password.empty() ? nullptr : password.c_str(), INTERNET_SERVICE_FTP, flags, 0);
        out->error = ::GetLastError();
        out->reply = ThreadReply();
      },
      [out] {
        if (out->handle) ::InternetCloseHandle(out->handle);
      });
  if (!inTime) return nullptr;
  if (!out->handle) {
    lastReply = out->reply;
    SetLastError(out->error);
    return nullptr;
  }
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.sessions[out->handle] = Session{limits, false};
  return out->handle;
}

bool ChangeDirectory(HINTERNET connection, const std::string& directory) {
  return DirectoryCommand(connection, directory, ::FtpSetCurrentDirectoryA);
}

bool MakeDirectory(HINTERNET connection, const std::string& directory) {
  return DirectoryCommand(connection, directory, ::FtpCreateDirectoryA);
}

HInternet Find(HINTERNET connection, const std::string& name, FtpFindData* data) {
  auto out = std::make_shared<Outcome>();
  const bool inTime = OnConnection(connection, out, [=] {
    WIN32_FIND_DATAA fd{};
    HINTERNET search = ::FtpFindFirstFileA(connection, name.c_str(), &fd, 0, 0);
    if (!search) {
      out->error = ::GetLastError();
      out->reply = ThreadReply();
      return;
    }
    // The listing is all there is to read; the search is done with before SIZE is
    // asked, as WinINet takes one command at a time.
    ::InternetCloseHandle(search);
    out->ok = TRUE;
    FtpFindData& d = out->data;
    d.attributes = fd.dwFileAttributes;
    d.lastWriteTime =
        (static_cast<std::uint64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
    d.fileName = fd.cFileName;
    // The size: SIZE's answer (binary mode, in which servers give it), 64 bits wide.
    // Without one, the listing's, which WinINet reads into 32 signed bits: a size of
    // 2 GiB or more there is no size at all.
    unsigned long long size = 0;
    char tail = 0;
    ArmReply();
    if (::FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, "TYPE I", 0, nullptr) &&
        ::FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, ("SIZE " + name).c_str(), 0, nullptr) &&
        std::sscanf(ThreadReply().c_str(), "213 %llu%c", &size, &tail) == 1) {
      d.sizeLow = static_cast<std::uint32_t>(size);
      d.sizeHigh = static_cast<std::uint32_t>(size >> 32);
    } else {
      d.sizeLow = fd.nFileSizeLow;
      d.sizeHigh = 0;
      d.sizeKnown = fd.nFileSizeHigh == 0 && fd.nFileSizeLow < 0x7FFFFFFFu;
    }
  });
  if (!inTime || !out->ok) return nullptr;
  if (data) *data = out->data;
  // The search is over already; the handle only has to be closed.
  auto* search = new char;
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.searches.insert(search);
  return search;
}

HInternet Open(HINTERNET connection, const std::string& name, DWORD access, DWORD flags) {
  RequestLimits limits;
  if (!SessionLimits(connection, &limits)) return nullptr;
  auto out = std::make_shared<Outcome>();
  // Opening waits for the data connection too.
  const bool inTime = OnConnection(
      connection, out,
      [=] {
        out->handle = ::FtpOpenFileA(connection, name.c_str(), access, flags, 0);
        out->error = ::GetLastError();
        out->reply = ThreadReply();
      },
      [out] {
        if (out->handle) ::InternetCloseHandle(out->handle);
      });
  if (!inTime || !out->handle) return nullptr;

  auto s = std::make_shared<FileState>();
  s->raw = out->handle;
  s->connection = connection;
  s->writing = access == GENERIC_WRITE;
  s->receiveMs = limits.receiveMs;
  auto* ref = new std::shared_ptr<FileState>(s);
  HANDLE thread = CreateThread(nullptr, 0, FileThread, ref, 0, nullptr);
  if (!thread) {
    const DWORD e = GetLastError();
    delete ref;
    ::InternetCloseHandle(out->handle);
    SetLastError(e);
    return nullptr;
  }
  s->thread = thread;
  auto* file = new File{std::move(s)};
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.files.insert(file);
  return file;
}

bool IsOurs(HInternet h) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.searches.count(h) != 0 || r.files.count(static_cast<File*>(h)) != 0;
}

bool Read(HInternet h, void* buffer, DWORD count, DWORD* read) {
  *read = 0;
  File* f = FindFile(h);
  if (!f || f->s->writing) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return false;
  }
  FileState& s = *f->s;
  auto* out = static_cast<char*>(buffer);
  EnterCriticalSection(&s.lock);
  DWORD start = GetTickCount();
  // Like a synchronous read: the whole count unless the data ends first. Bytes that
  // came before a failure are delivered first; the next call fails.
  while (*read < count) {
    if (s.ring.Size() > 0) {
      *read += s.ring.Take(out + *read, count - *read);
      SetEvent(s.room);
      start = GetTickCount();
      continue;
    }
    if (s.ended || s.timedOut) break;
    const DWORD left = Remaining(s.receiveMs, start);
    if (left == 0) {
      if (*read > 0) break;
      return TimeOut(s);
    }
    LeaveCriticalSection(&s.lock);
    WaitForSingleObject(s.changed, left);
    EnterCriticalSection(&s.lock);
  }
  const DWORD error = *read == 0 ? (s.timedOut ? ERROR_INTERNET_TIMEOUT : s.error) : 0;
  LeaveCriticalSection(&s.lock);
  if (error != 0) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool Write(HInternet h, const void* buffer, DWORD count, DWORD* written) {
  *written = 0;
  File* f = FindFile(h);
  if (!f || !f->s->writing) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return false;
  }
  FileState& s = *f->s;
  const auto* in = static_cast<const char*>(buffer);
  EnterCriticalSection(&s.lock);
  DWORD start = GetTickCount();
  DWORD put = 0;
  while (put < count) {
    const DWORD error = s.timedOut ? ERROR_INTERNET_TIMEOUT : s.error;
    if (error != 0) {
      LeaveCriticalSection(&s.lock);
      SetLastError(error);
      return false;
    }
    if (s.ring.Room() > 0) {
      const DWORD n = std::min(count - put, s.ring.Room());
      s.ring.Put(in + put, n);
      put += n;
      SetEvent(s.room);
      continue;
    }
    // The ring is full: the thread has not got rid of a byte within the limit.
    const DWORD left = Remaining(s.receiveMs, start);
    if (left == 0) return TimeOut(s);
    const DWORD before = s.ring.Size();
    LeaveCriticalSection(&s.lock);
    WaitForSingleObject(s.changed, left);
    EnterCriticalSection(&s.lock);
    if (s.ring.Size() < before) start = GetTickCount();
  }
  LeaveCriticalSection(&s.lock);
  *written = count;
  return true;
}

bool Close(HInternet h) {
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.searches.erase(h)) {
      delete static_cast<char*>(h);
      return true;
    }
  }
  File* f = FindFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(r.lock);
    r.files.erase(f);
  }
  std::shared_ptr<FileState> state = std::move(f->s);
  delete f;
  FileState& s = *state;

  // The end of the transfer: a writer sends what is left, a reader stops; then the
  // thread closes the handle and reads the final reply. A writer that still sends
  // counts as making progress.
  EnterCriticalSection(&s.lock);
  if (s.writing) s.ending = true;
  else s.released = true;
  SetEvent(s.room);
  DWORD start = GetTickCount();
  DWORD lastSize = s.ring.Size();
  while (!s.closed && !s.timedOut) {
    const DWORD left = Remaining(s.receiveMs, start);
    if (left == 0) {
      s.timedOut = true;
      break;
    }
    LeaveCriticalSection(&s.lock);
    WaitForSingleObject(s.changed, left);
    EnterCriticalSection(&s.lock);
    if (s.ring.Size() < lastSize) {
      lastSize = s.ring.Size();
      start = GetTickCount();
    }
  }
  // Whatever happens now, the thread finishes by itself.
  s.released = true;
  SetEvent(s.room);
  const bool closed = s.closed;
  const std::string reply = s.reply;
  const DWORD writeError = s.writing ? s.error : 0;
  LeaveCriticalSection(&s.lock);
  // Nothing of the thread runs on once the caller goes on (and the program may end).
  if (closed) WaitForSingleObject(s.thread, INFINITE);

  if (!closed) {
    MarkDead(s.connection);
    lastReply.clear();
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  lastReply = reply;
  if (writeError != 0) {
    SetLastError(writeError);
    return false;
  }
  const int code = ReplyCode(reply);
  if (code >= 200 && code < 300) return true;
  // 426: the data connection was closed, the transfer aborted. No reply at all is
  // no confirmation either.
  SetLastError(code == 426 || code == 0 ? ERROR_INTERNET_CONNECTION_ABORTED : ERROR_INTERNET_EXTENDED_ERROR);
  return false;
}

void Forget(HINTERNET connection) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.sessions.erase(connection);
}

bool LastReply(std::string* reply) {
  *reply = lastReply;
  return !lastReply.empty();
}

}  // namespace plat::winftp
