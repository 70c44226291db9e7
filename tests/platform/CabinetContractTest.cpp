// The cabinet library seam behaves the same on both targets: these cases run
// against cabinet.dll (Wine's, under Wine) and against the libmspack one on Linux,
// with callbacks of the test that record what the library asks for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Cabinet.h"
#include "platform/Files.h"
#include "tests/support/CabTestData.h"
#include "tests/support/TestSupport.h"

using namespace plat;
using nolt::test::CabEntries;
using nolt::test::CabPath;

namespace {

struct Note {
  FdiNotificationType type;
  std::string psz1;
  std::int32_t cb;
  std::uint16_t date, time, attribs;
  std::intptr_t hf;
  FdiError fdie;
};

// What the callbacks saw. Entries go to in-memory sinks with handles far from
// any real file handle.
struct Recorder {
  std::vector<Note> notes;
  std::set<std::intptr_t> openFiles;
  int opens = 0, closes = 0, allocs = 0, frees = 0;
  std::map<std::intptr_t, std::string> sinks;
  std::set<std::intptr_t> closedSinks;
  std::intptr_t nextSink = 0x70000000;
  std::function<std::intptr_t(FdiNotificationType, FdiNotification*)> answer;
};
Recorder* rec = nullptr;

void* Alloc(std::uint32_t cb) {
  ++rec->allocs;
  return std::malloc(cb ? cb : 1);
}
void Free(void* p) {
  ++rec->frees;
  std::free(p);
}
std::intptr_t Open(char* path, int oflag, int) {
  EXPECT_EQ(oflag & 3, 0) << "cabinets are opened for reading";
  FileHandle h = files().CreateFileA(path, FileAccess::Read, FileCreate::OpenExisting);
  if (h != kInvalidFile) {
    ++rec->opens;
    rec->openFiles.insert(h);
  }
  return h;
}
std::uint32_t Read(std::intptr_t hf, void* pv, std::uint32_t cb) {
  std::uint32_t n = 0;
  return files().ReadFile(hf, pv, cb, &n) ? n : 0xFFFFFFFFu;
}
std::uint32_t Write(std::intptr_t hf, void* pv, std::uint32_t cb) {
  auto it = rec->sinks.find(hf);
  if (it == rec->sinks.end()) return 0xFFFFFFFFu;
  it->second.append(static_cast<const char*>(pv), cb);
  return cb;
}
int Close(std::intptr_t hf) {
  if (rec->sinks.count(hf)) {
    rec->closedSinks.insert(hf);
    return 0;
  }
  if (!rec->openFiles.erase(hf)) return -1;  // not a handle we gave out
  ++rec->closes;
  return files().CloseHandle(hf) ? 0 : -1;
}
std::int32_t Seek(std::intptr_t hf, std::int32_t dist, int type) {
  return static_cast<std::int32_t>(files().SetFilePointer(hf, dist, static_cast<SeekOrigin>(type)));
}
std::intptr_t Notify(FdiNotificationType type, FdiNotification* n) {
  EXPECT_EQ(n->pv, static_cast<void*>(rec));
  rec->notes.push_back(Note{type, n->psz1 ? n->psz1 : "", n->cb, n->date, n->time, n->attribs, n->hf, n->fdie});
  return rec->answer(type, n);
}

// Every entry is written to a new sink; CLOSE_FILE_INFO is answered TRUE.
std::intptr_t AcceptAll(FdiNotificationType type, FdiNotification* n) {
  if (type == fdintCOPY_FILE) {
    std::intptr_t h = rec->nextSink++;
    rec->sinks[h];
    return h;
  }
  if (type == fdintCLOSE_FILE_INFO) return rec->sinks.count(n->hf) ? 1 : 0;
  return 0;
}

class CabinetContract : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = &recorder;
    recorder.answer = AcceptAll;
    module = cabinetLibrary().LoadLibraryA("cabinet.dll");
    ASSERT_NE(module, nullptr);
    create = reinterpret_cast<PfnFDICreate>(cabinetLibrary().GetProcAddress(module, "FDICreate"));
    isCabinet = reinterpret_cast<PfnFDIIsCabinet>(cabinetLibrary().GetProcAddress(module, "FDIIsCabinet"));
    copy = reinterpret_cast<PfnFDICopy>(cabinetLibrary().GetProcAddress(module, "FDICopy"));
    destroy = reinterpret_cast<PfnFDIDestroy>(cabinetLibrary().GetProcAddress(module, "FDIDestroy"));
    ASSERT_TRUE(create && isCabinet && copy && destroy);
    hfdi = create(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &erf);
    ASSERT_NE(hfdi, nullptr);
  }
  void TearDown() override {
    if (hfdi) {
      EXPECT_TRUE(destroy(hfdi));
      EXPECT_EQ(recorder.allocs, recorder.frees) << "all memory of the library is returned";
    }
    if (module) {
      EXPECT_TRUE(cabinetLibrary().FreeLibrary(module));
    }
    rec = nullptr;
  }

  // FDICopy of a cabinet given by its full path.
  bool Copy(const std::string& path) {
    std::string name = std::filesystem::path(path).filename().string();
    std::string dir = path.substr(0, path.size() - name.size());
    return copy(hfdi, name.data(), dir.data(), 0, Notify, nullptr, rec) != 0;
  }

  // A fresh record for the next copy; memory counts run on with the context.
  void Restart() {
    const int allocs = recorder.allocs, frees = recorder.frees;
    recorder = Recorder{};
    recorder.allocs = allocs;
    recorder.frees = frees;
    recorder.answer = AcceptAll;
  }

  std::vector<Note> Notes(FdiNotificationType type) const {
    std::vector<Note> out;
    for (const Note& n : recorder.notes)
      if (n.type == type) out.push_back(n);
    return out;
  }

  Recorder recorder;
  Erf erf{};
  HModule module = nullptr;
  PfnFDICreate create = nullptr;
  PfnFDIIsCabinet isCabinet = nullptr;
  PfnFDICopy copy = nullptr;
  PfnFDIDestroy destroy = nullptr;
  HFDI hfdi = nullptr;
};

