// The staging folder's names, and what the sweep at start removes of a killed run:
// exactly the files of our own naming and the packages that cannot be continued.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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
  struct Case {
    std::string entry, staged;
  } cases[] = {
      {"b.dll", "b.dll-A7AF6119.cab"},
      {"sub\\d.dll", "sub_d.dll-423F82AE.cab"},
      {"sub/d.dll", "sub_d.dll-CF89FDC1.cab"},  // another name, another file
      {"", "-00000000.cab"},
      {"<img src=\"/x", "_img_src___x-94B00CDC.cab"},
  };
  for (const Case& c : cases) EXPECT_EQ(StagedPackageName(c.entry), c.staged) << c.entry;
  // A long name keeps 100 readable bytes.
  EXPECT_EQ(StagedPackageName(std::string(300, 'x')).size(), 100u + 1 + 8 + 4);
}

TEST(Staging, TheSweepRemovesWhatAKilledRunLeftAndNothingElse) {
  test::TempDir top;
  const fs::path dir = top.path() / "app";
  const std::string app = dir.string() + plat::kPathDelim;
  const std::string staging = StagingDir(app);
  const std::string kept = staging + StagedPackageName("big.dat");
  const std::string unwanted = staging + StagedPackageName("old.dat");
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
  write(".nolt-packages/" + StagedPackageName("done.dat"));                    // a whole package: goes
  write(".nolt-packages/" + StagedPackageName("norecord.dat") + ".partial");  // no record: goes
  write(".nolt-packages/" + StagedPackageName("nobody.dat") + ".resume");     // no body: goes
  write(".nolt-packages/.nolt-Q1w2E3.tmp");                                    // goes
  fs::create_directories(staging);
  keep(kept);
  keep(unwanted);

  SweepLeftovers(app, {"sub\\d.dll", "data.cab", "..\\outside.dll"});
  const std::string k = ".nolt-packages/" + StagedPackageName("big.dat");
  const std::string u = ".nolt-packages/" + StagedPackageName("old.dat");
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
