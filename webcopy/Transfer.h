// Pieces of the transfer skeleton that the routines share besides the members of
// TWebCopy: the time limits and the rate rule, and a WinINet handle that closes
// itself. A downloaded file is installed through StagedFile (install/StagedFile.h).
#pragma once

#include <cstdint>
#include <deque>

#include "platform/Internet.h"

namespace nolt {

// The limits that end a transfer which would otherwise wait for ever, the same on
// both targets. The run loop gives the first two to the internet handle (WinINet's
// own options); the rate rule is kept by the routines' read loops (RateWatch),
// since WinINet has no such limit. The programs keep these values; tests shorten
// them through TWebCopy::Limits.
struct TransferLimits {
  std::uint32_t connectMs = 30000;  // to reach the server
  std::uint32_t receiveMs = 30000;  // the longest wait for the next bytes of an answer
  // A transfer that receives less than minBytesPerSecond, averaged over the last
  // rateWindowMs, would take too long ever to finish: it fails.
  std::uint32_t minBytesPerSecond = 1024;
  std::uint32_t rateWindowMs = 30000;
};

// The rate rule of one transfer, fed after every block.
class RateWatch {
 public:
  RateWatch(const TransferLimits& limits, std::uint32_t startTick);
  // done: the bytes received so far; now: the tick count. True once the bytes of
  // the last window fall short of the minimum rate.
  bool TooSlow(std::uint64_t done, std::uint32_t now);

 private:
  struct Sample {
    std::uint32_t tick;
    std::uint64_t done;
  };
  std::uint32_t window_;
  std::uint32_t minRate_;
  std::uint32_t spacing_;  // one sample per thirtieth of the window
  std::deque<Sample> samples_;
};

// Closes the WinINet handle it holds on every way out of a routine, an exception
// from a local write included.
class ScopedInternetHandle {
 public:
  ScopedInternetHandle() = default;
  ~ScopedInternetHandle() { Close(); }
  ScopedInternetHandle(const ScopedInternetHandle&) = delete;
  ScopedInternetHandle& operator=(const ScopedInternetHandle&) = delete;

  void Reset(plat::HInternet h) {
    Close();
    h_ = h;
  }
  void Close() {
    if (h_) plat::internet().InternetCloseHandle(h_);
    h_ = nullptr;
  }
  plat::HInternet Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  plat::HInternet h_ = nullptr;
};

}  // namespace nolt
