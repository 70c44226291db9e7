// The update run in this process against the HTTP test server, through the system's
// internet, files and cabinet seams: where packages arrive, what a hostile or
// broken server costs, and that every installed file reaches the disk before its
// rename. The limits of the transfers are shortened here; the programs keep theirs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <filesystem>
#include <map>

#include "app/MainForm.h"
#include "app/Staging.h"
#include "base/Text.h"
#include "crc/FileCRC32.h"
#include "install/LocalFiles.h"
#include "platform/CabinetWriter.h"
#include "platform/HeadlessUi.h"
#include "tests/support/DurabilityLog.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSupport.h"

extern const char* const kMainFormDescription;

using namespace nolt;
namespace fs = std::filesystem;

namespace {

std::string Bytes(std::size_t n, int seed) {
  std::string s(n, '\0');
  std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(seed);
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// Every file and directory below root, relative, with '/'.
std::vector<std::string> Below(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(e.path(), root).generic_string() + (e.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

class UpdateNetwork : public ::testing::Test {
 protected:
  // Packs bytes as the release's file `name` ("sub\\x.dll" style) and serves it with
  // its manifest line; `serve` false lists it without a package on the server.
  void Release(const std::string& name, const std::string& bytes, bool serve = true) {
    const std::string source = work.File("source");
    test::WriteFile(source, bytes);
    std::uint32_t crc = 0;
    checksums[name] = FileCRC32(source, crc);
    manifest += name + ":" + checksums[name] + "\r\n";
    if (serve) ServePackage(name, Cab(name, bytes));
  }
  // A one-entry cabinet of bytes stored under entry.
  std::string Cab(const std::string& entry, const std::string& bytes) {
    const std::string source = work.File("source"), cab = work.File("package.cab");
    test::WriteFile(source, bytes);
    std::string error;
    EXPECT_TRUE(plat::cabinetWriter().WriteSingleFileCabinet(cab, source, entry, &error)) << error;
    return test::ReadFile(cab);
  }
  // Serves bytes as the package of the manifest name `name`.
  void ServePackage(const std::string& name, const std::string& bytes) {
    server.AddFile("downloads/" + PackagePath(name).substr(11), bytes);
  }
  static std::string PackagePath(const std::string& name) {
    std::string path = "/downloads/" + name + ".cab";
    for (char& c : path)
      if (c == '\\') c = '/';
    return path;
  }
  void Installed(const std::string& name, const std::string& bytes) {
    test::WriteFile(install.File(LocalPath(name)), bytes);
  }

  // One whole run of the updater in this process, as the message loop runs it.
  int Run(const std::function<void(TMainForm&)>& before = nullptr) {
    server.AddFile("downloads/nolt-patch-updater.txt", manifest);
    plat::HeadlessUi view;
    plat::ScopedSeam<plat::Ui> uiSeam{view};
    view.SetApplicationTitle("NOLT-Patch-Setup");
    TMainForm form(kMainFormDescription);
    form.AppDir = install.Dir();
    form.DownloadBaseURL = server.Url("/downloads/");
    form.WebCopyMain.Items[0].URL = form.DownloadBaseURL + "nolt-patch-updater.txt";
    if (before) before(form);
    form.Show();
    view.RunMessageLoop();
    EXPECT_TRUE(view.Terminated());
    return form.ExitStatus();
  }
  std::string Read(const std::string& name) { return test::ReadFile(install.File(LocalPath(name))); }
  // The name under which the package of a released file is staged.
  std::string Staged(const std::string& name) { return StagedPackageName(name, LowerCaseAscii(checksums[name])); }

  test::HttpServer server;
  test::TempDir install;
  test::TempDir work;
  std::string manifest;
  std::map<std::string, std::string> checksums;  // of each released file, as the manifest lists it
};

// The package of "data" is never stored as the installed "data.cab", and a missing
// package never makes the updater unpack the application's own data.cab.
TEST_F(UpdateNetwork, APackageNeverTakesThePlaceOfAnInstalledFile) {
  Release("data", Bytes(70000, 1));
  Release("data.cab", Bytes(50000, 2));
  Installed("data.cab", "the installed data.cab, version 1");
  Run();
  EXPECT_EQ(Read("data"), Bytes(70000, 1));
  EXPECT_EQ(Read("data.cab"), Bytes(50000, 2));
  EXPECT_EQ(Below(install.path()), (std::vector<std::string>{"data", "data.cab", "nolt-patch-updater.txt"}));

  // A cabinet of the application named like a package, whose own package is missing.
  manifest.clear();
  Release("other", "other, version 2", false);
  const std::string source = work.File("other");
  test::WriteFile(source, "what the application's other.cab holds");
  std::string error;
  ASSERT_TRUE(plat::cabinetWriter().WriteSingleFileCabinet(install.File("other.cab"), source, "other", &error));
  const std::string appCab = Read("other.cab");
  Run();
  EXPECT_FALSE(test::FileExists(install.File("other")));
  EXPECT_EQ(Read("other.cab"), appCab);
}

// A portal that answers every URL with its page: the page read as a manifest names
// directories and files, and none of them is made.
TEST_F(UpdateNetwork, AnHtmlPageAsTheManifestCreatesNothing) {
  const std::string page =
      "<!DOCTYPE html>\n<html><head><title>Login</title></head>\n"
      "<body><img src=\"/static/img/logo.png\" style=\"border:0\">\n"
      "<a href=\"http://portal.example/login?next=a\\b\">Sign in: here</a>\n"
      "<p>Welcome</p></body></html>\n";
  server.SetRule("*", "body", page);
  Installed("app.dll", "the application");
  Run();
  EXPECT_GE(server.Requests().size(), 2u) << "the packages were asked for";
  EXPECT_EQ(Below(install.path()), (std::vector<std::string>{"app.dll", "nolt-patch-updater.txt"}));
  EXPECT_EQ(Read("nolt-patch-updater.txt"), page);
}

// A package download that stops half way is continued by the next run: it asks for
// the rest only, and the installed file is whole.
TEST_F(UpdateNetwork, AnInterruptedPackageIsContinuedByTheNextRun) {
  const std::string big = Bytes(400000, 3);
  Release("big.dat", big);
  Release("small.dat", "small");
  const std::string cabPath = "/downloads/big.dat.cab";
  const std::size_t cabSize = test::ReadFile(server.LocalPath("downloads/big.dat.cab")).size();
  server.SetRule(cabPath, "drop", std::to_string(cabSize / 2));
  Run();
  EXPECT_FALSE(test::FileExists(install.File("big.dat")));
  EXPECT_EQ(Read("small.dat"), "small") << "the run went on with the next package";
  const std::string staged = StagingDir(install.Dir()) + Staged("big.dat");
  EXPECT_EQ(Below(install.path()),
            (std::vector<std::string>{".nolt-packages/", ".nolt-packages/" + Staged("big.dat") + ".partial",
                                      ".nolt-packages/" + Staged("big.dat") + ".resume",
                                      "nolt-patch-updater.txt", "small.dat"}));
  const std::size_t kept = fs::file_size(staged + ".partial");

  server.ClearRules(cabPath);
  server.ClearLog();
  Run();
  EXPECT_EQ(Read("big.dat"), big);
  EXPECT_EQ(Below(install.path()), (std::vector<std::string>{"big.dat", "nolt-patch-updater.txt", "small.dat"}));
  const auto log = server.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].path, cabPath);
  EXPECT_EQ(log[1].Header("Range"), "bytes=" + std::to_string(kept) + "-");
  EXPECT_FALSE(log[1].Header("If-Range").empty());
}

// A server that lies: each case starts from an installation of version 1 and a
// release of version 2, lets the server lie, runs the updater and states what is
// installed, the exit status and everything left in the installation. A package
// that was refused is fetched again from its first byte by the next run.
TEST_F(UpdateNetwork, ALyingServerNeverGetsAWrongFileInstalled) {
  const std::string big1 = Bytes(300000, 7), big2 = Bytes(300000, 8);
  const std::string bigCab = PackagePath("big.dat");
  // The first run takes half of version 1's package, under an ETag that the server
  // keeps for whatever it serves there later.
  const auto halfOfVersion1 = [&] {
    Release("big.dat", big1);
    server.SetRule(bigCab, "etag", "\"same\"");
    server.SetRule(bigCab, "drop", std::to_string(test::ReadFile(server.LocalPath("downloads/big.dat.cab")).size() / 2));
    EXPECT_EQ(Run(), 1);
    server.ClearRules(bigCab);
    server.SetRule(bigCab, "etag", "\"same\"");
  };
  struct Case {
    std::string what;
    std::function<void()> serve;
    int status;
    std::map<std::string, std::string> installed;  // every file of the installation but the manifest
    bool manifestLeft;                             // the manifest fetched, whole
  };
  const std::vector<Case> cases = {
      {"a new release whose package keeps the ETag of a kept beginning",
       [&] {
         halfOfVersion1();
         manifest.clear();
         Release("big.dat", big2);
       },
       0, {{"a.dll", "a, version 1"}, {"big.dat", big2}}, true},
      {"a kept beginning continued with another package under the same ETag",
       [&] {
         halfOfVersion1();
         ServePackage("big.dat", Cab("big.dat", big2));
       },
       1, {{"a.dll", "a, version 1"}}, true},
      {"a package that brings another version of its file",
       [&] {
         Release("a.dll", "a, version 2");
         ServePackage("a.dll", Cab("a.dll", "a, version 3"));
       },
       1, {{"a.dll", "a, version 1"}}, true},
      {"a package that is another file's package",
       [&] {
         Release("a.dll", "a, version 2");
         Release("b.dll", "b, version 2");
         ServePackage("a.dll", test::ReadFile(server.LocalPath("downloads/b.dll.cab")));
       },
       1, {{"a.dll", "a, version 1"}, {"b.dll", "b, version 2"}}, true},
      {"an endless manifest",
       [&] {
         Release("a.dll", "a, version 2");
         server.SetRule("/downloads/nolt-patch-updater.txt", "endless", "1");
       },
       1, {{"a.dll", "a, version 1"}}, false},
      {"names the updater keeps for itself, in the manifest and in a package",
       [&] {
         Release("nolt-patch-updater.serial", "1");
         Release(".nolt-packages\\x.dat", "x");
         Release("a.dll", "a, version 2");
         ServePackage("a.dll", Cab("nolt-patch-updater.serial", "1"));
       },
       1, {{"a.dll", "a, version 1"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(install.path())) fs::remove_all(e.path());
    fs::remove_all(server.LocalPath("downloads"));
    for (const std::string& path : {bigCab, std::string("/downloads/nolt-patch-updater.txt")}) server.ClearRules(path);
    manifest.clear();
    Installed("a.dll", "a, version 1");
    c.serve();
    server.ClearLog();
    EXPECT_EQ(Run(), c.status);
    std::vector<std::string> expected;
    for (const auto& [name, content] : c.installed) {
      expected.push_back(name);
      EXPECT_TRUE(test::FileExists(install.File(name)) && Read(name) == content) << name;
    }
    if (c.manifestLeft) expected.push_back("nolt-patch-updater.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Below(install.path()), expected);
    // Nothing is asked for the updater's own names.
    for (const auto& r : server.Requests())
      EXPECT_TRUE(r.path.find("nolt-") == std::string::npos || r.path == "/downloads/nolt-patch-updater.txt") << r.path;
    if (c.status == 0 || !c.manifestLeft) continue;
    // The next run asks for every package it fetches from the first byte.
    server.ClearLog();
    Run();
    for (const auto& r : server.Requests()) EXPECT_EQ(r.Header("Range"), "") << r.path;
  }
}

// A server that never answers, stops in the middle of a package or trickles it ends
// that package with an error within the limits, and the run goes on and ends.
TEST_F(UpdateNetwork, StalledPackagesEndWithinTheLimitsAndTheRunGoesOn) {
  const std::pair<std::string, std::string> stalls[] = {{"hang", "1"}, {"stall", "30000"}, {"trickle", "0.2"}};
  for (const auto& [option, value] : stalls) {
    Release(option + ".dat", Bytes(100000, 4));
    server.SetRule("/downloads/" + option + ".dat.cab", option, value);
  }
  Release("good.dat", "good");
  std::vector<std::string> errors;
  std::vector<std::chrono::steady_clock::time_point> starts;
  const auto began = std::chrono::steady_clock::now();
  Run([&](TMainForm& f) {
    f.UpdateFiles.Limits.receiveMs = 1500;
    f.UpdateFiles.Limits.rateWindowMs = 2000;
    f.UpdateFiles.OnErrorInfo = [&](TObject*, int code, const std::string&) { errors.push_back(std::to_string(code)); };
    f.UpdateFiles.OnFileStart = [&](TObject*, int) { starts.push_back(std::chrono::steady_clock::now()); };
  });
  EXPECT_EQ(errors, (std::vector<std::string>{"12002", "12002", "12002"}));
  EXPECT_EQ(Read("good.dat"), "good");
  for (const auto& [option, value] : stalls) EXPECT_FALSE(test::FileExists(install.File(option + ".dat")));
  ASSERT_EQ(starts.size(), 4u);
  for (std::size_t i = 0; i + 1 < starts.size(); ++i)
    EXPECT_LT(std::chrono::duration<double>(starts[i + 1] - starts[i]).count(), 2.0 + 10) << "package " << i;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 60);
}

// Every rename that installs a file (the manifest, every unpacked entry) comes after
// the flush of that file's data, and a flush of its directory comes after it: the
// manifest's at once, the unpacked files' once per directory when the last package
// is done. A package, checked through what is unpacked from it, is never flushed.
TEST_F(UpdateNetwork, EveryInstalledFileIsFlushedBeforeItsRename) {
  test::DurabilityLog files;
  plat::ScopedSeam<plat::Files> seam(files);
  Release("a.dll", Bytes(200000, 5));
  Release("sub\\b.dll", Bytes(1000, 6));
  Run();
  EXPECT_EQ(Read("a.dll"), Bytes(200000, 5));
  EXPECT_EQ(Read("sub\\b.dll"), Bytes(1000, 6));

  const std::string staging = StagingDir(install.Dir());
  std::vector<std::string> installed;
  std::size_t packages = 0, flushes = 0, directoryFlushes = 0;
  for (std::size_t i = 0; i < files.calls.size(); ++i) {
    const std::string& call = files.calls[i];
    flushes += call.rfind("flush ", 0) == 0;
    directoryFlushes += call.rfind("flushdir ", 0) == 0;
    if (call.rfind("move ", 0) != 0) continue;
    const std::string source = call.substr(5, call.find(" > ") - 5);
    const std::string target = call.substr(call.find(" > ") + 3);
    if (DirectoryOf(target) == staging) {
      ++packages;
      EXPECT_EQ(std::count(files.calls.begin(), files.calls.end(), "flush " + source), 0) << call;
      continue;
    }
    installed.push_back(target);
    // Backwards from the rename: a flush of the file, and no write to it after that
    // (an unpacked file is also read, to be checked, before it is renamed).
    std::size_t j = i;
    for (; j > 0 && files.calls[j - 1] != "flush " + source; --j) EXPECT_NE(files.calls[j - 1], "write " + source);
    EXPECT_GT(j, 0u) << call;
    // Forwards: its directory is flushed after it.
    EXPECT_NE(std::find(files.calls.begin() + static_cast<std::ptrdiff_t>(i) + 1, files.calls.end(),
                        "flushdir " + DirectoryOf(target)),
              files.calls.end())
        << call;
  }
  EXPECT_EQ(std::count(files.calls.begin(), files.calls.end(), "flushdir " + staging), 0);
  // The manifest and the two files unpacked from two packages.
  EXPECT_EQ(packages, 2u);
  EXPECT_EQ(installed.size(), 3u);
  EXPECT_EQ(std::count(installed.begin(), installed.end(), install.File("a.dll")), 1);
  // One flush per installed file; the installation directory after the manifest and
  // once more after the packages, sub once.
  EXPECT_EQ(flushes, 3u);
  EXPECT_EQ(directoryFlushes, 3u);
}

}  // namespace
