// The cryptography seam: SHA-256 and Ed25519, from libgcrypt on both targets.
//
// Byte strings are std::string holding raw bytes. No operation throws; a failure is
// an empty result or false. Verifying needs no entropy; generating a key does.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kEd25519KeySize = 32;        // the secret seed and the public key
inline constexpr std::size_t kEd25519SignatureSize = 64;
// libgcrypt holds a value of an S-expression in 16 bits of length, so a longer
// message is refused; sign the digest of a longer text instead.
inline constexpr std::size_t kEd25519MaxMessage = 60000;

// SHA-256 over data fed in pieces: Update any number of times, then Final once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t size);
  // The 32-byte digest of everything fed so far. Update must not follow.
  std::string Final();

 private:
  void* handle_;
};

// The digest of one text.
std::string Sha256Of(const std::string& data);

// A new key pair: the 32-byte secret seed and the 32-byte public key. False when the
// library could not make one.
bool Ed25519Generate(std::string* secret, std::string* publicKey);

// The 64-byte signature of message under a 32-byte secret seed, or empty when the
// seed has the wrong size, the message is longer than kEd25519MaxMessage or the
// library fails.
std::string Ed25519Sign(const std::string& secret, const std::string& message);

// True only when signature is a valid signature of message under publicKey. Keys or
// signatures of the wrong size and messages longer than kEd25519MaxMessage are refused.
bool Ed25519Verify(const std::string& publicKey, const std::string& message, const std::string& signature);

}  // namespace plat
