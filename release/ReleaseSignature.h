// The signature file of a release, "nolt-patch-updater.sig": what the vendor's key
// vouches for (the manifest and every package by SHA-256 and size, a serial that
// only grows, an expiry) and the Ed25519 signature over it. nolt-mkpatch writes it;
// an updater built with a release key reads and checks it.
//
// The file is text, one field per line, each line ending in LF:
//   NOLT release signature 1
//   serial 1765190000
//   expires 1796726000
//   manifest 1234 <sha256 hex>
//   package 5678 <sha256 hex> help\User Guide.chm.cab
//   ...
//   signature <128 hex digits>
// The signature is the Ed25519 signature of the SHA-256 digest of every byte before
// the line "signature" (a release of many packages is longer than the signing library
// takes as one message). Sizes are decimal,
// times are seconds since 1970 (UTC), digests lower-case hex. A name comes last on
// its line, so it may hold blanks; it is the package's name as the updater asks for
// it: the manifest name followed by ".cab".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nolt {

inline constexpr char kSignatureName[] = "nolt-patch-updater.sig";
inline constexpr int kSignatureFormat = 1;
// The longest signature file an updater takes: a release of a million packages
// with names of 200 bytes needs about 300 MB. A longer answer is cut off there.
inline constexpr std::uint64_t kSignatureMaxSize = 512ull * 1024 * 1024;
// The longest line: a package line with the longest name a cabinet stores is far
// shorter. A longer line is malformed.
inline constexpr std::size_t kSignatureMaxLine = 4096;

struct SignedFile {
  std::string name;    // empty for the manifest
  std::uint64_t size = 0;
  std::string sha256;  // 32 raw bytes
};

struct ReleaseSignature {
  std::int64_t serial = 0;
  std::int64_t expires = 0;  // seconds since 1970
  SignedFile manifest;
  std::vector<SignedFile> packages;

  // The package of that name, or null. Looked up by the index that the readers
  // below build; a release filled by hand is searched in order.
  const SignedFile* Package(const std::string& name) const;
  // Builds the index of packages by name: call once packages is complete.
  void IndexPackages();

 private:
  std::vector<std::size_t> byName_;  // indices of packages, in the order of their names
};

// The whole signature file for release, signed with a 32-byte secret seed. Empty
// when signing failed.
std::string SignRelease(const ReleaseSignature& release, const std::string& secret);

// Checks text against a 32-byte public key and reads it into *release. Returns
// empty when the signature verifies and every line is well formed, else why not.
// Serial and expiry are read, not judged: the caller knows the time and the history.
// Nothing is parsed before the signature has verified.
std::string VerifyRelease(const std::string& text, const std::string& publicKey, ReleaseSignature* release);

// The same for the signature file at path, read through the files seam in two
// passes: the first hashes it and checks the signature, the second, only then,
// reads the fields and must see the same bytes again. Memory does not grow with
// the file, only with what it lists. A file longer than kSignatureMaxSize is refused.
std::string VerifyReleaseFile(const std::string& path, const std::string& publicKey, ReleaseSignature* release);

// Lower-case hex of bytes, and back (empty for anything but an even count of hex digits).
std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);

// A key as its file holds it: 64 hex digits, blanks and line ends around them
// ignored. The 32 bytes, or empty when the text is anything else.
std::string KeyFromText(const std::string& text);

// SHA-256 and size of a file read through the files seam, reading no further than
// limit bytes. False when it cannot be read or is longer than limit.
bool HashFile(const std::string& path, std::uint64_t limit, std::string* sha256, std::uint64_t* size);

}  // namespace nolt
