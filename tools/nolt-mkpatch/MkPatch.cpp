// The packaging tool's work: list the release, pack each file, write the manifest.
#include "tools/nolt-mkpatch/MkPatch.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <stdexcept>

#include "crc/FileCRC32.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "platform/CabinetWriter.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/NativePath.h"
#include "release/Manifest.h"
#include "release/ReleaseSignature.h"

namespace fs = std::filesystem;

namespace mkpatch {
namespace {

using plat::FromPath;
using plat::ToPath;

// A failure that ends the run; its text is what the user reads.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// True when dir, or one of the directories above it, is the existing directory
// root. Comparing by identity rather than by spelling copes with links, letter
// case and "..", and with an output directory that does not exist yet.
bool Inside(const fs::path& dir, const fs::path& root) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(dir, ec);
  if (ec) p = fs::absolute(dir).lexically_normal();
  for (;;) {
    if (fs::equivalent(p, root, ec) && !ec) return true;
    fs::path parent = p.parent_path();
    if (parent.empty() || parent == p) return false;
    p = parent;
  }
}

// The relative path as the manifest names it: parts joined by '\'.
std::string ManifestName(const fs::path& relative, std::string* problem) {
  std::string name;
  for (const fs::path& part : relative) {
    std::string text = FromPath(part);
    // Possible on Linux only; the updater would read it as a separator.
    if (text.find('\\') != std::string::npos) *problem = "contains a backslash, which the updater reads as a separator";
    if (!name.empty()) name += '\\';
    name += text;
  }
  return name;
}

// A name for messages even when it has no 8-bit form.
std::string Printable(const fs::path& p) {
  std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// Every file below root, sorted by name. All problems are gathered first, so
// one run names every file that stands in the way.
std::vector<ReleaseFile> ListRelease(const fs::path& root) {
  std::vector<ReleaseFile> files;
  std::string problems;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (fs::is_directory(it->symlink_status())) continue;
    const fs::path relative = it->path().lexically_relative(root);
    std::string name, problem;
    try {
      name = ManifestName(relative, &problem);
    } catch (const std::runtime_error& e) {
      problems += "\n  " + Printable(relative) + ": " + e.what();
      continue;
    }
    fs::file_status target = it->status();  // through a link, to what it names
    if (fs::is_directory(target)) problem = "a link to a directory, which is not followed";
    else if (!fs::is_regular_file(target)) problem = "not a regular file";
    if (problem.empty()) problem = NameProblem(name);
    std::uint64_t size = problem.empty() ? fs::file_size(it->path()) : 0;
    if (problem.empty() && size > plat::kCabinetMaxFileSize)
      problem = std::to_string(size) + " bytes, more than a cabinet holds (" +
                std::to_string(plat::kCabinetMaxFileSize) + ")";
    if (!problem.empty()) {
      problems += "\n  " + name + ": " + problem;
      continue;
    }
    files.push_back({name, FromPath(it->path()), size});
  }
  if (!problems.empty()) throw Failure("cannot package these files:" + problems);
  std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.name < b.name; });
  return files;
}

std::string SystemError() {
  plat::Files& files = plat::files();
  return files.ErrorText(files.GetLastError());
}

// Writes the cabinet under a temporary name and moves it over the old one only
// when complete, so a server never hands out a half-written package.
void Pack(const ReleaseFile& file, const std::string& outDir, std::string* manifest, nolt::ReleaseSignature* release,
          std::ostream& out) {
  plat::Files& files = plat::files();
  const std::string cab = outDir + plat::kPathDelim + nolt::LocalPath(file.name) + ".cab";
  fs::create_directories(ToPath(cab).parent_path());
  const std::string temp = cab + ".tmp";
  std::string error;
  if (!plat::cabinetWriter().WriteSingleFileCabinet(temp, file.source, file.name, &error))
    throw Failure(file.name + ": " + error);
  if (!files.MoveFileReplace(temp, cab)) {
    std::string why = SystemError();
    files.DeleteFileA(temp);
    throw Failure(cab + ": " + why);
  }
  if (release) {
    nolt::SignedFile signedFile{file.name + ".cab"};
    if (!nolt::HashFile(cab, UINT64_MAX, &signedFile.sha256, &signedFile.size)) throw Failure(cab + ": " + SystemError());
    release->packages.push_back(std::move(signedFile));
  }
  std::uint32_t crc = 0;
  const std::string checksum = nolt::FileCRC32(file.source, crc);
  *manifest += nolt::ManifestLineOf(file.name, checksum);
  out << file.name << ":" << checksum << " (" << file.size << " bytes) -> " << cab << std::endl;
}

// Writes text to a temporary file, which then replaces path: a reader sees the old
// file or the whole new one. A temporary file made private (CreateTempFileIn) keeps
// its owner-only permissions through the move; with replace false, an existing path
// is a failure.
void WriteTextFile(const std::string& path, const std::string& text, bool isPrivate = false, bool replace = true) {
  plat::Files& files = plat::files();
  if (!replace && files.GetFileAttributesA(path) != plat::kInvalidFileAttributes)
    throw Failure(path + ": exists already; it is not replaced");
  std::string temp = path + ".tmp";
  plat::FileHandle h = plat::kInvalidFile;
  if (isPrivate) {
    const fs::path target = ToPath(path);
    const std::string dir = FromPath(target.parent_path());
    h = files.CreateTempFileIn(dir.empty() ? dir : dir + plat::kPathDelim, FromPath(target.filename()) + ".",
                               ".tmp", &temp);
  } else {
    h = files.CreateFileA(temp, plat::FileAccess::Write, plat::FileCreate::CreateAlways);
  }
  if (h == plat::kInvalidFile) throw Failure(temp + ": " + SystemError());
  std::uint32_t written = 0;
  bool ok = files.WriteFile(h, text.data(), static_cast<std::uint32_t>(text.size()), &written) &&
            written == text.size();
  std::string why = ok ? std::string() : SystemError();
  if (!files.CloseHandle(h) && ok) {
    ok = false;
    why = SystemError();
  }
  if (ok && !replace && files.GetFileAttributesA(path) != plat::kInvalidFileAttributes) {
    ok = false;
    why = "exists already; it is not replaced";
  }
  if (ok && !files.MoveFileReplace(temp, path)) {
    ok = false;
    why = SystemError();
  }
  if (!ok) {
    files.DeleteFileA(temp);
    throw Failure(path + ": " + why);
  }
}

