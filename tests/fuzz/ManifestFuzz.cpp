// Fuzz target of the manifest reader and the update decision (libFuzzer).
//
// The input is a manifest. It is read by ReadManifest, every entry is decided by
// DecideEntry, and every queued entry is checked again by EntryMatches, as a run
// does after its packages. All of it goes through a files seam of this file: an
// installation in memory, beside files outside it, that checks every call. The
// oracle, which knows only the installation directory and the input:
//   - every path lies inside the installation directory once "..", drives and UNC
//     prefixes are taken as Windows takes them, and holds no control byte;
//   - every path other than the manifest's names what the input gives: a name of
//     the input, or that name with ".cab" for the package a download would write;
//   - nothing is created, written, moved or deleted: reading and deciding only read;
//   - only regular files are opened: the FIFO would wait for a writer and the
//     device would never end.
// A breach aborts with the call and the path. Built with clang only (tests/fuzz/
// CMakeLists.txt); run by the test suite for a short while, and by hand for as long
// as one likes: build/native/bin/manifest_fuzz CORPUS_DIR tests/fuzz/corpus
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "release/Manifest.h"
#include "app/Staging.h"
#include "app/UpdateDecision.h"
#include "install/InstallName.h"
#include "platform/Files.h"

namespace {

const std::string kAppDir = "/inst/app/";
const std::string kManifest = kAppDir + "nolt-patch-updater.txt";

enum class Kind { Directory, Regular, Fifo, Device };
struct Node {
  Kind kind;
  std::string content;
};

// What the run was given, for the oracle: either separator read as '/', and without
// the CRs, which the reader drops inside a line (no name that reaches a system call
// holds one).
std::string gInput;

[[noreturn]] void Breach(const char* call, const std::string& path, const char* why) {
  std::string shown;
  for (unsigned char c : path) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c < 0x20 || c >= 0x7F ? "\\x%02X" : "%c", c);
    shown += hex;
  }
  std::fprintf(stderr, "BREACH: %s(\"%s\"): %s\n", call, shown.c_str(), why);
  std::abort();
}

// Windows reads a path component of dots and blanks with two dots as "..".
bool Climbs(const std::string& part) {
  return part.find("..") != std::string::npos && part.find_first_not_of(". ") == std::string::npos;
}

// The oracle for one path that reached the files seam.
void CheckPath(const char* call, const std::string& path) {
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) Breach(call, path, "a control byte reached the files seam");
  if (path.compare(0, kAppDir.size(), kAppDir) != 0) Breach(call, path, "outside the installation directory");
  if (path == kManifest) return;
  // An empty rest is the installation directory itself (a line without a colon).
  const std::string rest = path.substr(kAppDir.size());
  if (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) Breach(call, path, "absolute or UNC");
  if (rest.find(':') != std::string::npos) Breach(call, path, "a drive or a stream");
  int depth = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = rest.find_first_of("/\\", start);
    const std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (Climbs(part)) --depth;
    else if (!part.empty() && part != ".") ++depth;
    if (depth < 0) Breach(call, path, "climbs out of the installation directory");
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // A name of the input, or its package.
  std::string name = rest;
  for (char& c : name)
    if (c == '\\') c = '/';
  if (gInput.find(name) == std::string::npos && name.size() >= 4 && name.compare(name.size() - 4, 4, ".cab") == 0)
    name.resize(name.size() - 4);
  if (gInput.find(name) == std::string::npos) Breach(call, path, "names nothing the manifest gives");
}

