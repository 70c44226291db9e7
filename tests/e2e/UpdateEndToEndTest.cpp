// The built updater against the HTTP test server listening at the base URL, over
// real packages made by nolt-mkpatch: what is requested, in which order, what ends
// up installed, and what is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/support/HttpServer.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TestSupport.h"

using namespace nolt;
namespace fs = std::filesystem;

namespace {

const std::string kBasePath = [] {
  std::string url = NOLT_DOWNLOAD_BASE_URL;
  return url.substr(url.find('/', 7));  // "/downloads/"
}();

std::string Exe(const std::string& name) {
  return fs::path(test::ProgramPath(name)).filename().string();
}

// Whether the updater shows windows: always on Windows, on Linux with a display.
bool HasDisplay() {
#ifdef _WIN32
  return true;
#else
  return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
#endif
}

class EndToEnd : public ::testing::Test {
 protected:
  test::HttpServer server{NOLT_BASE_PORT};
  test::TempDir release;
  test::TempDir install;

  void SetUp() override {
    fs::copy_file(test::ProgramPath("nolt-patch-setup"), install.File(Exe("nolt-patch-setup")));
  }

  // Writes a file of the new version into the release ("sub\\x.dll" style names).
  void Release(const std::string& name, const std::string& bytes) { test::WriteFile(Local(release, name), bytes); }
  void Installed(const std::string& name, const std::string& bytes) { test::WriteFile(Local(install, name), bytes); }
  static std::string Local(const test::TempDir& d, const std::string& name) {
    std::string n = name;
    for (char& c : n)
      if (c == '\\') c = static_cast<char>(fs::path::preferred_separator);
    return d.File(n);
  }

  // Packs the release with nolt-mkpatch into the server's download directory.
  void Publish() {
    test::TempDir out;
    test::ProgramResult r = test::RunProgram(test::ProgramPath("nolt-mkpatch"),
                                             {release.path().string(), out.path().string()}, "", 300000);
    ASSERT_TRUE(r.started);
    ASSERT_EQ(r.exitCode, 0) << "nolt-mkpatch failed";
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
      if (e.is_regular_file())
        server.AddFile(kBasePath.substr(1) + fs::relative(e.path(), out.path()).generic_string(),
                       test::ReadFile(e.path().string()));
  }

  test::ProgramResult RunUpdater(unsigned timeoutMs = 120000) {
    server.ClearLog();
    return test::RunProgram(install.File(Exe("nolt-patch-setup")), {}, install.path().string(), timeoutMs);
  }

  // The paths requested since the last run, without the base path.
  std::vector<std::string> Requested() {
    std::vector<std::string> paths;
    for (const auto& r : server.Requests()) {
      std::string p = r.path;
      if (p.rfind(kBasePath, 0) == 0) p = p.substr(kBasePath.size());
      paths.push_back(r.method + " " + p);
    }
    return paths;
  }

  std::vector<std::string> LeftOver(const std::string& suffix) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(install.path())) {
      const std::string n = e.path().filename().string();
      if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
        found.push_back(n);
    }
    return found;
  }
};

TEST_F(EndToEnd, CompleteRunThenNothingToDo) {
  Release("a.dll", "a, version 2");
  Release("b.dll", "b, version 2");
  Release("c.dll", std::string(300000, 'c'));
  Release("sub\\d.dll", "d in a subdirectory, version 2");
  Publish();
  Installed("a.dll", "a, version 2");
  Installed("b.dll", "b, version 1");
  Installed("noltpatch.exe", "stale");
  const auto aTime = fs::last_write_time(install.File("a.dll"));

  test::ProgramResult r = RunUpdater();
  ASSERT_TRUE(r.started);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  // The manifest, then exactly the missing or changed files' packages, in manifest
  // order. The backslash of "sub\\d.dll" goes out as '/', as WinINet sends it.
  EXPECT_EQ(Requested(), (std::vector<std::string>{"GET nolt-patch-updater.txt", "GET b.dll.cab", "GET c.dll.cab",
                                                   "GET sub/d.dll.cab"}));
  EXPECT_EQ(test::ReadFile(install.File("b.dll")), "b, version 2");
  EXPECT_EQ(test::ReadFile(install.File("c.dll")), std::string(300000, 'c'));
  EXPECT_EQ(test::ReadFile(Local(install, "sub\\d.dll")), "d in a subdirectory, version 2");
  EXPECT_EQ(fs::last_write_time(install.File("a.dll")), aTime) << "a current file is not touched";
  EXPECT_TRUE(LeftOver(".cab").empty()) << "every package is deleted after unpacking";
  EXPECT_FALSE(test::FileExists(install.File("noltpatch.exe")));
  EXPECT_TRUE(test::FileExists(install.File("nolt-patch-updater.txt")));
#ifndef _WIN32
  // Downloads are staged in private temporary files; the finished file is readable
  // as any new file is (under the usual umask 022).
  EXPECT_EQ(fs::status(install.File("nolt-patch-updater.txt")).permissions() & fs::perms::others_read,
            fs::perms::others_read);
#endif

  // A second run right after finds everything current.
  r = RunUpdater();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Requested(), (std::vector<std::string>{"GET nolt-patch-updater.txt"}));
}

