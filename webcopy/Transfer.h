// Pieces of the transfer skeleton that the routines share besides the members of
// TWebCopy: a WinINet handle and a local file that close themselves.
// A downloaded file is installed through StagedFile (install/StagedFile.h).
#pragma once

#include <cstdint>

#include "platform/Files.h"
#include "platform/Internet.h"

namespace nolt {

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

}  // namespace nolt
