// Must contain only Win32-specific code.
#include "platform/win32/internet/TimedRequest.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/win32/internet/ByteRing.h"

namespace plat {
namespace {

constexpr DWORD kRingSize = 256 * 1024;   // bytes read ahead at most
constexpr DWORD kChunk = 64 * 1024;       // the largest single read of the thread

// The requests given out and the contexts StatusCallback may follow. Never
// destroyed: a request's thread that outlived its caller may still reach them
// while the program exits.
struct Registry {
  std::mutex lock;
  std::set<TimedRequest*> requests;
  std::set<const void*> liveShared;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// How long a caller that lets go waits for the thread to close its request.
constexpr DWORD kCloseWaitMs = 5000;

DWORD WINAPI RequestThread(void* p);
void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD);

// Milliseconds left of a wait that started at `start`, for WaitForSingleObject.
DWORD Remaining(DWORD limit, DWORD start) {
  if (limit == 0) return INFINITE;
  const DWORD spent = GetTickCount() - start;
  return spent >= limit ? 0 : limit - spent;
}

}  // namespace

// What the caller and the request's thread share. The thread owns the WinINet
// handle and closes it once the caller has let go.
struct TimedRequest::Shared {
  Shared() {
    InitializeCriticalSection(&lock);
    changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().liveShared.insert(this);
  }
  ~Shared() {
    {
      std::lock_guard<std::mutex> guard(registry().lock);
      registry().liveShared.erase(this);
    }
    if (thread) CloseHandle(thread);
    CloseHandle(changed);
    CloseHandle(room);
    DeleteCriticalSection(&lock);
  }

  // Input of the open.
  HINTERNET internet = nullptr;
  std::string url;
  std::string headers;
  DWORD flags = 0;

  CRITICAL_SECTION lock;
  HANDLE changed;  // set by the thread: opened, bytes added, the body ended
  HANDLE room;     // set by the caller: bytes taken, or let go
  bool sent = false;      // the request has gone out: the receive limit runs
  DWORD sentTick = 0;
  bool opened = false;
  HINTERNET raw = nullptr;
  DWORD openError = 0;
  ByteRing ring{kRingSize};  // the bytes read ahead and not read by the caller yet
  bool ended = false;
  DWORD readError = 0;    // the body ended with this failure
  bool timedOut = false;  // the caller waited in vain: every later call fails
  bool released = false;
  HANDLE thread = nullptr;  // the request's thread, waited for when the caller lets go
  DWORD receiveMs = 0;

  void Thread();
};

void TimedRequest::Shared::Thread() {
  HINTERNET h = ::InternetOpenUrlA(internet, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                   static_cast<DWORD>(headers.size()), flags, reinterpret_cast<DWORD_PTR>(this));
  const DWORD error = ::GetLastError();
  EnterCriticalSection(&lock);
  opened = true;
  raw = h;
  openError = error;
  const bool gone = released;
  SetEvent(changed);
  LeaveCriticalSection(&lock);
  if (!h) return;

  std::vector<char> chunk(kChunk);
  bool reading = !gone;
  while (reading) {
    EnterCriticalSection(&lock);
    while (ring.Room() == 0 && !released) {
      LeaveCriticalSection(&lock);
      WaitForSingleObject(room, INFINITE);
      EnterCriticalSection(&lock);
    }
    const DWORD space = ring.Room();
    reading = !released;
    LeaveCriticalSection(&lock);
    if (!reading) break;

    DWORD available = 0;
    DWORD got = 0;
    bool ok = ::InternetQueryDataAvailable(h, &available, 0, 0) != 0;
    if (ok && available > 0) ok = ::InternetReadFile(h, chunk.data(), std::min({available, space, kChunk}), &got) != 0;
    const DWORD failure = ok ? 0 : ::GetLastError();
    EnterCriticalSection(&lock);
    if (!ok || got == 0) {
      ended = true;
      readError = ok ? 0 : (failure ? failure : ERROR_INTERNET_CONNECTION_ABORTED);
      reading = false;
    } else {
      ring.Put(chunk.data(), got);
    }
    SetEvent(changed);
    LeaveCriticalSection(&lock);
  }

  // The caller may still query the headers: the handle stays until it lets go.
  EnterCriticalSection(&lock);
  while (!released) {
    LeaveCriticalSection(&lock);
    WaitForSingleObject(room, INFINITE);
    EnterCriticalSection(&lock);
  }
  LeaveCriticalSection(&lock);
  ::InternetCloseHandle(h);
}

TimedRequest* TimedRequest::Open(HINTERNET internet, const std::string& url, const std::string& headers, DWORD flags,
                                 RequestLimits limits) {
  auto s = std::make_shared<Shared>();
  s->internet = internet;
  s->url = url;
  s->headers = headers;
  s->flags = flags;
  s->receiveMs = limits.receiveMs;
  // Requests made through the internet handle report to StatusCallback when they are
  // sent; only those with a context of ours are looked at.
  ::InternetSetStatusCallbackA(internet, StatusCallback);

  // The thread holds its own reference, so it may outlive an abandoned request.
  auto* ref = new std::shared_ptr<Shared>(s);
  HANDLE thread = CreateThread(nullptr, 0, RequestThread, ref, 0, nullptr);
  if (!thread) {
    const DWORD e = GetLastError();
    delete ref;
    SetLastError(e);
    return nullptr;
  }
  const DWORD start = GetTickCount();
  EnterCriticalSection(&s->lock);
  s->thread = thread;
  while (!s->opened) {
    const DWORD left = limits.receiveMs == 0 ? INFINITE
                       : s->sent             ? Remaining(limits.receiveMs, s->sentTick)
                                             : Remaining(limits.connectMs + limits.receiveMs, start);
    if (left == 0) break;
    LeaveCriticalSection(&s->lock);
    WaitForSingleObject(s->changed, left);
    EnterCriticalSection(&s->lock);
  }
  const bool opened = s->opened;
  const HINTERNET raw = s->raw;
  const DWORD error = s->openError;
  if (!opened) {
    s->released = true;  // the thread closes what it opens late
    SetEvent(s->room);
  }
  LeaveCriticalSection(&s->lock);
  if (!opened) {
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return nullptr;
  }
  if (!raw) {
    SetLastError(error);
    return nullptr;
  }
  auto* request = new TimedRequest(std::move(s));
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().requests.insert(request);
  return request;
}

TimedRequest* TimedRequest::From(void* handle) {
  auto* p = static_cast<TimedRequest*>(handle);
  std::lock_guard<std::mutex> guard(registry().lock);
  return registry().requests.count(p) ? p : nullptr;
}

TimedRequest::~TimedRequest() {
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().requests.erase(this);
  }
  // The thread closes the request and ends once its current call returns: it is
  // waited for (a while), so that nothing of it runs on when the caller goes on and
  // the program may end. One whose network went silent (the caller waited in vain)
  // is left to end by itself.
  Shared& s = *s_;
  EnterCriticalSection(&s.lock);
  s.released = true;
  SetEvent(s.room);
  const bool silent = s.timedOut;
  LeaveCriticalSection(&s.lock);
  if (!silent) WaitForSingleObject(s.thread, kCloseWaitMs);
}

