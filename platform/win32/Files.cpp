// Win32 implementation of the files seam: a thin pass-through to kernel32.
// Must contain only Win32-specific code.
#include "platform/Files.h"

#include <windows.h>

namespace plat {
namespace {

HANDLE ToHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

// True when path may go to the system, which would read it only up to a NUL.
bool Passable(const std::string& path) {
  if (!HoldsNul(path)) return true;
  ::SetLastError(ERROR_INVALID_NAME);
  return false;
}

class Win32Files final : public Files {
 public:
  std::uint32_t GetFileAttributesA(const std::string& path) override {
    if (!Passable(path)) return INVALID_FILE_ATTRIBUTES;
    return ::GetFileAttributesA(path.c_str());
  }

  bool IsRegularFile(const std::string& path) override {
    if (!Passable(path)) return false;
    const DWORD a = ::GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    // A device name (CON, NUL, COM1, nul.txt, ...) names the device in any directory
    // and answers with a plain file's attributes. The full path shows it ("\\.\CON");
    // a device that the path does not show, the handle does. Opening for the
    // attributes alone reads nothing and is refused by no sharing mode; a file that
    // cannot be opened even so is judged by its attributes.
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (n >= 4 && n < MAX_PATH && std::string(full, 4) == "\\\\.\\") return false;
    HANDLE h = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return true;
    const bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
    ::CloseHandle(h);
    return disk;
  }

  bool DeleteFileA(const std::string& path) override { return Passable(path) && ::DeleteFileA(path.c_str()) != 0; }
  bool CreateDirectoryA(const std::string& path) override {
    return Passable(path) && ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }
  bool RemoveDirectoryA(const std::string& path) override {
    return Passable(path) && ::RemoveDirectoryA(path.c_str()) != 0;
  }

  FileHandle CreateFileA(const std::string& path, FileAccess access, FileCreate create) override {
    return Open(path, access, access == FileAccess::Read ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ,
                create);
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
    if (!Passable(source) || !Passable(target)) return false;
    return ::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  FileHandle CreateTempFileIn(const std::string& dir, std::string* path) override {
    if (!Passable(dir)) return kInvalidFile;
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
    if (!Passable(path)) return {};
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
  bool FinishInstalledFile(FileHandle, const std::string& target) override { return Passable(target); }

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

  // -- Opens with a share mode ---------------------------------------------------
  FileHandle CreateFileWithShareMode(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                     FileCreate create) override {
    return Open(path, access, shareMode, create);
  }

 private:
  static FileHandle Open(const std::string& path, FileAccess access, DWORD share, FileCreate create) {
    if (!Passable(path)) return kInvalidFile;
    const DWORD acc = access == FileAccess::Read    ? GENERIC_READ
                      : access == FileAccess::Write ? GENERIC_WRITE
                                                    : GENERIC_READ | GENERIC_WRITE;
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
};

}  // namespace

template <> Files& SystemInstance<Files>() {
  static Win32Files* instance = new Win32Files;
  return *instance;
}

}  // namespace plat
