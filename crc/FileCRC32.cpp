#include "crc/FileCRC32.h"

#include <memory>
#include <new>

#include "crc/Crc32.h"
#include "platform/Files.h"

namespace nolt {
namespace {

// Size of every read (0xFFF1). The checksum itself does not depend on it.
constexpr std::uint32_t kBlockSize = 65521;

// "0" for 0; otherwise upper-case hex, at least six digits, no further leading zeros.
//   0x1 -> "000001", 0xABCDEF -> "ABCDEF", 0x1ABCDEF -> "1ABCDEF", 0xFFFFFFFF -> "FFFFFFFF"
std::string CrcText(std::uint32_t crc) {
  if (crc == 0) return "0";
  char digits[8];
  int n = 0;
  for (std::uint32_t v = crc; v != 0; v >>= 4) digits[n++] = "0123456789ABCDEF"[v & 0xFu];
  while (n < 6) digits[n++] = '0';
  std::string text;
  while (n > 0) text += digits[--n];
  return text;
}

// An open file of the seam that is closed however the checksum ends.
class ReadHandle {
 public:
  ReadHandle(plat::Files& files, const std::string& name)
      : files_(files), handle_(files.CreateFileA(name, plat::FileAccess::Read, plat::FileCreate::OpenExisting)) {}
  ~ReadHandle() {
    if (handle_ == plat::kInvalidFile) return;
    try {
      files_.CloseHandle(handle_);
    } catch (...) {
    }
  }
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;

  bool IsOpen() const { return handle_ != plat::kInvalidFile; }
  plat::FileHandle Get() const { return handle_; }

 private:
  plat::Files& files_;
  plat::FileHandle handle_;
};

// Feeds the whole file to the register, one block after the other through one
// buffer. False when a read fails: the reading stops there and does not retry.
bool ReadThrough(plat::Files& files, plat::FileHandle h, std::uint32_t& reg) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBlockSize]);
  if (!buffer) return false;
  for (;;) {
    std::uint32_t got = 0;
    if (!files.ReadFile(h, buffer.get(), kBlockSize, &got)) return false;
    if (got == 0) return true;
    if (got > kBlockSize) return false;  // a broken read report; never look past the buffer
    reg = crc::Update(reg, buffer.get(), got);
  }
}

}  // namespace

std::string FileCRC32(const std::string& FileName, std::uint32_t& Crc) noexcept {
  Crc = 0;
  try {
    plat::Files& files = plat::files();
    // The checksum reports no errors, so it leaves none behind either: whatever
    // the open or a read sets, the caller sees the last error it had before.
    const std::uint32_t previousError = files.GetLastError();
    std::uint32_t reg = 0xFFFFFFFFu;
    bool complete = false;
    {
      ReadHandle file(files, FileName);
      // A file that cannot be opened keeps the preset register: its value is 0.
      complete = !file.IsOpen() || ReadThrough(files, file.Get(), reg);
    }
    files.SetLastError(previousError);
    // A failed read gives 0 as a file that cannot be opened does, rather than the
    // CRC of a part of the file, which would pass for the CRC of other contents.
    Crc = complete ? ~reg : 0;
    return CrcText(Crc);
  } catch (...) {
    Crc = 0;
    return "0";
  }
}

}  // namespace nolt
