// The cabinet writer seam behaves the same on both targets. Each cabinet is checked
// field by field from its raw bytes, then read back by an independent reader: the
// system's own FDI on Windows, cabextract on Linux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/CabinetWriter.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#include <fdi.h>
#include <fcntl.h>
#else
#include <cstdio>
#endif

using nolt::test::TempDir;

namespace {

// FILETIME of 2021-06-15 12:34:57 UTC: an odd second, which the format rounds down.
constexpr std::uint64_t kJune2021 = 132682340970000000ull;
// FILETIME of 1970-01-01 00:00:01 UTC, the stamp of some reproducible builds.
constexpr std::uint64_t kEpochPlusOne = 116444736010000000ull;

std::uint16_t U16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t U32(const std::string& b, std::size_t at) { return U16(b, at) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16; }

// The fields of a cabinet of one folder and one entry, read straight from its bytes.
struct RawCabinet {
  std::uint32_t cbCabinet = 0;
  std::uint16_t folders = 0, files = 0, flags = 0, compression = 0;
  std::uint32_t size = 0, folderOffset = 0;
  std::uint16_t folder = 0, date = 0, time = 0, attribs = 0;
  std::string name;
};

RawCabinet ParseCabinet(const std::string& b) {
  RawCabinet c;
  if (b.size() < 60 || b.compare(0, 4, "MSCF") != 0) {
    ADD_FAILURE() << "not a cabinet";
    return c;
  }
  c.cbCabinet = U32(b, 8);
  EXPECT_EQ(b[24], 3) << "minor version";
  EXPECT_EQ(b[25], 1) << "major version";
  c.folders = U16(b, 26);
  c.files = U16(b, 28);
  c.flags = U16(b, 30);
  c.compression = U16(b, 36 + 6) & 0x0F;
  std::size_t entry = U32(b, 16);
  if (entry + 17 > b.size()) {
    ADD_FAILURE() << "entry table outside the file";
    return c;
  }
  c.size = U32(b, entry);
  c.folderOffset = U32(b, entry + 4);
  c.folder = U16(b, entry + 8);
  c.date = U16(b, entry + 10);
  c.time = U16(b, entry + 12);
  c.attribs = U16(b, entry + 14);
  std::size_t end = b.find('\0', entry + 16);
  c.name = b.substr(entry + 16, end == std::string::npos ? std::string::npos : end - (entry + 16));
  return c;
}

// The DOS date and time a reader should find for a FILETIME on this machine.
void ExpectedDosTime(std::uint64_t filetime, std::uint16_t* date, std::uint16_t* time) {
#ifdef _WIN32
  // Windows stamps and unpacks with the current bias (FDI undoes it with
  // LocalFileTimeToFileTime), so the round trip is exact.
  FILETIME utc{static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)}, local;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  ASSERT_TRUE(FileTimeToDosDateTime(&local, date, time));
#else
  std::time_t t = static_cast<std::time_t>((filetime - 116444736000000000ull) / 10000000ull);
  std::tm tm{};
  ASSERT_TRUE(localtime_r(&t, &tm));
  *date = static_cast<std::uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
  *time = static_cast<std::uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
#endif
}

void SetModified(const std::string& path, std::uint64_t filetime) {
  plat::Files& f = plat::files();
  plat::FileHandle h = f.CreateFileA(path, plat::FileAccess::Write, plat::FileCreate::OpenExisting);
  ASSERT_NE(h, plat::kInvalidFile);
  ASSERT_TRUE(f.SetFileTime(h, filetime));
  f.CloseHandle(h);
}

// Bytes that cross several 32 KiB blocks, half random and half repetitive text,
// so MSZIP both compresses and stores.
std::string SampleBytes(std::size_t n) {
  std::mt19937 rng(42);
  std::string s;
  s.reserve(n);
  while (s.size() < n) {
    if ((s.size() / 20000) % 2 == 0) s += static_cast<char>(rng());
    else s += "the quick brown fox jumps over the lazy dog "[s.size() % 44];
  }
  return s;
}

// What an independent reader finds in a cabinet.
struct ReadBack {
  int entries = 0;
  std::string name;  // as the reader reports it
  std::string bytes;
};

#ifdef _WIN32

// FDI's file callbacks have no context argument; one read runs at a time.
std::string* gSink = nullptr;
constexpr INT_PTR kSinkHandle = 0x5157;

FNALLOC(FdiAlloc) { return std::malloc(cb); }
FNFREE(FdiFree) { std::free(pv); }
FNOPEN(FdiOpen) {
  (void)oflag, (void)pmode;
  HANDLE h = CreateFileA(pszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
}
FNREAD(FdiRead) {
  DWORD n = 0;
  return ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &n, nullptr) ? n : static_cast<UINT>(-1);
}
FNWRITE(FdiWrite) {
  if (hf != kSinkHandle) return static_cast<UINT>(-1);
  gSink->append(static_cast<const char*>(pv), cb);
  return cb;
}
FNCLOSE(FdiClose) {
  if (hf == kSinkHandle) return 0;
  return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1;
}
FNSEEK(FdiSeek) {
  DWORD method = seektype == SEEK_CUR ? FILE_CURRENT : seektype == SEEK_END ? FILE_END : FILE_BEGIN;
  return static_cast<LONG>(SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, method));
}

