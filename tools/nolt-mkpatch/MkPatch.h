// The packaging tool: turns a release directory into what the updater downloads,
// the manifest and one single-entry cabinet per file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace mkpatch {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One file of the release.
struct ReleaseFile {
  std::string name;    // relative to the release, '\' between its parts: "sub\file.dll"
  std::string source;  // the file's local path
  std::uint64_t size = 0;
};

// Why the manifest or a cabinet could not carry this relative name, or empty when
// it can. The updater trims the name, splits its line at the first colon and reads
// a backslash as a separator, so such names would name another file there.
std::string NameProblem(const std::string& name);

// Signing a release: the secret key file, the release serial (the time in seconds
// when negative) and how many days the release stays valid.
struct SignOptions {
  std::string keyFile;
  std::int64_t serial = -1;
  std::int64_t expiresDays = 365;
};

// Packs every file below release into output: output\<name>.cab for each, then the
// manifest, and prints one line per packaged file to out. Errors go to err. With
// sign, the signature file follows the manifest. Returns kExitOk, or kExitFailed
// after the first error (no manifest and no signature file is written then).
int MakePatch(const std::string& release, const std::string& output, std::ostream& out, std::ostream& err,
              const SignOptions* sign = nullptr);

// Writes a new Ed25519 key pair: the secret seed in keyFile (readable by its owner
// only), the public key in keyFile.pub, each as 64 hex digits and a line end. An
// existing file of either name is never replaced.
int KeyGen(const std::string& keyFile, std::ostream& out, std::ostream& err);

}  // namespace mkpatch
