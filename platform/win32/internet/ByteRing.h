// A ring of bytes of a fixed size between a caller and a thread of a request or a
// file (TimedRequest.cpp, InternetFtp.cpp); the caller of each operation holds
// the lock that guards it. Must contain only Win32-specific code.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace plat {

class ByteRing {
 public:
  explicit ByteRing(DWORD capacity) : bytes_(capacity) {}

  DWORD Size() const { return size_; }
  DWORD Room() const { return static_cast<DWORD>(bytes_.size()) - size_; }

  // Appends n bytes; n is at most Room().
  void Put(const char* data, DWORD n) {
    const DWORD capacity = static_cast<DWORD>(bytes_.size());
    const DWORD tail = (head_ + size_) % capacity;
    const DWORD first = std::min(n, capacity - tail);
    std::memcpy(bytes_.data() + tail, data, first);
    std::memcpy(bytes_.data(), data + first, n - first);
    size_ += n;
  }
  // Takes up to n bytes from the front; returns how many.
  DWORD Take(char* out, DWORD n) {
    const DWORD capacity = static_cast<DWORD>(bytes_.size());
    n = std::min(n, size_);
    const DWORD first = std::min(n, capacity - head_);
    std::memcpy(out, bytes_.data() + head_, first);
    std::memcpy(out + first, bytes_.data(), n - first);
    head_ = (head_ + n) % capacity;
    size_ -= n;
    return n;
  }

 private:
  std::vector<char> bytes_;
  DWORD head_ = 0;
  DWORD size_ = 0;
};

}  // namespace plat