// The secret seed from a key file, which must hold nothing else.
std::string ReadSecretKey(const std::string& keyFile) {
  std::string text;
  plat::Files& files = plat::files();
  const plat::FileHandle h = files.CreateFileA(keyFile, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) throw Failure(keyFile + ": " + SystemError());
  char buffer[256];
  std::uint32_t got = 0;
  while (text.size() < 4096 && files.ReadFile(h, buffer, sizeof buffer, &got) && got > 0) text.append(buffer, got);
  files.CloseHandle(h);
  const std::string key = nolt::KeyFromText(text);
  if (key.empty()) throw Failure(keyFile + ": not a secret key made by nolt-mkpatch keygen");
  return key;
}

// "out/" and "out" name the same directory; the joins below add the separator.
std::string WithoutTrailingSeparators(std::string dir) {
  auto isSeparator = [](char c) { return c == '/' || c == plat::kPathDelim; };
  while (dir.size() > 1 && isSeparator(dir.back()) && dir[dir.size() - 2] != ':') dir.pop_back();
  return dir;
}

}  // namespace

std::string NameProblem(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name.size() > nolt::kMaxInstallNameLength)
    return "name longer than " + std::to_string(nolt::kMaxInstallNameLength) + " bytes, the most a cabinet stores";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "contains a control character, which the updater refuses in a name";
    if (c == ':') return "contains a colon, which would split the manifest line";
  }
  if (name.front() == ' ' || name.back() == ' ') return "begins or ends with a space, which the updater trims";
  if (nolt::IsKeptName(name)) return "a name the updater keeps for its own records; it never installs such a file";
  // The updater's own rule decides the rest, so that every release made here is one
  // that it takes.
  if (!nolt::MayInstall(name, nolt::NameUse::CabinetEntry)) return "a name the updater refuses to install";
  return {};
}

int MakePatch(const std::string& release, const std::string& output, std::ostream& out, std::ostream& err,
              const SignOptions* sign) {
  try {
    const fs::path releasePath = ToPath(release), outputPath = ToPath(output);
    if (!fs::is_directory(releasePath)) throw Failure(release + ": no such directory");
    const bool outputExists = fs::exists(outputPath);
    if (outputExists && !fs::is_directory(outputPath)) throw Failure(output + ": exists and is not a directory");
    if (Inside(outputPath, releasePath))
      throw Failure("the output directory must not be the release directory or lie inside it");
    if (outputExists && Inside(releasePath, outputPath))
      throw Failure("the release directory must not lie inside the output directory");

    const std::vector<ReleaseFile> files = ListRelease(releasePath);
    const std::string outDir = WithoutTrailingSeparators(output);
    // The key is read first, so a wrong one stops the run before anything is written.
    const std::string secret = sign ? ReadSecretKey(sign->keyFile) : std::string();
    fs::create_directories(outputPath);
    nolt::ReleaseSignature release;
    std::string manifest;
    for (const ReleaseFile& f : files) Pack(f, outDir, &manifest, sign ? &release : nullptr, out);
    std::string signature;
    if (sign) {
      const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
      release.serial = sign->serial >= 0 ? sign->serial : now;
      release.expires = now + sign->expiresDays * 24 * 60 * 60;
      release.manifest = nolt::SignedFile{{}, manifest.size(), plat::Sha256Of(manifest)};
      signature = nolt::SignRelease(release, secret);
      if (signature.empty()) throw Failure("the release could not be signed with " + sign->keyFile);
    }
    WriteTextFile(outDir + plat::kPathDelim + nolt::kManifestName, manifest);
    if (sign) {
      WriteTextFile(outDir + plat::kPathDelim + nolt::kSignatureName, signature);
      out << "signed: serial " << release.serial << ", expires " << release.expires << " -> " << outDir
          << plat::kPathDelim << nolt::kSignatureName << std::endl;
    }
    return kExitOk;
  } catch (const std::exception& e) {
    err << "nolt-mkpatch: " << e.what() << "\n";
  }
  err << "nolt-mkpatch: failed; the manifest was not written\n";
  return kExitFailed;
}

int KeyGen(const std::string& keyFile, std::ostream& out, std::ostream& err) {
  try {
    std::string secret, pub;
    if (!plat::Ed25519Generate(&secret, &pub)) throw Failure("no key could be generated");
    const std::string pubFile = keyFile + ".pub";
    if (plat::files().GetFileAttributesA(pubFile) != plat::kInvalidFileAttributes)
      throw Failure(pubFile + ": exists already; it is not replaced");
    WriteTextFile(keyFile, nolt::ToHex(secret) + "\n", true, false);
    WriteTextFile(pubFile, nolt::ToHex(pub) + "\n", false, false);
    out << "secret key: " << keyFile << "\npublic key: " << pubFile << " (" << nolt::ToHex(pub) << ")" << std::endl;
    return kExitOk;
  } catch (const std::exception& e) {
    err << "nolt-mkpatch: " << e.what() << "\n";
  }
  return kExitFailed;
}

}  // namespace mkpatch
