#include "app/MainUser.h"

#include "app/FormBinding.h"
#include "app/FormReader.h"
#include "app/Manifest.h"
#include "app/Staging.h"
#include "core/Text.h"
#include "crc/CRC321.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "platform/Files.h"

#ifndef NOLT_DOWNLOAD_BASE_URL
#error "NOLT_DOWNLOAD_BASE_URL must be defined by the build"
#endif

namespace nolt {

const char* const kManifestName = "nolt-patch-updater.txt";
const char* const kStalePatchName = "noltpatch.exe";
const char* const kApplicationName = "pomr.exe";
const char* const kApplicationTitle = "NOLT-Patch-Setup";

namespace {

void LoadFormWindow(plat::WindowModel& w, const FormObject& form) {
  w.name = form.name;
  w.border = plat::BorderStyle::Single;
  w.centred = true;
  for (const auto& [name, v] : form.properties) {
    if (name == "Caption") w.caption = FormString(name, v);
    else if (name == "ClientWidth") w.clientWidth = static_cast<int>(FormNumber(name, v));
    else if (name == "ClientHeight") w.clientHeight = static_cast<int>(FormNumber(name, v));
    else if (name == "Left") w.left = static_cast<int>(FormNumber(name, v));
    else if (name == "Top") w.top = static_cast<int>(FormNumber(name, v));
    else if (name == "Position") w.centred = FormIdent(name, v) == "poDesktopCenter" || v.text == "poScreenCenter";
    else if (name == "BorderStyle") {
      if (FormIdent(name, v) != "bsSingle") throw EFormError("MainForm: only bsSingle is supported");
    } else if (name == "Color" || name == "Font.Height" || name == "Font.Name" || name == "OnCreate" ||
               name == "OnShow") {
      // The platform's button-face colour and dialog font are the views' defaults;
      // the two handlers are wired by the form itself.
    } else {
      throw EFormError("MainForm: unknown property " + name);
    }
  }
}

}  // namespace

TMainForm::TMainForm(const std::string& description) : DownloadBaseURL(NOLT_DOWNLOAD_BASE_URL) {
  const FormObject form = ReadForm(description);
  if (form.className != "TMainForm") throw EFormError("the description is not of a TMainForm");
  Name = form.name;
  LoadFormWindow(window_, form);

  EventWiring wire = [this](TComponent& c, const std::string& event, const std::string& handler) {
    if (&c == &UpdateFiles && event == "OnCopyOverWrite" && handler == "UpdateFilesCopyOverWrite") {
      UpdateFiles.OnCopyOverWrite = [this](TObject* s, const std::string& f, bool& a) {
        UpdateFilesCopyOverWrite(s, f, a);
      };
      return true;
    }
    if (&c == &UpdateFiles && event == "OnCopyCancel" && handler == "UpdateFilesCopyCancel") {
      UpdateFiles.OnCopyCancel = [this](TObject* s) { UpdateFilesCopyCancel(s); };
      return true;
    }
    if (&c == &UpdateFiles && event == "OnFileDone" && handler == "UpdateFilesFileDone") {
      UpdateFiles.OnFileDone = [this](TObject* s, int idx) { UpdateFilesFileDone(s, idx); };
      return true;
    }
    if (&c == &CAB && event == "OnOverWriteFile" && handler == "CABOverWriteFile") {
      CAB.OnOverWriteFile = [this](TObject* s, const std::string& f, bool& a) { CABOverWriteFile(s, f, a); };
      return true;
    }
    return false;
  };
  // The components, in the order of the description.
  for (const FormObject& child : form.children) {
    if (child.className == "TWebCopy" && child.name == "WebCopyMain") LoadWebCopy(WebCopyMain, child, wire);
    else if (child.className == "TWebCopy" && child.name == "UpdateFiles") LoadWebCopy(UpdateFiles, child, wire);
    else if (child.className == "TCABFile" && child.name == "CAB") LoadCABFile(CAB, child, wire);
    else if (child.className == "TRunner" && child.name == "Runner1") LoadRunner(Runner1, child, wire);
    else throw EFormError("MainForm: unknown component " + child.name + ": " + child.className);
  }
  if (WebCopyMain.Items.Count() != 1) throw EFormError("WebCopyMain must hold the manifest item");

  FormCreate(this);

  plat::WindowEvents events;
  events.onShow = [this] { Guarded(&TMainForm::FormShow); };
  events.onClose = [] { plat::ui().Terminate(); };
  windowId_ = plat::ui().CreateWindowFromModel(&window_, std::move(events));
}

TMainForm::~TMainForm() {
  if (windowId_ != plat::kNoWindow) plat::ui().DestroyWindow(windowId_);
}

void TMainForm::Show() {
  window_.visible = true;
  plat::ui().SyncWindow(windowId_);
}

void TMainForm::Guarded(void (TMainForm::*handler)(TObject*)) {
  try {
    (this->*handler)(this);
  } catch (const std::exception& e) {
    plat::ui().MessageBoxA(e.what(), plat::ui().ApplicationTitle(), plat::kMbOk | plat::kMbIconError);
  }
}

void TMainForm::FormCreate(TObject*) {
  const std::string exe = plat::files().ExecutablePath();
  AppDir = exe.substr(0, exe.find_last_of(plat::kPathDelim) + 1);
}

void TMainForm::FormShow(TObject*) {
  DownloadManifest();
  Names.clear();
  Checksums.clear();
  ReadManifestEntries();
  // What a killed run of ours left goes before anything else is written.
  SweepLeftovers(AppDir, Names);
  QueuePackages();
  RunPackages();
  CleanUp();
  LaunchApplication();
  plat::ui().Terminate();
}

void TMainForm::DownloadManifest() {
  // Whatever manifest is present afterwards is read, also one left by an earlier run.
  WebCopyMain.Items[0].TargetDir = AppDir;
  WebCopyMain.Execute();
}

void TMainForm::ReadManifestEntries() {
  const std::string path = AppDir + kManifestName;
  if (FileExists(path)) ReadManifest(path, Names, Checksums);
}

void TMainForm::QueuePackages() {
  plat::Files& fs = plat::files();
  const std::size_t n = Names.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& name = Names[i];
    // A name that would reach outside the installation is skipped entirely.
    if (!StaysInside(name, NameUse::ManifestEntry)) continue;
    const std::string path = AppDir + fs.LocalName(name);
    bool queue = !FileExists(path);
    if (!queue) {
      std::uint32_t crc = 0;
      // Case folding for the checksum comparison changes only A to Z.
      queue = LowerCaseAscii(Checksums[i]) != LowerCaseAscii(FileCRC32(path, crc));
    }
    if (queue) {
      TWebCopyItem& item = UpdateFiles.Items.Add();
      // The package arrives in the staging folder under a name of ours.
      item.TargetDir = StagingDir(AppDir);
      item.TargetFilename = StagedPackageName(name);
      // The URL keeps the name as written, backslashes included.
      item.URL = DownloadBaseURL + name + ".cab";
    }
  }
  // Kept beginnings of packages no longer wanted go; the others are continued.
  std::vector<std::string> wanted;
  for (int i = 0; i < UpdateFiles.Items.Count(); ++i)
    wanted.push_back(UpdateFiles.Items[i].TargetDir + UpdateFiles.Items[i].TargetFilename);
  TidyStaging(AppDir, wanted);
}

