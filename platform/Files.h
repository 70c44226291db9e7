// Files seam: the file-system calls of the components, shaped like the Win32 calls
// they mirror. Error codes are Win32 error numbers on both targets (the POSIX side
// maps errno in one place), so components and tests see one vocabulary.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Seam.h"

namespace plat {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeArchive = 0x20;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;  // a link, not followed

// Win32 error numbers that components and tests name.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorCantAccessFile = 1920;  // a link where none may be
inline constexpr std::uint32_t kErrorNotSupported = 50;

enum class FileAccess { Read, Write, ReadWrite };

// How an open treats an existing or missing file (CreateFileA's creation disposition).
enum class FileCreate {
  OpenExisting,   // fail when missing
  CreateAlways,   // create, or truncate an existing file
  OpenAlways,     // open, or create when missing
  CreateNew,      // fail when it exists
};

// Share modes of CreateFileWithShareMode (FILE_SHARE_READ, FILE_SHARE_WRITE).
inline constexpr std::uint32_t kFileShareNone = 0;
inline constexpr std::uint32_t kFileShareRead = 1;
inline constexpr std::uint32_t kFileShareWrite = 2;

enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

// One entry of a directory listing.
struct FoundFile {
  std::string name;             // without the directory
  std::uint32_t attributes = 0;  // kFileAttributeDirectory for a directory (a link is not followed)
};

// The separator of local paths: '\' on Windows, '/' on Linux.
#ifdef _WIN32
inline constexpr char kPathDelim = '\\';
#else
inline constexpr char kPathDelim = '/';
#endif

// An input/output error of the runtime on a local file. It is raised through the
// transfer run and shown by the application's error box.
class EInOutError : public std::runtime_error {
 public:
  EInOutError(std::uint32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  std::uint32_t Code() const { return code_; }

 private:
  std::uint32_t code_;
};

// Every operation that takes a path fails with kErrorInvalidName when the path holds
// a NUL byte (HoldsNul): no system call ever sees it cut short.
class Files {
 public:
  virtual ~Files() = default;

  // Attributes of a path, or kInvalidFileAttributes when they cannot be read.
  virtual std::uint32_t GetFileAttributesA(const std::string& path) = 0;
  // Whether path names a regular file, the only kind whose contents the components
  // read, compare or replace. Linux: a link is followed, and a FIFO, a device or a
  // socket is no regular file. Windows: a directory, a device (CON, NUL, COM1, ...
  // answer in every directory) and a reparse point are none. Never blocks.
  virtual bool IsRegularFile(const std::string& path) = 0;
  virtual bool DeleteFileA(const std::string& path) = 0;
  // Creates one directory; its parent must exist.
  virtual bool CreateDirectoryA(const std::string& path) = 0;
  virtual bool RemoveDirectoryA(const std::string& path) = 0;

