// What every view of the user-interface seam does alike, written once: the windows it
// keeps for their models, the queue of calls posted to the main thread, showing and
// hiding a window as its model asks, and what a click, the close box and the end of a
// modal loop do. A view adds only its own primitives: building, drawing and tearing
// down a window, waking its loop, and pumping its messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Ui.h"

namespace plat {

class UiViewBase : public Ui {
 public:
  void SetApplicationTitle(const std::string& title) override { title_ = title; }
  std::string ApplicationTitle() override { return title_; }

  WindowId CreateWindowFromModel(WindowModel* model, WindowEvents events) override;
  void SyncWindow(WindowId id) override;
  void DestroyWindow(WindowId id) override;
  int ShowModal(WindowId id) override;
  void EndModal(WindowId id, int result) override;

  void Terminate() override;
  bool Terminated() override { return terminated_; }
  void PostToMainThread(std::function<void()> fn) override;

 protected:
  // What the base keeps of a window; a view derives its own record with what it draws.
  struct ViewWindow {
    virtual ~ViewWindow() = default;
    WindowModel* model = nullptr;
    WindowEvents events;
    bool shown = false;   // shown by the view now
    bool modal = false;   // inside ShowModal
    int modalResult = 0;  // how the modal loop ends; 0 while it runs
  };
  using WindowMap = std::map<WindowId, std::unique_ptr<ViewWindow>>;

  // Primitives of a view; the window primitives run on the main thread.
  virtual std::unique_ptr<ViewWindow> NewWindow() { return std::make_unique<ViewWindow>(); }
  // Builds the window and its controls once the record is registered under id.
  virtual void BuildWindow(WindowId, ViewWindow&) {}
  // Brings caption and controls up to the model, before it is shown or hidden.
  virtual void DrawWindow(ViewWindow&) {}
  virtual void ShowNativeWindow(ViewWindow&) {}
  virtual void HideNativeWindow(ViewWindow&) {}
  // Tears the window down; its record has already left the map.
  virtual void DestroyNativeWindow(ViewWindow&) {}
  // Makes the thread that waits for messages handle the posted calls (any thread);
  // called once for a batch of posts, until the view calls WakeConsumed.
  virtual void WakeForPostedCalls() = 0;
  // Makes that thread return from its wait (any thread): Terminate and EndModal.
  virtual void WakeLoop() { WakeForPostedCalls(); }
  // Waits for and handles the next messages of a modal loop; false when the
  // application is quitting and the modal loop has to end at once.
  virtual bool PumpModal() = 0;

  ViewWindow* FindRecord(WindowId id);
  const WindowMap& Windows() const { return windows_; }

  // The user's acts, as the view receives them: a click on a control (only an
  // enabled, visible button has an effect) and the close box (or Alt+F4).
  void Click(WindowId id, std::size_t index);
  void UserClose(WindowId id);

  // The posted calls. A pump runs only those pending when it starts, so a call
  // that posts again waits for the next pump and a pump always returns.
  std::size_t PendingCalls();
  void RunPosted(std::size_t count);
  // Runs the calls pending now, after a wake-up.
  void RunPendingCalls();
  // The wake-up has arrived: the next post signals again.
  void WakeConsumed() { wakePending_ = false; }
  // Signals again when calls are still waiting after a pump.
  void WakeIfPending();
  void SetTerminated() { terminated_ = true; }

 private:
  void Wake();

  std::string title_;
  WindowMap windows_;
  WindowId nextId_ = 1;
  std::atomic<bool> terminated_{false};  // Terminate may come from another thread

  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  std::atomic<bool> wakePending_{false};
};

}  // namespace plat
