// Win32 implementation of the files seam: a thin pass-through to kernel32.
// Must contain only Win32-specific code.
#include "platform/Files.h"

#include "platform/win32/system/SystemMessage.h"
#include "platform/SystemErrors.h"

#include <windows.h>

#include <atomic>

namespace plat {
namespace {

HANDLE ToHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

// True when path may go to the system, which would read it only up to a NUL.
bool Passable(const std::string& path) {
  if (!HoldsNul(path)) return true;
  ::SetLastError(ERROR_INVALID_NAME);
  return false;
}

// Creates a new file named dir + prefix + six random letters and digits + suffix.
FileHandle CreateNewFileIn(const std::string& dir, const std::string& prefix, const std::string& suffix, DWORD access,
                           DWORD flags, std::string* path) {
  if (!Passable(dir)) return kInvalidFile;
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<std::uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    std::uint64_t x = static_cast<std::uint64_t>(now.QuadPart) ^ (std::uint64_t{::GetCurrentProcessId()} << 32) ^
                      (std::uint64_t{::GetCurrentThreadId()} << 16) ^ (++counter * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    std::string name = dir + prefix;
    for (int i = 0; i < 6; ++i, x /= 62) name += kChars[x % 62];
    name += suffix;
    HANDLE h = ::CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *path = name;
      return reinterpret_cast<FileHandle>(h);
    }
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) return kInvalidFile;
  }
  return kInvalidFile;
}

// The data-only flush of Windows 10 (1709) and later: ntdll's NtFlushBuffersFileEx with
// FLUSH_FLAGS_FILE_DATA_SYNC_ONLY writes the data and what reading it back needs,
// without the journal flush of the file's other metadata. Looked up once; null on a
// system without it.
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using FlushBuffersFileEx = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, IoStatus*);
constexpr ULONG kFlushDataSyncOnly = 0x00000004;

FlushBuffersFileEx DataOnlyFlush() {
  static const FlushBuffersFileEx flush = [] {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<FlushBuffersFileEx>(
                       reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtFlushBuffersFileEx")))
                 : nullptr;
  }();
  return flush;
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

  // The six characters come from a mix of the time, the process, the thread and a
  // counter; CREATE_NEW makes the name unique, and a taken name is tried again.
  FileHandle CreateTempFileIn(const std::string& dir, const std::string& prefix, const std::string& suffix,
                              std::string* path) override {
    return CreateNewFileIn(dir, prefix, suffix, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, path);
  }

  bool CanCreateFileIn(const std::string& dir) override {
    // With the manifest's asInvoker no write is redirected to the VirtualStore, so
    // this is the answer for the directory itself.
    std::string path;
    const FileHandle h = CreateNewFileIn(dir, ".nolt-", ".tmp", GENERIC_WRITE | DELETE,
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                         &path);
    if (h == kInvalidFile) return false;
    ::CloseHandle(ToHandle(h));
    return true;
  }

  bool FlushFileBuffers(FileHandle h) override {
    // A system that lacks the flag, or the call, answers with a failure status; the
    // full flush then does the work.
    if (const FlushBuffersFileEx flush = DataOnlyFlush()) {
      IoStatus io{};
      if (flush(ToHandle(h), kFlushDataSyncOnly, nullptr, 0, &io) >= 0) return true;
    }
    return ::FlushFileBuffers(ToHandle(h)) != 0;
  }

  bool FlushDirectory(const std::string& dir) override { return Passable(dir); }

  bool ListDirectory(const std::string& dir, std::vector<FoundFile>* entries) override {
    entries->clear();
    if (!Passable(dir)) return false;
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((dir.empty() ? std::string("*") : dir + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
      const std::string name = fd.cFileName;
      if (name == "." || name == "..") continue;
      // A junction or a link to a directory is not followed.
      const bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                         !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
      entries->push_back({name, isDir ? kFileAttributeDirectory : (fd.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY)});
    } while (::FindNextFileA(h, &fd));
    const DWORD e = ::GetLastError();
    ::FindClose(h);
    ::SetLastError(e);
    return e == ERROR_NO_MORE_FILES;
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
    // A long-path-aware program may lie deeper than MAX_PATH: a full buffer means
    // the path was cut, and a larger one is tried.
    std::string buf(MAX_PATH, '\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
      if (n < buf.size() || buf.size() >= 32768) {
        buf.resize(n < buf.size() ? n : 0);
        return buf;
      }
      buf.resize(buf.size() * 2);
    }
  }


  std::uint32_t GetLastError() override { return ::GetLastError(); }
  void SetLastError(std::uint32_t code) override { ::SetLastError(code); }

  std::string ErrorText(std::uint32_t code) override {
    std::string text = win32::SystemMessage(code);
    if (text.empty()) text = SystemErrorMessage(code);
    if (text.empty()) text = "System error " + std::to_string(code);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
    return text;
  }

  // -- Opens with a share mode ---------------------------------------------------
  FileHandle CreateFileWithShareMode(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                     FileCreate create) override {
    return Open(path, access, shareMode, create);
  }

  // GetFileAttributesA never follows a reparse point itself.
  std::uint32_t GetFileAttributesNoFollowA(const std::string& path) override { return GetFileAttributesA(path); }

  // A reparse point is refused before the open, so that a creating open cannot
  // truncate it, and after it, for one that appeared in between.
  FileHandle CreateFileNoFollow(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                FileCreate create) override {
    if (!Passable(path)) return kInvalidFile;
    const DWORD before = ::GetFileAttributesA(path.c_str());
    if (before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ::SetLastError(ERROR_CANT_ACCESS_FILE);
      return kInvalidFile;
    }
    const FileHandle h = Open(path, access, shareMode, create, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == kInvalidFile) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(ToHandle(h), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ::CloseHandle(ToHandle(h));
      ::SetLastError(ERROR_CANT_ACCESS_FILE);
      return kInvalidFile;
    }
    return h;
  }

  // A file held without sharing cannot be opened by another process, so it is let go
  // first and removed after; a process that took it in between keeps it (the removal
  // then fails).
  void ReleaseLockFile(FileHandle h, const std::string& path) override {
    ::CloseHandle(ToHandle(h));
    if (Passable(path)) ::DeleteFileA(path.c_str());
  }

  bool DeleteFileAtReboot(const std::string& path) override {
    if (!Passable(path)) return false;
    return ::MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }

 private:
  static FileHandle Open(const std::string& path, FileAccess access, DWORD share, FileCreate create,
                         DWORD flags = 0) {
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
    HANDLE h = ::CreateFileA(path.c_str(), acc, share, nullptr, disp, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
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