TEST_F(EndToEnd, APackageBringsTheApplicationWhichIsStarted) {
  Release("pomr.exe", test::ReadFile(test::ProgramPath("pomr-demo")));
  Release("data.dll", "data");
  Publish();
  test::ProgramResult r = RunUpdater();
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(test::ReadFile(install.File("pomr.exe")), test::ReadFile(test::ProgramPath("pomr-demo")));
  // The updater does not wait for the program; give it a moment to leave its note.
  const std::string note = install.File("pomr-started.txt");
  for (int i = 0; i < 300 && !test::FileExists(note); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(test::FileExists(note)) << "pomr.exe was not started";
}

TEST_F(EndToEnd, DuplicatesBrokenAndMissingPackages) {
  Release("x.dll", "x, version 2");
  Release("y.dll", "y, version 2");
  Publish();
  // A manifest of our own: x twice, a package that is not a cabinet, one that is not
  // there at all, and y last, which must still be installed.
  const std::string manifest = test::ReadFile(server.LocalPath(kBasePath.substr(1) + "nolt-patch-updater.txt"));
  const std::string xLine = manifest.substr(0, manifest.find('\n') + 1);
  const std::string yLine = manifest.substr(manifest.find('\n') + 1);
  server.AddFile(kBasePath.substr(1) + "nolt-patch-updater.txt",
                 xLine + xLine + "junk.dll:123456\r\nmissing.dll:123456\r\n" + yLine);
  server.AddFile(kBasePath.substr(1) + "junk.dll.cab", "this is not a cabinet");
  Installed("y.dll", "y, version 1");

  test::ProgramResult r = RunUpdater();
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 1) << "junk.dll and missing.dll were not installed";
  EXPECT_EQ(Requested(), (std::vector<std::string>{"GET nolt-patch-updater.txt", "GET x.dll.cab", "GET x.dll.cab",
                                                   "GET junk.dll.cab", "GET missing.dll.cab", "GET y.dll.cab"}));
  EXPECT_EQ(test::ReadFile(install.File("x.dll")), "x, version 2");
  EXPECT_EQ(test::ReadFile(install.File("y.dll")), "y, version 2");
  EXPECT_FALSE(test::FileExists(install.File("junk.dll")));
  EXPECT_TRUE(LeftOver(".cab").empty()) << "a package that is not a cabinet is deleted, a 404 leaves nothing";
  std::vector<std::string> stray;
  for (const auto& e : fs::directory_iterator(install.path())) {
    const std::string n = e.path().filename().string();
    if (n != Exe("nolt-patch-setup") && n != "nolt-patch-updater.txt" && n != "x.dll" && n != "y.dll")
      stray.push_back(n);
  }
  EXPECT_TRUE(stray.empty()) << "left behind: " << (stray.empty() ? "" : stray[0]);
}

// Packages arrive under names of our own: a release that holds both "data" and
// "data.cab" installs both, and a portal page served as the manifest (answered to
// every URL) makes nothing in the installation.
TEST_F(EndToEnd, PackagesNeverCollideWithInstalledFilesAndAPortalPageMakesNothing) {
  const std::string data(120000, 'd');
  std::string dataCab(90000, '\0');
  for (std::size_t i = 0; i < dataCab.size(); ++i) dataCab[i] = static_cast<char>(i * 31 % 251);
  Release("data", data);
  Release("data.cab", dataCab);
  Publish();
  Installed("data.cab", "the installed data.cab, version 1");
  test::ProgramResult r = RunUpdater();
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(test::ReadFile(install.File("data")), data);
  EXPECT_EQ(test::ReadFile(install.File("data.cab")), dataCab);

  const std::string page =
      "<html><head><title>Hotel network</title></head>\n"
      "<body><img src=\"/static/img/logo.png\" style=\"border:0\">\n"
      "<a href=\"http://portal.example/login\">Log in</a></body></html>\n";
  server.SetRule("*", "body", page);
  r = RunUpdater();
  ASSERT_FALSE(r.timedOut);
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(install.path()))
    found.push_back(fs::relative(e.path(), install.path()).generic_string());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"data", "data.cab", Exe("nolt-patch-setup"), "nolt-patch-updater.txt"}));
  EXPECT_EQ(test::ReadFile(install.File("data")), data);
}