TEST(CabinetLibraryContract, LoadsByNameAndLooksUpTheFourEntryPoints) {
  CabinetLibrary& lib = cabinetLibrary();
  EXPECT_EQ(lib.LoadLibraryA("no-such-library-here.dll"), nullptr);
  HModule m = lib.LoadLibraryA("cabinet.dll");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(lib.GetModuleHandleA("cabinet.dll"), m);
  for (const char* name : {"FDICreate", "FDIIsCabinet", "FDICopy", "FDIDestroy"})
    EXPECT_NE(lib.GetProcAddress(m, name), nullptr) << name;
  EXPECT_EQ(lib.GetProcAddress(m, "FDINoSuchCall"), nullptr);
  // The loader would read a name only up to a NUL.
  const std::string nul(1, '\0');
  EXPECT_EQ(lib.LoadLibraryA("cabinet.dll" + nul + "x"), nullptr);
  EXPECT_EQ(lib.GetModuleHandleA("cabinet.dll" + nul + "x"), nullptr);
  EXPECT_EQ(lib.GetProcAddress(m, "FDICopy" + nul + "x"), nullptr);
  EXPECT_TRUE(lib.FreeLibrary(m));
}

TEST_F(CabinetContract, IsCabinetReadsTheHeaderFromTheHandle) {
  struct Case {
    const char* file;
    bool cabinet;
    int files, prev, next, index;
  } cases[] = {{"stored.cab", true, 6, 0, 0, 0}, {"set1.cab", true, 2, 0, 1, 0}, {"set2.cab", true, 1, 1, 1, 1},
               {"set3.cab", true, 2, 1, 0, 2}, {"notcab.bin", false, 0, 0, 0, 0}, {"badsig.cab", false, 0, 0, 0, 0}};
  for (const Case& c : cases) {
    FileHandle h = files().CreateFileA(CabPath(c.file), FileAccess::Read, FileCreate::OpenExisting);
    ASSERT_NE(h, kInvalidFile) << c.file;
    FdiCabinetInfo info{};
    EXPECT_EQ(isCabinet(hfdi, h, &info) != 0, c.cabinet) << c.file;
    files().CloseHandle(h);
    if (!c.cabinet) continue;
    EXPECT_EQ(info.cFiles, c.files) << c.file;
    EXPECT_EQ(info.hasprev != 0, c.prev != 0) << c.file;
#ifndef _WIN32
    // Wine's cabinet.dll always reports hasnext FALSE (its copy follows the set all the same).
    EXPECT_EQ(info.hasnext != 0, c.next != 0) << c.file;
#endif
    EXPECT_EQ(info.iCabinet, c.index) << c.file;
  }
}

