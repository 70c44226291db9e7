// The manifest's line rules, read from real files through the files seam.
#include <gtest/gtest.h>

#include "release/Manifest.h"
#include "install/InstallName.h"
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
  // A name longer than any that can be installed is kept only so far: still too long.
  EXPECT_EQ(e.names[1], hugeName.substr(0, kMaxInstallNameLength + 1));
  EXPECT_EQ(e.sums[1], "12");
  EXPECT_EQ(e.names[2], "");
  EXPECT_EQ(e.sums[2], "X") << "the cut counts from the byte after the colon, before trimming";

  // No colon: the first 512 bytes of the line.
  Entries n = Read(std::string(700, 'z'));
  EXPECT_EQ(n.sums[0], std::string(512, 'z'));
}

// Whatever a line's length, the entry is what the whole line would give: blanks
// beyond the kept bytes are trimmed, and a name that goes on past them stays too long.
TEST(Manifest, WhatIsKeptOfALongLineGivesTheSameEntry) {
  const std::size_t max = kMaxInstallNameLength;
  const std::string pad(100000, ' ');
  struct Case {
    std::string line, name, checksum;
  } cases[] = {
      {"a" + pad + ":" + pad + "1A" + pad, "a", ""},
      {"a" + pad + "b:0", "a" + std::string(max, ' '), "0"},
      {std::string(max, 'n') + pad + ":0", std::string(max, 'n'), "0"},
      {std::string(max + 1, 'n') + ":0", std::string(max + 1, 'n'), "0"},
      {pad + "x" + pad, "", "x"},
      {pad + ":" + std::string(511, ' ') + "X" + pad, "", "X"},
      {std::string(2000, 'z') + ":1", std::string(max + 1, 'z'), "1"},
  };
  for (const Case& c : cases) {
    std::string name, sum;
    ASSERT_TRUE(ParseManifestLine(c.line, name, sum));
    EXPECT_EQ(name, c.name) << c.line.size();
    EXPECT_EQ(sum, c.checksum) << c.line.size();
    EXPECT_EQ(StaysInside(name, NameUse::ManifestEntry), name.size() <= max);
  }
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
