// nolt-mkpatch [--sign KEYFILE [--serial N] [--expires DAYS]] RELEASE_DIR OUTPUT_DIR:
// makes the manifest and the packages of a release, and signs it.
// nolt-mkpatch keygen KEYFILE: makes a key pair for signing.
#include <charconv>
#include <iostream>
#include <string>
#include <vector>

#include "release/Manifest.h"
#include "tools/nolt-mkpatch/MkPatch.h"

namespace {

int Usage() {
  std::cerr << "usage: nolt-mkpatch [--sign KEYFILE [--serial N] [--expires DAYS]] RELEASE_DIR OUTPUT_DIR\n"
               "       nolt-mkpatch keygen KEYFILE\n"
               "Packs every file below RELEASE_DIR into OUTPUT_DIR as FILE.cab and writes\n"
               "OUTPUT_DIR/" << nolt::kManifestName << " listing each file with its checksum.\n"
               "--sign also writes the signature file, signed with the secret key in KEYFILE;\n"
               "--serial sets the release serial (default: the time in seconds), --expires the\n"
               "days until the release expires (default 365).\n"
               "keygen writes a new secret key to KEYFILE and its public key to KEYFILE.pub.\n";
  return mkpatch::kExitUsage;
}

bool Number(const std::string& text, std::int64_t* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty() && *value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "keygen") {
    if (args.size() != 2) return Usage();
    return mkpatch::KeyGen(args[1], std::cout, std::cerr);
  }
  mkpatch::SignOptions sign;
  bool signing = false, serialOrExpiry = false;
  std::vector<std::string> dirs;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--sign" && hasValue) {
      sign.keyFile = args[++i];
      signing = true;
    } else if (a == "--serial" && hasValue) {
      if (!Number(args[++i], &sign.serial)) return Usage();
      serialOrExpiry = true;
    } else if (a == "--expires" && hasValue) {
      // At most a thousand years, so the expiry time cannot overflow.
      if (!Number(args[++i], &sign.expiresDays) || sign.expiresDays > 365000) return Usage();
      serialOrExpiry = true;
    } else if (a.rfind("--", 0) == 0) {
      return Usage();
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.size() != 2 || (serialOrExpiry && !signing)) return Usage();
  return mkpatch::MakePatch(dirs[0], dirs[1], std::cout, std::cerr, signing ? &sign : nullptr);
}
