// POSIX implementation of the files seam. Only POSIX-specific code lives here;
// errno is translated to Win32 error numbers in ErrorFromErrno alone.
#include "platform/Files.h"
#include "base/Time.h"
#include "platform/SystemErrors.h"
#include "platform/posix/files/PosixFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

namespace plat {
namespace {

thread_local std::uint32_t lastError = 0;

}  // namespace

std::uint32_t posix::ErrorFromErrno(int e) {
  switch (e) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case EEXIST: return kErrorAlreadyExists;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EMFILE:
    case ENFILE: return 4;    // ERROR_TOO_MANY_OPEN_FILES
    case EIO: return 1117;    // ERROR_IO_DEVICE
    case EINVAL: return 87;   // ERROR_INVALID_PARAMETER
    case ENOTEMPTY: return 145;  // ERROR_DIR_NOT_EMPTY
    case EXDEV: return 17;    // ERROR_NOT_SAME_DEVICE
    default: return 0x20000000u | static_cast<std::uint32_t>(e);  // unmapped: errno kept
  }
}

namespace {

using posix::ErrorFromErrno;

bool Fail() {
  lastError = ErrorFromErrno(errno);
  return false;
}

// True when path may go to the system; a path with a NUL fails as Windows fails it.
bool Passable(const std::string& path) {
  if (!HoldsNul(path)) return true;
  lastError = kErrorInvalidName;
  return false;
}

// The process's umask, read without changing it (changing it, even for a moment,
// would race with other threads creating files).
mode_t CurrentUmask() {
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(f);
    if (found) return static_cast<mode_t>(mask);
  }
  mode_t old = ::umask(022);
  ::umask(old);
  return old;
}

