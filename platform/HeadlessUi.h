// The headless view: windows exist only as models, nothing is drawn, message boxes
// go to standard error and modal dialogs answer Cancel at once. An error box
// (kMbIconError) ends the message loop after its line: nobody could close the window
// that it would leave open. Used on Linux when
// there is no display; portable, so the message-loop contract is the same everywhere.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/UiViewBase.h"

namespace plat {

class HeadlessUi : public UiViewBase {
 public:
  bool HasDisplay() override { return false; }
  // The classic caption height at 96 dots per inch.
  int CaptionBarHeight() override { return 18; }
  void InitializeApplication() override {}

  int ShowModal(WindowId) override { return kIdCancel; }

  void RunMessageLoop() override;
  void ProcessMessages() override;
  void WaitForMessage(std::uint32_t timeoutMs) override;

  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override;

 protected:
  void WakeForPostedCalls() override;
  // Nobody answers a modal window here; ShowModal never pumps.
  bool PumpModal() override { return false; }

 private:
  std::mutex waitMutex_;
  std::condition_variable wake_;
};

}  // namespace plat
