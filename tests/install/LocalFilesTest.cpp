// Testing for directories and creating directory chains, on the disk and through a
// recording fake of the files seam.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "install/LocalFiles.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace nolt {
namespace {

namespace fs = std::filesystem;
using plat::kPathDelim;

// "a|b|c" with the local separator.
std::string P(std::string s) {
  for (char& c : s)
    if (c == '|') c = kPathDelim;
  return s;
}

// A name written on Windows is a local relative path on both targets.
TEST(LocalPath, ReadsBackslashesAsTheLocalSeparator) {
  const std::string sep(1, plat::kPathDelim);
  EXPECT_EQ(LocalPath("sub\\file.dll"), "sub" + sep + "file.dll");
  EXPECT_EQ(LocalPath(""), "");
}

TEST(DirExists, IsTrueOnlyForAnExistingDirectory) {
  test::TempDir tmp;
  fs::create_directory(tmp.path() / "sub");
  test::WriteFile(tmp.File("file.txt"), "x");
  EXPECT_TRUE(DirExists(tmp.path().string()));
  EXPECT_TRUE(DirExists(tmp.File("sub")));
  EXPECT_TRUE(DirExists(tmp.File("sub") + kPathDelim));
  // A name written on Windows reaches the same directory on both targets.
  EXPECT_TRUE(DirExists(tmp.path().string() + "\\sub"));
  EXPECT_FALSE(DirExists(tmp.File("file.txt")));
  EXPECT_FALSE(DirExists(tmp.File("missing")));
  EXPECT_FALSE(DirExists(""));
}

TEST(ForceDirs, CreatesNestedParentsOnTheDisk) {
  test::TempDir tmp;
  const std::string base = tmp.path().string();
  EXPECT_TRUE(ForceDirs(base + P("|a|b|c")));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "a" / "b" / "c"));
  // Existing: true, nothing changes; a trailing separator (one or more) is ignored.
  EXPECT_TRUE(ForceDirs(base + P("|a|b|c|")));
  EXPECT_TRUE(ForceDirs(base + P("|d||")));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "d"));
  // Backslashes separate on both targets.
  EXPECT_TRUE(ForceDirs(base + "\\e\\f"));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "e" / "f"));
}

TEST(ForceDirs, FailsUnderAFileAndKeepsWhatItMadeBefore) {
  test::TempDir tmp;
  test::WriteFile(tmp.File("blocker"), "x");
  EXPECT_FALSE(ForceDirs(tmp.File("blocker") + P("|x|y")));
  EXPECT_FALSE(fs::exists(tmp.path() / "blocker" / "x"));
  EXPECT_FALSE(ForceDirs(tmp.File("blocker")));  // the file itself is in the way

  // A missing parent that cannot be made stops the chain.
  fs::create_directory(tmp.path() / "made");
  test::WriteFile(tmp.File("made") + kPathDelim + "f", "x");
  EXPECT_FALSE(ForceDirs(tmp.File("made") + P("|f|g")));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "made"));
}

TEST(ForceDirs, CreatesAShortRelativeNameInTheCurrentDirectory) {
  test::TempDir tmp;
  const fs::path old = fs::current_path();
  fs::current_path(tmp.path());
  const bool made = ForceDirs("ab");
  const bool nested = ForceDirs(P("x|y"));
  fs::current_path(old);
  EXPECT_TRUE(made);
  EXPECT_TRUE(fs::is_directory(tmp.path() / "ab"));
  EXPECT_TRUE(nested);
  EXPECT_TRUE(fs::is_directory(tmp.path() / "x" / "y"));
}

#ifdef _WIN32
TEST(ForceDirs, FailsUnderAMissingDrive) {
  std::string drive;
  for (char d = 'Q'; d <= 'Y' && drive.empty(); ++d)
    if (plat::files().GetFileAttributesA(std::string(1, d) + ":\\") == plat::kInvalidFileAttributes)
      drive = std::string(1, d) + ":";
  if (drive.empty()) GTEST_SKIP() << "every drive letter is in use";
  EXPECT_FALSE(ForceDirs(drive + "\\nolt\\sub"));
}
#endif

// A file system of directory names only, recording what is created.
class DirectoryFake final : public plat::Files {
 public:
  std::set<std::string> existing;
  std::vector<std::string> queried;
  std::vector<std::string> created;
  std::string refuseUnder;  // creation of anything starting with this fails

