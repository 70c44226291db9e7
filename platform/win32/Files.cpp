// Win32 implementation of the files seam: a thin pass-through to kernel32.
// Must contain only Win32-specific code.
#include "platform/Files.h"

#include <windows.h>

namespace plat {
namespace {

HANDLE ToHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

class Win32Files final : public Files {
 public:
  std::uint32_t GetFileAttributesA(const std::string& path) override {
    return ::GetFileAttributesA(path.c_str());
  }
  bool DeleteFileA(const std::string& path) override { return ::DeleteFileA(path.c_str()) != 0; }
  bool CreateDirectoryA(const std::string& path) override { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }
  bool RemoveDirectoryA(const std::string& path) override { return ::RemoveDirectoryA(path.c_str()) != 0; }

  FileHandle CreateFileA(const std::string& path, FileAccess access, FileCreate create) override {
    DWORD acc = access == FileAccess::Read ? GENERIC_READ
                : access == FileAccess::Write ? GENERIC_WRITE
                                              : GENERIC_READ | GENERIC_WRITE;
    DWORD share = access == FileAccess::Read ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    DWORD disp = OPEN_EXISTING;
    switch (create) {
      case FileCreate::OpenExisting: disp = OPEN_EXISTING; break;
      case FileCreate::CreateAlways: disp = CREATE_ALWAYS; break;
      case FileCreate::OpenAlways: disp = OPEN_ALWAYS; break;
      case FileCreate::CreateNew: disp = CREATE_NEW; break;
    }
    HANDLE h = ::CreateFileA(path.c_str(), acc, share, nullptr, disp, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
    return reinterpret_cast<FileHandle>(h);
  }

  bool ReadFile(FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    DWORD n = 0;
    BOOL ok = ::ReadFile(ToHandle(h), buffer, count, &n, nullptr);
    *read = n;
    return ok != 0;
  }

  bool WriteFile(FileHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    DWORD n = 0;
    BOOL ok = ::WriteFile(ToHandle(h), buffer, count, &n, nullptr);
    *written = n;
    if (ok && n < count) {
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    return ok != 0;
  }

  std::int64_t SetFilePointer(FileHandle h, std::int64_t offset, SeekOrigin origin) override {
    LARGE_INTEGER dist, pos;
    dist.QuadPart = offset;
    if (!::SetFilePointerEx(ToHandle(h), dist, &pos, static_cast<DWORD>(origin))) return -1;
    return pos.QuadPart;
  }

  bool GetFileSize(FileHandle h, std::uint64_t* size) override {
    LARGE_INTEGER s;
    if (!::GetFileSizeEx(ToHandle(h), &s)) return false;
    *size = static_cast<std::uint64_t>(s.QuadPart);
    return true;
  }

  bool CloseHandle(FileHandle h) override { return ::CloseHandle(ToHandle(h)) != 0; }

  bool GetFileTime(FileHandle h, std::uint64_t* lastWrite) override {
    FILETIME ft;
    if (!::GetFileTime(ToHandle(h), nullptr, nullptr, &ft)) return false;
    *lastWrite = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
  }

  bool SetFileTime(FileHandle h, std::uint64_t lastWrite) override {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(lastWrite);
    ft.dwHighDateTime = static_cast<DWORD>(lastWrite >> 32);
    return ::SetFileTime(ToHandle(h), nullptr, nullptr, &ft) != 0;
  }

  bool MoveFileReplace(const std::string& source, const std::string& target) override {
    return ::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  FileHandle CreateTempFileIn(const std::string& dir, std::string* path) override {
    char name[MAX_PATH];
    if (!::GetTempFileNameA(dir.empty() ? "." : dir.c_str(), "nlt", 0, name)) return kInvalidFile;
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = ::GetLastError();
      ::DeleteFileA(name);
      ::SetLastError(e);
      return kInvalidFile;
    }
    *path = name;
    return reinterpret_cast<FileHandle>(h);
  }

  std::string GetFullPathNameA(const std::string& path) override {
    char buf[MAX_PATH];
    DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, buf, nullptr);
    if (n == 0) return {};
    if (n < MAX_PATH) return std::string(buf, n);
    std::string big(n, '\0');
    n = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(big.size()), big.data(), nullptr);
    if (n == 0 || n >= big.size()) return {};
    big.resize(n);
    return big;
  }

  // Windows files carry no permission bits to carry over.
  bool FinishInstalledFile(FileHandle, const std::string&) override { return true; }

  std::string ExecutablePath() override {
    char buf[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return std::string(buf, n);
  }

  std::string LocalName(const std::string& name) override { return name; }

  std::uint32_t GetLastError() override { return ::GetLastError(); }
  void SetLastError(std::uint32_t code) override { ::SetLastError(code); }

  std::string ErrorText(std::uint32_t code) override {
    char* buf = nullptr;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
    std::string text = n ? std::string(buf, n) : "System error " + std::to_string(code);
    if (buf) ::LocalFree(buf);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
    return text;
  }
};

}  // namespace

template <> Files& SystemInstance<Files>() {
  static Win32Files* instance = new Win32Files;
  return *instance;
}

}  // namespace plat
