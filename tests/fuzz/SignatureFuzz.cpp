// Fuzz target of the signature file's reader (libFuzzer).
//
// Each input is read twice by VerifyRelease:
//   - as a whole signature file. Nobody but the key's holder can sign, so it must be
//     refused, whatever its lines, lengths or line ends;
//   - as the signed text of a release: the input, then a signature line made with a
//     key of this run. The field reader then sees every line the fuzzer invents
//     behind a signature that verifies. When it accepts, every package it lists has
//     a name and a 32-byte digest and is found again by its name.
// Crashes, reads out of bounds and undefined behaviour are caught by the sanitizers.
// Built with clang only (tests/fuzz/CMakeLists.txt); run by the test suite for a short
// while, and by hand for as long as one likes:
//   build/native/bin/signature_fuzz -dict=tests/fuzz/signature.dict CORPUS_DIR tests/fuzz/signature-corpus
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Crypto.h"
#include "platform/Files.h"
#include "release/ReleaseSignature.h"

namespace {

std::string gSecret, gPublic;

[[noreturn]] void Breach(const char* why, const std::string& text) {
  std::fprintf(stderr, "BREACH: %s (%zu bytes)\n", why, text.size());
  std::abort();
}

}  // namespace

// The reader of a text touches no file.
template <> plat::Files& plat::SystemInstance<plat::Files>() { std::abort(); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!plat::Ed25519Generate(&gSecret, &gPublic)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  nolt::ReleaseSignature release;
  if (nolt::VerifyRelease(input, gPublic, &release).empty()) Breach("an unsigned file was accepted", input);

  std::string body = input;
  if (body.empty() || body.back() != '\n') body += '\n';
  const std::string signature = plat::Ed25519Sign(gSecret, plat::Sha256Of(body));
  if (signature.empty()) std::abort();
  const std::string text = body + "signature " + nolt::ToHex(signature) + "\n";
  if (!nolt::VerifyRelease(text, gPublic, &release).empty()) return 0;
  if (release.manifest.sha256.size() != plat::kSha256Size) Breach("a manifest without a digest", text);
  for (const nolt::SignedFile& p : release.packages) {
    if (p.name.empty() || p.sha256.size() != plat::kSha256Size) Breach("a package without a name or digest", text);
    const nolt::SignedFile* found = release.Package(p.name);
    if (!found || found->name != p.name) Breach("a listed package is not found by its name", text);
  }
  return 0;
}