struct FdiRun {
  ReadBack* out;
  std::uint16_t date = 0, time = 0, attribs = 0;
  std::uint32_t size = 0;
};
FdiRun* gRun = nullptr;

FNFDINOTIFY(FdiNotify) {
  if (fdint == fdintCOPY_FILE) {
    ++gRun->out->entries;
    gRun->out->name = pfdin->psz1;
    gRun->size = static_cast<std::uint32_t>(pfdin->cb);
    gRun->date = pfdin->date;
    gRun->time = pfdin->time;
    gRun->attribs = pfdin->attribs;
    gSink = &gRun->out->bytes;
    return kSinkHandle;
  }
  if (fdint == fdintCLOSE_FILE_INFO) return TRUE;
  return 0;
}

ReadBack ReadCabinet(const std::string& path) {
  ReadBack r;
  ERF erf{};
  HFDI fdi = FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &erf);
  if (!fdi) {
    ADD_FAILURE() << "FDICreate failed";
    return r;
  }
  INT_PTR hf = FdiOpen(const_cast<char*>(path.c_str()), _O_RDONLY, 0);
  FDICABINETINFO info{};
  EXPECT_TRUE(FDIIsCabinet(fdi, hf, &info)) << path;
  FdiClose(hf);
  EXPECT_EQ(info.cFolders, 1);
  EXPECT_EQ(info.cFiles, 1);
  std::size_t cut = path.find_last_of('\\') + 1;
  std::string name = path.substr(cut), dir = path.substr(0, cut);
  FdiRun run{&r};
  gRun = &run;
  EXPECT_TRUE(FDICopy(fdi, name.data(), dir.data(), 0, FdiNotify, nullptr, nullptr)) << "FDI error " << erf.erfOper;
  gRun = nullptr;
  gSink = nullptr;
  FDIDestroy(fdi);
  EXPECT_EQ(run.size, r.bytes.size()) << "announced and delivered sizes";
  return r;
}

#else

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run " << command;
    return out;
  }
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << command;
  return out;
}

// cabextract lists entries as " size | date time | name", with '/' for '\'.
ReadBack ReadCabinet(const std::string& path) {
  ReadBack r;
  std::string listing = Capture("cabextract -l '" + path + "'");
  std::size_t at = 0;
  bool header = true;
  while (at < listing.size()) {
    std::size_t end = listing.find('\n', at);
    std::string line = listing.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? listing.size() : end + 1;
    if (line.rfind("-----", 0) == 0) {
      header = false;
      continue;
    }
    std::size_t bar = line.rfind(" | ");
    if (header || bar == std::string::npos) continue;
    ++r.entries;
    r.name = line.substr(bar + 3);
  }
  r.bytes = Capture("cabextract -q -p '" + path + "'");
  return r;
}

#endif

// The name as the reader shows it.
std::string ShownName(std::string name) {
#ifndef _WIN32
  for (char& c : name)
    if (c == '\\') c = '/';
#endif
  return name;
}

class CabinetWriterContract : public ::testing::Test {
 protected:
  // Writes bytes as a source file dated kJune2021 and packs it under entryName.
  std::string Pack(const std::string& bytes, const std::string& entryName, std::string* cab = nullptr) {
    const std::string source = dir.File("source.bin");
    nolt::test::WriteFile(source, bytes);
    SetModified(source, kJune2021);
    const std::string path = dir.File("out.cab");
    std::string error;
    EXPECT_TRUE(plat::cabinetWriter().WriteSingleFileCabinet(path, source, entryName, &error)) << error;
    if (cab) *cab = path;
    return nolt::test::ReadFile(path);
  }

  TempDir dir;
};

TEST_F(CabinetWriterContract, OneMszipEntryWithNameDateAndBytes) {
  const std::string bytes = SampleBytes(200000);
  std::string path;
  const std::string cab = Pack(bytes, "sub\\deeper\\file.dll", &path);

  RawCabinet raw = ParseCabinet(cab);
  EXPECT_EQ(raw.cbCabinet, cab.size());
  EXPECT_EQ(raw.folders, 1);
  EXPECT_EQ(raw.files, 1);
  EXPECT_EQ(raw.flags, 0) << "no reserve, no previous or next cabinet";
  EXPECT_EQ(raw.compression, 1) << "MSZIP";
  EXPECT_EQ(raw.name, "sub\\deeper\\file.dll");
  EXPECT_EQ(raw.size, bytes.size());
  EXPECT_EQ(raw.folder, 0);
  EXPECT_EQ(raw.folderOffset, 0u);
  EXPECT_EQ(raw.attribs, plat::kCabinetEntryAttributes);
  EXPECT_LT(cab.size(), bytes.size()) << "the repetitive half compresses";
  std::uint16_t date = 0, time = 0;
  ExpectedDosTime(kJune2021, &date, &time);
  EXPECT_EQ(raw.date, date);
  EXPECT_EQ(raw.time, time);

  ReadBack back = ReadCabinet(path);
  EXPECT_EQ(back.entries, 1);
  EXPECT_EQ(back.name, ShownName("sub\\deeper\\file.dll"));
  EXPECT_TRUE(back.bytes == bytes) << "read back " << back.bytes.size() << " of " << bytes.size() << " bytes";

  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"out.cab", "source.bin"})) << "no temporary file is left";
}

