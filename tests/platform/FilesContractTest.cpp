// The files seam behaves the same on both targets: these cases run against the
// system implementation of each.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <functional>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "platform/Files.h"
#include "platform/NativePath.h"
#include "tests/support/LockedDir.h"
#include "tests/support/TestSupport.h"

using namespace plat;
using nolt::test::TempDir;

namespace {

TEST(FilesContract, ExistenceAndAttributes) {
  TempDir dir;
  Files& f = files();
  EXPECT_EQ(f.GetFileAttributesA(dir.File("missing")), kInvalidFileAttributes);
  EXPECT_EQ(f.GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(f.GetFileAttributesA(dir.File("no-dir") + kPathDelim + "x"), kInvalidFileAttributes);

  std::uint32_t d = f.GetFileAttributesA(dir.path().string());
  ASSERT_NE(d, kInvalidFileAttributes);
  EXPECT_TRUE(d & kFileAttributeDirectory);
  // The directory with its trailing separator is still the directory.
  EXPECT_TRUE(f.GetFileAttributesA(dir.Dir()) & kFileAttributeDirectory);

  nolt::test::WriteFile(dir.File("a.txt"), "abc");
  std::uint32_t a = f.GetFileAttributesA(dir.File("a.txt"));
  ASSERT_NE(a, kInvalidFileAttributes);
  EXPECT_FALSE(a & kFileAttributeDirectory);
}

// A name made through the seam is the same name when a directory walk finds it.
TEST(FilesContract, PathTextAndFilesystemPathsConvertBothWays) {
  TempDir dir;
#ifdef _WIN32
  const std::string name = "caf\xE9 x.txt";  // the ANSI code page (1252)
#else
  const std::string name = "caf\xC3\xA9 x.txt";
#endif
  FileHandle h = files().CreateFileA(dir.File(name), FileAccess::Write, FileCreate::CreateAlways);
  ASSERT_NE(h, kInvalidFile);
  files().CloseHandle(h);
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(ToPath(dir.Dir())))
    found.push_back(FromPath(entry.path().filename()));
  EXPECT_EQ(found, std::vector<std::string>{name});
  EXPECT_EQ(FromPath(ToPath(dir.File(name))), dir.File(name));
  EXPECT_EQ(FromPath(ToPath("")), "");
}

TEST(FilesContract, CreateWriteReadSeekClose) {
  TempDir dir;
  Files& f = files();
  const std::string path = dir.File("data.bin");
  FileHandle h = f.CreateFileA(path, FileAccess::Write, FileCreate::CreateAlways);
  ASSERT_NE(h, kInvalidFile);
  std::uint32_t n = 0;
  ASSERT_TRUE(f.WriteFile(h, "hello world", 11, &n));
  EXPECT_EQ(n, 11u);
  ASSERT_TRUE(f.CloseHandle(h));

  h = f.CreateFileA(path, FileAccess::Read, FileCreate::OpenExisting);
  ASSERT_NE(h, kInvalidFile);
  std::uint64_t size = 0;
  ASSERT_TRUE(f.GetFileSize(h, &size));
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(f.SetFilePointer(h, 6, SeekOrigin::Begin), 6);
  char buf[16] = {};
  ASSERT_TRUE(f.ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "world");
  ASSERT_TRUE(f.ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u) << "a read at the end delivers nothing";
  EXPECT_EQ(f.SetFilePointer(h, -5, SeekOrigin::End), 6);
  EXPECT_EQ(f.SetFilePointer(h, 1, SeekOrigin::Current), 7);
  ASSERT_TRUE(f.CloseHandle(h));

  // CreateAlways truncates; CreateNew refuses an existing file.
  h = f.CreateFileA(path, FileAccess::Write, FileCreate::CreateAlways);
  ASSERT_NE(h, kInvalidFile);
  f.CloseHandle(h);
  EXPECT_EQ(nolt::test::ReadFile(path), "");
  EXPECT_EQ(f.CreateFileA(path, FileAccess::Write, FileCreate::CreateNew), kInvalidFile);
  EXPECT_EQ(f.CreateFileA(dir.File("nothing"), FileAccess::Read, FileCreate::OpenExisting), kInvalidFile);
  EXPECT_EQ(f.GetLastError(), kErrorFileNotFound);
}

// A chunk copy continues from both positions, stops at the end of the source with 0,
// says which side failed, and a write-out hint leaves the data as written.
TEST(FilesContract, ChunkCopyFromPositionToPositionAndWhichSideFailed) {
  TempDir dir;
  Files& f = files();
  std::string body(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + i / 4093);
  nolt::test::WriteFile(dir.File("src.bin"), "skip" + body);
  FileHandle src = f.CreateFileA(dir.File("src.bin"), FileAccess::Read, FileCreate::OpenExisting);
  FileHandle dst = f.CreateFileA(dir.File("dst.bin"), FileAccess::Write, FileCreate::CreateAlways);
  ASSERT_NE(src, kInvalidFile);
  ASSERT_NE(dst, kInvalidFile);
  ASSERT_EQ(f.SetFilePointer(src, 4, SeekOrigin::Begin), 4);
  std::uint32_t n = 0;
  ASSERT_TRUE(f.WriteFile(dst, "head", 4, &n));
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t copied = 0;
    ASSERT_EQ(f.CopyFileChunk(src, dst, 1 << 20, &copied), Files::ChunkCopy::Copied);
    ASSERT_LE(copied, 1u << 20);
    if (copied == 0) break;
    total += copied;
    f.StartWriteOut(dst, 0, total);
  }
  EXPECT_EQ(total, body.size());
  ASSERT_TRUE(f.FlushFileBuffers(dst));
  f.CloseHandle(dst);
  EXPECT_EQ(nolt::test::ReadFile(dir.File("dst.bin")), "head" + body);