class PosixFiles final : public Files {
 public:
  std::uint32_t GetFileAttributesA(const std::string& path) override {
    struct stat st;
    if (!Passable(path)) return kInvalidFileAttributes;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
      Fail();
      return kInvalidFileAttributes;
    }
    std::uint32_t attr = 0;
    if (S_ISDIR(st.st_mode)) attr |= kFileAttributeDirectory;
    else attr |= kFileAttributeArchive;
    if (::access(path.c_str(), W_OK) != 0 && errno == EROFS) attr |= kFileAttributeReadOnly;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attr |= kFileAttributeReadOnly;
    return attr;
  }

  bool IsRegularFile(const std::string& path) override {
    // stat follows a link once to what it names, and never opens: a FIFO without
    // a writer cannot make it wait.
    struct stat st;
    if (!Passable(path)) return false;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return Fail();
    return S_ISREG(st.st_mode);
  }

  bool DeleteFileA(const std::string& path) override {
    if (!Passable(path)) return false;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      lastError = kErrorAccessDenied;  // as Windows: a directory is not a file
      return false;
    }
    return ::unlink(path.c_str()) == 0 || Fail();
  }

  bool CreateDirectoryA(const std::string& path) override {
    if (!Passable(path)) return false;
    return ::mkdir(path.c_str(), 0777) == 0 || Fail();
  }

  bool RemoveDirectoryA(const std::string& path) override {
    if (!Passable(path)) return false;
    return ::rmdir(path.c_str()) == 0 || Fail();
  }

  FileHandle CreateFileA(const std::string& path, FileAccess access, FileCreate create) override {
    return Open(path, access, create, 0);
  }

  // open(2) with the flags of access and create and any extra ones (O_NOFOLLOW).
  FileHandle Open(const std::string& path, FileAccess access, FileCreate create, int extra) {
    if (!Passable(path)) return kInvalidFile;
    int flags = O_CLOEXEC | extra;
    switch (access) {
      case FileAccess::Read: flags |= O_RDONLY; break;
      case FileAccess::Write: flags |= O_WRONLY; break;
      case FileAccess::ReadWrite: flags |= O_RDWR; break;
    }
    switch (create) {
      case FileCreate::OpenExisting: break;
      case FileCreate::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
      case FileCreate::OpenAlways: flags |= O_CREAT; break;
      case FileCreate::CreateNew: flags |= O_CREAT | O_EXCL; break;
    }
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
      Fail();
      return kInvalidFile;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {  // Windows cannot open a directory as a file
      ::close(fd);
      lastError = kErrorAccessDenied;
      return kInvalidFile;
    }
    return fd;
  }

  bool ReadFile(FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    for (;;) {
      ssize_t n = ::read(static_cast<int>(h), buffer, count);
      if (n >= 0) {
        *read = static_cast<std::uint32_t>(n);
        return true;
      }
      if (errno != EINTR) return Fail();
    }
  }

  bool WriteFile(FileHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    const char* p = static_cast<const char*>(buffer);
    while (*written < count) {
      ssize_t n = ::write(static_cast<int>(h), p + *written, count - *written);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail();
      }
      *written += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  std::int64_t SetFilePointer(FileHandle h, std::int64_t offset, SeekOrigin origin) override {
    int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(static_cast<int>(h), static_cast<off_t>(offset), whence);
    if (r < 0) {
      Fail();
      return -1;
    }
    return r;
  }

  bool GetFileSize(FileHandle h, std::uint64_t* size) override {
    struct stat st;
    if (::fstat(static_cast<int>(h), &st) != 0) return Fail();
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool CloseHandle(FileHandle h) override { return ::close(static_cast<int>(h)) == 0 || Fail(); }

  bool GetFileTime(FileHandle h, std::uint64_t* lastWrite) override {
    struct stat st;
    if (::fstat(static_cast<int>(h), &st) != 0) return Fail();
    *lastWrite = posix::FileTimeOf(st.st_mtim);
    return true;
  }

  bool SetFileTime(FileHandle h, std::uint64_t lastWrite) override {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = posix::TimespecOf(lastWrite);
    return ::futimens(static_cast<int>(h), times) == 0 || Fail();
  }

  bool MoveFileReplace(const std::string& source, const std::string& target) override {
    if (!Passable(source) || !Passable(target)) return false;
    return ::rename(source.c_str(), target.c_str()) == 0 || Fail();
  }

  FileHandle CreateTempFileIn(const std::string& dir, const std::string& prefix, const std::string& suffix,
                              std::string* path) override {
    if (!Passable(dir)) return kInvalidFile;
    std::string pattern = dir + prefix + "XXXXXX" + suffix;
    int fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
      Fail();
      return kInvalidFile;
    }
    // Held while open: the sweep of leftovers passes over a file a live process holds.
    // A new file of a unique name cannot be locked by anyone else yet.
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EINTR) {
    }
    *path = pattern;
    return fd;
  }

  bool CanCreateFileIn(const std::string& dir) override {
    if (!Passable(dir)) return false;
    // An unnamed file leaves nothing behind, even when the process is killed.
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    // A file system without unnamed files answers one of these; a named one serves.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Fail();
    return Files::CanCreateFileIn(dir);
  }

  bool FlushFileBuffers(FileHandle h) override {
    for (;;) {
      if (::fdatasync(static_cast<int>(h)) == 0) return true;
      if (errno != EINTR) return Fail();
    }
  }

  ChunkCopy CopyFileChunk(FileHandle from, FileHandle to, std::uint32_t count, std::uint32_t* copied) override {
    for (;;) {
      const ssize_t n = ::copy_file_range(static_cast<int>(from), nullptr, static_cast<int>(to), nullptr, count, 0);
      if (n >= 0) {
        *copied = static_cast<std::uint32_t>(n);
        return ChunkCopy::Copied;
      }
      if (errno != EINTR) break;
    }
    // Across file systems, on one that cannot copy by itself, or on a failure whose
    // side the call does not tell, the bytes go through this process: the read and
    // the write then say which side failed. copy_file_range moved nothing.
    return Files::CopyFileChunk(from, to, count, copied);
  }

  void StartWriteOut(FileHandle h, std::uint64_t offset, std::uint64_t length) override {
    ::sync_file_range(static_cast<int>(h), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                      SYNC_FILE_RANGE_WRITE);
  }

  bool FlushDirectory(const std::string& dir) override {
    if (!Passable(dir)) return false;
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail();
    const bool ok = ::fsync(fd) == 0 || Fail();
    ::close(fd);
    return ok;
  }

  bool ListDirectory(const std::string& dir, std::vector<FoundFile>* entries) override {
    entries->clear();
    if (!Passable(dir)) return false;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return Fail();
    errno = 0;
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      FoundFile f;
      f.name = name;
      bool isDir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      f.attributes = isDir ? kFileAttributeDirectory : kFileAttributeArchive;
      entries->push_back(std::move(f));
      errno = 0;
    }
    const bool ok = errno == 0 || Fail();
    ::closedir(d);
    return ok;
  }

  std::string GetFullPathNameA(const std::string& path) override {
    if (!Passable(path)) return {};
    if (path.empty()) {
      lastError = 87;  // ERROR_INVALID_PARAMETER
      return {};
    }
    std::string full = path;
    if (path[0] != '/') {
      char cwd[PATH_MAX];
      if (!::getcwd(cwd, sizeof cwd)) {
        Fail();
        return {};
      }
      full = std::string(cwd) + "/" + path;
    }
    // Lexical clean-up as Windows does it: "a//b/./c/../d/" -> "/a/b/d/".
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < full.size()) {
      std::size_t j = full.find('/', i);
      if (j == std::string::npos) j = full.size();
      std::string part = full.substr(i, j - i);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      i = j + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    if (out.empty() || full.back() == '/') out += "/";
    return out;
  }

  bool FinishInstalledFile(FileHandle h, const std::string& target) override {
    if (!Passable(target)) return false;
    const int fd = static_cast<int>(h);
    struct stat st;
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      // The permission bits only: a set-user-ID bit is not handed to new content.
      mode = st.st_mode & 0777;
    } else {
      unsigned char head[4] = {};
      ssize_t n = ::pread(fd, head, sizeof head, 0);
      bool program = (n >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) || (n >= 2 && head[0] == '#' && head[1] == '!');
      mode = (program ? 0777 : 0666) & ~CurrentUmask();
    }
    return ::fchmod(fd, mode) == 0 || Fail();
  }

  std::string ExecutablePath() override {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) {
      Fail();
      return {};
    }
    return std::string(buf, static_cast<std::size_t>(n));
  }


  std::uint32_t GetLastError() override { return lastError; }
  void SetLastError(std::uint32_t code) override { lastError = code; }

  std::string ErrorText(std::uint32_t code) override {
    std::string text = SystemErrorMessage(code);
    if (!text.empty()) return text;
    if (code & 0x20000000u) return std::strerror(static_cast<int>(code & 0xFFFFu));
    return "System error " + std::to_string(code);
  }

  // -- Opens with a share mode ---------------------------------------------------
  // Without sharing, the open takes an exclusive lock, which another exclusive open
  // of the file (in any process) then fails to get. An existing file is truncated
  // only once the lock is held, as Windows checks the sharing before it truncates.
  FileHandle CreateFileWithShareMode(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                     FileCreate create) override {
    return OpenShared(path, access, shareMode, create, 0);
  }

  FileHandle OpenShared(const std::string& path, FileAccess access, std::uint32_t shareMode, FileCreate create,
                        int extra) {
    if (shareMode != kFileShareNone) return Open(path, access, create, extra);
    const bool truncate = create == FileCreate::CreateAlways;
    const FileHandle h = Open(path, access, truncate ? FileCreate::OpenAlways : create, extra);
    if (h == kInvalidFile) return h;
    const int fd = static_cast<int>(h);
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    // A file system without locks cannot tell whether the file is held: it counts as free.
    if (rc != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      lastError = kErrorSharingViolation;
      return kInvalidFile;
    }
    if (truncate && ::ftruncate(fd, 0) != 0) {
      Fail();
      ::close(fd);
      return kInvalidFile;
    }
    return h;
  }

  // -- The updater's own places ---------------------------------------------------
  std::uint32_t GetFileAttributesNoFollowA(const std::string& path) override {
    struct stat st;
    if (!Passable(path)) return kInvalidFileAttributes;
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
      Fail();
      return kInvalidFileAttributes;
    }
    if (S_ISLNK(st.st_mode)) return kFileAttributeReparsePoint;
    return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeArchive;
  }

  FileHandle CreateFileNoFollow(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                FileCreate create) override {
    const FileHandle h = OpenShared(path, access, shareMode, create, O_NOFOLLOW);
    // O_NOFOLLOW answers a link with ELOOP, which is otherwise a path not found.
    if (h == kInvalidFile && errno == ELOOP) lastError = kErrorCantAccessFile;
    return h;
  }

  bool DeleteFileAtReboot(const std::string&) override {
    lastError = kErrorNotSupported;  // a file in use is removed at once here
    return false;
  }

  // The holder removes the file before it lets go, so a process that opened it in
  // between finds its lock on a file no longer at path, and opens it afresh.
  FileHandle TakeLockFile(const std::string& path) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const FileHandle h = CreateFileNoFollow(path, FileAccess::ReadWrite, kFileShareNone, FileCreate::OpenAlways);
      if (h == kInvalidFile) return h;
      struct stat held, named;
      if (::fstat(static_cast<int>(h), &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        return h;
      ::close(static_cast<int>(h));
    }
    lastError = kErrorSharingViolation;
    return kInvalidFile;
  }

  void ReleaseLockFile(FileHandle h, const std::string& path) override {
    if (Passable(path)) ::unlink(path.c_str());
    ::close(static_cast<int>(h));
  }
};

}  // namespace

std::uint64_t posix::FileTimeOf(const timespec& ts) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 +
                                    static_cast<std::int64_t>(nolt::kUnixEpochFileTime));
}

timespec posix::TimespecOf(std::uint64_t fileTime) {
  const std::int64_t t = static_cast<std::int64_t>(fileTime) - static_cast<std::int64_t>(nolt::kUnixEpochFileTime);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t / 10000000LL);
  ts.tv_nsec = static_cast<long>((t % 10000000LL) * 100);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000L;
    ts.tv_sec -= 1;
  }
  return ts;
}

Files& posix::LocalFiles() {
  static PosixFiles* instance = new PosixFiles;
  return *instance;
}

}  // namespace plat
