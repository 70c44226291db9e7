#include "release/ReleaseSignature.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/Crypto.h"
#include "platform/Files.h"

namespace nolt {
namespace {

constexpr char kHeader[] = "NOLT release signature ";
constexpr char kSignatureField[] = "signature ";

std::string SignedText(const ReleaseSignature& r) {
  std::string text = kHeader + std::to_string(kSignatureFormat) + "\n";
  text += "serial " + std::to_string(r.serial) + "\n";
  text += "expires " + std::to_string(r.expires) + "\n";
  text += "manifest " + std::to_string(r.manifest.size) + " " + ToHex(r.manifest.sha256) + "\n";
  for (const SignedFile& p : r.packages)
    text += "package " + std::to_string(p.size) + " " + ToHex(p.sha256) + " " + p.name + "\n";
  return text;
}

// Splits off the text up to the next blank; false when there is none.
bool NextWord(std::string_view& rest, std::string_view* word) {
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) return false;
  *word = rest.substr(0, blank);
  rest.remove_prefix(blank + 1);
  return true;
}

template <class Int> bool ReadNumber(std::string_view text, Int* value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && *value >= 0;
}

// "SIZE HEX" or "SIZE HEX NAME", the name running to the end of the line.
bool ReadEntry(std::string_view rest, bool named, SignedFile* f) {
  std::string_view size, hex;
  if (!NextWord(rest, &size)) return false;
  if (named) {
    if (!NextWord(rest, &hex)) return false;
    f->name = std::string(rest);
  } else {
    hex = rest;
  }
  f->sha256 = FromHex(std::string(hex));
  return ReadNumber(size, &f->size) && f->sha256.size() == plat::kSha256Size && (!named || !f->name.empty());
}

}  // namespace

const SignedFile* ReleaseSignature::Package(const std::string& name) const {
  if (byName_.size() != packages.size()) {
    for (const SignedFile& p : packages)
      if (p.name == name) return &p;
    return nullptr;
  }
  const auto at = std::lower_bound(byName_.begin(), byName_.end(), name,
                                   [this](std::size_t i, const std::string& n) { return packages[i].name < n; });
  return at != byName_.end() && packages[*at].name == name ? &packages[*at] : nullptr;
}

void ReleaseSignature::IndexPackages() {
  byName_.resize(packages.size());
  for (std::size_t i = 0; i < byName_.size(); ++i) byName_[i] = i;
  // Stable: of two packages of one name the first is found, as a search in order would.
  std::stable_sort(byName_.begin(), byName_.end(),
                   [this](std::size_t a, std::size_t b) { return packages[a].name < packages[b].name; });
}

std::string SignRelease(const ReleaseSignature& release, const std::string& secret) {
  const std::string text = SignedText(release);
  const std::string signature = plat::Ed25519Sign(secret, plat::Sha256Of(text));
  if (signature.empty()) return {};
  return text + kSignatureField + ToHex(signature) + "\n";
}

namespace {

// Where the bytes of a signature file come from: read gives the next piece (got 0
// at the end, false on a failure), rewind starts again at the first byte.
struct Source {
  std::function<bool(char* buffer, std::uint32_t size, std::uint32_t* got)> read;
  std::function<bool()> rewind;
};

// Calls line(text) for every line of the source, without its LF, and returns "" or
// why the bytes cannot be a signature file. Bytes after the last LF make the file
// one without a (complete) signature line.
std::string ForEachLine(const Source& source, const std::function<void(std::string_view)>& line) {
  std::vector<char> buffer(64 * 1024);
  std::string pending;
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (!source.read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got)) return "it could not be read";
    if (got == 0) break;
    total += got;
    if (total > kSignatureMaxSize) return "it is longer than " + std::to_string(kSignatureMaxSize) + " bytes";
    std::string_view piece(buffer.data(), got);
    for (;;) {
      const std::size_t lf = piece.find('\n');
      const std::size_t take = lf == std::string_view::npos ? piece.size() : lf;
      if (pending.size() + take > kSignatureMaxLine) return "it holds a line longer than " + std::to_string(kSignatureMaxLine) + " bytes";
      if (lf == std::string_view::npos) {
        pending.append(piece);
        break;
      }
      if (pending.empty()) {
        line(piece.substr(0, lf));
      } else {
        pending.append(piece.substr(0, lf));
        line(pending);
        pending.clear();
      }
      piece.remove_prefix(lf + 1);
    }
  }
  return pending.empty() ? std::string() : "it holds no signature";
}

