#include "app/Manifest.h"

#include <memory>

#include "core/Text.h"
#include "platform/Files.h"

namespace nolt {
namespace {

constexpr std::size_t kChecksumCut = 512;
constexpr std::uint32_t kBlock = 64 * 1024;

[[noreturn]] void RaiseIo() {
  const std::uint32_t code = plat::files().GetLastError();
  throw plat::EInOutError(code, plat::files().ErrorText(code));
}

}  // namespace

bool ParseManifestLine(const std::string& line, std::string& name, std::string& checksum) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty()) return false;
  const std::size_t colon = trimmed.find(':');
  if (colon == std::string::npos) {
    name.clear();
    checksum = Trim(trimmed.substr(0, kChecksumCut));
  } else {
    name = Trim(trimmed.substr(0, colon));
    checksum = Trim(trimmed.substr(colon + 1, kChecksumCut));
  }
  return true;
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
  std::string line;
  bool lineStarted = false;   // a byte of the current line has been kept or dropped
  bool dropping = false;      // after 0x1A inside a line, until its end
  bool pendingCr = false;     // a CR whose successor is not read yet
  auto endLine = [&] {
    std::string name, checksum;
    if (ParseManifestLine(line, name, checksum)) {
      names.push_back(std::move(name));
      checksums.push_back(std::move(checksum));
    }
    line.clear();
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
        if (!dropping) line += c;
      }
    }
  }
  if (!line.empty() || lineStarted) endLine();
}

}  // namespace nolt
