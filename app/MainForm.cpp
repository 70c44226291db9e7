#include "app/MainForm.h"

#include <algorithm>
#include <cstring>

#include "app/FormBinding.h"
#include "app/FormReader.h"
#include "release/Manifest.h"
#include "app/RunLock.h"
#include "app/Staging.h"
#include "app/UpdateDecision.h"
#include "base/Text.h"
#include "crc/FileCRC32.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Internet.h"
#include "webcopy/Helpers.h"

namespace nolt {

const char* const kStalePatchName = "noltpatch.exe";
const char* const kApplicationName = "pomr.exe";
const char* const kApplicationTitle = "NOLT-Patch-Setup";

namespace {

constexpr const char* kWaitLabel = "WaitLabel";
constexpr const char* kWaitText = "Waiting for another update to end...";
constexpr std::uint32_t kWaitNoticeMs = 1000;  // a wait shorter than this goes unmentioned
constexpr std::uint32_t kLockPollMs = 100;

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

// A name as a message shows it: control bytes as \xNN, so that the line stays one.
std::string Printable(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) out += std::string("\\x") + kHex[b >> 4] + kHex[b & 0xF];
    else out += c;
  }
  return out + "\"";
}

}  // namespace

TMainForm::TMainForm(const std::string& description, const std::string& releaseKey)
    : Release(releaseKey) {
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
  // The manifest's URL is the base URL followed by its name; packages come from there too.
  const std::string& manifestURL = WebCopyMain.Items[0].URL;
  const std::size_t base = manifestURL.size() - std::min(manifestURL.size(), std::strlen(kManifestName));
  if (manifestURL.compare(base, std::string::npos, kManifestName) != 0)
    throw EFormError(std::string("the manifest item's URL must end in ") + kManifestName);
  DownloadBaseURL = manifestURL.substr(0, base);
  if (Release.Enabled()) {
    // The signature file comes after the manifest, in the same run, into AppDir.
    TWebCopyItem& sig = WebCopyMain.Items.Add();
    sig.TargetFilename = kSignatureName;
    sig.URL = DownloadBaseURL + kSignatureName;
  }

  // Not part of the description: these handlers only note what the transfers did,
  // for the exit status and the lines of a headless run.
  // A message is one line: system texts end in a line break.
  const auto noteError = [this](TObject*, int code, const std::string& text) {
    transferError_ = Trim(text);
    transferCode_ = code;
  };
  const auto noteUnreachable = [this](TObject*, const std::string&) {
    transferError_ = "no answer from the server: " + Trim(InternetErrorText(plat::internet().GetLastError()));
  };
  WebCopyMain.OnErrorInfo = UpdateFiles.OnErrorInfo = noteError;
  WebCopyMain.OnURLNotFound = UpdateFiles.OnURLNotFound = noteUnreachable;
  UpdateFiles.OnFileStart = [this](TObject* s, int idx) { UpdateFilesFileStart(s, idx); };
  // A package is never flushed to the disk: every file unpacked from it is checked
  // against the manifest before it replaces the installed one (CABVerifyFile), so a
  // package that a power loss tore costs a new download, not a wrong file.
  UpdateFiles.Durable = false;
  CAB.OnVerifyFile = [this](TObject* s, const std::string& f, const std::string& t, bool& a) {
    CABVerifyFile(s, f, t, a);
  };

  FormCreate(this);

  // Not part of the description: the line that says why a run waits (WaitForRunLock).
  plat::Control waiting = plat::MakeControl(plat::ControlKind::Label, kWaitLabel, 8, 8, window_.clientWidth - 16, 13,
                                            kWaitText);
  waiting.visible = false;
  window_.controls.push_back(waiting);

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
    // Without a display the headless view ends the program after this box.
    plat::ui().MessageBoxA(e.what(), plat::ui().ApplicationTitle(), plat::kMbOk | plat::kMbIconError);
    Failures.push_back(e.what());
  }
}

void TMainForm::ReportFailure(const std::string& text) {
  Failures.push_back(text);
  if (!plat::ui().HasDisplay()) plat::ui().MessageBoxA(text, plat::ui().ApplicationTitle(), plat::kMbOk);
}

void TMainForm::ReportRefusal(const std::string& text) {
  if (plat::ui().HasDisplay()) {
    Failures.push_back(text);
    plat::ui().MessageBoxA(text, plat::ui().ApplicationTitle(), plat::kMbOk | plat::kMbIconError);
  } else {
    ReportFailure(text);
  }
}

