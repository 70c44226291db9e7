// The main form: a small captioned window whose show handler runs the whole update.
#pragma once

#include <string>
#include <vector>

#include "app/ReleaseCheck.h"
#include "app/RunLock.h"
#include "cabfiles/CABFile.h"
#include "core/Component.h"
#include "platform/Ui.h"
#include "runner/Runner.h"
#include "webcopy/WebCopy.h"

namespace nolt {

extern const char* const kStalePatchName;    // "noltpatch.exe"
extern const char* const kApplicationName;   // "pomr.exe"
extern const char* const kApplicationTitle;  // "NOLT-Patch-Setup"

class TMainForm : public TComponent {
 public:
  // Creates the form and its components from the form description, then FormCreate.
  // releaseKey: the text of the vendor's public key file, or empty for an updater that
  // takes releases unsigned.
  explicit TMainForm(const std::string& description, const std::string& releaseKey = "");
  ~TMainForm() override;

  // Makes the window visible; the message loop then fires FormShow.
  void Show();

  void FormCreate(TObject* Sender);
  void FormShow(TObject* Sender);
  void UpdateFilesCopyOverWrite(TObject* Sender, const std::string& tgtfile, bool& allow);
  void UpdateFilesCopyCancel(TObject* Sender);
  void UpdateFilesFileDone(TObject* Sender, int idx);
  void UpdateFilesFileStart(TObject* Sender, int idx);
  void CABOverWriteFile(TObject* Sender, const std::string& FileName, bool& Allow);
  // Not part of the description: a file unpacked from a package is installed only
  // when it has the manifest's checksum.
  void CABVerifyFile(TObject* Sender, const std::string& FileName, const std::string& TempFile, bool& Allow);

  // The steps of FormShow, in order. WaitForRunLock waits while another run of this
  // installation holds its lock, and is false when the window was closed meanwhile.
  // DownloadManifest is true when the manifest may
  // be read: always without a release key; with one, only when the signature file
  // was accepted and the manifest is the one it signs.
  bool WaitForRunLock();
  bool DownloadManifest();
  void ReadManifestEntries();
  void QueuePackages();
  void RunPackages();
  void CheckInstallation();
  void CleanUp();
  void LaunchApplication();

  TWebCopy WebCopyMain{this};
  TWebCopy UpdateFiles{this};
  TCABFile CAB{this};
  TRunner Runner1{this};

  std::string AppDir;
  // Fixed when the program is built (NOLT_DOWNLOAD_BASE_URL): the manifest item's URL
  // in the form description without the manifest's name.
  std::string DownloadBaseURL;
  ReleaseCheck Release;         // NOLT_RELEASE_PUBLIC_KEY, fixed when the program is built
  std::vector<std::string> Names;
  std::vector<std::string> Checksums;

  // What failed in this run, one line each, in order. The program's exit status is
  // 0 when nothing did, that is when the installation matches the manifest at the
  // end of the run, else 1.
  std::vector<std::string> Failures;
  int ExitStatus() const { return Failures.empty() ? 0 : 1; }

  plat::WindowModel& Window() { return window_; }

 private:
  // Runs a handler as the message loop does: an error that escapes it is shown in
  // a box titled with the application title, and the program goes on.
  void Guarded(void (TMainForm::*handler)(TObject*));
  // Records a failure that nothing has shown: with a window it stays silent, as the
  // run always did, and only the exit status tells; without one it is a line on
  // standard error, where the headless view writes its message boxes.
  void ReportFailure(const std::string& text);
  // A refusal of the release check: an error box with a display, a line without one;
  // the run goes on either way, with what was verified.
  void ReportRefusal(const std::string& text);
  // Runs item idx of WebCopyMain alone; the error it failed with, or "".
  std::string Fetch(int idx);
  // The signature file of a signed release, then the manifest it signs.
  bool DownloadSignedManifest();
  // The manifest's checksum for a file that a package brings, stored as named in
  // the cabinet; null when the manifest lists no such file.
  const std::string* ListedChecksum(const std::string& cabinetName) const;

  // A queued package: its manifest entry, whether a file was at its path before its
  // transfer began, whether its transfer ended (OnFileDone), and why it failed.
  struct Package {
    std::size_t entry = 0;
    bool foundBefore = false;
    bool done = false;
    bool refused = false;  // by the release check, which has reported it
    std::string problem;
  };
  std::vector<Package> packages_;  // one per item of UpdateFiles
  Package* unpacking_ = nullptr;   // the package being unpacked
  RunLock runLock_;                // held from the start of FormShow to the end of the program
  bool stagingUsable_ = true;      // the staging folder is absent or a folder of ours
  std::string transferError_;      // the last error a transfer reported
  int transferCode_ = 0;           // and its code
  plat::WindowModel window_;
  plat::WindowId windowId_ = plat::kNoWindow;
};

}  // namespace nolt
