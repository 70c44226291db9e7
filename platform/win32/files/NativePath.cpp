// Windows: path text is in the ANSI code page.
#include "platform/NativePath.h"

#include <windows.h>

#include <stdexcept>

namespace plat {

// The standard library reads 8-bit path text as UTF-8 on Windows; the 8-bit file
// calls of this program use the ANSI code page, so the conversion is done here.
std::filesystem::path ToPath(const std::string& text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) throw std::runtime_error("\"" + text + "\": not valid in the ANSI code page");
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return std::filesystem::path(wide);
}

std::string FromPath(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  BOOL lossy = FALSE;
  int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, &lossy);
  if (n <= 0 || lossy) throw std::runtime_error("a name has characters outside the ANSI code page");
  std::string text(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  return text;
}

}  // namespace plat
