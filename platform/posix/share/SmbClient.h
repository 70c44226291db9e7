// Linux only: the connected network shares, through libsmbclient, which is loaded
// when a share is first connected (no program needs it to start). The share seam
// connects and disconnects; the files seam sends the paths below a connected share
// and the handles opened there to the file operations below. Those return like
// POSIX calls: -1 or false with errno set, for the files seam's one translation.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/Files.h"

namespace plat::smb {

// Connects a share ("\\SERVER\SHARE", "//SERVER/SHARE", SERVER may carry ":PORT")
// with an account (a user "DOMAIN\user" logs on to that domain). Results are the
// error numbers of WNetAddConnection2A and WNetCancelConnection2A (platform/Share.h).
std::uint32_t Connect(const std::string& remoteName, const std::string& user, const std::string& password);
std::uint32_t Disconnect(const std::string& remoteName, bool force);
// The text of those numbers; for a library that could not be loaded it says why.
std::string ErrorText(std::uint32_t code);
// Tests: the library to load from now on (libsmbclient.so.0 by default).
void UseLibrary(const std::string& soname);

// True for a path below a connected share.
bool Routes(const std::string& path);
// True for a handle that Open gave out.
bool IsHandle(FileHandle h);

// open(2) flags (O_RDONLY, O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_EXCL).
FileHandle Open(const std::string& path, int flags);
bool Stat(const std::string& path, struct stat* st);
bool Unlink(const std::string& path);
bool Mkdir(const std::string& path);
bool Rmdir(const std::string& path);

long long Read(FileHandle h, void* buffer, std::uint32_t count);
long long Write(FileHandle h, const void* buffer, std::uint32_t count);
long long Seek(FileHandle h, long long offset, int whence);
bool Fstat(FileHandle h, struct stat* st);
// Sets the last-write time of the open file (by its path on the share).
bool SetTimes(FileHandle h, const struct timespec& lastWrite);
bool Close(FileHandle h);

}  // namespace plat::smb
