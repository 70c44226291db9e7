#include "platform/win32/system/SystemMessage.h"

#include <vector>

namespace plat::win32 {

std::string SystemMessage(std::uint32_t code, HMODULE module, std::uint32_t maxBytes) {
  const DWORD source = module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  if (maxBytes) {
    std::vector<char> buf(maxBytes);
    const DWORD n = ::FormatMessageA(source | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, 0, buf.data(), maxBytes,
                                     nullptr);
    return std::string(buf.data(), n);
  }
  char* buffer = nullptr;
  const DWORD n = ::FormatMessageA(source | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                                   code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : std::string();
  if (buffer) ::LocalFree(buffer);
  return text;
}

}  // namespace plat::win32
