// An updater built with the test release key (tests/e2e/keys) against releases signed
// by nolt-mkpatch and served by the HTTP test server at the base URL: what the key
// vouches for is installed exactly as an unsigned release is, and every kind of
// forgery, damage, replay or expiry is refused with a message that names the cause,
// the files it would have replaced intact and no package left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tests/support/HttpServer.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TestSupport.h"

using namespace nolt;
namespace fs = std::filesystem;

namespace {

const std::string kBasePath = [] {
  std::string url = NOLT_DOWNLOAD_BASE_URL;
  return url.substr(url.find('/', 7) + 1);  // "downloads/"
}();
const std::string kTitle = "NOLT-Patch-Setup: ";

std::string Exe(const std::string& name) { return fs::path(test::ProgramPath(name)).filename().string(); }

#ifdef _WIN32
// The Windows program always has its window, so each refusal is a message box: this
// reads the text of every box the updater shows and closes it with OK, so the run
// goes on as a user's click would let it.
class BoxCloser {
 public:
  BoxCloser() : thread_([this] { Watch(); }) {}
  ~BoxCloser() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> Texts() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return texts_;
  }

 private:
  static BOOL CALLBACK Visit(HWND w, LPARAM self) {
    char cls[32] = {}, title[64] = {}, text[4096] = {};
    GetClassNameA(w, cls, sizeof cls);
    GetWindowTextA(w, title, sizeof title);
    if (std::string(cls) == "#32770" && std::string(title) == "NOLT-Patch-Setup" && IsWindowVisible(w) &&
        GetDlgItemTextA(w, 0xFFFF, text, sizeof text) > 0) {
      auto* closer = reinterpret_cast<BoxCloser*>(self);
      if (closer->closed_.insert(w).second) closer->texts_.push_back(text);
      PostMessageA(w, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
  }
  void Watch() {
    while (!stop_) {
      EnumWindows(Visit, reinterpret_cast<LPARAM>(this));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::atomic<bool> stop_{false};
  std::set<HWND> closed_;
  std::vector<std::string> texts_;
  std::thread thread_;
};
#endif

class SignedRelease : public ::testing::Test {
 protected:
  // Also over TLS, on the port of the HTTPS updater's base URL.
  test::HttpServer server{NOLT_BASE_PORT, true, NOLT_HTTPS_PORT};
  test::TempDir keys;
  test::TempDir release;

  static std::string TestKey() { return test::SourceDir() + "/tests/e2e/keys/test-release.key"; }

  // Packs the release with nolt-mkpatch, signed with key (none: unsigned), and serves it.
  void Publish(const std::string& key, const std::vector<std::string>& options = {}) {
    test::TempDir out;
    std::vector<std::string> args;
    if (!key.empty()) {
      args = {"--sign", key};
      args.insert(args.end(), options.begin(), options.end());
    }
    args.push_back(release.path().string());
    args.push_back(out.path().string());
    const test::ProgramResult r = test::RunProgram(test::ProgramPath("nolt-mkpatch"), args, "", 300000);
    ASSERT_EQ(r.exitCode, 0) << "nolt-mkpatch failed";
    fs::remove_all(server.LocalPath(kBasePath));
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
      if (e.is_regular_file())
        server.AddFile(kBasePath + fs::relative(e.path(), out.path()).generic_string(),
                       test::ReadFile(e.path().string()));
  }

  std::string Served(const std::string& name) { return test::ReadFile(server.LocalPath(kBasePath + name)); }
  void Serve(const std::string& name, const std::string& bytes) { server.AddFile(kBasePath + name, bytes); }

  struct Run {
    int status = -1;
    std::vector<std::string> lines;     // the messages, without the title
    std::vector<std::string> requests;  // the paths requested below the base path
  };

  // Runs updater (a program of the build) in inst, headless on Linux.
  Run RunIn(const fs::path& inst, const std::string& updater) {
    const std::string self = Exe(updater);
    if (!fs::exists(inst / self)) fs::copy_file(test::ProgramPath(updater), inst / self);
    server.ClearLog();
    test::ProgramOptions options;
    options.headless = options.captureErrors = true;
    Run run;
#ifdef _WIN32
    BoxCloser boxes;
#endif
    const test::ProgramResult r = test::RunProgram((inst / self).string(), {}, inst.string(), 60000, options);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    run.status = r.exitCode;
#ifdef _WIN32
    run.lines = boxes.Texts();
#else
    std::istringstream in(r.errorOutput);
    for (std::string l; std::getline(in, l);)
      run.lines.push_back(l.rfind(kTitle, 0) == 0 ? l.substr(kTitle.size()) : "(untitled) " + l);
#endif
    for (const auto& q : server.Requests()) run.requests.push_back(q.path.substr(q.path.find(kBasePath) + kBasePath.size()));
    return run;
  }

  // Every regular file below inst, '/'-separated.
  static std::set<std::string> FilesBelow(const fs::path& inst) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(inst))
      if (e.is_regular_file()) names.insert(fs::relative(e.path(), inst).generic_string());
    return names;
  }
};

// The release: a.dll and sub\b.dll in version 2; the installation has version 1 of both.
// Each case changes what is served (or how), runs the updater of the test key once in
// an installation of its own, and states what must come of it.
TEST_F(SignedRelease, WhatTheKeyVouchesForIsInstalledAndNothingElse) {
  test::WriteFile(release.File("a.dll"), "a, version 2");
  fs::create_directories(release.path() / "sub");
  test::WriteFile((release.path() / "sub" / "b.dll").string(), "b, version 2 of the sub directory");
  const std::string otherKey = keys.File("other.key");
  ASSERT_EQ(test::RunProgram(test::ProgramPath("nolt-mkpatch"), {"keygen", otherKey}, "", 60000).exitCode, 0);

  const std::string kSigned = "nolt-patch-setup-signed", kUnsigned = "nolt-patch-setup";
  const std::string refusedRelease = "The update was refused: ";
  const std::string unchanged = ". Nothing was installed; every file was left unchanged.";
  const std::set<std::string> kOld = {"a.dll:a, version 1", "sub/b.dll:b, version 1"};
  const std::set<std::string> kNew = {"a.dll:a, version 2", "sub/b.dll:b, version 2 of the sub directory"};
  const std::set<std::string> kOnlyB = {"a.dll:a, version 1", "sub/b.dll:b, version 2 of the sub directory"};
  // The signature file comes first; the manifest only when the signature file is accepted.
  const std::vector<std::string> kBoth = {"nolt-patch-updater.sig", "nolt-patch-updater.txt", "a.dll.cab",
                                          "sub/b.dll.cab"};
  const std::vector<std::string> kNone = {"nolt-patch-updater.sig", "nolt-patch-updater.txt"};
  const std::vector<std::string> kSignatureOnly = {"nolt-patch-updater.sig"};
  const std::string kRecord = "nolt-patch-updater.serial";

  struct Case {
    std::string what;
    std::function<void()> serve;  // publishes the release, then damages it
    std::string updater;
    int status;
    std::vector<std::string> lines;     // each message begins so
    std::vector<std::string> requests;  // in order
    std::set<std::string> installed;    // name:content of a.dll and sub/b.dll afterwards
    std::string priorSerial;            // a newer release accepted first, with this serial
    std::string record;                 // else the record of accepted releases the installation has
  };
  const std::string flippedA = [&] {
    Publish(TestKey());
    std::string cab = Served("a.dll.cab");
    cab[cab.size() / 2] ^= 0x20;
    return cab;
  }();
  const std::string tooLong = "The package \"a.dll.cab\" was refused: it is longer than the ";
  const std::vector<Case> cases = {
      {"a correctly signed release", [&] { Publish(TestKey(), {"--serial", "100"}); }, kSigned, 0, {}, kBoth, kNew},
      {"the same release for an updater without a key", [&] { Publish(TestKey(), {"--serial", "100"}); }, kUnsigned,
       0, {}, {"nolt-patch-updater.txt", "a.dll.cab", "sub/b.dll.cab"}, kNew},
      {"an unsigned release for an updater without a key", [&] { Publish(""); }, kUnsigned, 0, {},
       {"nolt-patch-updater.txt", "a.dll.cab", "sub/b.dll.cab"}, kNew},
      {"a manifest altered by one byte",
       [&] {
         Publish(TestKey());
         std::string m = Served("nolt-patch-updater.txt");
         m[2] ^= 0x01;
         Serve("nolt-patch-updater.txt", m);
       },
       kSigned, 1,
       {refusedRelease + "the manifest nolt-patch-updater.txt is refused: its SHA-256 differs from the signed one" +
        unchanged},
       kNone, kOld},
      {"a package altered by one byte",
       [&] {
         Publish(TestKey());
         Serve("a.dll.cab", flippedA);
       },
       kSigned, 1,
       {"The package \"a.dll.cab\" was refused: its SHA-256 differs from the signed one. The package was deleted "
        "unopened; the file was left unchanged."},
       kBoth, kOnlyB},
      {"a package one byte longer",
       [&] {
         Publish(TestKey());
         Serve("a.dll.cab", Served("a.dll.cab") + "x");
       },
       kSigned, 1, {tooLong}, kBoth, kOnlyB},
      {"an endless package",
       [&] {
         Publish(TestKey());
         server.SetRule("/" + kBasePath + "a.dll.cab", "endless", "1");
       },
       kSigned, 1, {tooLong}, kBoth, kOnlyB},
      {"a missing signature file",
       [&] {
         Publish(TestKey());
         fs::remove(server.LocalPath(kBasePath + "nolt-patch-updater.sig"));
       },
       kSigned, 1, {refusedRelease + "the signature file nolt-patch-updater.sig could not be fetched from "},
       kSignatureOnly, kOld},
      {"a signature made with another key", [&] { Publish(otherKey); }, kSigned, 1,
       {refusedRelease +
        "the signature file nolt-patch-updater.sig is refused: its signature is not valid for this program's "
        "release key" + unchanged},
       kSignatureOnly, kOld},
      {"an older serial replayed after a newer one was accepted", [&] { Publish(TestKey(), {"--serial", "100"}); },
       kSigned, 1,
       {refusedRelease + "the release is older (serial 100) than one already accepted (serial 101)" + unchanged},
       kSignatureOnly, kOld, "101"},
      {"an expired release", [&] { Publish(TestKey(), {"--expires", "0"}); }, kSigned, 1,
       {refusedRelease + "the release expired"}, kSignatureOnly, kOld},
      // A record that is there but not one of ours never counts as no record.
      {"a record of accepted releases that reads -1", [&] { Publish(TestKey(), {"--serial", "100"}); }, kSigned, 1,
       {refusedRelease + "the record of accepted releases nolt-patch-updater.serial cannot be read"},
       kSignatureOnly, kOld, "", "-1\n"},
      {"a record of accepted releases longer than 64 bytes", [&] { Publish(TestKey(), {"--serial", "100"}); },
       kSigned, 1, {refusedRelease + "the record of accepted releases nolt-patch-updater.serial cannot be read"},
       kSignatureOnly, kOld, "", "1" + std::string(70, '0') + "\n"},
      // Answers without end are cut off at their bound and leave nothing.
      {"an endless signature file",
       [&] {
         Publish(TestKey());
         server.SetRule("/" + kBasePath + "nolt-patch-updater.sig", "endless", "1");
       },
       kSigned, 1,
       {refusedRelease + "the signature file nolt-patch-updater.sig could not be fetched from " + server.Url("/") +
        kBasePath + "nolt-patch-updater.sig: The file is longer than the 536870912 bytes"},
       kSignatureOnly, kOld},
      {"an endless manifest",
       [&] {
         Publish(TestKey());
         server.SetRule("/" + kBasePath + "nolt-patch-updater.txt", "endless", "1");
       },
       kSigned, 1,
       {refusedRelease + "the manifest could not be fetched from " + server.Url("/") + kBasePath +
        "nolt-patch-updater.txt: The file is longer than the "},
       kNone, kOld},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir inst;
    test::WriteFile(inst.File("a.dll"), "a, version 1");
    fs::create_directories(inst.path() / "sub");
    test::WriteFile((inst.path() / "sub" / "b.dll").string(), "b, version 1");
    if (!c.priorSerial.empty()) {
      // The newer release is accepted, then the installation is put back to version 1.
      Publish(TestKey(), {"--serial", c.priorSerial});
      EXPECT_EQ(RunIn(inst.path(), c.updater).status, 0);
      test::WriteFile(inst.File("a.dll"), "a, version 1");
      test::WriteFile((inst.path() / "sub" / "b.dll").string(), "b, version 1");
    }
    if (!c.record.empty()) test::WriteFile(inst.File(kRecord), c.record);
    for (const std::string name : {"a.dll.cab", "nolt-patch-updater.sig", "nolt-patch-updater.txt"})
      server.SetRule("/" + kBasePath + name, "endless", "0");
    c.serve();
    const Run run = RunIn(inst.path(), c.updater);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.requests, c.requests);
    ASSERT_EQ(run.lines.size(), c.lines.size()) << (run.lines.empty() ? "" : run.lines[0]);
    for (std::size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(run.lines[i].rfind(c.lines[i], 0), 0u) << run.lines[i];
    std::set<std::string> installed;
    for (const std::string name : {"a.dll", "sub/b.dll"})
      installed.insert(name + ":" + test::ReadFile((inst.path() / name).string()));
    EXPECT_EQ(installed, c.installed);
    // Nothing is left but the files, the manifest and signature file as far as
    // they were fetched whole, and the record of the highest serial accepted.
    std::set<std::string> expected = {"a.dll", "sub/b.dll", Exe(c.updater)};
    const bool fetched = std::find(c.requests.begin(), c.requests.end(), "nolt-patch-updater.txt") != c.requests.end();
    if ((fetched && c.what != "an endless manifest") || !c.priorSerial.empty()) expected.insert("nolt-patch-updater.txt");
    if (c.updater == kSigned) {
      if (c.what != "a missing signature file" && c.what != "an endless signature file")
        expected.insert("nolt-patch-updater.sig");
      if (c.status == 0 || !c.priorSerial.empty() || !c.record.empty() || c.what.find("package") != std::string::npos)
        expected.insert(kRecord);
    }
    EXPECT_EQ(FilesBelow(inst.path()), expected);
    if (!c.record.empty()) {
      EXPECT_EQ(test::ReadFile(inst.File(kRecord)), c.record) << "the record was left as it is";
    }
  }
}

// The updater with the key whose base URL is https: the release comes over TLS, from
// a server whose certificate the system trusts through the test authority (the test
// e2e_https_test runs this case where it does), and is installed exactly.
TEST_F(SignedRelease, HttpsUpdateInstallsTheSignedRelease) {
  test::WriteFile(release.File("a.dll"), "a, version 2");
  fs::create_directories(release.path() / "sub");
  test::WriteFile((release.path() / "sub" / "b.dll").string(), "b, version 2");
  Publish(TestKey(), {"--serial", "100"});
  test::TempDir inst;
  test::WriteFile(inst.File("a.dll"), "a, version 1");
  const Run run = RunIn(inst.path(), "nolt-patch-setup-signed-https");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, std::vector<std::string>{});
  EXPECT_EQ(run.requests, (std::vector<std::string>{"nolt-patch-updater.sig", "nolt-patch-updater.txt", "a.dll.cab",
                                                    "sub/b.dll.cab"}));
  for (const auto& q : server.Requests()) EXPECT_EQ(q.Header("Host"), "localhost:" + std::to_string(NOLT_HTTPS_PORT));
  EXPECT_EQ(test::ReadFile(inst.File("a.dll")), "a, version 2");
  EXPECT_EQ(test::ReadFile((inst.path() / "sub" / "b.dll").string()), "b, version 2");
}

}  // namespace
