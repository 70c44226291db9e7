// The headless view: windows exist only as models, nothing is drawn, message boxes
// go to standard error and modal dialogs answer Cancel at once. An error box
// (kMbIconError) ends the message loop after its line: nobody could close the window
// that it would leave open. Used on Linux when
// there is no display; portable, so the message-loop contract is the same everywhere.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/Ui.h"

namespace plat {

class HeadlessUi : public Ui {
 public:
  bool HasDisplay() override { return false; }
  // The classic caption height at 96 dots per inch.
  int CaptionBarHeight() override { return 18; }
  void InitializeApplication() override {}
  void SetApplicationTitle(const std::string& title) override { title_ = title; }
  std::string ApplicationTitle() override { return title_; }

  WindowId CreateWindowFromModel(WindowModel* model, WindowEvents events) override;
  void SyncWindow(WindowId id) override;
  void DestroyWindow(WindowId id) override;
  int ShowModal(WindowId id) override;
  void EndModal(WindowId id, int result) override;

  void RunMessageLoop() override;
  void Terminate() override;
  bool Terminated() override;
  void ProcessMessages() override;
  void PostToMainThread(std::function<void()> fn) override;
  void WaitForMessage(std::uint32_t timeoutMs) override;

  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override;

 private:
  struct Window {
    WindowModel* model;
    WindowEvents events;
    bool shown;
  };
  bool RunOnePosted();

  std::string title_;
  std::map<WindowId, Window> windows_;
  WindowId nextId_ = 1;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;
  bool terminated_ = false;
};

}  // namespace plat