  // The source open for reading only cannot take the bytes; the target cannot give them.
  ASSERT_EQ(f.SetFilePointer(src, 0, SeekOrigin::Begin), 0);
  std::uint32_t copied = 99;
  EXPECT_EQ(f.CopyFileChunk(src, src, 16, &copied), Files::ChunkCopy::WriteFailed);
  dst = f.CreateFileA(dir.File("dst.bin"), FileAccess::Write, FileCreate::OpenExisting);
  EXPECT_EQ(f.CopyFileChunk(dst, src, 16, &copied), Files::ChunkCopy::ReadFailed);
  EXPECT_NE(f.GetLastError(), 0u);
  f.CloseHandle(dst);
  f.CloseHandle(src);
}

TEST(FilesContract, ReadSharedWithWriter) {
  TempDir dir;
  Files& f = files();
  const std::string path = dir.File("shared.bin");
  FileHandle w = f.CreateFileA(path, FileAccess::Write, FileCreate::CreateAlways);
  ASSERT_NE(w, kInvalidFile);
  FileHandle r = f.CreateFileA(path, FileAccess::Read, FileCreate::OpenExisting);
  EXPECT_NE(r, kInvalidFile) << "reading must share write access with other openers";
  if (r != kInvalidFile) f.CloseHandle(r);
  f.CloseHandle(w);
}

