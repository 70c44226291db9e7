// The staging folder's names, and what the sweep at start removes of a killed run:
// exactly the files of our own naming and the packages that cannot be continued.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/Staging.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "webcopy/PartialDownload.h"

using namespace nolt;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Below(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(e.path(), root).generic_string() + (e.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Staging, PackageNamesAreOursAndDistinct) {
  // Readable part, then 16 digits of the name and identity: each case differs from
  // the first in one respect only, and so in its digits.
  struct Case {
    std::string entry, identity, readable;
  } cases[] = {
      {"b.dll", "1a2b3c", "b.dll"},
      {"b.dll", "1a2b3d", "b.dll"},                     // another checksum: another package
      {"b.dll", "1a2b3c 00ff 12", "b.dll"},             // another signed digest and size
      {"b_dll", "1a2b3c", "b_dll"},
      {"sub\\d.dll", "1a2b3c", "sub_d.dll"},
      {"sub/d.dll", "1a2b3c", "sub_d.dll"},              // another name, another file
      {"b.dl", "l1a2b3c", "b.dl"},                      // name and identity are kept apart
      {"", "1a2b3c", ""},
      {"<img src=\"/x", "1a2b3c", "_img_src___x"},
  };
  std::set<std::string> seen;
  for (const Case& c : cases) {
    const std::string staged = StagedPackageName(c.entry, c.identity);
    EXPECT_EQ(staged.substr(0, c.readable.size() + 1), c.readable + "-") << c.entry;
    EXPECT_EQ(staged.size(), c.readable.size() + 1 + 16 + 4) << c.entry;
    EXPECT_EQ(staged.find_first_not_of("0123456789ABCDEF", c.readable.size() + 1), c.readable.size() + 17) << staged;
    EXPECT_TRUE(seen.insert(staged).second) << staged;
    EXPECT_EQ(StagedPackageName(c.entry, c.identity), staged) << "the same entry gives the same name";
  }
  // A long name keeps 100 readable bytes.
  EXPECT_EQ(StagedPackageName(std::string(300, 'x'), "0").size(), 100u + 1 + 16 + 4);
}

TEST(Staging, TheSweepRemovesWhatAKilledRunLeftAndNothingElse) {
  test::TempDir top;
  const fs::path dir = top.path() / "app";
  const std::string app = dir.string() + plat::kPathDelim;
  const std::string staging = StagingDir(app);
  const std::string kept = staging + StagedPackageName("big.dat", "0");
  const std::string unwanted = staging + StagedPackageName("old.dat", "0");
  auto write = [&](const std::string& rel, const std::string& bytes = "x") {
    const fs::path p = dir / rel;
    fs::create_directories(p.parent_path());
    test::WriteFile(p.string(), bytes);
  };
  // Kept beginnings: a record and its body, as a download leaves them.
  auto keep = [&](const std::string& target) {
    PartialDownload p;
    p.Find(target, "http://host/x.cab");
    test::WriteFile(PartialDownload::BodyPath(target), "");
    p.Restart("\"v1\"", 1000);
    test::WriteFile(PartialDownload::BodyPath(target), std::string(400, 'k'));
  };
  write("../.nolt-Ab3xY9.tmp");         // outside the installation: stays
  write(".nolt-Ab3xY9.tmp");            // ours: goes
  write("sub/.nolt-000000.tmp");        // ours, in a listed directory: goes
  write("other/.nolt-Ab3xY9.tmp");      // in a directory no name lists: stays
  write(".nolt-Ab3xY.tmp");             // not of our form: stays
  write("nlt1A2B.tmp");                 // not of our form: stays
  write("data.cab");                    // an installed file: stays
  write("sub/d.dll");
  write(".nolt-packages/" + StagedPackageName("done.dat", "0"));                    // a whole package: goes
  write(".nolt-packages/" + StagedPackageName("norecord.dat", "0") + ".partial");  // no record: goes
  write(".nolt-packages/" + StagedPackageName("nobody.dat", "0") + ".resume");     // no body: goes
  write(".nolt-packages/.nolt-Q1w2E3.tmp");                                    // goes
  fs::create_directories(staging);
  keep(kept);
  keep(unwanted);

  SweepLeftovers(app, {"sub\\d.dll", "data.cab", "..\\outside.dll"});
  const std::string k = ".nolt-packages/" + StagedPackageName("big.dat", "0");
  const std::string u = ".nolt-packages/" + StagedPackageName("old.dat", "0");
  EXPECT_TRUE(test::FileExists((top.path() / ".nolt-Ab3xY9.tmp").string()));
  EXPECT_EQ(Below(dir),
            (std::vector<std::string>{".nolt-Ab3xY.tmp", ".nolt-packages/", k + ".partial", k + ".resume",
                                      u + ".partial", u + ".resume", "data.cab", "nlt1A2B.tmp", "other/",
                                      "other/.nolt-Ab3xY9.tmp", "sub/", "sub/d.dll"}));

  // Once the packages of this run are known, the other beginnings go; the folder
  // goes with the last of them.
  TidyStaging(app, {kept});
  EXPECT_TRUE(test::FileExists(PartialDownload::BodyPath(kept)));
  EXPECT_FALSE(test::FileExists(PartialDownload::BodyPath(unwanted)));
  EXPECT_FALSE(test::FileExists(PartialDownload::RecordPath(unwanted)));
  TidyStaging(app, {});
  EXPECT_FALSE(fs::exists(staging));
}

}  // namespace