TEST_F(CabinetContract, CopyNotifiesEveryEntryAndWritesItThroughTheCallbacks) {
  for (const char* cab : {"stored.cab", "mszip.cab"}) {
    Restart();
    ASSERT_TRUE(Copy(CabPath(cab))) << cab;
    auto expected = CabEntries(cab);
    ASSERT_FALSE(recorder.notes.empty());
    EXPECT_EQ(recorder.notes.front().type, fdintCABINET_INFO);
    auto copies = Notes(fdintCOPY_FILE), closes = Notes(fdintCLOSE_FILE_INFO);
    ASSERT_EQ(copies.size(), expected.size()) << cab;
    ASSERT_EQ(closes.size(), expected.size()) << cab;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE(std::string(cab) + ": " + expected[i].name);
      EXPECT_EQ(copies[i].psz1, expected[i].name);
      EXPECT_EQ(copies[i].cb, static_cast<std::int32_t>(expected[i].size));
      EXPECT_EQ(copies[i].date, expected[i].dosDate);
      EXPECT_EQ(copies[i].time, expected[i].dosTime);
      EXPECT_EQ(copies[i].attribs, 0x20);
      EXPECT_EQ(closes[i].psz1, expected[i].name);
      EXPECT_EQ(closes[i].date, expected[i].dosDate);
      EXPECT_EQ(recorder.sinks[closes[i].hf], expected[i].content);
    }
    EXPECT_TRUE(recorder.closedSinks.empty()) << "the handler closes entries, not the library";
    EXPECT_EQ(recorder.opens, recorder.closes) << "every cabinet handle is closed again";
  }
}

TEST_F(CabinetContract, SkippedEntriesAreNotWrittenAndAnAbortEndsTheCopy) {
  recorder.answer = [](FdiNotificationType, FdiNotification*) -> std::intptr_t { return 0; };
  ASSERT_TRUE(Copy(CabPath("mszip.cab")));
  EXPECT_EQ(Notes(fdintCOPY_FILE).size(), 6u);
  EXPECT_TRUE(Notes(fdintCLOSE_FILE_INFO).empty());

  Restart();
  recorder.answer = [](FdiNotificationType type, FdiNotification* n) -> std::intptr_t {
    if (type == fdintCOPY_FILE && std::string(n->psz1) == "sub\\deeper\\file.txt") return -1;
    return AcceptAll(type, n);
  };
  EXPECT_FALSE(Copy(CabPath("mszip.cab")));
  EXPECT_TRUE(erf.fError);
  EXPECT_EQ(erf.erfOper, FDIERROR_USER_ABORT);
  ASSERT_EQ(Notes(fdintCOPY_FILE).size(), 2u) << "nothing is offered after the abort";
  EXPECT_EQ(Notes(fdintCLOSE_FILE_INFO).size(), 1u);
  EXPECT_EQ(recorder.opens, recorder.closes);
}