TEST_F(EndToEnd, ALaunchFailureKeepsTheProgramOpen) {
  Publish();  // an empty release: an empty manifest
  // Something called pomr.exe that cannot be started.
  Installed("pomr.exe", "not a program at all");
#ifndef _WIN32
  fs::permissions(install.File("pomr.exe"), fs::perms::owner_exec, fs::perm_options::add);
#endif
  Installed("noltpatch.exe", "stale");
  test::ProgramResult r = RunUpdater(8000);
  ASSERT_TRUE(r.started);
  if (HasDisplay()) EXPECT_TRUE(r.timedOut) << "the error box keeps the program open until the user closes it";
  else EXPECT_EQ(r.exitCode, 1) << "without a display the error ends the program";
  EXPECT_FALSE(test::FileExists(install.File("noltpatch.exe"))) << "the clean-up happened before the launch";
}

// Hostile manifests and damaged installations, each run headless in an installation
// of its own below a directory that holds a file outside it: nothing the manifest may
// not name is touched, nothing hangs, and the exit status and the lines on standard
// error (Linux; the Windows program always has its window) say what failed.
TEST_F(EndToEnd, HostileManifestsAndDamagedInstallations) {
  Release("good.dll", "good, version 2");
  Release("pipe.dll", "pipe, version 2");
  Release("zero.dll", "zero, version 2");
  Publish();
  const std::string served = test::ReadFile(server.LocalPath(kBasePath.substr(1) + "nolt-patch-updater.txt"));
  const auto line = [&](const std::string& name) {
    const std::size_t at = served.find(name + ":");
    return served.substr(at, served.find('\n', at) + 1 - at);
  };
  server.AddFile(kBasePath.substr(1) + "junk.dll.cab", "this is not a cabinet");
  const std::string nul(1, '\0'), self = Exe("nolt-patch-setup");
  using Dir = const fs::path&;
  const auto put = [](Dir dir, const std::string& name, const std::string& bytes) {
    test::WriteFile((dir / name).string(), bytes);
  };
  const auto has = [](Dir dir, const std::string& name, const std::string& bytes) {
    return fs::is_regular_file(fs::symlink_status(dir / name)) && test::ReadFile((dir / name).string()) == bytes;
  };

  struct Case {
    std::string what;
    std::string manifest;  // served; empty: the server has none
    std::function<void(Dir)> prepare;
    int status;
    std::vector<std::string> lines;      // each line on standard error begins so, after the title
    std::vector<std::string> packages;   // the packages requested, in order
    std::function<bool(Dir)> installed;  // the installation afterwards is right
    bool posixOnly = false;
  };
  const std::vector<Case> cases = {
      {"names holding a NUL or a control byte",
       "b.dll" + nul + "x:0\r\n" + self + nul + "x:0\r\nc\x01.dll:0\r\n" + line("good.dll"),
       [&](Dir d) {
         put(d, "b.dll", "b");
         put(d, "c.dll", "c");
       },
       1,
       {"the manifest entry \"b.dll\\x00x\" is refused", "the manifest entry \"" + self + "\\x00x\" is refused",
        "the manifest entry \"c\\x01.dll\" is refused"},
       {"good.dll.cab"},
       [&](Dir d) {
         return has(d, "b.dll", "b") && has(d, "c.dll", "c") && fs::exists(d / self) &&
                has(d, "good.dll", "good, version 2");
       }},
      {"names that climb out", "..\\outside.dll:0\r\nsub/../../outside.dll:0\r\n", nullptr, 1,
       {"the manifest entry \"..\\outside.dll\" is refused", "the manifest entry \"sub/../../outside.dll\" is refused"},
       {}, [&](Dir d) { return has(d.parent_path(), "outside.dll", "outside"); }},
      {"a line of 3 MB", std::string(3 << 20, 'n') + ":0\r\n" + line("good.dll"), nullptr, 1,
       {"the manifest entry \"" + std::string(256, 'n') + "\" is refused"}, {"good.dll.cab"},
       [&](Dir d) { return has(d, "good.dll", "good, version 2"); }},
      {"a FIFO and a link to /dev/zero under listed names", line("pipe.dll") + line("zero.dll"),
       [&](Dir d) {
#ifndef _WIN32
         EXPECT_EQ(::mkfifo((d / "pipe.dll").c_str(), 0644), 0);
         EXPECT_EQ(::symlink("/dev/zero", (d / "zero.dll").c_str()), 0);
#endif
         (void)d;
       },
       0, {}, {"pipe.dll.cab", "zero.dll.cab"},
       [&](Dir d) { return has(d, "pipe.dll", "pipe, version 2") && has(d, "zero.dll", "zero, version 2"); }, true},
      {"a missing package where the installation has a file of its name", "data:123456\r\n" + line("good.dll"),
       [&](Dir d) { put(d, "data.cab", "the application's own data"); }, 1,
       {"\"data\" was not updated: Returned http error code 404"}, {"data.cab", "good.dll.cab"},
       [&](Dir d) { return has(d, "data.cab", "the application's own data") && has(d, "good.dll", "good, version 2"); }},
      {"a package that is not a cabinet", "junk.dll:123456\r\n", nullptr, 1,
       {"\"junk.dll\" was not updated: its package could not be unpacked"}, {"junk.dll.cab"},
       [&](Dir d) { return !fs::exists(d / "junk.dll") && !fs::exists(d / "junk.dll.cab"); }},
      {"an unreachable manifest: the run goes on with the one left before", "",
       [&](Dir d) { put(d, "nolt-patch-updater.txt", line("good.dll")); }, 1,
       {"the manifest could not be fetched from " + std::string(NOLT_DOWNLOAD_BASE_URL) +
        "nolt-patch-updater.txt: Returned http error code 404"},
       {"good.dll.cab"}, [&](Dir d) { return has(d, "good.dll", "good, version 2"); }},
      {"a manifest that cannot be written where it belongs", line("good.dll"),
       [&](Dir d) { fs::create_directory(d / "nolt-patch-updater.txt"); }, 1,
       {"the manifest could not be fetched from " + std::string(NOLT_DOWNLOAD_BASE_URL) +
        "nolt-patch-updater.txt: Cannot create file"},
       {}, [&](Dir d) { return fs::is_directory(d / "nolt-patch-updater.txt"); }},
      {"a launch that fails", "\r\n",
       [&](Dir d) {
         put(d, "pomr.exe", "not a program at all");
         fs::permissions(d / "pomr.exe", fs::perms::owner_exec, fs::perm_options::add);
       },
       1, {""}, {}, [&](Dir d) { return fs::exists(d / "pomr.exe"); }, true},
      {"a sound update", line("good.dll"), nullptr, 0, {}, {"good.dll.cab"},
       [&](Dir d) { return has(d, "good.dll", "good, version 2"); }},
  };

  const std::string manifestPath = server.LocalPath(kBasePath.substr(1) + "nolt-patch-updater.txt");
  for (const Case& c : cases) {
#ifdef _WIN32
    if (c.posixOnly) continue;
#endif
    SCOPED_TRACE(c.what);
    test::TempDir root;
    const fs::path inst = root.path() / "inst";
    fs::create_directories(inst);
    fs::copy_file(test::ProgramPath("nolt-patch-setup"), inst / self);
    put(root.path(), "outside.dll", "outside");
    if (c.prepare) c.prepare(inst);
    if (c.manifest.empty()) fs::remove(manifestPath);
    else server.AddFile(kBasePath.substr(1) + "nolt-patch-updater.txt", c.manifest);

    server.ClearLog();
    test::ProgramOptions options;
    options.headless = options.captureErrors = true;
    const test::ProgramResult r = test::RunProgram((inst / self).string(), {}, inst.string(), 60000, options);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, c.status);
    std::vector<std::string> packages;
    for (const std::string& p : Requested())
      if (p != "GET nolt-patch-updater.txt") packages.push_back(p.substr(4));
    EXPECT_EQ(packages, c.packages);
    EXPECT_TRUE(c.installed(inst));
#ifndef _WIN32
    std::vector<std::string> lines;
    std::istringstream in(r.errorOutput);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    EXPECT_EQ(lines.size(), c.lines.size()) << r.errorOutput;
    for (std::size_t i = 0; i < std::min(lines.size(), c.lines.size()); ++i)
      EXPECT_EQ(lines[i].rfind("NOLT-Patch-Setup: " + c.lines[i], 0), 0u) << lines[i];
#endif
  }
}

}  // namespace
