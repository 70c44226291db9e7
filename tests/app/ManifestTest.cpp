// The manifest's line rules, read from real files through the files seam.
#include <gtest/gtest.h>

#include "app/Manifest.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

using namespace nolt;

namespace {

struct Entries {
  std::vector<std::string> names, sums;
};

Entries Read(const std::string& bytes) {
  test::TempDir dir;
  test::WriteFile(dir.File("m.txt"), bytes);
  Entries e;
  ReadManifest(dir.File("m.txt"), e.names, e.sums);
  EXPECT_EQ(e.names.size(), e.sums.size());
  return e;
}

TEST(Manifest, LinesTrimmingAndTheFirstColon) {
  Entries e = Read(" a.dll : 1A2B3C \r\n\tb.dll:ffffff\t\nc:d:e\n\n   \r\nno colon here\nname with space.dll:0\nx:");
  EXPECT_EQ(e.names, (std::vector<std::string>{"a.dll", "b.dll", "c", "", "name with space.dll", "x"}));
  EXPECT_EQ(e.sums, (std::vector<std::string>{"1A2B3C", "ffffff", "d:e", "no colon here", "0", ""}));
}

TEST(Manifest, CarriageReturnsAndEndOfFileByte) {
  // Lines ending in CR alone make one line with the CRs removed.
  Entries cr = Read("a:1\rb:2\rc:3\r");
  EXPECT_EQ(cr.names, (std::vector<std::string>{"a"}));
  EXPECT_EQ(cr.sums, (std::vector<std::string>{"1b:2c:3"}));

  // 0x1A inside a line drops the rest of that line only; at a line start it ends the file.
  Entries sub = Read("a:12\x1A" "34\r\nb:56\n\x1A" "c:78\nd:9\n");
  EXPECT_EQ(sub.names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(sub.sums, (std::vector<std::string>{"12", "56"}));

  // Control bytes below 0x20 are trimmed like blanks.
  Entries ctl = Read(std::string("\x01\x02name\x1f:\x00sum\x07\n", 15));
  EXPECT_EQ(ctl.names, (std::vector<std::string>{"name"}));
  EXPECT_EQ(ctl.sums, (std::vector<std::string>{"sum"}));
}

TEST(Manifest, ChecksumCutAt512AndLongLines) {
  std::string longSum(600, 'a');
  std::string hugeName(300000, 'n');  // longer than a read block
  Entries e = Read("f:" + longSum + "\n" + hugeName + ": 12\n  :" + std::string(511, ' ') + "X" + "Y\n");
  ASSERT_EQ(e.names.size(), 3u);
  EXPECT_EQ(e.sums[0], std::string(512, 'a'));
  EXPECT_EQ(e.names[1], hugeName);
  EXPECT_EQ(e.sums[1], "12");
  EXPECT_EQ(e.names[2], "");
  EXPECT_EQ(e.sums[2], "X") << "the cut counts from the byte after the colon, before trimming";

  // No colon: the first 512 bytes of the line.
  Entries n = Read(std::string(700, 'z'));
  EXPECT_EQ(n.sums[0], std::string(512, 'z'));
}

TEST(Manifest, EmptyAndBlankFiles) {
  EXPECT_TRUE(Read("").names.empty());
  EXPECT_TRUE(Read("\n \r\n\t\t\n").names.empty());
}

TEST(Manifest, UnreadableManifestRaises) {
  test::TempDir dir;
  std::vector<std::string> a, b;
  EXPECT_THROW(ReadManifest(dir.File("missing.txt"), a, b), plat::EInOutError);
}

}  // namespace
