// Must contain only Win32-specific code.
#include "platform/win32/internet/TimedCall.h"

#include <wininet.h>

#include <memory>

namespace plat {
namespace {

// What the caller and the call's thread share; the last of the two to let go frees it.
struct Call {
  Call() { InitializeCriticalSection(&lock); }
  ~Call() { DeleteCriticalSection(&lock); }
  std::function<void()> call;
  std::function<void()> abandoned;
  CRITICAL_SECTION lock;
  bool finished = false;   // the call returned, and the caller may take its results
  bool givenUp = false;    // the caller stopped waiting
};

DWORD WINAPI CallThread(void* p) {
  std::unique_ptr<std::shared_ptr<Call>> own(static_cast<std::shared_ptr<Call>*>(p));
  Call& c = **own;
  c.call();
  EnterCriticalSection(&c.lock);
  const bool givenUp = c.givenUp;
  c.finished = !givenUp;
  LeaveCriticalSection(&c.lock);
  if (givenUp && c.abandoned) c.abandoned();
  return 0;
}

}  // namespace

bool RunWithin(DWORD limitMs, std::function<void()> call, std::function<void()> abandoned) {
  auto c = std::make_shared<Call>();
  c->call = std::move(call);
  c->abandoned = std::move(abandoned);
  auto* ref = new std::shared_ptr<Call>(c);
  HANDLE thread = CreateThread(nullptr, 0, CallThread, ref, 0, nullptr);
  if (!thread) {
    // No thread to spare: the call runs here, without its limit.
    delete ref;
    c->call();
    return true;
  }
  // The thread's end, not only the call's: nothing of it runs on once the caller
  // goes on (and the program may end), unless it ran out of time.
  WaitForSingleObject(thread, limitMs);
  CloseHandle(thread);
  EnterCriticalSection(&c->lock);
  const bool finished = c->finished;
  if (!finished) c->givenUp = true;
  LeaveCriticalSection(&c->lock);
  if (!finished) SetLastError(ERROR_INTERNET_TIMEOUT);
  return finished;
}

}  // namespace plat
