// A WinINet call that waits for the network, run with a time limit. A synchronous
// WinINet call cannot be interrupted (closing its handle from another thread does
// not end the wait), and some know no limit of their own: Wine's FTP calls (a logon
// reply whose lines never end, a data connection that stays silent) and its TLS
// handshake. So the call runs on a thread of its own, and the caller waits for it at
// most the limit. A call that outlives its limit is left to end by itself; what it
// uses must be its own (captured by value, or shared).
// Must contain only Win32-specific code.
#pragma once

#include <windows.h>

#include <functional>

namespace plat {

// Runs call on a new thread and waits for it at most limitMs (INFINITE: for as long
// as it takes). True when it returned in time: the caller then sees the results it
// left. False, with ERROR_INTERNET_TIMEOUT as this thread's last error, when it did
// not: abandoned then runs on the call's thread once the call has returned (to close
// a handle that came too late, say), and the caller never sees a result.
bool RunWithin(DWORD limitMs, std::function<void()> call, std::function<void()> abandoned = {});

}  // namespace plat
