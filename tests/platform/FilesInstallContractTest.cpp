// The two files-seam operations that extraction added, on both targets.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace plat;
using nolt::test::TempDir;
namespace fs = std::filesystem;

namespace {

TEST(FilesInstallContract, GetFullPathNameResolvesAgainstTheCurrentDirectory) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  const std::string cwd = fs::current_path().string();
  const std::string sep(1, kPathDelim);
  EXPECT_EQ(files().GetFullPathNameA("sub" + sep + "file.txt"), cwd + sep + "sub" + sep + "file.txt");
  EXPECT_EQ(files().GetFullPathNameA("a" + sep + "." + sep + "b" + sep + ".." + sep + "c"), cwd + sep + "a" + sep + "c");
  EXPECT_EQ(files().GetFullPathNameA("sub" + sep), cwd + sep + "sub" + sep) << "a trailing separator stays";
  fs::current_path(before);
  EXPECT_EQ(files().GetFullPathNameA(dir.File("x.cab")), dir.File("x.cab"));
  EXPECT_EQ(files().GetFullPathNameA(""), "");
}

// Writes content to a new temporary file in dir, finishes it for target and
// moves it there.
void Install(const TempDir& dir, const std::string& content, const std::string& target) {
  std::string temp;
  FileHandle h = files().CreateTempFileIn(dir.Dir(), ".t-", ".tmp", &temp);
  ASSERT_NE(h, kInvalidFile);
  std::uint32_t n = 0;
  ASSERT_TRUE(files().WriteFile(h, content.data(), static_cast<std::uint32_t>(content.size()), &n));
  EXPECT_TRUE(files().FinishInstalledFile(h, target));
  ASSERT_TRUE(files().CloseHandle(h));
  ASSERT_TRUE(files().MoveFileReplace(temp, target));
}

TEST(FilesInstallContract, FinishInstalledFileGivesTheModeOfTheSystem) {
  TempDir dir;
#ifndef _WIN32
  const mode_t old = ::umask(027);
  auto mode = [](const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777u;
  };
  Install(dir, "#!/bin/sh\n", dir.File("script"));
  Install(dir, "\x7f" "ELF rest", dir.File("program"));
  Install(dir, "plain text", dir.File("text"));
  EXPECT_EQ(mode(dir.File("script")), 0750u);
  EXPECT_EQ(mode(dir.File("program")), 0750u);
  EXPECT_EQ(mode(dir.File("text")), 0640u) << "not the 0600 of a temporary file";
  // A replaced file hands on its permission bits, but not set-user-ID.
  ::chmod(dir.File("text").c_str(), 04755);
  Install(dir, "new text", dir.File("text"));
  EXPECT_EQ(mode(dir.File("text")), 0755u);
  ::umask(old);
#else
  Install(dir, "#!/bin/sh\n", dir.File("script"));
  EXPECT_EQ(nolt::test::ReadFile(dir.File("script")), "#!/bin/sh\n");
#endif
}

}  // namespace