HINTERNET TimedRequest::Raw() const { return s_->raw; }

void TimedRequest::SetReceiveLimit(DWORD ms) {
  EnterCriticalSection(&s_->lock);
  s_->receiveMs = ms;
  LeaveCriticalSection(&s_->lock);
}

bool TimedRequest::QueryAvailable(DWORD* available) {
  *available = 0;
  Shared& s = *s_;
  EnterCriticalSection(&s.lock);
  const DWORD start = GetTickCount();
  while (s.ring.Size() == 0 && !s.ended && !s.timedOut) {
    const DWORD left = Remaining(s.receiveMs, start);
    if (left == 0) {
      // No byte within the limit: the request has failed, now and for every later call.
      s.timedOut = true;
      break;
    }
    LeaveCriticalSection(&s.lock);
    WaitForSingleObject(s.changed, left);
    EnterCriticalSection(&s.lock);
  }
  const DWORD size = s.timedOut ? 0 : s.ring.Size();
  const DWORD error = s.timedOut ? ERROR_INTERNET_TIMEOUT : s.readError;
  LeaveCriticalSection(&s.lock);
  if (size == 0 && error != 0) {
    SetLastError(error);
    return false;
  }
  *available = size;
  return true;
}

bool TimedRequest::Read(void* buffer, DWORD count, DWORD* read) {
  *read = 0;
  auto* out = static_cast<char*>(buffer);
  Shared& s = *s_;
  // Like a synchronous WinINet read: the whole count unless the body ends first.
  // Bytes that arrived before a failure are delivered first; the next call fails.
  while (*read < count) {
    DWORD available = 0;
    if (!QueryAvailable(&available)) {
      if (*read > 0) break;
      return false;
    }
    if (available == 0) break;
    EnterCriticalSection(&s.lock);
    const DWORD n = s.ring.Take(out + *read, count - *read);
    SetEvent(s.room);
    LeaveCriticalSection(&s.lock);
    *read += n;
  }
  return true;
}

namespace {

// Runs on the request's thread, inside its WinINet call, while the Shared it names
// is alive (the thread holds it).
void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
  if (status != INTERNET_STATUS_REQUEST_SENT || context == 0) return;
  // The registry stays locked while the state is used: it cannot be destroyed meanwhile.
  std::lock_guard<std::mutex> guard(registry().lock);
  if (!registry().liveShared.count(reinterpret_cast<const void*>(context))) return;
  auto* s = reinterpret_cast<TimedRequest::Shared*>(context);
  EnterCriticalSection(&s->lock);
  if (!s->opened) {
    s->sent = true;
    s->sentTick = GetTickCount();
    SetEvent(s->changed);
  }
  LeaveCriticalSection(&s->lock);
}

DWORD WINAPI RequestThread(void* p) {
  std::unique_ptr<std::shared_ptr<TimedRequest::Shared>> own(static_cast<std::shared_ptr<TimedRequest::Shared>*>(p));
  (*own)->Thread();
  return 0;
}

}  // namespace

}  // namespace plat
