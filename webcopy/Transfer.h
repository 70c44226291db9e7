// Pieces of the transfer skeleton that the routines share besides the members of
// TWebCopy: the time limits and the rate rule, a WinINet handle and a local file
// that close themselves, and the block reads of a local file to send.
// A downloaded file is installed through StagedFile (install/StagedFile.h).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "base/Limits.h"
#include "platform/Files.h"
#include "platform/Internet.h"

namespace nolt {

// The limits that end a transfer which would otherwise wait for ever, the same on
// both targets. The run loop gives the first two to the internet handle (WinINet's
// own options); the rate rule is kept by the routines' read loops (RateWatch),
// since WinINet has no such limit. The programs keep these values; tests shorten
// them through TWebCopy::Limits.
struct TransferLimits {
  std::uint32_t connectMs = kStallLimitMs;  // to reach the server
  std::uint32_t receiveMs = kStallLimitMs;  // the longest wait for the next bytes of an answer
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
  // Gives the handle up without closing it, for a caller that closes it itself.
  plat::HInternet Release() {
    plat::HInternet h = h_;
    h_ = nullptr;
    return h;
  }
  plat::HInternet Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  plat::HInternet h_ = nullptr;
};

// Closes the local file it holds on every way out of a routine, an exception from
// a local read included.
class ScopedFile {
 public:
  explicit ScopedFile(plat::FileHandle h) : h_(h) {}
  ~ScopedFile() { Close(); }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  void Close() {
    if (h_ != plat::kInvalidFile) plat::files().CloseHandle(h_);
    h_ = plat::kInvalidFile;
  }
  plat::FileHandle Get() const { return h_; }
  explicit operator bool() const { return h_ != plat::kInvalidFile; }

 private:
  plat::FileHandle h_;
};

// Reads a local file block by block for a transfer: each Read fills the whole
// block unless the file ends first, as a block read of the runtime does. The file
// is read ahead in kReadAhead pieces, so a 4 KiB block costs a copy instead of a
// system call.
class BlockReader {
 public:
  static constexpr std::uint32_t kReadAhead = 256 * 1024;

  explicit BlockReader(plat::FileHandle h) : h_(h) {}
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // Up to count bytes into block; *read is short of count only at the end of the
  // file. False when the system's read fails (plat::files().GetLastError() tells why).
  bool Read(void* block, std::uint32_t count, std::uint32_t* read);

 private:
  plat::FileHandle h_;
  std::unique_ptr<char[]> buffer_;
  std::uint32_t begin_ = 0;
  std::uint32_t end_ = 0;
  bool atEnd_ = false;
};

}  // namespace nolt