// The fields of the signed lines, one line at a time; "" or why a line is refused.
class FieldReader {
 public:
  std::string Line(std::string_view rest) {
    if (!header_) {
      if (rest != kHeader + std::to_string(kSignatureFormat)) return "it is of an unknown format";
      header_ = true;
      return {};
    }
    std::string_view field;
    if (!NextWord(rest, &field)) return "it holds a malformed line";
    bool ok = false;
    if (field == "serial") ok = !serial_ && (serial_ = ReadNumber(rest, &r_.serial));
    else if (field == "expires") ok = !expires_ && (expires_ = ReadNumber(rest, &r_.expires));
    else if (field == "manifest") ok = !manifest_ && (manifest_ = ReadEntry(rest, false, &r_.manifest));
    else if (field == "package") {
      r_.packages.emplace_back();
      ok = ReadEntry(rest, true, &r_.packages.back());
    }
    return ok ? std::string() : "it holds a malformed line";
  }
  std::string Finish(ReleaseSignature* release) {
    if (!serial_ || !expires_ || !manifest_) return "it lacks a serial, an expiry or the manifest";
    r_.IndexPackages();
    *release = std::move(r_);
    return {};
  }

 private:
  ReleaseSignature r_;
  bool header_ = false, serial_ = false, expires_ = false, manifest_ = false;
};

std::string Verify(const Source& source, const std::string& publicKey, ReleaseSignature* release) {
  // First pass: the digest of every line before the signature line, which must be
  // the last one. Nothing is read as a field yet.
  plat::Sha256 first;
  std::string signatureHex;
  std::size_t lines = 0;
  bool found = false, misplaced = false;
  std::string why = ForEachLine(source, [&](std::string_view line) {
    if (found) {
      misplaced = true;
    } else if (lines > 0 && line.substr(0, sizeof kSignatureField - 1) == kSignatureField) {
      signatureHex = std::string(line.substr(sizeof kSignatureField - 1));
      found = true;
    } else {
      first.Update(line.data(), line.size());
      first.Update("\n", 1);
    }
    ++lines;
  });
  if (!why.empty()) return why;
  if (!found || misplaced) return "it holds no signature";
  const std::string digest = first.Final();
  if (!plat::Ed25519Verify(publicKey, digest, FromHex(signatureHex)))
    return "its signature is not valid for this program's release key";

  // Second pass: the signed lines again, now read as fields, and hashed again so
  // that what is read is what was verified. From here on the text is the vendor's
  // own: a malformed line is a tool's fault, still refused rather than guessed at.
  if (!source.rewind()) return "it could not be read";
  plat::Sha256 second;
  FieldReader fields;
  std::size_t seen = 0;
  std::string refused;
  why = ForEachLine(source, [&](std::string_view line) {
    if (++seen >= lines) return;  // the signature line
    second.Update(line.data(), line.size());
    second.Update("\n", 1);
    if (refused.empty()) refused = fields.Line(line);
  });
  if (!why.empty()) return why;
  if (!refused.empty()) return refused;
  if (seen != lines || second.Final() != digest) return "it changed while it was read";
  return fields.Finish(release);
}

}  // namespace

std::string VerifyRelease(const std::string& text, const std::string& publicKey, ReleaseSignature* release) {
  std::size_t at = 0;
  const Source source{[&](char* buffer, std::uint32_t size, std::uint32_t* got) {
                        *got = static_cast<std::uint32_t>(std::min<std::size_t>(size, text.size() - at));
                        std::memcpy(buffer, text.data() + at, *got);
                        at += *got;
                        return true;
                      },
                      [&] {
                        at = 0;
                        return true;
                      }};
  return Verify(source, publicKey, release);
}

std::string VerifyReleaseFile(const std::string& path, const std::string& publicKey, ReleaseSignature* release) {
  plat::Files& files = plat::files();
  const plat::FileHandle h = files.CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return "it could not be opened";
  const Source source{[&](char* buffer, std::uint32_t size, std::uint32_t* got) {
                        return files.ReadFile(h, buffer, size, got);
                      },
                      [&] { return files.SetFilePointer(h, 0, plat::SeekOrigin::Begin) == 0; }};
  std::string why = Verify(source, publicKey, release);
  files.CloseHandle(h);
  return why;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return {};
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0) return {};
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

std::string KeyFromText(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const std::string key = FromHex(text.substr(first, last - first + 1));
  return key.size() == plat::kEd25519KeySize ? key : std::string();
}

bool HashFile(const std::string& path, std::uint64_t limit, std::string* sha256, std::uint64_t* size) {
  plat::Files& files = plat::files();
  const plat::FileHandle h = files.CreateFileA(path, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return false;
  plat::Sha256 digest;
  std::vector<char> buffer(256 * 1024);
  std::uint64_t total = 0;
  bool ok = true;
  for (;;) {
    std::uint32_t got = 0;
    if (!files.ReadFile(h, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    total += got;
    if (total > limit) {
      ok = false;
      break;
    }
    digest.Update(buffer.data(), got);
  }
  files.CloseHandle(h);
  if (!ok) return false;
  *sha256 = digest.Final();
  *size = total;
  return true;
}

}  // namespace nolt