void TMainForm::FormCreate(TObject*) {
  const std::string exe = plat::files().ExecutablePath();
  AppDir = exe.substr(0, exe.find_last_of(plat::kPathDelim) + 1);
}

void TMainForm::FormShow(TObject*) {
  if (!WaitForRunLock()) return;
  // A staging folder that is a link or no folder is not ours: left as it is, and no
  // package goes through it.
  stagingUsable_ = StagingUsable(AppDir);
  if (!stagingUsable_)
    ReportRefusal(std::string("The folder ") + kStagingFolder + " in " + AppDir +
                  " is a link or not a folder, so no package could be fetched; it was left as it is. Remove it "
                  "(the updater keeps nothing there that it cannot fetch again) and run the update again.");
  const bool readable = DownloadManifest();
  Names.clear();
  Checksums.clear();
  if (readable) ReadManifestEntries();
  // What a killed run of ours left goes before any package is fetched.
  SweepLeftovers(AppDir, Names);
  QueuePackages();
  RunPackages();
  CheckInstallation();
  CleanUp();
  LaunchApplication();
  plat::ui().Terminate();
}

bool TMainForm::WaitForRunLock() {
  const std::uint32_t start = plat::sysClock().GetTickCount();
  bool told = false;
  for (;;) {
    const RunLock::Outcome outcome = runLock_.TryAcquire(AppDir);
    if (outcome == RunLock::Outcome::Failed) {
      // A directory the updater cannot write fails the run by itself; a link of that
      // name is not used.
      ReportFailure(std::string("this run could not take the lock of the installation (") + kRunLockName +
                    "): " + Trim(plat::files().ErrorText(plat::files().GetLastError())));
      return true;
    }
    if (outcome == RunLock::Outcome::Held) break;
    if (!told && plat::sysClock().GetTickCount() - start >= kWaitNoticeMs) {
      told = true;
      if (plat::ui().HasDisplay()) {
        window_.Find(kWaitLabel)->visible = true;
        plat::ui().SyncWindow(windowId_);
      } else {
        plat::ui().MessageBoxA(kWaitText, plat::ui().ApplicationTitle(), plat::kMbOk);
      }
    }
    plat::ui().ProcessMessages();
    if (plat::ui().Terminated()) {
      // The window was closed while the other run went on.
      Failures.push_back("the update did not run: another update of this installation was still running");
      return false;
    }
    plat::ui().WaitForMessage(kLockPollMs);
  }
  if (told) {
    window_.Find(kWaitLabel)->visible = false;
    plat::ui().SyncWindow(windowId_);
  }
  return true;
}

bool TMainForm::DownloadManifest() {
  // Whatever manifest is present afterwards is read, also one left by an earlier run.
  TWebCopyItem& manifest = WebCopyMain.Items[0];
  manifest.TargetDir = AppDir;
  manifest.MaxSize = kManifestMaxSize;
  if (Release.Enabled()) return DownloadSignedManifest();
  const std::string why = Fetch(0);
  if (!why.empty()) ReportFailure("the manifest could not be fetched from " + manifest.URL + ": " + why);
  return true;
}

bool TMainForm::DownloadSignedManifest() {
  // A signature file left by an earlier run never vouches for this run's release.
  TWebCopyItem& signature = WebCopyMain.Items[1];
  signature.TargetDir = AppDir;
  signature.MaxSize = static_cast<std::int64_t>(kSignatureMaxSize);
  if (FileExists(AppDir + kSignatureName)) plat::files().DeleteFileA(AppDir + kSignatureName);
  std::string why = Fetch(1);
  if (!why.empty()) why = std::string("the signature file ") + kSignatureName + " could not be fetched from " + signature.URL + ": " + why;
  if (why.empty()) why = Release.CheckSignature(AppDir, UnixTimeNow());
  if (why.empty()) {
    // Fetched no further than its signed size, and read only when it is the signed one.
    TWebCopyItem& manifest = WebCopyMain.Items[0];
    manifest.MaxSize = static_cast<std::int64_t>(Release.ManifestSize());
    const std::string failed = Fetch(0);
    why = Release.CheckManifest(AppDir);
    if (!failed.empty()) {
      const std::string fetch = "the manifest could not be fetched from " + manifest.URL + ": " + failed;
      // The signed manifest may still be there from an earlier run; else the fetch is why.
      if (why.empty()) ReportFailure(fetch);
      else why = fetch;
    }
  }
  if (why.empty()) return true;
  // Nothing of a release that fails its check is installed.
  ReportRefusal("The update was refused: " + why + ". Nothing was installed; every file was left unchanged.");
  return false;
}