void TMainForm::RunPackages() {
  if (UpdateFiles.Items.Count() > 0) UpdateFiles.Execute();
}

void TMainForm::CleanUp() {
  UpdateFiles.Items.Clear();
  Names.clear();
  Checksums.clear();
  const std::string stale = AppDir + kStalePatchName;
  if (FileExists(stale)) plat::files().DeleteFileA(stale);  // a failure is ignored
  // The staging folder goes unless it keeps the beginning of an interrupted package.
  plat::files().RemoveDirectoryA(StagingDir(AppDir));
}

void TMainForm::LaunchApplication() {
  // Tested after the packages were unpacked, so a package may bring the program.
  // A failure to start it raises ERunnerError, which leaves FormShow before the
  // termination request: the error is shown and the window stays open.
  const std::string app = AppDir + kApplicationName;
  if (!FileExists(app)) return;
  Runner1.FileToRun = app;
  Runner1.Execute();
}

void TMainForm::UpdateFilesFileDone(TObject*, int idx) {
  // A package is at its staged path only when this run's transfer brought it whole;
  // it is unpacked and then deleted, whether the unpacking succeeded or not.
  const std::string path = UpdateFiles.Items[idx].TargetDir + UpdateFiles.Items[idx].TargetFilename;
  if (!FileExists(path)) return;
  CAB.CABFile = path;
  CAB.ReadContents();
  CAB.TargetPath = AppDir;
  CAB.ExtractAll();
  plat::files().DeleteFileA(path);  // a failure is ignored
}

void TMainForm::CABOverWriteFile(TObject*, const std::string&, bool& Allow) { Allow = true; }

void TMainForm::UpdateFilesCopyOverWrite(TObject*, const std::string&, bool& allow) { allow = true; }

void TMainForm::UpdateFilesCopyCancel(TObject*) {
  // The run goes on with clean-up, launch and termination as after a completed transfer.
}

}  // namespace nolt