TEST(FilesContract, AnOpenWithoutSharingHoldsTheFileAlone) {
  TempDir dir;
  Files& f = files();
  const std::string path = dir.File("alone.bin");
  nolt::test::WriteFile(path, "kept");
  FileHandle held = f.CreateFileWithShareMode(path, FileAccess::Read, kFileShareNone, FileCreate::OpenExisting);
  ASSERT_NE(held, kInvalidFile);
  // Neither a second reader nor a creator that would truncate gets it, and the
  // refused create leaves the contents alone.
  EXPECT_EQ(f.CreateFileWithShareMode(path, FileAccess::Read, kFileShareNone, FileCreate::OpenExisting), kInvalidFile);
  EXPECT_EQ(f.GetLastError(), kErrorSharingViolation);
  EXPECT_EQ(f.CreateFileWithShareMode(path, FileAccess::ReadWrite, kFileShareNone, FileCreate::CreateAlways),
            kInvalidFile);
  EXPECT_EQ(f.GetLastError(), kErrorSharingViolation);
  ASSERT_TRUE(f.CloseHandle(held));
  EXPECT_EQ(nolt::test::ReadFile(path), "kept");

  // Free again: create-always truncates, and the handle reads and writes.
  FileHandle h = f.CreateFileWithShareMode(path, FileAccess::ReadWrite, kFileShareNone, FileCreate::CreateAlways);
  ASSERT_NE(h, kInvalidFile);
  std::uint32_t n = 0;
  char buf[8] = {};
  ASSERT_TRUE(f.ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(f.WriteFile(h, "new", 3, &n));
  EXPECT_EQ(f.SetFilePointer(h, 0, SeekOrigin::Begin), 0);
  ASSERT_TRUE(f.ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "new");
  ASSERT_TRUE(f.CloseHandle(h));
  EXPECT_EQ(f.CreateFileWithShareMode(dir.File("none"), FileAccess::Read, kFileShareNone, FileCreate::OpenExisting),
            kInvalidFile);
  EXPECT_EQ(f.GetLastError(), kErrorFileNotFound);
}

// The updater's own places: a temporary file is held while it is open, a lock file
// has one holder and goes with its release, and nothing goes through a link.
TEST(FilesContract, OwnPlacesAreHeldAndNeverGoThroughALink) {
  TempDir dir;
  Files& f = files();
  std::string temp;
  const FileHandle written = f.CreateTempFileIn(dir.Dir(), ".nolt-", ".tmp", &temp);
  ASSERT_NE(written, kInvalidFile);
  EXPECT_EQ(f.CreateFileNoFollow(temp, FileAccess::Read, kFileShareNone, FileCreate::OpenExisting), kInvalidFile)
      << "a live writer holds its temporary file";
  ASSERT_TRUE(f.CloseHandle(written));
  const FileHandle swept = f.CreateFileNoFollow(temp, FileAccess::Read, kFileShareNone, FileCreate::OpenExisting);
  ASSERT_NE(swept, kInvalidFile) << "and lets go of it when it closes";
  ASSERT_TRUE(f.CloseHandle(swept));

  const std::string lock = dir.File("run.lock");
  const FileHandle first = f.TakeLockFile(lock);
  ASSERT_NE(first, kInvalidFile);
  EXPECT_EQ(f.TakeLockFile(lock), kInvalidFile);
  EXPECT_EQ(f.GetLastError(), kErrorSharingViolation);
  f.ReleaseLockFile(first, lock);
  EXPECT_EQ(f.GetFileAttributesNoFollowA(lock), kInvalidFileAttributes) << "released with its file";
  const FileHandle second = f.TakeLockFile(lock);
  ASSERT_NE(second, kInvalidFile);
  f.ReleaseLockFile(second, lock);

  EXPECT_EQ(f.GetFileAttributesNoFollowA(dir.path().string()) & (kFileAttributeDirectory | kFileAttributeReparsePoint),
            kFileAttributeDirectory);
#ifndef _WIN32
  // Links made by someone else: reported as links, never opened, locked or truncated.
  nolt::test::WriteFile(dir.File("target"), "theirs");
  ASSERT_EQ(::symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.File("dirlink").c_str()), 0);
  EXPECT_EQ(f.GetFileAttributesNoFollowA(dir.File("link")), kFileAttributeReparsePoint);
  EXPECT_EQ(f.GetFileAttributesNoFollowA(dir.File("dirlink")), kFileAttributeReparsePoint);
  for (const FileCreate create : {FileCreate::OpenExisting, FileCreate::CreateAlways, FileCreate::OpenAlways}) {
    EXPECT_EQ(f.CreateFileNoFollow(dir.File("link"), FileAccess::Write, kFileShareRead, create), kInvalidFile);
    EXPECT_EQ(f.GetLastError(), kErrorCantAccessFile);
  }
  EXPECT_EQ(f.TakeLockFile(dir.File("link")), kInvalidFile);
  EXPECT_EQ(nolt::test::ReadFile(dir.File("target")), "theirs");
  EXPECT_FALSE(f.DeleteFileAtReboot(dir.File("target"))) << "Linux removes a file in use at once";
#endif
}

TEST(FilesContract, DirectoriesAndDelete) {
  TempDir dir;
  Files& f = files();
  const std::string sub = dir.File("sub");
  ASSERT_TRUE(f.CreateDirectoryA(sub));
  EXPECT_FALSE(f.CreateDirectoryA(sub));
  EXPECT_FALSE(f.CreateDirectoryA(dir.File("x") + kPathDelim + "y")) << "parents are not created";
  EXPECT_FALSE(f.DeleteFileA(sub)) << "a directory is not deleted as a file";
  EXPECT_FALSE(f.DeleteFileA(dir.File("missing")));
  EXPECT_EQ(f.GetLastError(), kErrorFileNotFound);
  nolt::test::WriteFile(dir.File("f"), "x");
  EXPECT_TRUE(f.DeleteFileA(dir.File("f")));
  EXPECT_FALSE(nolt::test::FileExists(dir.File("f")));
  EXPECT_TRUE(f.RemoveDirectoryA(sub));
}

