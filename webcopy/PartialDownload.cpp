#include "webcopy/PartialDownload.h"

#include <cstdio>
#include <cstdlib>

#include "base/Text.h"
#include "install/LocalFiles.h"
#include "platform/Files.h"

namespace nolt {
namespace {

constexpr const char* kRecordHead = "nolt-resume 1";
constexpr std::uint32_t kRecordMax = 4096;

// FNV-1a, 64 bits, as 16 hexadecimal digits: enough to tell URLs apart.
std::string Digest(const std::string& text) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

bool ParseNumber(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

// A validator goes into a line of the record and into the If-Range line of a
// request: one with a control byte (a line break, a NUL) can stand in neither.
bool Writable(const std::string& text) { return !HoldsControlByte(text); }

struct Record {
  std::string urlDigest;
  std::string validator;
  std::uint64_t length = 0;
};

// The record and the body are places of ours: never read or written through a link.
plat::FileHandle OpenOwn(const std::string& path, plat::FileAccess access, plat::FileCreate create) {
  return plat::files().CreateFileNoFollow(path, access, plat::kFileShareRead, create);
}

bool ReadRecord(const std::string& path, Record* r) {
  auto& files = plat::files();
  const plat::FileHandle h = OpenOwn(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return false;
  char buf[kRecordMax];
  std::uint32_t n = 0;
  const bool read = files.ReadFile(h, buf, sizeof buf, &n);
  files.CloseHandle(h);
  if (!read || n == sizeof buf) return false;
  // Four lines: the head, "url <digest>", "validator <text>", "length <n>".
  std::string text(buf, n);
  std::string lines[4];
  for (std::string& line : lines) {
    const auto eol = text.find('\n');
    if (eol == std::string::npos) return false;
    line = text.substr(0, eol);
    text.erase(0, eol + 1);
  }
  if (!text.empty() || lines[0] != kRecordHead) return false;
  if (lines[1].rfind("url ", 0) != 0 || lines[2].rfind("validator ", 0) != 0 || lines[3].rfind("length ", 0) != 0)
    return false;
  r->urlDigest = lines[1].substr(4);
  r->validator = lines[2].substr(10);
  return r->urlDigest.size() == 16 && !r->validator.empty() && Writable(r->validator) &&
         ParseNumber(lines[3].substr(7), &r->length);
}

// The size of an existing file, or -1.
std::int64_t BodySize(const std::string& path) {
  auto& files = plat::files();
  if (!IsOwnFile(path)) return -1;
  const plat::FileHandle h = OpenOwn(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return -1;
  std::uint64_t size = 0;
  const bool ok = files.GetFileSize(h, &size);
  files.CloseHandle(h);
  return ok ? static_cast<std::int64_t>(size) : -1;
}

// A body worth continuing: not empty, and short of the whole when that is known.
bool Continuable(std::int64_t size, std::uint64_t length) {
  return size > 0 && (length == 0 || static_cast<std::uint64_t>(size) < length);
}

}  // namespace

std::string PartialDownload::BodyPath(const std::string& target) { return target + ".partial"; }
std::string PartialDownload::RecordPath(const std::string& target) { return target + ".resume"; }

bool PartialDownload::Resumable(const std::string& target) {
  Record r;
  return ReadRecord(RecordPath(target), &r) && Continuable(BodySize(BodyPath(target)), r.length);
}

void PartialDownload::Remove(const std::string& target) {
  auto& files = plat::files();
  // Only what is ours: a link of that name is left as it is.
  if (IsOwnFile(RecordPath(target))) files.DeleteFileA(RecordPath(target));
  if (IsOwnFile(BodyPath(target))) files.DeleteFileA(BodyPath(target));
}

std::string PartialDownload::Validator(const std::string& etag, const std::string& lastModified) {
  // A weak ETag ("W/...") may not stand in If-Range.
  if (!etag.empty() && etag.rfind("W/", 0) != 0 && Writable(etag)) return etag;
  return Writable(lastModified) ? lastModified : std::string();
}

void PartialDownload::Find(const std::string& target, const std::string& url) {
  target_ = target;
  urlDigest_ = Digest(url);
  offset_ = total_ = 0;
  validator_.clear();
  recorded_ = false;
  Record r;
  const std::int64_t size = BodySize(BodyPath(target));
  if (ReadRecord(RecordPath(target), &r) && r.urlDigest == urlDigest_ && Continuable(size, r.length)) {
    offset_ = static_cast<std::uint64_t>(size);
    total_ = r.length;
    validator_ = r.validator;
    recorded_ = true;
    return;
  }
  Remove(target);
}

std::string PartialDownload::RangeHeaders() const {
  if (offset_ == 0) return {};
  return "Range: bytes=" + std::to_string(offset_) + "-\r\nIf-Range: " + validator_ + "\r\n";
}

bool PartialDownload::Continues(std::uint32_t status, const std::string& contentRange) {
  if (status != 206 || offset_ == 0) return false;
  // "bytes FIRST-LAST/LENGTH", the rest of the file from the kept length on.
  std::string text = contentRange;
  if (text.size() < 6) return false;
  for (std::size_t i = 0; i < 5; ++i)
    if ((text[i] | 0x20) != "bytes"[i]) return false;
  text.erase(0, 5);
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  const auto dash = text.find('-');
  const auto slash = text.find('/');
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  std::uint64_t first = 0, last = 0, length = 0;
  if (!ParseNumber(text.substr(0, dash), &first) || !ParseNumber(text.substr(dash + 1, slash - dash - 1), &last) ||
      !ParseNumber(text.substr(slash + 1), &length))
    return false;
  if (first != offset_ || last + 1 != length || (total_ != 0 && length != total_)) return false;
  total_ = length;
  return true;
}

void PartialDownload::Forget() {
  Remove(target_);
  offset_ = total_ = 0;
  validator_.clear();
  recorded_ = false;
}

void PartialDownload::Restart(const std::string& validator, std::uint64_t total) {
  offset_ = 0;
  total_ = total;
  validator_ = validator;
  recorded_ = false;
  auto& files = plat::files();
  const std::string path = RecordPath(target_);
  if (validator.empty() || !Writable(validator)) {
    if (IsOwnFile(path)) files.DeleteFileA(path);
    return;
  }
  const std::string text = std::string(kRecordHead) + "\nurl " + urlDigest_ + "\nvalidator " + validator +
                           "\nlength " + std::to_string(total) + "\n";
  const plat::FileHandle h = OpenOwn(path, plat::FileAccess::Write, plat::FileCreate::CreateAlways);
  if (h == plat::kInvalidFile) return;
  std::uint32_t written = 0;
  const bool ok = text.size() < kRecordMax &&
                  files.WriteFile(h, text.data(), static_cast<std::uint32_t>(text.size()), &written) &&
                  written == text.size();
  const bool closed = files.CloseHandle(h);
  recorded_ = ok && closed;
  if (!recorded_ && IsOwnFile(path)) files.DeleteFileA(path);
}

void PartialDownload::Finish() {
  const std::string path = RecordPath(target_);
  if (IsOwnFile(path)) plat::files().DeleteFileA(path);
  recorded_ = false;
  offset_ = 0;
}

}  // namespace nolt
