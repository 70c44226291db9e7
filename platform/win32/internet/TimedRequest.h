// A request opened by InternetOpenUrlA that keeps the time limits of its internet
// handle. WinINet implementations differ in whether such a request inherits the
// handle's receive limit (Wine's does not, and takes the limit only from a request
// made with HttpOpenRequestA), and a synchronous WinINet call that waits for the
// network cannot be interrupted: closing its handle from another thread does not
// end the wait. So the calls that wait for the network run on a thread of the
// request, which opens it and then reads the body ahead into a buffer, and the
// caller waits for that thread at most the limits:
//   - the open: the receive limit once the request has been sent (a status callback
//     on the internet handle tells when), the connect limit plus the receive limit
//     before that;
//   - every read or query: the receive limit without a new byte of the body.
// The request's context is the seam's own, for that callback.
// A request whose wait ran out fails with ERROR_INTERNET_TIMEOUT (12002); its thread
// is left to end when its call returns, and then closes the WinINet handle.
// Must contain only Win32-specific code.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

namespace plat {

struct RequestLimits {
  DWORD connectMs = 60000;  // WinINet's default
  DWORD receiveMs = 0;      // 0: no limit
};

class TimedRequest {
 public:
  // Opens the request on its own thread; nullptr with the thread's error set (or
  // ERROR_INTERNET_TIMEOUT) when it could not be opened in time.
  static TimedRequest* Open(HINTERNET internet, const std::string& url, const std::string& headers, DWORD flags,
                            RequestLimits limits);
  // The request behind a handle this class gave out, or nullptr.
  static TimedRequest* From(void* handle);

  ~TimedRequest();
  TimedRequest(const TimedRequest&) = delete;
  TimedRequest& operator=(const TimedRequest&) = delete;

  // The WinINet request, for the calls that do not wait for the network.
  HINTERNET Raw() const;
  // InternetReadFile and InternetQueryDataAvailable over the bytes read ahead.
  bool Read(void* buffer, DWORD count, DWORD* read);
  bool QueryAvailable(DWORD* available);
  void SetReceiveLimit(DWORD ms);

  struct Shared;

 private:
  explicit TimedRequest(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
  std::shared_ptr<Shared> s_;
};

}  // namespace plat
