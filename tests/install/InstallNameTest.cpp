// The one rule for names from outside (install/InstallName.h), proven for manifest
// names and cabinet entry names alike: the rule itself over one table, then the
// manifest's queue and the cabinet's extraction, which must follow it exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/Staging.h"
#include "cabfiles/CABFile.h"
#include "base/Text.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "platform/HeadlessUi.h"
#include "tests/support/CabTestData.h"
#include "tests/support/NullInternet.h"
#include "tests/support/TestSupport.h"

extern const char* const kMainFormDescription;

namespace nolt {
namespace {

namespace fs = std::filesystem;

struct NameCase {
  std::string name;
  bool manifest;  // may be installed, as a manifest name
  bool cabinet;   // may be installed, as a cabinet entry
};

const std::vector<NameCase>& Cases() {
  static const std::vector<NameCase> cases = {
      // Inside, either separator, dots that do not climb.
      {"a.dll", true, true},
      {"sub\\file.dll", true, true},
      {"sub/file.dll", true, true},
      {"sub/deeper\\file.dll", true, true},
      {"a..b.dll", true, true},
      {"..a", true, true},
      {"x\\.\\y.txt", true, true},
      {"name with space.dll", true, true},
      {"high\x80\xff.txt", true, true},
      // At most as long as a cabinet entry's name: no package could bring a longer one.
      {std::string(100, 'd') + "\\" + std::string(154, 'f'), true, true},
      {std::string(100, 'd') + "\\" + std::string(155, 'f'), false, false},
      // No file name: only a cabinet entry must name a file.
      {"", true, false},
      {"sub\\", true, false},
      {"sub/", true, false},
      // Absolute, UNC, drive.
      {"\\abs.dll", false, false},
      {"/abs.dll", false, false},
      {"\\\\server\\share\\x", false, false},
      {"//server/share/x", false, false},
      {"C:\\x.dll", false, false},
      {"c:x.dll", false, false},
      // Any other colon: an NTFS stream, or a drive further in.
      {"a.dll:stream", false, false},
      {"sub\\x:y", false, false},
      {":", false, false},
      // Components that climb out, written with dots and blanks as Windows reads them.
      {"..", false, false},
      {"..\\x.dll", false, false},
      {"sub/../../x", false, false},
      {"a\\..", false, false},
      {"...\\x", false, false},
      {".. \\x", false, false},
      {" ..\\x", false, false},
      {". ..\\x", false, false},
      {"....\\x", false, false},
      {"sub\\ ..\\x", false, false},
      {"sub\\..\\..\\evil.txt", false, false},
      // Control bytes, NUL included.
      {std::string("a\0b.dll", 7), false, false},
      {"a\tb.dll", false, false},
      {"sub\x01\\x.dll", false, false},
      {"a\x1f.dll", false, false},
      {"a\x7f.dll", false, false},
      // The updater's own names, in any letter case and however Windows spells them.
      {"nolt-patch-updater.txt", false, false},
      {"NOLT-Patch-Updater.SIG", false, false},
      {".\\nolt-patch-updater.serial", false, false},
      {"nolt-patch-updater.txt.", false, false},
      {"nolt-patch-updater.serial\\x", false, false},
      {".nolt-packages\\x.cab", false, false},
      {"sub\\.NOLT-Ab12Cd.tmp", false, false},
      {"sub\\nolt-patch-updater.txt", true, true},  // only at the top
      {"nolt-patch-updater", true, true},
      {"x.nolt-packages", true, true},
  };
  return cases;
}

std::string Shown(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return "\"" + out + "\"";
}

TEST(InstallName, OneRuleForManifestNamesAndCabinetEntries) {
  for (const NameCase& c : Cases()) {
    EXPECT_EQ(MayInstall(c.name, NameUse::ManifestEntry), c.manifest) << Shown(c.name);
    EXPECT_EQ(MayInstall(c.name, NameUse::CabinetEntry), c.cabinet) << Shown(c.name);
  }
}

// A manifest of every name a manifest line can carry: the first ':' splits a line,
// CR, LF and 0x1A are line syntax, and outer blanks are trimmed.
TEST(InstallName, TheManifestQueuesExactlyTheNamesThatStayInside) {
  plat::HeadlessUi view;
  plat::ScopedSeam<plat::Ui> ui(view);
  test::NullInternet net;
  plat::ScopedSeam<plat::Internet> internet(net);
  test::TempDir dir;
  std::string manifest;
  std::vector<std::string> expected;
  for (const NameCase& c : Cases()) {
    if (c.name.find_first_of(":\r\n\x1a") != std::string::npos || Trim(c.name) != c.name) continue;
    manifest += c.name + ":0\n";
    if (c.manifest) expected.push_back(StagedPackageName(c.name, "0"));
  }
  test::WriteFile(dir.File("nolt-patch-updater.txt"), manifest);

  view.SetApplicationTitle("NOLT-Patch-Setup");
  TMainForm form(kMainFormDescription);
  form.AppDir = dir.Dir();
  form.ReadManifestEntries();
  form.QueuePackages();
  std::vector<std::string> queued;
  for (int i = 0; i < form.UpdateFiles.Items.Count(); ++i) queued.push_back(form.UpdateFiles.Items[i].TargetFilename);
  EXPECT_EQ(queued, expected);
}

// A cabinet library that offers the table's names as the entries of one cabinet,
// each with the content "x", through the component's own callbacks.
class ScriptedCabinet final : public plat::CabinetLibrary {
 public:
  static inline std::vector<std::string> names;
  static inline plat::PfnWrite write = nullptr;

