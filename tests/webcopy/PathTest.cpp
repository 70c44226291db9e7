// Joining local paths.
#include <gtest/gtest.h>

#include <string>

#include "platform/Files.h"
#include "webcopy/Helpers.h"

namespace nolt {
namespace {

TEST(JoinPath, AddsTheLocalSeparatorOnlyWhereNoneEndsTheDirectory) {
  EXPECT_EQ(JoinPath("", "a.cab"), "a.cab");
#ifdef _WIN32
  EXPECT_EQ(JoinPath("C:\\dir\\", "a.cab"), "C:\\dir\\a.cab");
  EXPECT_EQ(JoinPath("C:\\dir", "a.cab"), "C:\\dir\\a.cab");
  EXPECT_EQ(JoinPath("C:", "a.cab"), "C:\\a.cab");
  // Only a backslash ends a directory on Windows.
  EXPECT_EQ(JoinPath("dir/", "a"), "dir/\\a");
  EXPECT_EQ(JoinPath("C:\\dir", ""), "C:\\dir\\");
#else
  EXPECT_EQ(JoinPath("/dir/", "a.cab"), "/dir/a.cab");
  EXPECT_EQ(JoinPath("/dir", "a.cab"), "/dir/a.cab");
  EXPECT_EQ(JoinPath("/dir", ""), "/dir/");
  // A backslash of a name written on Windows ends a directory too, and becomes '/'.
  EXPECT_EQ(JoinPath("dir\\", "a"), "dir/a");
  EXPECT_EQ(JoinPath("/base\\sub", "x\\y.dll"), "/base/sub/x/y.dll");
#endif
}

}  // namespace
}  // namespace nolt