TEST_F(CabinetContract, AnEntryThatSpansCabinetsAsksForEachNextOne) {
  ASSERT_TRUE(Copy(CabPath("set1.cab")));
  auto next = Notes(fdintNEXT_CABINET);
  ASSERT_EQ(next.size(), 2u);
  // set1 names its successor "Set2.cab"; the file is set2.cab.
  EXPECT_EQ(next[0].psz1, "Set2.cab");
  EXPECT_EQ(next[1].psz1, "set3.cab");
  EXPECT_EQ(next[0].fdie, FDIERROR_NONE);
  auto entries = CabEntries("set1.cab");
  auto closes = Notes(fdintCLOSE_FILE_INFO);
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(recorder.sinks[closes[0].hf], entries[0].content);
  EXPECT_EQ(recorder.sinks[closes[1].hf], entries[1].content) << "big.bin runs through all three cabinets";

  // A later cabinet offers what began before it as a partial file only.
  Restart();
  ASSERT_TRUE(Copy(CabPath("set3.cab")));
  auto partial = Notes(fdintPARTIAL_FILE);
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial[0].psz1, "big\\big.bin");
  auto copies = Notes(fdintCOPY_FILE);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].psz1, "last.txt");
}

TEST_F(CabinetContract, AMissingNextCabinetIsAskedForAgainOnceAndEndsTheCopy) {
  nolt::test::TempDir dir;
  std::filesystem::copy_file(CabPath("set1.cab"), dir.File("set1.cab"));
  recorder.answer = [](FdiNotificationType type, FdiNotification* n) -> std::intptr_t {
    if (type == fdintNEXT_CABINET) return n->fdie == FDIERROR_NONE ? 0 : -1;
    return AcceptAll(type, n);
  };
  EXPECT_FALSE(Copy(dir.File("set1.cab")));
  auto next = Notes(fdintNEXT_CABINET);
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[1].fdie, FDIERROR_CABINET_NOT_FOUND) << "the second ask tells why";
  // first.txt is complete; big.bin's handle comes back one way or the other, short.
  auto entries = CabEntries("set1.cab");
  auto copies = Notes(fdintCOPY_FILE);
  ASSERT_EQ(copies.size(), 2u);
  std::intptr_t bigHandle = 0x70000001;
  EXPECT_EQ(recorder.sinks[0x70000000], entries[0].content);
  bool handedBack = recorder.closedSinks.count(bigHandle) > 0;
  for (const Note& n : Notes(fdintCLOSE_FILE_INFO)) handedBack = handedBack || n.hf == bigHandle;
  EXPECT_TRUE(handedBack);
  EXPECT_LT(recorder.sinks[bigHandle].size(), entries[1].content.size());
  EXPECT_TRUE(recorder.openFiles.empty()) << "no cabinet handle stays open";
}

TEST_F(CabinetContract, DamagedDataFailsTheCopyAtTheDamagedEntry) {
  // badsum.cab is stored.cab with a block checksum changed, truncated.cab is
  // mszip.cab cut short; the damage lies in sub\data.bin.
  for (auto [cab, original] : {std::pair{"badsum.cab", "stored.cab"}, std::pair{"truncated.cab", "mszip.cab"}}) {
    Restart();
    EXPECT_FALSE(Copy(CabPath(cab))) << cab;
    auto expected = CabEntries(original);
    auto closes = Notes(fdintCLOSE_FILE_INFO);
    ASSERT_GE(closes.size(), 1u) << cab;
    EXPECT_EQ(recorder.sinks[closes[0].hf], expected[0].content) << "readme.txt lies before the damage";
    // No entry from sub\data.bin on is delivered whole.
    for (const auto& [h, bytes] : recorder.sinks) {
      for (std::size_t i = 2; i < expected.size(); ++i) {
        if (!expected[i].content.empty()) {
          EXPECT_NE(bytes, expected[i].content) << cab << " " << expected[i].name;
        }
      }
    }
    EXPECT_TRUE(recorder.openFiles.empty()) << cab;
  }
}

}  // namespace