std::string TMainForm::Fetch(int idx) {
  for (int i = 0; i < WebCopyMain.Items.Count(); ++i) WebCopyMain.Items[i].Active = i == idx;
  transferError_.clear();
  WebCopyMain.Execute();
  // An empty body is no failure: it is an empty file.
  return WebCopyMain.Items[idx].Success ? std::string() : transferError_;
}

void TMainForm::ReadManifestEntries() {
  const std::string path = AppDir + kManifestName;
  if (FileExists(path)) ReadManifest(path, Names, Checksums);
}

void TMainForm::QueuePackages() {
  packages_.clear();
  if (!stagingUsable_) return;  // reported at the start
  const std::size_t n = Names.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& name = Names[i];
    switch (DecideEntry(AppDir, name, Checksums[i])) {
      case EntryState::Current: break;
      case EntryState::Refused:
        ReportFailure("the manifest entry " + Printable(name) + " is refused: " +
                      (IsKeptName(name) ? "it names a file the updater keeps for itself"
                                        : "it names no file that may be installed in this directory"));
        break;
      case EntryState::Queued: {
        const SignedFile* signedPackage = Release.Enabled() ? Release.Package(name + ".cab") : nullptr;
        if (Release.Enabled() && !signedPackage) {
          ReportRefusal("The package of " + Printable(name) +
                        " was refused: the signature file names no such package. The file was left unchanged.");
          break;
        }
        TWebCopyItem& item = UpdateFiles.Items.Add();
        // What the package must bring: a package or a kept beginning fetched for
        // another checksum, digest or size is never continued or unpacked for this one.
        std::string identity = LowerCaseAscii(Checksums[i]);
        if (signedPackage) {
          item.MaxSize = static_cast<std::int64_t>(signedPackage->size);
          identity += " " + ToHex(signedPackage->sha256) + " " + std::to_string(signedPackage->size);
        }
        // The package arrives in the staging folder under a name of ours.
        item.TargetDir = StagingDir(AppDir);
        item.TargetFilename = StagedPackageName(name, identity);
        item.URL = PackageURL(DownloadBaseURL, name);
        packages_.push_back(Package{i});
        break;
      }
    }
  }
  // Kept beginnings of packages no longer wanted go; the others are continued.
  std::vector<std::string> wanted;
  for (int i = 0; i < UpdateFiles.Items.Count(); ++i)
    wanted.push_back(UpdateFiles.Items[i].TargetDir + UpdateFiles.Items[i].TargetFilename);
  TidyStaging(AppDir, wanted);
}

void TMainForm::RunPackages() {
  // Each unpacked file is flushed before its rename; the directories of the renames
  // are flushed once, when the last package is done.
  DirectoryFlushes flushes;
  if (UpdateFiles.Items.Count() > 0) UpdateFiles.Execute();
}

void TMainForm::CheckInstallation() {
  // The installation matches the manifest when every entry whose package was fetched
  // now has its checksum; the others matched before, and no refused name passes.
  for (const Package& p : packages_) {
    const std::string& name = Names[p.entry];
    if (EntryMatches(AppDir, name, Checksums[p.entry]) || p.refused) continue;
    const std::string why = !p.problem.empty() ? p.problem
                            : !p.done          ? "the download was cancelled"
                                               : "its package did not install the file the manifest lists";
    ReportFailure(Printable(name) + " was not updated: " + why);
  }
  packages_.clear();
}

