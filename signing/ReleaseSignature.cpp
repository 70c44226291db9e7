#include "signing/ReleaseSignature.h"

#include <charconv>
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
  for (const SignedFile& p : packages)
    if (p.name == name) return &p;
  return nullptr;
}

std::string SignRelease(const ReleaseSignature& release, const std::string& secret) {
  const std::string text = SignedText(release);
  const std::string signature = plat::Ed25519Sign(secret, plat::Sha256Of(text));
  if (signature.empty()) return {};
  return text + kSignatureField + ToHex(signature) + "\n";
}

std::string VerifyRelease(const std::string& text, const std::string& publicKey, ReleaseSignature* release) {
  // The signature line is the last line; it signs everything before it.
  const std::size_t at = text.rfind(std::string("\n") + kSignatureField);
  if (at == std::string::npos || text.empty() || text.back() != '\n') return "it holds no signature";
  const std::string body = text.substr(0, at + 1);
  const std::string line = text.substr(at + 1 + sizeof kSignatureField - 1);
  const std::string signature = FromHex(line.substr(0, line.size() - 1));
  if (!plat::Ed25519Verify(publicKey, plat::Sha256Of(body), signature)) return "its signature is not valid for this program's release key";

  // From here on the text is the vendor's own: a malformed line is a tool's fault,
  // still refused rather than guessed at.
  ReleaseSignature r;
  bool header = false, serial = false, expires = false, manifest = false;
  std::size_t start = 0;
  while (start < body.size()) {
    const std::size_t end = body.find('\n', start);
    std::string_view rest(body.data() + start, end - start);
    start = end + 1;
    if (!header) {
      if (rest != kHeader + std::to_string(kSignatureFormat)) return "it is of an unknown format";
      header = true;
      continue;
    }
    std::string_view field;
    if (!NextWord(rest, &field)) return "it holds a malformed line";
    bool ok = false;
    if (field == "serial") ok = !serial && (serial = ReadNumber(rest, &r.serial));
    else if (field == "expires") ok = !expires && (expires = ReadNumber(rest, &r.expires));
    else if (field == "manifest") ok = !manifest && (manifest = ReadEntry(rest, false, &r.manifest));
    else if (field == "package") {
      r.packages.emplace_back();
      ok = ReadEntry(rest, true, &r.packages.back());
    }
    if (!ok) return "it holds a malformed line";
  }
  if (!serial || !expires || !manifest) return "it lacks a serial, an expiry or the manifest";
  *release = std::move(r);
  return {};
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
