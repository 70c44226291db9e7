// The progress dialog of a TWebCopy run: built in code at fixed coordinates at the
// start of every run, updated by the transfer routines after every block, and ended
// (closed, or left open with Close and the open buttons) by the run loop.
#pragma once

#include <cstdint>
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
  std::string Caption() const {
    Settle();
    return model_.caption;
  }
  void SetFileLine(const std::string& text);
  std::string FileLine() const;
  void SetProgressLine(const std::string& text);
  void SetRateLine(const std::string& text);
  void SetTimeLine(const std::string& text);
  void SetProgressPosition(int position);
  int ProgressPosition() const;
  // The numbers of a transferred block. They become the progress line, and (with
  // the elapsed time) the rate and time lines and the completion caption, only when
  // the model is read or synced: formatting them for every 4 KiB block cost about a
  // tenth of the CPU time of a fast download. Any read of the model sees them as if
  // they had been written at once.
  void DeferProgressLine(std::uint32_t done, std::uint32_t total) { DeferProgressLine(done, total, total != 0); }
  // The same, with "of" and the total shown even when the total is 0 (the file copy).
  void DeferProgressLine(std::uint32_t done, std::uint32_t total, bool withTotal);
  void DeferStatusLines(std::uint32_t done, std::uint32_t total, std::uint32_t elapsedMs, const std::string& action);

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
  const plat::WindowModel& Model() const {
    Settle();
    return model_;
  }
  plat::WindowModel& Model() {
    Settle();
    return model_;
  }
  bool Visible() const { return model_.visible; }

 private:
  // Writes the deferred lines into the model.
  void Settle() const;

  // The block numbers not yet written into the lines.
  struct Deferred {
    bool progressLine = false;
    std::uint32_t done = 0;
    std::uint32_t total = 0;
    bool withTotal = false;
    bool statusLines = false;
    std::uint32_t statusDone = 0;
    std::uint32_t statusTotal = 0;
    std::uint32_t elapsedMs = 0;
    int position = 0;
    std::string action;
    // The formatted total, which rarely changes within a transfer.
    std::uint32_t formattedTotal = 0;
    std::string totalText;
  };

  TWebCopy& owner_;
  mutable plat::WindowModel model_;
  mutable Deferred deferred_;
  plat::WindowId window_ = plat::kNoWindow;
};

}  // namespace nolt