void TMainForm::CleanUp() {
  UpdateFiles.Items.Clear();
  Names.clear();
  Checksums.clear();
  const std::string stale = AppDir + kStalePatchName;
  if (FileExists(stale)) plat::files().DeleteFileA(stale);  // a failure is ignored
  // The staging folder goes unless it keeps the beginning of an interrupted package.
  RemoveStagingIfEmpty(AppDir);
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

void TMainForm::UpdateFilesFileStart(TObject*, int idx) {
  transferError_.clear();
  transferCode_ = 0;
  if (static_cast<std::size_t>(idx) < packages_.size())
    packages_[idx].foundBefore = FileExists(UpdateFiles.Items[idx].TargetDir + UpdateFiles.Items[idx].TargetFilename);
}

void TMainForm::UpdateFilesFileDone(TObject*, int idx) {
  const TWebCopyItem& item = UpdateFiles.Items[idx];
  Package unlisted;
  Package& p = static_cast<std::size_t>(idx) < packages_.size() ? packages_[idx] : unlisted;
  p.done = true;
  p.problem = transferError_;
  const std::string packageName = &p == &unlisted ? item.TargetFilename : Names[p.entry] + ".cab";
  if (!item.Success && transferCode_ == TransferError::kTooLong) {
    // Only an item with a signed size has a limit; the transfer has deleted what came.
    p.refused = true;
    ReportRefusal("The package " + Printable(packageName) + " was refused: it is longer than the " +
                  std::to_string(item.MaxSize) +
                  " bytes the signature states, and its download was stopped there. The package was deleted "
                  "unopened; the file was left unchanged.");
    return;
  }
  // Only a package that this run's transfer put there is unpacked and deleted, whether
  // the unpacking succeeds or not. A failed transfer leaves the path as it found it,
  // and a file that was there before is not ours to unpack or delete.
  const std::string path = item.TargetDir + item.TargetFilename;
  const bool written = item.Success || !p.foundBefore;
  if (!written || !FileExists(path)) return;
  if (Release.Enabled()) {
    const std::string why = Release.CheckPackage(&p == &unlisted ? std::string() : packageName, path);
    if (!why.empty()) {
      // Deleted unopened: nothing of a package that fails its check is unpacked.
      plat::files().DeleteFileA(path);
      p.problem = "its package was refused: " + why;
      p.refused = true;
      ReportRefusal("The package " + Printable(packageName) + " was refused: " + why +
                    ". The package was deleted unopened; the file was left unchanged.");
      return;
    }
  }
  CAB.CABFile = path;
  CAB.ReadContents();
  CAB.TargetPath = AppDir;
  unpacking_ = &p == &unlisted ? nullptr : &p;
  struct Reset {
    Package*& current;
    ~Reset() { current = nullptr; }
  } reset{unpacking_};
  if (!CAB.ExtractAll() && p.problem.empty()) p.problem = "its package could not be unpacked";
  plat::files().DeleteFileA(path);  // a failure is ignored
}

void TMainForm::CABOverWriteFile(TObject*, const std::string&, bool& Allow) { Allow = true; }

void TMainForm::CABVerifyFile(TObject*, const std::string& FileName, const std::string& TempFile, bool& Allow) {
  const std::string* checksum = ListedChecksum(FileName);
  if (!checksum) return;  // nothing to compare it with
  std::uint32_t crc = 0;
  if (LowerCaseAscii(*checksum) == LowerCaseAscii(FileCRC32(TempFile, crc))) return;
  // Neither old nor new: the file stays as it was, and the package is fetched anew
  // by the next run (it is deleted below, and its download was complete).
  Allow = false;
  if (unpacking_ && unpacking_->problem.empty())
    unpacking_->problem = "its package brought " + Printable(FileName) +
                          " with another checksum than the manifest lists, and it was not installed";
}

const std::string* TMainForm::ListedChecksum(const std::string& cabinetName) const {
  // Either separator separates, and on Windows letter case does not matter: a
  // name that matches in letter case is looked for first, then one that does not.
  const auto canonical = [](std::string name, bool fold) {
    for (char& c : name)
      if (c == '/') c = '\\';
    return fold ? LowerCaseAscii(std::move(name)) : name;
  };
  for (const bool fold : {false, true}) {
    const std::string wanted = canonical(cabinetName, fold);
    // The entry being installed comes first: of a name listed twice, its checksum counts.
    if (unpacking_ && canonical(Names[unpacking_->entry], fold) == wanted) return &Checksums[unpacking_->entry];
    for (std::size_t i = 0; i < Names.size(); ++i)
      if (canonical(Names[i], fold) == wanted) return &Checksums[i];
  }
  return nullptr;
}

void TMainForm::UpdateFilesCopyOverWrite(TObject*, const std::string&, bool& allow) { allow = true; }

void TMainForm::UpdateFilesCopyCancel(TObject*) {
  // The run goes on with clean-up, launch and termination as after a completed transfer.
}

}  // namespace nolt