TEST_F(CabinetWriterContract, EmptyFileAndLongestName) {
  std::string path;
  RawCabinet raw = ParseCabinet(Pack("", "empty.dat", &path));
  EXPECT_EQ(raw.files, 1);
  EXPECT_EQ(raw.size, 0u);
  ReadBack back = ReadCabinet(path);
  EXPECT_EQ(back.entries, 1);
  EXPECT_EQ(back.name, "empty.dat");
  EXPECT_EQ(back.bytes, "");

  const std::string longest = std::string(100, 'd') + "\\" + std::string(plat::kCabinetMaxNameLength - 101, 'f');
  raw = ParseCabinet(Pack("x", longest, &path));
  EXPECT_EQ(raw.name, longest);
  EXPECT_EQ(ReadCabinet(path).bytes, "x");
}

TEST_F(CabinetWriterContract, ReplacesAnExistingCabinet) {
  std::string path;
  Pack(SampleBytes(100000), "a.bin", &path);
  RawCabinet raw = ParseCabinet(Pack("short", "b.bin", &path));
  EXPECT_EQ(raw.name, "b.bin");
  EXPECT_EQ(raw.cbCabinet, nolt::test::ReadFile(path).size()) << "no tail of the old cabinet is left";
  EXPECT_EQ(ReadCabinet(path).bytes, "short");
}

TEST_F(CabinetWriterContract, DatesBefore1980AreClamped) {
  const std::string source = dir.File("old.txt");
  nolt::test::WriteFile(source, "old");
  SetModified(source, kEpochPlusOne);
  std::string error;
  ASSERT_TRUE(plat::cabinetWriter().WriteSingleFileCabinet(dir.File("old.cab"), source, "old.txt", &error)) << error;
  RawCabinet raw = ParseCabinet(nolt::test::ReadFile(dir.File("old.cab")));
  EXPECT_EQ(raw.date, (0 << 9) | (1 << 5) | 1) << "1980-01-01";
  EXPECT_EQ(raw.time, 0);
}

TEST_F(CabinetWriterContract, RefusalsLeaveNothingBehind) {
  plat::CabinetWriter& w = plat::cabinetWriter();
  const std::string source = dir.File("s.txt");
  nolt::test::WriteFile(source, "data");
  const std::string cab = dir.File("r.cab");
  std::string error;

  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, dir.File("missing.txt"), "m.txt", &error));
  EXPECT_NE(error.find("missing.txt"), std::string::npos) << error;
  EXPECT_FALSE(nolt::test::FileExists(cab));

  error.clear();
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, dir.path().string(), "d", &error)) << "a directory is no source";
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, source, "", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, source, std::string(plat::kCabinetMaxNameLength + 1, 'n'), &error));
  EXPECT_FALSE(nolt::test::FileExists(cab));
  // A NUL would cut a path or the name short: the cabinet would land elsewhere, or
  // another file would be packed.
  const std::string nul(1, '\0');
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab + nul + "x", source, "s.txt", &error));
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, source + nul + "x", "s.txt", &error));
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, source, "s.txt" + nul + "x", &error));
  EXPECT_FALSE(nolt::test::FileExists(cab));

  error.clear();
  EXPECT_FALSE(w.WriteSingleFileCabinet(dir.File("no-such-dir") + plat::kPathDelim + "x.cab", source, "s.txt",
                                        &error));
  EXPECT_FALSE(error.empty());

  // One byte more than a folder holds: refused from its size alone, before any
  // reading (the file is sparse, so making it costs nothing).
  const std::string huge = dir.File("huge.bin");
  nolt::test::WriteFile(huge, "");
  std::filesystem::resize_file(huge, plat::kCabinetMaxFileSize + 1);
  error.clear();
  EXPECT_FALSE(w.WriteSingleFileCabinet(cab, huge, "huge.bin", &error));
  EXPECT_NE(error.find(std::to_string(plat::kCabinetMaxFileSize + 1)), std::string::npos) << error;
  EXPECT_FALSE(nolt::test::FileExists(cab));

  // Nothing but the source files is left in the directory: no temporary files.
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"huge.bin", "s.txt"}));
}

}  // namespace