  std::uint32_t GetFileAttributesA(const std::string& path) override {
    queried.push_back(path);
    return existing.count(path) ? plat::kFileAttributeDirectory : plat::kInvalidFileAttributes;
  }
  bool CreateDirectoryA(const std::string& path) override {
    if (!refuseUnder.empty() && path.rfind(refuseUnder, 0) == 0) return false;
    created.push_back(path);
    existing.insert(path);
    return true;
  }
  bool IsRegularFile(const std::string&) override { return Unexpected(); }
  bool DeleteFileA(const std::string&) override { return Unexpected(); }
  bool RemoveDirectoryA(const std::string&) override { return Unexpected(); }
  plat::FileHandle CreateFileA(const std::string&, plat::FileAccess, plat::FileCreate) override {
    Unexpected();
    return plat::kInvalidFile;
  }
  plat::FileHandle CreateFileWithShareMode(const std::string&, plat::FileAccess, std::uint32_t,
                                           plat::FileCreate) override {
    Unexpected();
    return plat::kInvalidFile;
  }
  bool ReadFile(plat::FileHandle, void*, std::uint32_t, std::uint32_t*) override { return Unexpected(); }
  bool WriteFile(plat::FileHandle, const void*, std::uint32_t, std::uint32_t*) override { return Unexpected(); }
  std::int64_t SetFilePointer(plat::FileHandle, std::int64_t, plat::SeekOrigin) override {
    Unexpected();
    return -1;
  }
  bool GetFileSize(plat::FileHandle, std::uint64_t*) override { return Unexpected(); }
  bool CloseHandle(plat::FileHandle) override { return Unexpected(); }
  bool GetFileTime(plat::FileHandle, std::uint64_t*) override { return Unexpected(); }
  bool SetFileTime(plat::FileHandle, std::uint64_t) override { return Unexpected(); }
  bool MoveFileReplace(const std::string&, const std::string&) override { return Unexpected(); }
  plat::FileHandle CreateTempFileIn(const std::string&, const std::string&, const std::string&,
                                    std::string*) override {
    Unexpected();
    return plat::kInvalidFile;
  }
  bool FlushFileBuffers(plat::FileHandle) override { return Unexpected(); }
  bool FlushDirectory(const std::string&) override { return Unexpected(); }
  bool ListDirectory(const std::string&, std::vector<plat::FoundFile>*) override { return Unexpected(); }
  std::string ExecutablePath() override {
    Unexpected();
    return {};
  }
  std::uint32_t GetLastError() override { return 0; }
  void SetLastError(std::uint32_t) override {}
  std::string ErrorText(std::uint32_t) override { return {}; }
  std::string GetFullPathNameA(const std::string&) override {
    Unexpected();
    return {};
  }
  bool FinishInstalledFile(plat::FileHandle, const std::string&) override { return Unexpected(); }

 private:
  bool Unexpected() {
    ADD_FAILURE() << "unexpected file operation";
    return false;
  }
};

TEST(ForceDirs, CreatesMissingParentsTopDown) {
  DirectoryFake fake;
  plat::ScopedSeam<plat::Files> seam(fake);
#ifdef _WIN32
  fake.existing = {"C:\\a"};
  EXPECT_TRUE(ForceDirs("C:\\a\\b\\c"));
  EXPECT_EQ(fake.created, (std::vector<std::string>{"C:\\a\\b", "C:\\a\\b\\c"}));
#else
  fake.existing = {"/a"};
  EXPECT_TRUE(ForceDirs("/a/b\\c"));
  EXPECT_EQ(fake.created, (std::vector<std::string>{"/a/b", "/a/b/c"}));
#endif
}

TEST(ForceDirs, TakesOnlyRootsForGranted) {
  DirectoryFake fake;
  plat::ScopedSeam<plat::Files> seam(fake);
  EXPECT_TRUE(ForceDirs(""));
  EXPECT_TRUE(ForceDirs(std::string(1, kPathDelim)));
#ifdef _WIN32
  EXPECT_TRUE(ForceDirs("C:\\"));
  EXPECT_TRUE(ForceDirs("C:"));
#endif
  EXPECT_TRUE(fake.queried.empty());
  EXPECT_TRUE(fake.created.empty());

  // A two-character name is a directory like any other, made when missing.
  EXPECT_TRUE(ForceDirs("ab"));
  EXPECT_TRUE(ForceDirs(P("|x")));
  EXPECT_EQ(fake.created, (std::vector<std::string>{"ab", P("|x")}));
}

TEST(ForceDirs, StopsAtTheFirstDirectoryThatCannotBeMade) {
  DirectoryFake fake;
  plat::ScopedSeam<plat::Files> seam(fake);
  fake.refuseUnder = P("|top|mid");
  EXPECT_FALSE(ForceDirs(P("|top|mid|low|leaf")));
  EXPECT_EQ(fake.created, std::vector<std::string>{P("|top")});
  // On Windows a drive-relative name whose drive is taken for granted; on Linux a
  // colon is an ordinary character. Either way the one directory is made.
  fake.created.clear();
  EXPECT_TRUE(ForceDirs("D:sub"));
  EXPECT_EQ(fake.created, std::vector<std::string>{"D:sub"});
#ifdef _WIN32
  // A name that is its own parent can never be made: false, nothing created.
  fake.created.clear();
  EXPECT_FALSE(ForceDirs("ab:"));
  EXPECT_TRUE(fake.created.empty());
#endif
}

}  // namespace
}  // namespace nolt
