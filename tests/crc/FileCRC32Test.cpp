// FileCRC32 over real files of both targets, and over a scripted files seam for
// the calls it makes and the failures it must survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "crc/FileCRC32.h"
#include "platform/Files.h"
#include "tests/crc/CrcReference.h"
#include "tests/support/TestSupport.h"

using nolt::FileCRC32;
using nolt::test::BitwiseCrc;
using nolt::test::BitwiseUpdate;
using nolt::test::TempDir;

namespace {

constexpr std::size_t kBlock = 65521;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Appends four bytes to prefix so that the CRC-32 of the whole becomes target.
// Run backwards from the wanted register: the top byte of a table entry names the
// entry, which names the byte that must have been fed; then run forwards.
std::string ForgeCrc(const std::string& prefix, std::uint32_t target) {
  std::array<std::uint32_t, 256> table{};
  std::array<int, 256> entryByTopByte{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    const unsigned char zero = 0;
    table[n] = BitwiseUpdate(n, &zero, 1);
    entryByTopByte[table[n] >> 24] = static_cast<int>(n);
  }
  std::uint32_t want = ~target;
  std::array<int, 4> entries{};
  for (int k = 3; k >= 0; --k) {
    entries[k] = entryByTopByte[want >> 24];
    want = (want ^ table[entries[k]]) << 8;
  }
  std::uint32_t reg = BitwiseUpdate(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size());
  std::string out = prefix;
  for (int k = 0; k < 4; ++k) {
    out += static_cast<char>((reg ^ static_cast<std::uint32_t>(entries[k])) & 0xFFu);
    reg = table[entries[k]] ^ (reg >> 8);
  }
  return out;
}

std::string Checksum(const std::string& path, std::uint32_t* crc = nullptr) {
  std::uint32_t value = 0xDEADBEEFu;
  std::string text = FileCRC32(path, value);
  if (crc) *crc = value;
  return text;
}

TEST(FileCRC32, TextForm) {
  TempDir dir;
  struct Case {
    std::uint32_t crc;
    const char* text;
  };
  const Case cases[] = {
      {0x00000001u, "000001"},   {0x00000ABCu, "000ABC"},   {0x0000F00Du, "00F00D"},  {0x000FFFFFu, "0FFFFF"},
      {0x00100000u, "100000"},   {0x00ABCDEFu, "ABCDEF"},   {0x00FFFFFFu, "FFFFFF"},  {0x01000000u, "1000000"},
      {0x0ABCDEF1u, "ABCDEF1"},  {0x0FFFFFFFu, "FFFFFFF"},  {0x10000000u, "10000000"}, {0xFFFFFFFFu, "FFFFFFFF"},
      {0x00000000u, "0"},  // a file that is not empty but sums to zero
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string bytes = ForgeCrc(RandomBytes(static_cast<std::size_t>(i * 7), static_cast<unsigned>(i)), c.crc);
    ASSERT_EQ(BitwiseCrc(bytes), c.crc) << "the forged input itself is wrong";
    std::string path = dir.File(std::to_string(i++) + ".bin");
    nolt::test::WriteFile(path, bytes);
    std::uint32_t crc = 0;
    EXPECT_EQ(Checksum(path, &crc), c.text) << std::hex << c.crc;
    EXPECT_EQ(crc, c.crc);
  }

  nolt::test::WriteFile(dir.File("check"), "123456789");
  EXPECT_EQ(Checksum(dir.File("check")), "CBF43926");
}

TEST(FileCRC32, EmptyMissingAndDirectoryGiveZero) {
  TempDir dir;
  nolt::test::WriteFile(dir.File("empty"), "");
  std::uint32_t crc = 1;
  EXPECT_EQ(Checksum(dir.File("empty"), &crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(Checksum(dir.File("missing"), &crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(Checksum(dir.File("no-dir") + plat::kPathDelim + "x", &crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(Checksum(dir.path().string(), &crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(Checksum("", &crc), "0");
  EXPECT_EQ(crc, 0u);
}

TEST(FileCRC32, FailedOpenLeavesNoErrorBehind) {
  TempDir dir;
  plat::Files& files = plat::files();
  files.SetLastError(0);
  EXPECT_EQ(Checksum(dir.File("missing")), "0");
  EXPECT_EQ(files.GetLastError(), 0u);
  files.SetLastError(1234);
  EXPECT_EQ(Checksum(dir.File("missing")), "0");
  EXPECT_EQ(files.GetLastError(), 1234u);

  // The next checksum and the next file operation behave as if nothing had failed.
  nolt::test::WriteFile(dir.File("a"), "a");
  std::uint32_t crc = 0;
  EXPECT_EQ(Checksum(dir.File("a"), &crc), "E8B7BE43");
  EXPECT_EQ(crc, 0xE8B7BE43u);
  plat::FileHandle h = files.CreateFileA(dir.File("a"), plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  ASSERT_NE(h, plat::kInvalidFile);
  EXPECT_TRUE(files.CloseHandle(h));
}

TEST(FileCRC32, BlockBoundariesGiveTheCrcOfOnePass) {
  TempDir dir;
  const std::string data = RandomBytes(4 * kBlock + 100, 99);
  for (std::size_t size : {std::size_t{1}, std::size_t{15}, std::size_t{17}, std::size_t{4097}, kBlock - 1, kBlock,
                           kBlock + 1, 2 * kBlock, 3 * kBlock + 7, 4 * kBlock + 99}) {
    const std::string bytes = data.substr(0, size);
    const std::string path = dir.File(std::to_string(size) + ".bin");
    nolt::test::WriteFile(path, bytes);
    std::uint32_t crc = 0;
    const std::string text = Checksum(path, &crc);
    EXPECT_EQ(crc, BitwiseCrc(bytes)) << "size " << size;
    EXPECT_GE(text.size(), 6u);
    EXPECT_EQ(std::stoul(text, nullptr, 16), crc);
  }
}

#ifndef _WIN32
// A file that opens but cannot be read: the kernel refuses reads of unmapped
// memory through /proc/self/mem. The checksum stops and gives 0.
TEST(FileCRC32, ReadFailureOfARealFileGivesZero) {
  std::uint32_t crc = 1;
  EXPECT_EQ(FileCRC32("/proc/self/mem", crc), "0");
  EXPECT_EQ(crc, 0u);
}
#endif

// A files seam that serves one file from memory, records what is asked of it and
// fails on command.
class ScriptedFiles final : public plat::Files {
 public:
  std::string content;
  std::size_t pos = 0;
  std::uint32_t shortReadAt = 0;  // the read with this number (1-based) delivers at most 10 bytes
  std::uint32_t failReadAt = 0;   // the read with this number fails
  std::uint32_t throwReadAt = 0;  // the read with this number throws
  std::uint32_t reads = 0, closes = 0, lastError = 0;
  std::vector<std::uint32_t> counts;
  std::vector<void*> buffers;
  std::string openedPath;
  plat::FileAccess openedAccess = plat::FileAccess::Write;
  plat::FileCreate openedCreate = plat::FileCreate::CreateNew;

  plat::FileHandle CreateFileA(const std::string& path, plat::FileAccess access, plat::FileCreate create) override {
    openedPath = path;
    openedAccess = access;
    openedCreate = create;
    return 42;
  }
  bool ReadFile(plat::FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    EXPECT_EQ(h, 42);
    ++reads;
    counts.push_back(count);
    buffers.push_back(buffer);
    *read = 0;
    if (reads == throwReadAt) throw std::runtime_error("scripted");
    if (reads == failReadAt) {
      lastError = 1117;
      return false;
    }
    std::size_t n = std::min<std::size_t>(count, content.size() - pos);
    if (reads == shortReadAt) n = std::min<std::size_t>(n, 10);
    std::copy_n(content.data() + pos, n, static_cast<char*>(buffer));
    pos += n;
    *read = static_cast<std::uint32_t>(n);
    return true;
  }
  bool CloseHandle(plat::FileHandle h) override {
    EXPECT_EQ(h, 42);
    ++closes;
    return true;
  }
  std::uint32_t GetLastError() override { return lastError; }
  void SetLastError(std::uint32_t code) override { lastError = code; }

  // Not used by the checksum.
  std::uint32_t GetFileAttributesA(const std::string&) override { return Unused<std::uint32_t>(); }
  bool IsRegularFile(const std::string&) override { return Unused<bool>(); }
  bool DeleteFileA(const std::string&) override { return Unused<bool>(); }
  plat::FileHandle CreateFileWithShareMode(const std::string&, plat::FileAccess, std::uint32_t,
                                           plat::FileCreate) override {
    return Unused<plat::FileHandle>();
  }
  bool CreateDirectoryA(const std::string&) override { return Unused<bool>(); }
  bool RemoveDirectoryA(const std::string&) override { return Unused<bool>(); }
  bool WriteFile(plat::FileHandle, const void*, std::uint32_t, std::uint32_t*) override { return Unused<bool>(); }
  std::int64_t SetFilePointer(plat::FileHandle, std::int64_t, plat::SeekOrigin) override {
    return Unused<std::int64_t>();
  }
  bool GetFileSize(plat::FileHandle, std::uint64_t*) override { return Unused<bool>(); }
  bool GetFileTime(plat::FileHandle, std::uint64_t*) override { return Unused<bool>(); }
  bool SetFileTime(plat::FileHandle, std::uint64_t) override { return Unused<bool>(); }
  bool MoveFileReplace(const std::string&, const std::string&) override { return Unused<bool>(); }
  plat::FileHandle CreateTempFileIn(const std::string&, const std::string&, const std::string&,
                                    std::string*) override {
    return Unused<plat::FileHandle>();
  }
  bool FlushFileBuffers(plat::FileHandle) override { return Unused<bool>(); }
  bool FlushDirectory(const std::string&) override { return Unused<bool>(); }
  bool ListDirectory(const std::string&, std::vector<plat::FoundFile>*) override { return Unused<bool>(); }
  std::string ExecutablePath() override { return Unused<std::string>(); }
  std::string ErrorText(std::uint32_t) override { return Unused<std::string>(); }
  std::string GetFullPathNameA(const std::string&) override { return Unused<std::string>(); }
  bool FinishInstalledFile(plat::FileHandle, const std::string&) override { return Unused<bool>(); }

 private:
  template <class T> T Unused() {
    ADD_FAILURE() << "unexpected call of the files seam";
    return T{};
  }
};

TEST(FileCRC32Calls, OpensForReadingAndReadsFixedBlocksIntoOneBuffer) {
  ScriptedFiles fake;
  fake.content = RandomBytes(2 * kBlock + 5, 3);
  fake.shortReadAt = 2;  // a short read is not the end: only a read of nothing is
  plat::ScopedSeam<plat::Files> seam(fake);
  std::uint32_t crc = 0;
  EXPECT_NE(FileCRC32("dir\\name with spaces.dll", crc), "0");
  EXPECT_EQ(crc, BitwiseCrc(fake.content));
  EXPECT_EQ(fake.openedPath, "dir\\name with spaces.dll");
  EXPECT_EQ(fake.openedAccess, plat::FileAccess::Read);
  EXPECT_EQ(fake.openedCreate, plat::FileCreate::OpenExisting);
  EXPECT_EQ(fake.reads, 4u);  // a full block, 10 bytes, the remaining 65516, nothing
  for (std::uint32_t count : fake.counts) EXPECT_EQ(count, kBlock);
  for (void* buffer : fake.buffers) EXPECT_EQ(buffer, fake.buffers.front());
  EXPECT_EQ(fake.closes, 1u);
}

TEST(FileCRC32Calls, ReadFailureStopsReadingAndGivesZero) {
  ScriptedFiles fake;
  fake.content = RandomBytes(3 * kBlock, 4);
  fake.failReadAt = 2;
  fake.lastError = 77;
  plat::ScopedSeam<plat::Files> seam(fake);
  std::uint32_t crc = 1;
  EXPECT_EQ(FileCRC32("x", crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(fake.reads, 2u) << "no read after the failed one";
  EXPECT_EQ(fake.closes, 1u);
  EXPECT_EQ(fake.lastError, 77u) << "the caller's last error is left as it was";
}

TEST(FileCRC32Calls, NeverThrows) {
  ScriptedFiles fake;
  fake.content = RandomBytes(kBlock + 1, 5);
  fake.throwReadAt = 2;
  plat::ScopedSeam<plat::Files> seam(fake);
  std::uint32_t crc = 1;
  EXPECT_EQ(FileCRC32("x", crc), "0");
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(fake.closes, 1u) << "the file is closed on the way out";
}

}  // namespace