TEST(FilesContract, TimesMoveAndTemp) {
  TempDir dir;
  Files& f = files();
  std::string tmp;
  FileHandle h = f.CreateTempFileIn(dir.Dir(), ".p-", ".s", &tmp);
  ASSERT_NE(h, kInvalidFile);
  // dir + prefix + six letters or digits + suffix, a new name every time.
  ASSERT_EQ(tmp.size(), dir.Dir().size() + 3 + 6 + 2) << tmp;
  EXPECT_EQ(tmp.substr(0, dir.Dir().size() + 3), dir.Dir() + ".p-");
  EXPECT_EQ(tmp.substr(tmp.size() - 2), ".s");
  for (char c : tmp.substr(dir.Dir().size() + 3, 6)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << tmp;
  std::string other;
  FileHandle h2 = f.CreateTempFileIn(dir.Dir(), ".p-", ".s", &other);
  ASSERT_NE(h2, kInvalidFile);
  EXPECT_NE(other, tmp);
  f.CloseHandle(h2);
  std::uint32_t n;
  ASSERT_TRUE(f.WriteFile(h, "new", 3, &n));
  EXPECT_TRUE(f.FlushFileBuffers(h));
  // 2001-02-03 04:05:06 UTC.
  const std::uint64_t when = 126256467060000000ULL;
  ASSERT_TRUE(f.SetFileTime(h, when));
  std::uint64_t back = 0;
  ASSERT_TRUE(f.GetFileTime(h, &back));
  EXPECT_EQ(back, when);
  f.CloseHandle(h);

  nolt::test::WriteFile(dir.File("target"), "old contents");
  ASSERT_TRUE(f.MoveFileReplace(tmp, dir.File("target")));
  EXPECT_TRUE(f.FlushDirectory(dir.Dir()));
  EXPECT_EQ(nolt::test::ReadFile(dir.File("target")), "new");
  EXPECT_FALSE(nolt::test::FileExists(tmp));

  // The listing: names without the directory, directories marked, "." and ".." left out.
  ASSERT_TRUE(f.CreateDirectoryA(dir.File("sub")));
  std::vector<FoundFile> found;
  ASSERT_TRUE(f.ListDirectory(dir.Dir(), &found));
  std::map<std::string, bool> names;
  for (const FoundFile& e : found) names[e.name] = (e.attributes & kFileAttributeDirectory) != 0;
  EXPECT_EQ(names, (std::map<std::string, bool>{{"sub", true}, {"target", false}, {other.substr(dir.Dir().size()), false}}));
  EXPECT_TRUE(f.ListDirectory(dir.File("sub") + kPathDelim, &found));
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(f.ListDirectory(dir.File("missing") + kPathDelim, &found));
}

TEST(FilesContract, CanCreateFileInAsksTheDirectoryAndLeavesNothing) {
  TempDir dir;
  Files& f = files();
  std::vector<FoundFile> entries;
  EXPECT_TRUE(f.CanCreateFileIn(dir.Dir()));
  ASSERT_TRUE(f.ListDirectory(dir.Dir(), &entries));
  EXPECT_TRUE(entries.empty()) << "the probe is gone: " << (entries.empty() ? "" : entries[0].name);

  EXPECT_FALSE(f.CanCreateFileIn(dir.File("missing") + kPathDelim));
  EXPECT_TRUE(f.GetLastError() == kErrorPathNotFound || f.GetLastError() == kErrorFileNotFound) << f.GetLastError();
  EXPECT_FALSE(f.CanCreateFileIn(dir.Dir() + std::string(1, '\0') + "x"));
  EXPECT_EQ(f.GetLastError(), kErrorInvalidName);

  nolt::test::LockedDir locked(dir.Dir());
  if (!locked.Locked()) GTEST_SKIP() << "this process can write any directory here";
  EXPECT_FALSE(f.CanCreateFileIn(dir.Dir()));
  EXPECT_EQ(f.GetLastError(), kErrorAccessDenied);
  ASSERT_TRUE(f.ListDirectory(dir.Dir(), &entries));
  EXPECT_TRUE(entries.empty());
}

TEST(FilesContract, NamesAndErrors) {
  Files& f = files();
  EXPECT_FALSE(f.ExecutablePath().empty());
  EXPECT_NE(f.GetFileAttributesA(f.ExecutablePath()), kInvalidFileAttributes);
  EXPECT_FALSE(f.ErrorText(kErrorFileNotFound).empty());
  f.SetLastError(kErrorAccessDenied);
  EXPECT_EQ(f.GetLastError(), kErrorAccessDenied);
}

// A path holding a NUL fails on every operation that takes a path, and the file
// that the path cut at the NUL would name is left alone.
TEST(FilesContract, APathWithANulFailsAndTouchesNothing) {
  TempDir dir;
  Files& f = files();
  const std::string victim = dir.File("b.dll");
  nolt::test::WriteFile(victim, "installed");
  nolt::test::WriteFile(dir.File("other"), "other");
  const std::string nul(1, '\0');
  const std::string bad = victim + nul + "x";
  FileHandle open = f.CreateFileA(dir.File("other"), FileAccess::Read, FileCreate::OpenExisting);
  ASSERT_NE(open, kInvalidFile);
  auto opens = [&](FileAccess a, FileCreate c) {
    FileHandle h = f.CreateFileA(bad, a, c);
    if (h != kInvalidFile) f.CloseHandle(h);
    return h != kInvalidFile;
  };
  std::string temp;
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"GetFileAttributesA", [&] { return f.GetFileAttributesA(bad) != kInvalidFileAttributes; }},
      {"IsRegularFile", [&] { return f.IsRegularFile(bad); }},
      {"DeleteFileA", [&] { return f.DeleteFileA(bad); }},
      {"CreateDirectoryA", [&] { return f.CreateDirectoryA(dir.File("d") + nul + "x"); }},
      {"RemoveDirectoryA", [&] { return f.RemoveDirectoryA(dir.path().string() + nul + "x"); }},
      {"CreateFileA read", [&] { return opens(FileAccess::Read, FileCreate::OpenExisting); }},
      {"CreateFileA write", [&] { return opens(FileAccess::Write, FileCreate::CreateAlways); }},
      {"MoveFileReplace source", [&] { return f.MoveFileReplace(bad, dir.File("moved")); }},
      {"MoveFileReplace target", [&] { return f.MoveFileReplace(dir.File("other"), bad); }},
      {"CreateTempFileIn", [&] { return f.CreateTempFileIn(dir.Dir() + nul + "x", ".t", "", &temp) != kInvalidFile; }},
      {"FlushDirectory", [&] { return f.FlushDirectory(dir.Dir() + nul + "x"); }},
      {"ListDirectory", [&] { std::vector<FoundFile> found; return f.ListDirectory(dir.Dir() + nul + "x", &found); }},
      {"GetFullPathNameA", [&] { return !f.GetFullPathNameA(bad).empty(); }},
      {"FinishInstalledFile", [&] { return f.FinishInstalledFile(open, bad); }},
  };
  for (const auto& [name, call] : calls) {
    f.SetLastError(0);
    EXPECT_FALSE(call()) << name;
    EXPECT_EQ(f.GetLastError(), kErrorInvalidName) << name;
  }
  f.CloseHandle(open);
  EXPECT_EQ(nolt::test::ReadFile(victim), "installed");
  EXPECT_EQ(nolt::test::ReadFile(dir.File("other")), "other");
  EXPECT_FALSE(nolt::test::FileExists(dir.File("d")));
  EXPECT_FALSE(nolt::test::FileExists(dir.File("moved")));
  EXPECT_FALSE(f.ErrorText(kErrorInvalidName).empty());
}

