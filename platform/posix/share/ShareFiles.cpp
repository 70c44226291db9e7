// The files seam on Linux: the local file system (Files.cpp), except for the paths
// below a connected network share and the files opened there, which go through
// that share's connection (SmbClient.cpp). Errors of either come back through the
// local seam's last error, translated by its ErrorFromErrno.
#include <fcntl.h>

#include <cerrno>

#include "platform/posix/files/PosixFiles.h"
#include "platform/posix/share/SmbClient.h"

namespace plat {
namespace {


// Seconds and nanoseconds since 1970 <-> FILETIME.

class ShareRoutingFiles final : public Files {
 public:
  std::uint32_t GetFileAttributesA(const std::string& path) override {
    if (!smb::Routes(path)) return local.GetFileAttributesA(path);
    struct stat st;
    if (!smb::Stat(path, &st)) {
      Failed();
      return kInvalidFileAttributes;
    }
    std::uint32_t attr = S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeArchive;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attr |= kFileAttributeReadOnly;
    return attr;
  }
  bool IsRegularFile(const std::string& path) override {
    if (!smb::Routes(path)) return local.IsRegularFile(path);
    struct stat st;
    if (!smb::Stat(path, &st)) return Failed();
    return S_ISREG(st.st_mode);
  }
  bool DeleteFileA(const std::string& path) override {
    return smb::Routes(path) ? smb::Unlink(path) || Failed() : local.DeleteFileA(path);
  }
  bool CreateDirectoryA(const std::string& path) override {
    return smb::Routes(path) ? smb::Mkdir(path) || Failed() : local.CreateDirectoryA(path);
  }
  bool RemoveDirectoryA(const std::string& path) override {
    return smb::Routes(path) ? smb::Rmdir(path) || Failed() : local.RemoveDirectoryA(path);
  }

  FileHandle CreateFileA(const std::string& path, FileAccess access, FileCreate create) override {
    return smb::Routes(path) ? Open(path, access, create) : local.CreateFileA(path, access, create);
  }
  // A share's server decides the sharing of its files: the library asks for none.
  FileHandle CreateFileWithShareMode(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                     FileCreate create) override {
    return smb::Routes(path) ? Open(path, access, create)
                             : local.CreateFileWithShareMode(path, access, shareMode, create);
  }

