// The cabinet component over the real seams of each target (cabinet.dll under
// Wine, libmspack on Linux), with fakes only where a fault must be provoked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "cabfiles/CABFile.h"
#include "platform/Clock.h"
#include "platform/HeadlessUi.h"
#include "tests/support/CabTestData.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace nolt;
using nolt::test::CabEntries;
using nolt::test::CabEntry;
using nolt::test::CabPath;
using nolt::test::FilesBelow;
using nolt::test::LocalPath;
using nolt::test::ReadFile;
using nolt::test::TempDir;
using nolt::test::WriteFile;
namespace fs = std::filesystem;

namespace {

// Days since 1899-12-30 of a civil date, counted independently of the component.
double ExpectedDateTime(const CabEntry& e) {
  int y = 1980 + (e.dosDate >> 9), m = (e.dosDate >> 5) & 15, d = e.dosDate & 31;
  int hh = e.dosTime >> 11, mm = (e.dosTime >> 5) & 63, ss = (e.dosTime & 31) * 2;
  int days = 0;
  for (int year = 1900; year < y; ++year) days += (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ? 366 : 365;
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  days += before[m - 1] + d - 1 + (m > 2 && y % 4 == 0 && (y % 100 != 0 || y % 400 == 0) ? 1 : 0);
  return days + 2 + (hh * 3600 + mm * 60 + ss) / 86400.0;
}

std::vector<std::string> ExpectedFiles(const std::vector<CabEntry>& entries) {
  std::vector<std::string> files;
  for (const CabEntry& e : entries) files.push_back(fs::path(LocalPath(e.name)).generic_string());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> GeneratedCabs() {
  std::vector<std::string> cabs = {"stored.cab", "mszip.cab"};
  for (const char* c : {"gcab-stored.cab", "gcab-mszip.cab"})
    if (nolt::test::HaveCab(c)) cabs.push_back(c);
  return cabs;
}

// A message box that records instead of showing.
class RecordingUi : public plat::HeadlessUi {
 public:
  struct Box {
    std::string text, caption;
    std::uint32_t type;
  };
  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override {
    boxes.push_back({text, caption, type});
    return plat::kIdOk;
  }
  std::vector<Box> boxes;
};

// The system's files seam, with WriteFile failing on demand.
class FailingWrites : public nolt::test::ForwardingFiles {
 public:
  std::uint32_t failWith = 0;

  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    if (!failWith) return real.WriteFile(h, b, n, w);
    *w = 0;
    real.SetLastError(failWith);
    return false;
  }
};

// The system's cabinet library, counting loads and able to break one step.
plat::PfnFDIDestroy realDestroy = nullptr;
int FailingDestroy(plat::HFDI h) {
  realDestroy(h);
  return 0;
}

class CountingLibrary : public plat::CabinetLibrary {
 public:
  plat::CabinetLibrary& sys = plat::SystemInstance<plat::CabinetLibrary>();
  int loads = 0, frees = 0;
  bool failLoad = false;
  std::string missingEntry;
  bool failDestroy = false;

  plat::HModule LoadLibraryA(const std::string& n) override {
    ++loads;
    return failLoad ? nullptr : sys.LoadLibraryA(n);
  }
  plat::HModule GetModuleHandleA(const std::string& n) override { return sys.GetModuleHandleA(n); }
  plat::FarProc GetProcAddress(plat::HModule m, const std::string& n) override {
    if (n == missingEntry) return nullptr;
    plat::FarProc p = sys.GetProcAddress(m, n);
    if (n == "FDIDestroy" && failDestroy) {
      realDestroy = reinterpret_cast<plat::PfnFDIDestroy>(p);
      return reinterpret_cast<plat::FarProc>(&FailingDestroy);
    }
    return p;
  }
  bool FreeLibrary(plat::HModule m) override {
    ++frees;
    return sys.FreeLibrary(m);
  }
};

// No temporary file of an extraction is left anywhere below dir.
void ExpectNoLeftovers(const std::string& dir, const std::vector<std::string>& allowed) {
  EXPECT_EQ(FilesBelow(dir), allowed);
}

TEST(CabFile, PropertiesStartAsDescribedAndVersionIsFixed) {
  TCABFile cab;
  EXPECT_EQ(cab.CompressionType, typMSZIP);
  EXPECT_EQ(cab.LZXMemory, lzxLowest);
  EXPECT_EQ(cab.CABFileContents.Count(), 0);
  EXPECT_EQ(cab.CABFileContents.GetOwner(), &cab);
  cab.SetVersion("9.9");
  EXPECT_EQ(cab.Version(), "1.4.0.3");
  EXPECT_EQ(TCABFile::EntryDir("a\\b/c\\d.txt"), "a\\b/c\\");
  EXPECT_EQ(TCABFile::EntryDir("sub\\x.dll"), "sub\\");
  EXPECT_EQ(TCABFile::EntryDir("x.dll"), "");
}

TEST(CabFile, ReadContentsListsEntriesAsStoredOnce) {
  for (const std::string& name : GeneratedCabs()) {
    SCOPED_TRACE(name);
    TCABFile cab;
    cab.CABFile = CabPath(name);
    cab.ReadContents();
    cab.ReadContents();  // twice: still one set
    EXPECT_EQ(cab.LastRunResult, 0);
    auto expected = CabEntries(name);
    ASSERT_EQ(cab.CABFileContents.Count(), static_cast<int>(expected.size()));
    for (int i = 0; i < cab.CABFileContents.Count(); ++i) {
      const TCABFileEntry& e = cab.CABFileContents[i];
      EXPECT_EQ(e.Name, expected[i].name);
      EXPECT_EQ(e.FileSize, static_cast<std::int32_t>(expected[i].size));
      EXPECT_NEAR(e.FileDate, ExpectedDateTime(expected[i]), 0.5 / 86400) << e.Name;
      EXPECT_EQ(e.Collection, &cab.CABFileContents);
    }
  }
  // A date that is no calendar date lists as 0.
  TCABFile odd;
  odd.CABFile = CabPath("baddate.cab");
  odd.ReadContents();
  ASSERT_EQ(odd.CABFileContents.Count(), 1);
  EXPECT_EQ(odd.CABFileContents[0].FileDate, 0.0);
}

TEST(CabFile, ReadContentsOfWhatIsNoCabinetLeavesTheListEmpty) {
  for (const char* name : {"notcab.bin", "badsig.cab", "no-such.cab"}) {
    TCABFile cab;
    cab.CABFile = CabPath("stored.cab");
    cab.ReadContents();
    ASSERT_GT(cab.CABFileContents.Count(), 0);
    cab.CABFile = CabPath(name);
    cab.ReadContents();
    EXPECT_EQ(cab.CABFileContents.Count(), 0) << name;
    EXPECT_EQ(cab.LastRunResult, -1) << name;
  }
}

TEST(CabFile, ExtractAllWritesEveryEntryByteForByteWithItsDate) {
  for (const std::string& name : GeneratedCabs()) {
    SCOPED_TRACE(name);
    TempDir dir;
    TCABFile cab;
    cab.CABFile = CabPath(name);
    cab.TargetPath = dir.path().string();  // without a trailing separator
    ASSERT_TRUE(cab.ExtractAll());
    EXPECT_EQ(cab.CABFileContents.Count(), 0) << "extraction does not fill the list";
    auto expected = CabEntries(name);
    ExpectNoLeftovers(dir.path().string(), ExpectedFiles(expected));
    for (const CabEntry& e : expected) {
      const std::string path = dir.File(LocalPath(e.name));
      EXPECT_EQ(ReadFile(path), e.content) << e.name;
      // The cabinet's date, read as local time.
      plat::SystemTime st{static_cast<std::uint16_t>(1980 + (e.dosDate >> 9)),
                          static_cast<std::uint16_t>((e.dosDate >> 5) & 15), 0,
                          static_cast<std::uint16_t>(e.dosDate & 31), static_cast<std::uint16_t>(e.dosTime >> 11),
                          static_cast<std::uint16_t>((e.dosTime >> 5) & 63),
                          static_cast<std::uint16_t>((e.dosTime & 31) * 2), 0};
      std::uint64_t local = 0, utc = 0, actual = 0;
      ASSERT_TRUE(plat::SystemTimeToFileTime(st, &local));
      ASSERT_TRUE(plat::sysClock().LocalFileTimeToFileTime(local, &utc));
      plat::FileHandle h = plat::files().CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
      ASSERT_NE(h, plat::kInvalidFile);
      ASSERT_TRUE(plat::files().GetFileTime(h, &actual));
      plat::files().CloseHandle(h);
      EXPECT_EQ(actual, utc) << e.name;
    }
  }
}

TEST(CabFile, TargetPathWithSeparatorOrEmptyMeansTheSameDirectory) {
  const auto expected = ExpectedFiles(CabEntries("mszip.cab"));
  TempDir a;
  TCABFile cab;
  cab.CABFile = CabPath("mszip.cab");
  cab.TargetPath = a.Dir();  // with its separator
  ASSERT_TRUE(cab.ExtractAll());
  EXPECT_EQ(FilesBelow(a.path().string()), expected);

  TempDir b;
  const fs::path before = fs::current_path();
  fs::current_path(b.path());
  cab.TargetPath = "";
  const bool ok = cab.ExtractAll();
  fs::current_path(before);
  EXPECT_TRUE(ok);
  EXPECT_EQ(FilesBelow(b.path().string()), expected);
}

TEST(CabFile, OverwriteEventDecidesForExistingFilesOnly) {
  TempDir dir;
  WriteFile(dir.File(LocalPath("sub\\data.bin")), "old data");
  WriteFile(dir.File("readme.txt"), "old readme");
  TCABFile cab;
  cab.CABFile = CabPath("stored.cab");
  cab.TargetPath = dir.Dir();
  std::vector<std::string> asked;
  cab.OnOverWriteFile = [&](TObject* sender, const std::string& file, bool& allow) {
    EXPECT_EQ(sender, &cab);
    EXPECT_TRUE(allow);
    asked.push_back(file);
    if (file == dir.File(LocalPath("sub\\data.bin"))) allow = false;
  };
  ASSERT_TRUE(cab.ExtractAll()) << "a vetoed entry is no failure";
  EXPECT_EQ(asked, (std::vector<std::string>{dir.File("readme.txt"), dir.File(LocalPath("sub\\data.bin"))}));
  EXPECT_EQ(ReadFile(dir.File(LocalPath("sub\\data.bin"))), "old data");
  auto entries = CabEntries("stored.cab");
  EXPECT_EQ(ReadFile(dir.File("readme.txt")), entries[0].content);
  ExpectNoLeftovers(dir.path().string(), ExpectedFiles(entries));

  // Without a handler an existing file is replaced.
  TCABFile plain;
  plain.CABFile = CabPath("stored.cab");
  plain.TargetPath = dir.Dir();
  ASSERT_TRUE(plain.ExtractAll());
  EXPECT_EQ(ReadFile(dir.File(LocalPath("sub\\data.bin"))), entries[2].content);
}

TEST(CabFile, ProgressGrowsToEachEntrysSizeUnderItsStoredName) {
  TempDir dir;
  TCABFile cab;
  cab.CABFile = CabPath("mszip.cab");
  cab.TargetPath = dir.Dir();
  std::vector<std::pair<std::string, std::pair<int, int>>> events;
  cab.OnDecompressProgress = [&](TObject* sender, const std::string& file, int pos, int tot) {
    EXPECT_EQ(sender, &cab);
    EXPECT_EQ(ActiveCabinet, &cab);
    events.push_back({file, {pos, tot}});
  };
  ASSERT_TRUE(cab.ExtractAll());
  for (const CabEntry& e : CabEntries("mszip.cab")) {
    SCOPED_TRACE(e.name);
    std::vector<std::pair<int, int>> mine;
    for (const auto& ev : events)
      if (ev.first == e.name) mine.push_back(ev.second);
    if (e.size == 0) {
      EXPECT_TRUE(mine.empty());
      continue;
    }
    ASSERT_FALSE(mine.empty());
    EXPECT_LE(mine.front().first, 32768) << "starts again from 0";
    for (std::size_t i = 1; i < mine.size(); ++i) EXPECT_GT(mine[i].first, mine[i - 1].first);
    EXPECT_EQ(mine.back().first, static_cast<int>(e.size));
    for (const auto& p : mine) EXPECT_EQ(p.second, static_cast<int>(e.size));
  }
}

TEST(CabFile, NoCabinetOrAMissingOneWritesNothingAndLoadsNoLibraryWhenMissing) {
  CountingLibrary lib;
  plat::ScopedSeam<plat::CabinetLibrary> useLib(lib);
  for (const char* name : {"notcab.bin", "badsig.cab", "no-such.cab"}) {
    TempDir dir;
    TCABFile cab;
    cab.CABFile = CabPath(name);
    cab.TargetPath = dir.Dir();
    lib.loads = lib.frees = 0;
    EXPECT_FALSE(cab.ExtractAll()) << name;
    EXPECT_TRUE(FilesBelow(dir.path().string()).empty()) << name;
    EXPECT_EQ(lib.loads, std::string(name) == "no-such.cab" ? 0 : 1) << name;
    EXPECT_EQ(lib.frees, lib.loads) << name;
  }
}

TEST(CabFile, DamagedDataKeepsTheOldFileAndLeavesNoTemporaryFile) {
  // truncated.cab is mszip.cab cut short, badsum.cab is stored.cab with a block
  // checksum changed; the damage lies in sub\data.bin.
  for (auto [name, original] : {std::pair{"truncated.cab", "mszip.cab"}, std::pair{"badsum.cab", "stored.cab"}}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string data = dir.File(LocalPath("sub\\data.bin"));
    WriteFile(data, "the previous version");
    TCABFile cab;
    cab.CABFile = CabPath(name);
    cab.TargetPath = dir.Dir();
    EXPECT_FALSE(cab.ExtractAll());
    EXPECT_EQ(ReadFile(data), "the previous version");
    EXPECT_EQ(ReadFile(dir.File("readme.txt")), CabEntries(original)[0].content) << "written before the damage";
    for (const std::string& f : FilesBelow(dir.path().string()))
      EXPECT_TRUE(f == "readme.txt" || f == "sub/deeper/file.txt" || f == "sub/data.bin") << f;
  }
}

TEST(CabFile, NamesThatLeaveTheTargetAreNotWrittenAndTheRunFails) {
  TempDir root;
  const std::string target = root.File(LocalPath("a\\b\\target"));
  fs::create_directories(target);
  TCABFile cab;
  cab.CABFile = CabPath("traversal.cab");
  cab.TargetPath = target;
  EXPECT_FALSE(cab.ExtractAll());
  EXPECT_EQ(FilesBelow(root.path().string()), (std::vector<std::string>{"a/b/target/ok.txt", "a/b/target/sub/ok2.txt"}));
  auto entries = CabEntries("traversal.cab");
  EXPECT_EQ(ReadFile((fs::path(target) / "ok.txt").string()), entries[0].content);
  EXPECT_FALSE(fs::exists("/evil2.txt"));
  EXPECT_FALSE(fs::exists("C:\\evil3.txt"));
}

TEST(CabFile, ACabinetSetIsFollowedAndAMissingPartEndsInFailure) {
  TempDir dir;
  TCABFile cab;
  cab.CABFile = CabPath("set1.cab");
  cab.TargetPath = dir.Dir();
  ASSERT_TRUE(cab.ExtractAll());
  auto entries = CabEntries("set1.cab");
  EXPECT_EQ(FilesBelow(dir.path().string()), ExpectedFiles(entries));
  EXPECT_EQ(ReadFile(dir.File(LocalPath("big\\big.bin"))), entries[1].content);

  TempDir lone, out;
  fs::copy_file(CabPath("set1.cab"), lone.File("set1.cab"));
  cab.CABFile = lone.File("set1.cab");
  cab.TargetPath = out.Dir();
  EXPECT_FALSE(cab.ExtractAll());
  EXPECT_EQ(FilesBelow(out.path().string()), std::vector<std::string>{"first.txt"});
  EXPECT_EQ(FilesBelow(lone.path().string()), std::vector<std::string>{"set1.cab"});
}

TEST(CabFile, LibraryFaultsEndTheRunAndTheLibraryIsAlwaysReleased) {
  CountingLibrary lib;
  plat::ScopedSeam<plat::CabinetLibrary> useLib(lib);
  struct Fault {
    bool load;
    const char* missing;
    bool destroy;
  } faults[] = {{true, "", false}, {false, "FDICopy", false}, {false, "FDICreate", false}, {false, "", true}};
  for (const Fault& f : faults) {
    TempDir dir;
    lib.loads = lib.frees = 0;
    lib.failLoad = f.load;
    lib.missingEntry = f.missing;
    lib.failDestroy = f.destroy;
    TCABFile cab;
    cab.CABFile = CabPath("stored.cab");
    cab.TargetPath = dir.Dir();
    EXPECT_FALSE(cab.ExtractAll());
    EXPECT_EQ(lib.loads, 1);
    EXPECT_EQ(lib.frees, f.load ? 0 : 1);
    // Only a failing destroy comes after the copy.
    EXPECT_EQ(FilesBelow(dir.path().string()).size(), f.destroy ? 6u : 0u);
  }
}

TEST(CabFile, AnErrorBoxShowsOnlyTheCallbacksOwnFailure) {
  RecordingUi ui;
  plat::ScopedSeam<plat::Ui> useUi(ui);
  FailingWrites files;
  plat::ScopedSeam<plat::Files> useFiles(files);
  TempDir dir;
  TCABFile cab;
  cab.CABFile = CabPath("stored.cab");
  cab.TargetPath = dir.Dir();

  // An error code left behind by an earlier call is no failure of this run.
  files.SetLastError(plat::kErrorAccessDenied);
  ASSERT_TRUE(cab.ExtractAll());
  EXPECT_TRUE(ui.boxes.empty());

  TempDir full;
  cab.TargetPath = full.Dir();
  files.failWith = plat::kErrorDiskFull;
  EXPECT_FALSE(cab.ExtractAll());
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(ui.boxes[0].caption, "Error");
  EXPECT_EQ(ui.boxes[0].text, files.ErrorText(plat::kErrorDiskFull));
  EXPECT_EQ(ui.boxes[0].type, 0x30u) << "OK button, warning icon";
  // Linux's library stops at the first failed write, Wine's goes on: either
  // way no entry is installed but the empty one, which needs no write.
  for (const std::string& f : FilesBelow(full.path().string())) EXPECT_EQ(f, "empty.dat");
}

TEST(CabFile, AnExceptionFromAHandlerEndsTheRunCleanlyAndReachesTheCaller) {
  CountingLibrary lib;
  plat::ScopedSeam<plat::CabinetLibrary> useLib(lib);
  TempDir dir;
  TCABFile cab;
  cab.CABFile = CabPath("mszip.cab");
  cab.TargetPath = dir.Dir();
  cab.OnDecompressProgress = [](TObject*, const std::string& file, int, int) {
    if (file == "sub\\data.bin") throw std::runtime_error("stop here");
  };
  EXPECT_THROW(cab.ExtractAll(), std::runtime_error);
  EXPECT_EQ(lib.frees, lib.loads);
  EXPECT_EQ(FilesBelow(dir.path().string()), (std::vector<std::string>{"readme.txt", "sub/deeper/file.txt"}));
  cab.OnDecompressProgress = nullptr;
  EXPECT_TRUE(cab.ExtractAll()) << "the component runs again";
}

TEST(CabFile, ActiveCabinetForgetsADestroyedComponent) {
  TempDir dir;
  {
    TCABFile cab;
    cab.CABFile = CabPath("stored.cab");
    cab.TargetPath = dir.Dir();
    ASSERT_TRUE(cab.ExtractAll());
    EXPECT_EQ(ActiveCabinet, &cab);
  }
  EXPECT_EQ(ActiveCabinet, nullptr);
}

#ifndef _WIN32
mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(CabFile, OnLinuxProgramsBecomeExecutableAndReplacedFilesKeepTheirMode) {
  const mode_t old = ::umask(022);
  TempDir dir;
  TCABFile cab;
  cab.CABFile = CabPath("programs.cab");
  cab.TargetPath = dir.Dir();
  ASSERT_TRUE(cab.ExtractAll());
  EXPECT_EQ(ModeOf(dir.File("bin/tool.sh")), 0755u);
  EXPECT_EQ(ModeOf(dir.File("bin/prog")), 0755u);
  EXPECT_EQ(ModeOf(dir.File("bin/notes.txt")), 0644u);

  ::chmod(dir.File("bin/tool.sh").c_str(), 0700);
  ::chmod(dir.File("bin/notes.txt").c_str(), 0600);
  ASSERT_TRUE(cab.ExtractAll());
  EXPECT_EQ(ModeOf(dir.File("bin/tool.sh")), 0700u);
  EXPECT_EQ(ModeOf(dir.File("bin/notes.txt")), 0600u);
  ::umask(old);
}
#endif

}  // namespace
