// The built updater as a user starts it: copied alone into an installation directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/RunProgram.h"
#include "tests/support/TestSupport.h"

using namespace nolt;

namespace {

TEST(Program, WithoutManifestDeletesTheStalePatchProgramAndExits) {
  test::TempDir dir;
  const std::string exe = test::ProgramPath("nolt-patch-setup");
  const std::string copy = dir.File(std::filesystem::path(exe).filename().string());
  std::filesystem::copy_file(exe, copy);
  test::WriteFile(dir.File("noltpatch.exe"), "stale patch program");
  test::WriteFile(dir.File("keep.dll"), "untouched");

  test::ProgramResult r = test::RunProgram(copy, {}, dir.path().string(), 60000);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut) << "the updater must end by itself";
  EXPECT_EQ(r.exitCode, 1) << "the manifest could not be fetched, though the run went on";
  EXPECT_FALSE(test::FileExists(dir.File("noltpatch.exe")));
  EXPECT_EQ(test::ReadFile(dir.File("keep.dll")), "untouched");
}

}  // namespace
