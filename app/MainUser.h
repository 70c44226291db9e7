// The main form: a small captioned window whose show handler runs the whole update.
#pragma once

#include <string>
#include <vector>

#include "cabfiles/cabfiles.h"
#include "core/Component.h"
#include "platform/Ui.h"
#include "runner/Runner.h"
#include "webcopy/WebCopy.h"

namespace nolt {

extern const char* const kManifestName;      // "nolt-patch-updater.txt"
extern const char* const kStalePatchName;    // "noltpatch.exe"
extern const char* const kApplicationName;   // "pomr.exe"
extern const char* const kApplicationTitle;  // "NOLT-Patch-Setup"

class TMainForm : public TComponent {
 public:
  // Creates the form and its components from the form description, then FormCreate.
  explicit TMainForm(const std::string& description);
  ~TMainForm() override;

  // Makes the window visible; the message loop then fires FormShow.
  void Show();

  void FormCreate(TObject* Sender);
  void FormShow(TObject* Sender);
  void UpdateFilesCopyOverWrite(TObject* Sender, const std::string& tgtfile, bool& allow);
  void UpdateFilesCopyCancel(TObject* Sender);
  void UpdateFilesFileDone(TObject* Sender, int idx);
  void CABOverWriteFile(TObject* Sender, const std::string& FileName, bool& Allow);

  // The steps of FormShow, in order.
  void DownloadManifest();
  void ReadManifestEntries();
  void QueuePackages();
  void RunPackages();
  void CleanUp();
  void LaunchApplication();

  TWebCopy WebCopyMain{this};
  TWebCopy UpdateFiles{this};
  TCABFile CAB{this};
  TRunner Runner1{this};

  std::string AppDir;
  std::string DownloadBaseURL;  // NOLT_DOWNLOAD_BASE_URL, fixed when the program is built
  std::vector<std::string> Names;
  std::vector<std::string> Checksums;

  plat::WindowModel& Window() { return window_; }

 private:
  // Runs a handler as the message loop does: an error that escapes it is shown in
  // a box titled with the application title, and the program goes on.
  void Guarded(void (TMainForm::*handler)(TObject*));

  plat::WindowModel window_;
  plat::WindowId windowId_ = plat::kNoWindow;
};

}  // namespace nolt