  plat::HModule LoadLibraryA(const std::string&) override { return this; }
  plat::HModule GetModuleHandleA(const std::string&) override { return this; }
  bool FreeLibrary(plat::HModule) override { return true; }
  plat::FarProc GetProcAddress(plat::HModule, const std::string& name) override {
    if (name == "FDICreate") return reinterpret_cast<plat::FarProc>(&Create);
    if (name == "FDIIsCabinet") return reinterpret_cast<plat::FarProc>(&IsCabinet);
    if (name == "FDICopy") return reinterpret_cast<plat::FarProc>(&Copy);
    if (name == "FDIDestroy") return reinterpret_cast<plat::FarProc>(&Destroy);
    return nullptr;
  }

 private:
  static plat::HFDI Create(plat::PfnAlloc, plat::PfnFree, plat::PfnOpen, plat::PfnRead, plat::PfnWrite w,
                           plat::PfnClose, plat::PfnSeek, int, plat::Erf*) {
    write = w;
    return &names;
  }
  static int IsCabinet(plat::HFDI, std::intptr_t, plat::FdiCabinetInfo*) { return 1; }
  static int Destroy(plat::HFDI) { return 1; }
  static int Copy(plat::HFDI, char*, char*, int, plat::PfnFdiNotify notify, plat::PfnFdiDecrypt, void* pv) {
    for (std::string name : names) {
      plat::FdiNotification n{};
      n.pv = pv;
      n.psz1 = name.data();
      n.cb = 1;
      n.date = 0x2821;  // 2000-01-01
      const std::intptr_t hf = notify(plat::fdintCOPY_FILE, &n);
      if (hf == -1) return 0;
      if (hf == 0) continue;
      char x = 'x';
      if (write(hf, &x, 1) != 1) return 0;
      n.hf = hf;
      if (notify(plat::fdintCLOSE_FILE_INFO, &n) != 1) return 0;
    }
    return 1;
  }
};

TEST(InstallName, TheCabinetWritesExactlyTheEntriesThatStayInside) {
  ScriptedCabinet library;
  plat::ScopedSeam<plat::CabinetLibrary> useLibrary(library);
  test::TempDir root;
  const std::string target = root.File(test::LocalPath("a\\b\\target"));
  fs::create_directories(target);
  test::WriteFile(root.File("names.cab"), "the library is scripted");

  std::set<std::string> expected;
  ScriptedCabinet::names.clear();
  for (const NameCase& c : Cases()) {
    // No C string carries a NUL; names beyond ASCII are spelt differently by the two
    // targets' file systems.
    if (std::any_of(c.name.begin(), c.name.end(), [](char b) { return b == '\0' || (b & 0x80); })) continue;
    // A long name that is written would exceed Windows' MAX_PATH below the test directory.
    if (c.cabinet && c.name.size() > 100) continue;
    ScriptedCabinet::names.push_back(c.name);
    if (c.cabinet) expected.insert(fs::path(test::LocalPath(c.name)).lexically_normal().generic_string());
  }
  TCABFile cab;
  cab.CABFile = root.File("names.cab");
  cab.TargetPath = target;
  EXPECT_FALSE(cab.ExtractAll()) << "a refused entry fails the run";

  const std::vector<std::string> written = test::FilesBelow(target);
  EXPECT_EQ(std::set<std::string>(written.begin(), written.end()), expected);
  EXPECT_EQ(test::FilesBelow(root.path().string()).size(), written.size() + 1) << "only names.cab outside";
}

}  // namespace
}  // namespace nolt
