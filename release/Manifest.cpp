#include "release/Manifest.h"

#include <memory>

#include "base/Text.h"
#include "install/InstallName.h"
#include "platform/Files.h"

namespace nolt {
namespace {

constexpr std::size_t kChecksumCut = 512;
// A name is kept up to one byte beyond the longest that can be installed, so that a
// longer one stays too long for StaysInside, whatever followed the cut.
constexpr std::size_t kNameKept = kMaxInstallNameLength + 1;
static_assert(kNameKept <= kChecksumCut);
constexpr std::uint32_t kBlock = 64 * 1024;

[[noreturn]] void RaiseIo() {
  const std::uint32_t code = plat::files().GetLastError();
  throw plat::EInOutError(code, plat::files().ErrorText(code));
}

}  // namespace

void ManifestLine::Add(char c) {
  if (colon_) {
    if (tail_.size() < kChecksumCut) tail_ += c;
    return;
  }
  if (!IsBlank(c)) nonBlank_ = true;
  if (c == ':') {
    colon_ = true;
  } else if (length_ > 0 || !IsBlank(c)) {
    // The line from its first non-blank byte: its first 512 bytes are the checksum
    // of a line without a colon, and they hold all that is kept of a name.
    ++length_;
    if (head_.size() < kChecksumCut) head_ += c;
    if (!IsBlank(c)) nameEnd_ = length_;
  }
}

bool ManifestLine::Finish(std::string& name, std::string& checksum) {
  const bool entry = nonBlank_;
  if (entry && colon_) {
    // head_ starts at the first non-blank byte and nameEnd_ is one past the last
    // one before the colon: the trimmed name, of which kNameKept bytes at most.
    name = head_.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(nameEnd_, kNameKept)));
    // The cut counts from the byte after the colon, before trimming.
    checksum = Trim(tail_);
  } else if (entry) {
    name.clear();
    checksum = Trim(head_);
  }
  *this = ManifestLine();
  return entry;
}

bool ParseManifestLine(const std::string& line, std::string& name, std::string& checksum) {
  ManifestLine parser;
  for (char c : line) parser.Add(c);
  return parser.Finish(name, checksum);
}

void ReadManifest(const std::string& path, std::vector<std::string>& names, std::vector<std::string>& checksums) {
  plat::Files& fs = plat::files();
  plat::FileHandle h = fs.CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) RaiseIo();
  struct Closer {
    plat::FileHandle h;
    ~Closer() { plat::files().CloseHandle(h); }
  } closer{h};

  std::unique_ptr<char[]> buffer(new char[kBlock]);
  ManifestLine line;
  bool lineStarted = false;   // a byte of the current line has been kept or dropped
  bool dropping = false;      // after 0x1A inside a line, until its end
  bool pendingCr = false;     // a CR whose successor is not read yet
  auto endLine = [&] {
    std::string name, checksum;
    if (line.Finish(name, checksum)) {
      names.push_back(std::move(name));
      checksums.push_back(std::move(checksum));
    }
    lineStarted = dropping = false;
  };

  for (;;) {
    std::uint32_t n = 0;
    if (!fs.ReadFile(h, buffer.get(), kBlock, &n)) RaiseIo();
    if (n == 0) break;
    for (std::uint32_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (pendingCr) {
        pendingCr = false;
        if (c == '\n') {
          endLine();
          continue;
        }
        // A CR not followed by LF is dropped and does not end the line.
      }
      if (c == '\n') {
        endLine();
      } else if (c == '\r') {
        pendingCr = true;
      } else if (c == '\x1A') {
        if (!lineStarted) return;  // end of the manifest
        dropping = true;
      } else {
        lineStarted = true;
        if (!dropping) line.Add(c);
      }
    }
  }
  if (lineStarted) endLine();
}

std::string ManifestLineOf(const std::string& name, const std::string& checksum) {
  return name + ":" + checksum + "\r\n";
}

}  // namespace nolt