// Lexical resolution, as the system resolves a path: "a//b/./c/../d" -> "a/b/d".
std::string Resolve(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

class InstallationFiles final : public plat::Files {
 public:
  void Reset(const std::string& manifest) {
    nodes_ = {
        {"/", {Kind::Directory, ""}},
        {"/etc", {Kind::Directory, ""}},
        {"/etc/passwd", {Kind::Regular, "root:x:0:0"}},
        {"/inst", {Kind::Directory, ""}},
        {"/inst/secret.txt", {Kind::Regular, "outside"}},
        {"/inst/app", {Kind::Directory, ""}},
        {"/inst/app/nolt-patch-updater.txt", {Kind::Regular, manifest}},
        {"/inst/app/a.dll", {Kind::Regular, "a"}},  // CRC "E8B7BE43"
        {"/inst/app/empty.dat", {Kind::Regular, ""}},
        {"/inst/app/sub", {Kind::Directory, ""}},
        {"/inst/app/sub/b.dll", {Kind::Regular, "bb"}},
        {"/inst/app/fifo", {Kind::Fifo, ""}},
        {"/inst/app/zero", {Kind::Device, ""}},
        {"/inst/app/data.cab", {Kind::Regular, "data"}},
    };
    open_.clear();
  }

  std::uint32_t GetFileAttributesA(const std::string& path) override {
    const Node* n = Find("GetFileAttributesA", path);
    if (!n) return plat::kInvalidFileAttributes;
    return n->kind == Kind::Directory ? plat::kFileAttributeDirectory : plat::kFileAttributeArchive;
  }
  bool IsRegularFile(const std::string& path) override {
    const Node* n = Find("IsRegularFile", path);
    return n && n->kind == Kind::Regular;
  }
  plat::FileHandle CreateFileA(const std::string& path, plat::FileAccess access, plat::FileCreate create) override {
    if (access != plat::FileAccess::Read || create != plat::FileCreate::OpenExisting)
      Breach("CreateFileA", path, "opened to write or create");
    const Node* n = Find("CreateFileA", path);
    if (!n) return plat::kInvalidFile;
    if (n->kind == Kind::Fifo || n->kind == Kind::Device) Breach("CreateFileA", path, "opened what is no regular file");
    if (n->kind == Kind::Directory) {
      lastError_ = plat::kErrorAccessDenied;
      return plat::kInvalidFile;
    }
    open_.push_back({&n->content, 0});
    return static_cast<plat::FileHandle>(open_.size());
  }
  bool ReadFile(plat::FileHandle h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    Open& f = open_.at(static_cast<std::size_t>(h) - 1);
    const std::size_t n = std::min<std::size_t>(count, f.content->size() - f.pos);
    f.content->copy(static_cast<char*>(buffer), n, f.pos);
    f.pos += n;
    *read = static_cast<std::uint32_t>(n);
    return true;
  }
  bool CloseHandle(plat::FileHandle h) override {
    if (h < 1 || static_cast<std::size_t>(h) > open_.size()) std::abort();
    return true;
  }
  std::uint32_t GetLastError() override { return lastError_; }
  void SetLastError(std::uint32_t code) override { lastError_ = code; }
  std::string ErrorText(std::uint32_t code) override { return "error " + std::to_string(code); }

  // Reading and deciding change nothing.
  bool DeleteFileA(const std::string& p) override { Breach("DeleteFileA", p, "deleted"); }
  bool CreateDirectoryA(const std::string& p) override { Breach("CreateDirectoryA", p, "created"); }
  bool RemoveDirectoryA(const std::string& p) override { Breach("RemoveDirectoryA", p, "removed"); }
  bool WriteFile(plat::FileHandle, const void*, std::uint32_t, std::uint32_t*) override {
    Breach("WriteFile", "", "wrote");
  }
  bool SetFileTime(plat::FileHandle, std::uint64_t) override { Breach("SetFileTime", "", "wrote"); }
  bool MoveFileReplace(const std::string& s, const std::string& t) override { Breach("MoveFileReplace", s + " " + t, "moved"); }
  plat::FileHandle CreateTempFileIn(const std::string& d, const std::string&, const std::string&,
                                    std::string*) override {
    Breach("CreateTempFileIn", d, "created");
  }
  bool FlushFileBuffers(plat::FileHandle) override { Breach("FlushFileBuffers", "", "wrote"); }
  bool FlushDirectory(const std::string& d) override { Breach("FlushDirectory", d, "wrote"); }
  bool FinishInstalledFile(plat::FileHandle, const std::string& t) override {
    Breach("FinishInstalledFile", t, "wrote");
  }
  // Not asked by reading and deciding.
  plat::FileHandle CreateFileWithShareMode(const std::string& p, plat::FileAccess, std::uint32_t,
                                           plat::FileCreate) override {
    Breach("CreateFileWithShareMode", p, "opened");
  }
  std::int64_t SetFilePointer(plat::FileHandle, std::int64_t, plat::SeekOrigin) override { return -1; }
  bool GetFileSize(plat::FileHandle, std::uint64_t*) override { return false; }
  bool GetFileTime(plat::FileHandle, std::uint64_t*) override { return false; }
  bool ListDirectory(const std::string&, std::vector<plat::FoundFile>*) override { return false; }
  std::string GetFullPathNameA(const std::string& p) override { Breach("GetFullPathNameA", p, "unexpected"); }
  std::string ExecutablePath() override { return kAppDir + "nolt-patch-setup"; }

 private:
  struct Open {
    const std::string* content;
    std::size_t pos;
  };

  const Node* Find(const char* call, const std::string& path) {
    CheckPath(call, path);
    auto it = nodes_.find(Resolve(path));
    if (it == nodes_.end()) lastError_ = plat::kErrorFileNotFound;
    return it == nodes_.end() ? nullptr : &it->second;
  }

  std::map<std::string, Node> nodes_;
  std::vector<Open> open_;
  std::uint32_t lastError_ = 0;
};

InstallationFiles& Installation() {
  static InstallationFiles files;
  return files;
}

}  // namespace

// The system instance of this program's files seam is the installation in memory:
// nothing reaches the real file system.
template <> plat::Files& plat::SystemInstance<plat::Files>() { return Installation(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string manifest(reinterpret_cast<const char*>(data), size);
  gInput.clear();
  for (char c : manifest)
    if (c != '\r') gInput += c == '\\' ? '/' : c;
  Installation().Reset(manifest);
  std::vector<std::string> names, checksums;
  nolt::ReadManifest(kManifest, names, checksums);
  if (names.size() != checksums.size()) std::abort();
  for (std::size_t i = 0; i < names.size(); ++i) {
    // What is kept of a line is bounded, whatever its length.
    if (names[i].size() > nolt::kMaxInstallNameLength + 1 || checksums[i].size() > 512) std::abort();
    if (nolt::DecideEntry(kAppDir, names[i], checksums[i]) != nolt::EntryState::Queued) continue;
    // The package a download would write in the staging folder, and the check after the package run.
    const std::string package = nolt::StagedPackageName(names[i], checksums[i]);
    for (unsigned char c : package)
      if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') Breach("package", package, "no plain file name");
    if (Climbs(package) || package.size() > 255) Breach("package", package, "no plain file name");
    nolt::EntryMatches(kAppDir, names[i], checksums[i]);
  }
  return 0;
}