// Only a regular file is one: what the checksum reads and a download replaces.
TEST(FilesContract, OnlyARegularFileIsARegularFile) {
  TempDir dir;
  Files& f = files();
  nolt::test::WriteFile(dir.File("a.dll"), "a");
  EXPECT_TRUE(f.IsRegularFile(dir.File("a.dll")));
  EXPECT_FALSE(f.IsRegularFile(dir.File("missing")));
  EXPECT_FALSE(f.IsRegularFile(dir.path().string()));
  EXPECT_FALSE(f.IsRegularFile(dir.Dir()));
#ifdef _WIN32
  // Device names answer in every directory, with or without an extension.
  for (const char* device : {"CON", "NUL", "nul.txt", "COM1", "AUX", "LPT1"})
    EXPECT_FALSE(f.IsRegularFile(dir.File(device))) << device;
#else
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(f.IsRegularFile(dir.File("fifo"))) << "and the query does not wait for a writer";
  ASSERT_EQ(::symlink("/dev/zero", dir.File("zero").c_str()), 0);
  EXPECT_FALSE(f.IsRegularFile(dir.File("zero")));
  ASSERT_EQ(::symlink(dir.File("a.dll").c_str(), dir.File("link").c_str()), 0);
  EXPECT_TRUE(f.IsRegularFile(dir.File("link"))) << "a link is followed to what it names";
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock = dir.File("sock");
  if (sock.size() < sizeof addr.sun_path) {
    sock.copy(addr.sun_path, sock.size());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_FALSE(f.IsRegularFile(sock));
  }
  ::close(s);
#endif
}

}  // namespace