  // Opens a file; reading shares read and write with other processes, as the
  // checksum needs. Returns kInvalidFile on failure (GetLastError tells why).
  virtual FileHandle CreateFileA(const std::string& path, FileAccess access, FileCreate create) = 0;
  // Reads up to count bytes; *read is 0 at the end of the file. False on failure.
  virtual bool ReadFile(FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  // Writes count bytes; *written may be short only when the call fails.
  virtual bool WriteFile(FileHandle h, const void* buffer, std::uint32_t count, std::uint32_t* written) = 0;
  // Moves the file pointer; returns the new position, or -1 on failure.
  virtual std::int64_t SetFilePointer(FileHandle h, std::int64_t offset, SeekOrigin origin) = 0;
  virtual bool GetFileSize(FileHandle h, std::uint64_t* size) = 0;
  virtual bool CloseHandle(FileHandle h) = 0;
  // Last-write time as a FILETIME value: 100 ns units since 1601-01-01 UTC.
  virtual bool GetFileTime(FileHandle h, std::uint64_t* lastWrite) = 0;
  virtual bool SetFileTime(FileHandle h, std::uint64_t lastWrite) = 0;

  // Moves source over target in one step, replacing an existing target
  // (MoveFileExA with MOVEFILE_REPLACE_EXISTING; rename on POSIX).
  virtual bool MoveFileReplace(const std::string& source, const std::string& target) = 0;
  // Creates and opens a new, empty file named dir + prefix + six random letters and
  // digits + suffix (dir ends with the separator or is empty for the current
  // directory), readable and writable by this process only until it is finished.
  // While the handle is open, an open without sharing of the file fails (Windows: the
  // handle shares reading only; Linux: it holds an exclusive lock), so that a sweep of
  // leftovers can tell a live process's file from a killed one's.
  // Returns the handle and sets path, or kInvalidFile.
  virtual FileHandle CreateTempFileIn(const std::string& dir, const std::string& prefix, const std::string& suffix,
                                      std::string* path) = 0;
  // Writes the file's data and size through to the disk: what reading it back needs,
  // not its times (Linux: fdatasync; Windows: a data-only flush where the system has
  // one, else FlushFileBuffers).
  virtual bool FlushFileBuffers(FileHandle h) = 0;
  // Makes a rename inside the directory last through a power loss. Linux: fsync of the
  // directory. Windows: nothing to do; NTFS records a rename in its own journal, and
  // Win32 offers no handle of a directory to flush.
  virtual bool FlushDirectory(const std::string& dir) = 0;
  // Whether this process may create a file in dir (which ends with the separator or
  // is empty for the current directory): a probe file is made there and removed at
  // once. False with the reason in GetLastError, kErrorAccessDenied where this user
  // may not write there. Windows: a hidden file deleted on close, which the system
  // removes even when the process is killed. Linux: an unnamed file (O_TMPFILE) where
  // the file system has them, else a temporary file of the form the updater removes
  // as a leftover (".nolt-" + six letters or digits + ".tmp"). This default, for
  // fakes, makes such a temporary file with the seam's own calls.
  virtual bool CanCreateFileIn(const std::string& dir);
  // The entries of a directory (dir ends with the separator), without "." and "..",
  // in no particular order (FindFirstFileA / FindNextFileA). False when it cannot be read.
  virtual bool ListDirectory(const std::string& dir, std::vector<FoundFile>* entries) = 0;

  // The absolute form of a path, taken against the current directory (GetFullPathNameA).
  // Empty on failure.
  virtual std::string GetFullPathNameA(const std::string& path) = 0;
  // Gives a finished new file, open in h and about to be moved over target (or to
  // target's place when there is none), the permissions a file installed there
  // should have. Windows: nothing to do. Linux, where archives carry no permission
  // bits: it takes over the bits of the file it replaces; a new file whose content
  // starts like a program ("\x7f" "ELF" or "#!") becomes executable as far as the
  // umask allows, any other new file gets the umask's usual read/write bits.
  virtual bool FinishInstalledFile(FileHandle h, const std::string& target) = 0;

  // Full path of the running executable.
  virtual std::string ExecutablePath() = 0;

  // Error number of the last failed call of this seam on this thread (Win32 numbering).
  virtual std::uint32_t GetLastError() = 0;
  virtual void SetLastError(std::uint32_t code) = 0;
  // The system's text for an error number.
  virtual std::string ErrorText(std::uint32_t code) = 0;

  // -- Opens with a share mode (the file copy) ----------------------------------
  // CreateFileA with the share mode given (kFileShareRead, kFileShareWrite, or 0 for
  // none) and FILE_ATTRIBUTE_NORMAL. An open without sharing fails with
  // kErrorSharingViolation while another open without sharing holds the file, and
  // while it is open no such open succeeds. Windows enforces every share mode
  // against every open; Linux only the exclusive one, as an exclusive lock that
  // the opens of this seam honour (flock).
  virtual FileHandle CreateFileWithShareMode(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                             FileCreate create) = 0;

  // -- The updater's own places: never through a link ---------------------------
  // The attributes of path itself: a link is not followed and has
  // kFileAttributeReparsePoint (Linux: a symbolic link; Windows: a reparse point, as
  // GetFileAttributesA itself answers). kInvalidFileAttributes when nothing is there.
  virtual std::uint32_t GetFileAttributesNoFollowA(const std::string& path);
  // CreateFileWithShareMode that never goes through a link: when the last part of
  // path is a link (or another reparse point), it fails with kErrorCantAccessFile and
  // nothing is created, truncated or locked (Linux: O_NOFOLLOW; Windows:
  // FILE_FLAG_OPEN_REPARSE_POINT, and the reparse point is closed again unchanged).
  virtual FileHandle CreateFileNoFollow(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                        FileCreate create);
  // Removes a file at the next start of the system, for a file that cannot be removed
  // now because a program runs from it (MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT,
  // which Windows grants to administrators only). Linux removes such a file at once:
  // false there, with kErrorNotSupported.
  virtual bool DeleteFileAtReboot(const std::string& path);

  // -- A lock file: one holder at a time, never through a link -------------------
  // Opens, creating it, the lock file at path and takes it without waiting; kInvalidFile
  // with kErrorSharingViolation while another process holds it. The holder gives it
  // up with ReleaseLockFile, which also removes the file, or by ending: the system
  // lets go of a dead process's hold, and the file it left is taken by the next.
  // A file removed by its last holder between another's open and hold is never held
  // (Linux checks that the path still names the file it locked, and tries again).
  virtual FileHandle TakeLockFile(const std::string& path);
  virtual void ReleaseLockFile(FileHandle h, const std::string& path);

  // -- Moving data in bulk and to the disk ----------------------------------------
  enum class ChunkCopy { Copied, ReadFailed, WriteFailed };
  // Copies up to count bytes from the position of from to the position of to, moving
  // both on; *copied is 0 at the end of from. The system copies without passing the
  // bytes through the process where it can (Linux: copy_file_range, on one file
  // system); elsewhere, and in this default, the bytes are read and written.
  // ReadFailed or WriteFailed tells which side failed, GetLastError why.
  virtual ChunkCopy CopyFileChunk(FileHandle from, FileHandle to, std::uint32_t count, std::uint32_t* copied);
  // Starts writing the data in [offset, offset + length) of a file open for writing
  // to the disk, without waiting, so that its FlushFileBuffers later finds little
  // left to write (Linux: sync_file_range). Only a hint: Windows has no such call,
  // and a failure changes nothing.
  virtual void StartWriteOut(FileHandle h, std::uint64_t offset, std::uint64_t length);
};

// Defaults for fakes, which hold no links.
inline std::uint32_t Files::GetFileAttributesNoFollowA(const std::string& path) { return GetFileAttributesA(path); }
inline FileHandle Files::CreateFileNoFollow(const std::string& path, FileAccess access, std::uint32_t shareMode,
                                            FileCreate create) {
  return CreateFileWithShareMode(path, access, shareMode, create);
}
inline bool Files::DeleteFileAtReboot(const std::string&) {
  SetLastError(kErrorNotSupported);
  return false;
}
inline FileHandle Files::TakeLockFile(const std::string& path) {
  return CreateFileNoFollow(path, FileAccess::ReadWrite, kFileShareNone, FileCreate::OpenAlways);
}
inline void Files::ReleaseLockFile(FileHandle h, const std::string& path) {
  CloseHandle(h);
  DeleteFileA(path);
}

inline Files::ChunkCopy Files::CopyFileChunk(FileHandle from, FileHandle to, std::uint32_t count,
                                             std::uint32_t* copied) {
  *copied = 0;
  std::vector<char> buffer(count);
  std::uint32_t read = 0;
  if (!ReadFile(from, buffer.data(), count, &read)) return ChunkCopy::ReadFailed;
  std::uint32_t written = 0;
  if (read != 0 && (!WriteFile(to, buffer.data(), read, &written) || written != read)) return ChunkCopy::WriteFailed;
  *copied = read;
  return ChunkCopy::Copied;
}
inline void Files::StartWriteOut(FileHandle, std::uint64_t, std::uint64_t) {}

inline bool Files::CanCreateFileIn(const std::string& dir) {
  std::string path;
  const FileHandle h = CreateTempFileIn(dir, ".nolt-", ".tmp", &path);
  if (h == kInvalidFile) return false;
  CloseHandle(h);
  DeleteFileA(path);
  return true;
}

inline Files& files() { return Use<Files>(); }

}  // namespace plat
