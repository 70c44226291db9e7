// The progress dialog of a TWebCopy run: built in code at fixed coordinates at the
// start of every run, updated by the transfer routines after every block, and ended
// (closed, or left open with Close and the open buttons) by the run loop.
#pragma once

#include <string>

#include "platform/Ui.h"

namespace nolt {

class TWebCopy;

class TWcProgressDialog {
 public:
  // BuildDialog: creates the window and its controls from the component's settings.
  explicit TWcProgressDialog(TWebCopy& owner);
  ~TWcProgressDialog();
  TWcProgressDialog(const TWcProgressDialog&) = delete;
  TWcProgressDialog& operator=(const TWcProgressDialog&) = delete;

  // The elements the run loop and the routines write. Each setter updates the model;
  // Sync() hands the model to the view.
  void SetCaption(const std::string& caption);
  std::string Caption() const { return model_.caption; }
  void SetFileLine(const std::string& text);
  std::string FileLine() const;
  void SetProgressLine(const std::string& text);
  void SetRateLine(const std::string& text);
  void SetTimeLine(const std::string& text);
  void SetProgressPosition(int position);
  int ProgressPosition() const;
  // Selects an animation clip (257, 258 or plat::kAviCopyFiles) and plays it.
  void PlayClip(int resource);
  void Sync();

  // End of a run that leaves the dialog open: Close caption, animation stopped,
  // open buttons enabled unless the run was cancelled.
  void KeepOpenAfterRun(bool cancelled);

  // The button handlers.
  void CancelClick();
  void OpenFileClick();
  void OpenFolderClick();

  // The window model, for views and tests.
  const plat::WindowModel& Model() const { return model_; }
  plat::WindowModel& Model() { return model_; }
  bool Visible() const { return model_.visible; }

 private:
  TWebCopy& owner_;
  plat::WindowModel model_;
  plat::WindowId window_ = plat::kNoWindow;
};

}  // namespace nolt
