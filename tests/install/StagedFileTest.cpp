// The staged file over the real files seam: what reaches the target, and that no
// temporary file outlives any way out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "install/StagedFile.h"
#include "tests/support/CabTestData.h"
#include "tests/support/DurabilityLog.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/TestSupport.h"

namespace nolt {
namespace {

// Counts the writes that reach the system and fails the close on demand.
class CountingFiles : public test::ForwardingFiles {
 public:
  int writes = 0;
  bool failClose = false;
  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    ++writes;
    return real.WriteFile(h, b, n, w);
  }
  bool CloseHandle(plat::FileHandle h) override {
    const bool closed = real.CloseHandle(h);
    return closed && !failClose;
  }
};

TEST(StagedFile, OnlyACompleteFileReplacesTheTarget) {
  CountingFiles files;
  plat::ScopedSeam<plat::Files> seam(files);
  test::TempDir dir;
  const std::string target = dir.File("t.bin");
  test::WriteFile(target, "previous");
  const std::vector<std::string> onlyTarget{"t.bin"};

  // Gathered writes: 40 blocks of 4 KiB reach the system as three writes.
  {
    StagedFile f;
    ASSERT_TRUE(f.Create(target));
    const std::string block(4096, 'b');
    for (int i = 0; i < 40; ++i) f.Write(block.data(), static_cast<std::uint32_t>(block.size()));
    std::memcpy(f.NextBlock(3), "end", 3);
    f.Append(3);
    EXPECT_EQ(f.Written(), 40u * 4096 + 3);
    EXPECT_EQ(test::ReadFile(target), "previous") << "nothing replaces the target before Commit";
    EXPECT_TRUE(f.Commit());
    EXPECT_EQ(files.writes, 3);
    EXPECT_EQ(test::ReadFile(target), std::string(40 * 4096, 'b') + "end");
  }
  EXPECT_EQ(test::FilesBelow(dir.path().string()), onlyTarget);

  // Every other way out keeps the target: discard, destruction, a file given up, a
  // failed close, and a second Create that replaces the first temporary file.
  test::WriteFile(target, "previous");
  auto given = [&](auto&& step) {
    StagedFile f;
    ASSERT_TRUE(f.Create(target));
    f.Write("new", 3);
    step(f);
  };
  given([](StagedFile& f) { f.Discard(); });
  given([](StagedFile&) {});
  given([](StagedFile& f) {
    EXPECT_TRUE(f.CloseUnfinished());
    EXPECT_FALSE(f.Holds(f.Handle()));
    EXPECT_FALSE(f.Commit());
  });
  given([&](StagedFile& f) {
    files.failClose = true;
    EXPECT_FALSE(f.Commit());
    files.failClose = false;
  });
  given([&](StagedFile& f) { EXPECT_TRUE(f.Create(target)); });
  EXPECT_EQ(test::ReadFile(target), "previous");
  EXPECT_EQ(test::FilesBelow(dir.path().string()), onlyTarget);

  // A name without a file part creates nothing.
  StagedFile f;
  EXPECT_FALSE(f.Create(dir.Dir()));
  EXPECT_FALSE(f.Create(""));
  EXPECT_EQ(test::FilesBelow(dir.path().string()), onlyTarget);
}

TEST(StagedFile, TemporaryNamesAreOfOneUnmistakableForm) {
  struct Case {
    std::string name;
    bool ours;
  } cases[] = {
      {".nolt-Ab3xY9.tmp", true},   {".nolt-000000.tmp", true},  {".nolt-Ab3xY.tmp", false},
      {".nolt-Ab3xY90.tmp", false}, {".nolt-Ab3x-9.tmp", false}, {"nolt-Ab3xY9.tmp", false},
      {".nolt-Ab3xY9.TMP", false},  {".nolt-Ab3xY9", false},     {"nlt1A2B.tmp", false},
      {"data.cab", false},          {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(StagedFile::IsTempName(c.name), c.ours) << c.name;

  test::TempDir dir;
  StagedFile f;
  ASSERT_TRUE(f.Create(dir.File("t.bin")));
  const std::string temp = f.TempPath();
  EXPECT_TRUE(StagedFile::IsTempName(temp.substr(dir.Dir().size()))) << temp;
}

// A file of the caller's naming is written on where it ended and stays when the
// writing stops; only Commit and Discard end it.
TEST(StagedFile, AKeptBeginningIsContinuedAndThenInstalled) {
  test::TempDir dir;
  const std::string target = dir.File("t.bin");
  const std::string partial = dir.File("t.bin.partial");
  {
    StagedFile f;
    ASSERT_TRUE(f.Continue(target, partial, 0));
    f.Write("first ", 6);
    f.Keep();
  }
  EXPECT_EQ(test::ReadFile(partial), "first ");
  EXPECT_FALSE(test::FileExists(target));

  StagedFile f;
  EXPECT_FALSE(f.Continue(target, partial, 5)) << "the kept length must be the file's";
  EXPECT_EQ(test::ReadFile(partial), "first ");
  ASSERT_TRUE(f.Continue(target, partial, 6));
  EXPECT_EQ(f.Written(), 6u);
  f.Write("second", 6);
  EXPECT_TRUE(f.Commit());
  EXPECT_EQ(test::ReadFile(target), "first second");
  EXPECT_EQ(test::FilesBelow(dir.path().string()), std::vector<std::string>{"t.bin"});

  // Started anew, the old bytes are gone; discarded, the file is removed; a
  // temporary file is not kept.
  test::WriteFile(partial, "old bytes");
  ASSERT_TRUE(f.Continue(target, partial, 0));
  f.Write("x", 1);
  f.Keep();
  EXPECT_EQ(test::ReadFile(partial), "x");
  ASSERT_TRUE(f.Continue(target, partial, 1));
  f.Discard();
  ASSERT_TRUE(f.Create(target));
  f.Keep();
  EXPECT_EQ(test::FilesBelow(dir.path().string()), std::vector<std::string>{"t.bin"});
}

TEST(StagedFile, DataIsFlushedBeforeTheRenameAndTheRenameAfterIt) {
  test::DurabilityLog log;
  plat::ScopedSeam<plat::Files> seam(log);
  test::TempDir dir;
  const std::string target = dir.File("t.bin");
  for (bool continued : {false, true}) {
    log.calls.clear();
    StagedFile f;
    ASSERT_TRUE(continued ? f.Continue(target, dir.File("p"), 0) : f.Create(target));
    const std::string temp = f.TempPath();
    f.Write("data", 4);
    ASSERT_TRUE(f.Commit());
    EXPECT_EQ(log.calls, (std::vector<std::string>{"write " + temp, "flush " + temp, "close " + temp,
                                                   "move " + temp + " > " + target, "flushdir " + dir.Dir()}));
  }
}

}  // namespace
}  // namespace nolt
