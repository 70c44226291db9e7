// A files seam that passes every call to the system's; test fakes derive from it
// and replace only the calls they script.
#pragma once

#include "platform/Files.h"

namespace nolt::test {

class ForwardingFiles : public plat::Files {
 public:
  plat::Files& real = plat::SystemInstance<plat::Files>();

  std::uint32_t GetFileAttributesA(const std::string& p) override { return real.GetFileAttributesA(p); }
  bool IsRegularFile(const std::string& p) override { return real.IsRegularFile(p); }
  bool DeleteFileA(const std::string& p) override { return real.DeleteFileA(p); }
  bool CreateDirectoryA(const std::string& p) override { return real.CreateDirectoryA(p); }
  bool RemoveDirectoryA(const std::string& p) override { return real.RemoveDirectoryA(p); }
  plat::FileHandle CreateFileA(const std::string& p, plat::FileAccess a, plat::FileCreate c) override {
    return real.CreateFileA(p, a, c);
  }
  plat::FileHandle CreateFileWithShareMode(const std::string& p, plat::FileAccess a, std::uint32_t s,
                                           plat::FileCreate c) override {
    return real.CreateFileWithShareMode(p, a, s, c);
  }
  bool ReadFile(plat::FileHandle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    return real.ReadFile(h, b, n, r);
  }
  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    return real.WriteFile(h, b, n, w);
  }
  std::int64_t SetFilePointer(plat::FileHandle h, std::int64_t o, plat::SeekOrigin s) override {
    return real.SetFilePointer(h, o, s);
  }
  bool GetFileSize(plat::FileHandle h, std::uint64_t* s) override { return real.GetFileSize(h, s); }
  bool CloseHandle(plat::FileHandle h) override { return real.CloseHandle(h); }
  bool GetFileTime(plat::FileHandle h, std::uint64_t* t) override { return real.GetFileTime(h, t); }
  bool SetFileTime(plat::FileHandle h, std::uint64_t t) override { return real.SetFileTime(h, t); }
  bool MoveFileReplace(const std::string& s, const std::string& t) override { return real.MoveFileReplace(s, t); }
  plat::FileHandle CreateTempFileIn(const std::string& d, const std::string& prefix, const std::string& suffix,
                                    std::string* p) override {
    return real.CreateTempFileIn(d, prefix, suffix, p);
  }
  bool CanCreateFileIn(const std::string& d) override { return real.CanCreateFileIn(d); }
  bool FlushFileBuffers(plat::FileHandle h) override { return real.FlushFileBuffers(h); }
  bool FlushDirectory(const std::string& d) override { return real.FlushDirectory(d); }
  bool ListDirectory(const std::string& d, std::vector<plat::FoundFile>* e) override {
    return real.ListDirectory(d, e);
  }
  std::string GetFullPathNameA(const std::string& p) override { return real.GetFullPathNameA(p); }
  bool FinishInstalledFile(plat::FileHandle h, const std::string& t) override {
    return real.FinishInstalledFile(h, t);
  }
  std::string ExecutablePath() override { return real.ExecutablePath(); }
  std::uint32_t GetLastError() override { return real.GetLastError(); }
  void SetLastError(std::uint32_t c) override { real.SetLastError(c); }
  std::string ErrorText(std::uint32_t c) override { return real.ErrorText(c); }
  std::uint32_t GetFileAttributesNoFollowA(const std::string& p) override { return real.GetFileAttributesNoFollowA(p); }
  plat::FileHandle CreateFileNoFollow(const std::string& p, plat::FileAccess a, std::uint32_t s,
                                      plat::FileCreate c) override {
    return real.CreateFileNoFollow(p, a, s, c);
  }
  bool DeleteFileAtReboot(const std::string& p) override { return real.DeleteFileAtReboot(p); }
  plat::FileHandle TakeLockFile(const std::string& p) override { return real.TakeLockFile(p); }
  void ReleaseLockFile(plat::FileHandle h, const std::string& p) override { real.ReleaseLockFile(h, p); }
};

}  // namespace nolt::test