  bool ReadFile(FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    if (!smb::IsHandle(h)) return local.ReadFile(h, buffer, count, read);
    const long long n = smb::Read(h, buffer, count);
    *read = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return n >= 0 || Failed();
  }
  bool WriteFile(FileHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    if (!smb::IsHandle(h)) return local.WriteFile(h, buffer, count, written);
    const long long n = smb::Write(h, buffer, count);
    *written = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return n >= 0 || Failed();
  }
  std::int64_t SetFilePointer(FileHandle h, std::int64_t offset, SeekOrigin origin) override {
    if (!smb::IsHandle(h)) return local.SetFilePointer(h, offset, origin);
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    const long long r = smb::Seek(h, offset, whence);
    if (r < 0) Failed();
    return r < 0 ? -1 : r;
  }
  bool GetFileSize(FileHandle h, std::uint64_t* size) override {
    if (!smb::IsHandle(h)) return local.GetFileSize(h, size);
    struct stat st;
    if (!smb::Fstat(h, &st)) return Failed();
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  bool CloseHandle(FileHandle h) override {
    return smb::IsHandle(h) ? smb::Close(h) || Failed() : local.CloseHandle(h);
  }
  bool GetFileTime(FileHandle h, std::uint64_t* lastWrite) override {
    if (!smb::IsHandle(h)) return local.GetFileTime(h, lastWrite);
    struct stat st;
    if (!smb::Fstat(h, &st)) return Failed();
    *lastWrite = posix::FileTimeOf(st.st_mtim);
    return true;
  }
  bool SetFileTime(FileHandle h, std::uint64_t lastWrite) override {
    if (!smb::IsHandle(h)) return local.SetFileTime(h, lastWrite);
    return smb::SetTimes(h, posix::TimespecOf(lastWrite)) || Failed();
  }

  // Installing files (a temporary file moved over its target) is for local folders.
  bool MoveFileReplace(const std::string& source, const std::string& target) override {
    if (smb::Routes(source) || smb::Routes(target)) return NotSupported();
    return local.MoveFileReplace(source, target);
  }
  FileHandle CreateTempFileIn(const std::string& dir, const std::string& prefix, const std::string& suffix,
                              std::string* path) override {
    if (smb::Routes(dir)) {
      NotSupported();
      return kInvalidFile;
    }
    return local.CreateTempFileIn(dir, prefix, suffix, path);
  }
  bool CanCreateFileIn(const std::string& dir) override {
    return smb::Routes(dir) ? NotSupported() : local.CanCreateFileIn(dir);
  }
  // A write to a share has reached the server when it returns; the library offers
  // no flush of the server's disk.
  bool FlushFileBuffers(FileHandle h) override { return smb::IsHandle(h) || local.FlushFileBuffers(h); }
  bool FlushDirectory(const std::string& dir) override {
    return smb::Routes(dir) ? NotSupported() : local.FlushDirectory(dir);
  }
  // A share's file is copied through this process, by the seam's reads and writes.
  ChunkCopy CopyFileChunk(FileHandle from, FileHandle to, std::uint32_t count, std::uint32_t* copied) override {
    if (smb::IsHandle(from) || smb::IsHandle(to)) return Files::CopyFileChunk(from, to, count, copied);
    return local.CopyFileChunk(from, to, count, copied);
  }
  void StartWriteOut(FileHandle h, std::uint64_t offset, std::uint64_t length) override {
    if (!smb::IsHandle(h)) local.StartWriteOut(h, offset, length);
  }
  // Listing is for local folders (the leftovers of an installation).
  bool ListDirectory(const std::string& dir, std::vector<FoundFile>* entries) override {
    return smb::Routes(dir) ? NotSupported() : local.ListDirectory(dir, entries);
  }
  std::string GetFullPathNameA(const std::string& path) override {
    return smb::Routes(path) ? path : local.GetFullPathNameA(path);
  }
  bool FinishInstalledFile(FileHandle h, const std::string& target) override {
    return smb::IsHandle(h) ? NotSupported() : local.FinishInstalledFile(h, target);
  }

  std::string ExecutablePath() override { return local.ExecutablePath(); }
  std::uint32_t GetLastError() override { return local.GetLastError(); }
  void SetLastError(std::uint32_t code) override { local.SetLastError(code); }
  std::string ErrorText(std::uint32_t code) override { return local.ErrorText(code); }

 private:
  FileHandle Open(const std::string& path, FileAccess access, FileCreate create) {
    int flags = access == FileAccess::Read ? O_RDONLY : access == FileAccess::Write ? O_WRONLY : O_RDWR;
    switch (create) {
      case FileCreate::OpenExisting: break;
      case FileCreate::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
      case FileCreate::OpenAlways: flags |= O_CREAT; break;
      case FileCreate::CreateNew: flags |= O_CREAT | O_EXCL; break;
    }
    const FileHandle h = smb::Open(path, flags);
    if (h == kInvalidFile) Failed();
    return h;
  }
  // A share holds no links of ours: its paths are opened as any other of its files.
  std::uint32_t GetFileAttributesNoFollowA(const std::string& path) override {
    return smb::Routes(path) ? GetFileAttributesA(path) : local.GetFileAttributesNoFollowA(path);
  }
  FileHandle CreateFileNoFollow(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                FileCreate create) override {
    return smb::Routes(path) ? Open(path, access, create) : local.CreateFileNoFollow(path, access, shareMode, create);
  }
  bool DeleteFileAtReboot(const std::string& path) override { return local.DeleteFileAtReboot(path); }
  FileHandle TakeLockFile(const std::string& path) override { return local.TakeLockFile(path); }
  void ReleaseLockFile(FileHandle h, const std::string& path) override { local.ReleaseLockFile(h, path); }

  // Records errno as the last error; false.
  bool Failed() {
    local.SetLastError(posix::ErrorFromErrno(errno ? errno : EIO));
    return false;
  }
  bool NotSupported() {
    local.SetLastError(kErrorNotSupported);
    return false;
  }

  Files& local = posix::LocalFiles();
};

}  // namespace

template <> Files& SystemInstance<Files>() {
  static ShareRoutingFiles* instance = new ShareRoutingFiles;
  return *instance;
}

}  // namespace plat
