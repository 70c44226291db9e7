// Pieces of the transfer skeleton that the routines share besides the members of
// TWebCopy: a WinINet handle that closes itself, the staged local target of a
// download, and two path questions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// The local file of a download. The data goes to a temporary file in the target's
// directory, which replaces the target in one step only when Commit is called after
// a complete transfer. Every other way out (Discard, a failed write, destruction)
// removes the temporary file, and an existing target stays as it was: a cancel or a
// broken connection never leaves half a file in place of a good one.
class StagedTarget {
 public:
  static constexpr std::uint32_t kWriteChunk = 64 * 1024;

  StagedTarget() = default;
  ~StagedTarget() { Discard(); }
  StagedTarget(const StagedTarget&) = delete;
  StagedTarget& operator=(const StagedTarget&) = delete;

  // Creates the temporary file beside target. False, with nothing created, when the
  // target cannot be written: its name is empty, it is a directory or a read-only
  // file, or its directory takes no new file.
  bool Create(const std::string& target);
  // Writes count bytes. They are gathered into writes of kWriteChunk bytes: one
  // system call per 4 KiB block would cost more than the network does on a fast
  // link. On failure the temporary file is removed and plat::EInOutError is raised.
  void Write(const void* data, std::uint32_t count);
  // Room for the next count bytes (at most kWriteChunk), to read a block straight
  // into the write buffer without another copy; Append then keeps what was read.
  char* NextBlock(std::uint32_t count);
  void Append(std::uint32_t count) { pendingSize_ += count; }
  // Closes the temporary file and moves it over the target. A failing close raises
  // plat::EInOutError; a failing move returns false. Either way no temporary file remains.
  bool Commit();
  // Closes and removes the temporary file.
  void Discard();

  const std::string& TempPath() const { return temp_; }

 private:
  void WriteThrough(const void* data, std::uint32_t count);
  void Flush();
  [[noreturn]] void Raise(std::uint32_t code);

  std::string target_;
  std::string temp_;
  plat::FileHandle file_ = plat::kInvalidFile;
  std::unique_ptr<char[]> pending_;  // kWriteChunk bytes, allocated once per file
  std::uint32_t pendingSize_ = 0;
};

// A path names an existing file when its attributes can be read and it is not a directory.
bool FileExists(const std::string& path);
// The directory part of a path, up to and including its last separator; "" when it has none.
std::string DirectoryOf(const std::string& path);

}  // namespace nolt
