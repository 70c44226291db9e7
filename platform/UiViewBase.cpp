#include "platform/UiViewBase.h"

#include <utility>

namespace plat {

UiViewBase::ViewWindow* UiViewBase::FindRecord(WindowId id) {
  auto it = windows_.find(id);
  return it == windows_.end() ? nullptr : it->second.get();
}

WindowId UiViewBase::CreateWindowFromModel(WindowModel* model, WindowEvents events) {
  const WindowId id = nextId_++;
  std::unique_ptr<ViewWindow> owned = NewWindow();
  ViewWindow& w = *owned;
  w.model = model;
  w.events = std::move(events);
  // Registered first: messages that arrive while the window is built find it.
  windows_[id] = std::move(owned);
  BuildWindow(id, w);
  SyncWindow(id);
  return id;
}

void UiViewBase::SyncWindow(WindowId id) {
  ViewWindow* w = FindRecord(id);
  if (!w) return;
  DrawWindow(*w);
  if (w->model->visible && !w->shown) {
    w->shown = true;
    ShowNativeWindow(*w);
    // onShow fires from the message loop once the window is on screen, as a real
    // window's show message does.
    if (w->events.onShow)
      PostToMainThread([this, id] {
        ViewWindow* again = FindRecord(id);
        if (again && again->events.onShow) again->events.onShow();
      });
  } else if (!w->model->visible && w->shown) {
    w->shown = false;
    HideNativeWindow(*w);
  }
}

void UiViewBase::DestroyWindow(WindowId id) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  std::unique_ptr<ViewWindow> w = std::move(it->second);
  windows_.erase(it);
  DestroyNativeWindow(*w);
}

int UiViewBase::ShowModal(WindowId id) {
  ViewWindow* w = FindRecord(id);
  if (!w) return kIdCancel;
  w->modal = true;
  w->modalResult = 0;
  w->model->visible = true;
  SyncWindow(id);
  int result = kIdCancel;
  for (;;) {
    w = FindRecord(id);
    if (!w) break;  // destroyed while modal: counts as cancelled
    if (w->modalResult != 0) {
      result = w->modalResult;
      break;
    }
    if (!PumpModal()) break;
  }
  if ((w = FindRecord(id)) != nullptr) {
    w->modal = false;
    w->model->visible = false;
    SyncWindow(id);
  }
  return result;
}

void UiViewBase::EndModal(WindowId id, int result) {
  if (ViewWindow* w = FindRecord(id)) {
    w->modalResult = result == 0 ? kIdCancel : result;
    WakeLoop();
  }
}

void UiViewBase::Click(WindowId id, std::size_t index) {
  ViewWindow* w = FindRecord(id);
  if (!w || index >= w->model->controls.size()) return;
  const Control& c = w->model->controls[index];
  // Only buttons are clicked; the model may have disabled or hidden one since the
  // user pressed it.
  if (c.kind != ControlKind::Button || !c.enabled || !c.visible) return;
  const std::string name = c.name;
  const int modalResult = c.modalResult;
  if (w->events.onClick) {
    auto onClick = w->events.onClick;  // the handler may destroy the window
    onClick(name);
  }
  if (modalResult != 0)
    if (ViewWindow* again = FindRecord(id); again && again->modal) again->modalResult = modalResult;
}

void UiViewBase::UserClose(WindowId id) {
  ViewWindow* w = FindRecord(id);
  if (!w) return;
  if (w->events.onClose) {
    auto onClose = w->events.onClose;  // the handler may destroy the window
    onClose();
    w = FindRecord(id);
    if (w && w->modal && w->modalResult == 0) w->modalResult = kIdCancel;
    return;
  }
  if (w->modal) {
    w->modalResult = kIdCancel;
  } else {
    w->model->visible = false;
    SyncWindow(id);
  }
}

void UiViewBase::Terminate() {
  terminated_ = true;
  WakeLoop();
}

void UiViewBase::PostToMainThread(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(fn));
  }
  Wake();
}

std::size_t UiViewBase::PendingCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_.size();
}

void UiViewBase::RunPosted(std::size_t count) {
  while (count-- > 0) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (posted_.empty()) return;
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
  }
}

void UiViewBase::RunPendingCalls() {
  WakeConsumed();
  RunPosted(PendingCalls());
}

void UiViewBase::WakeIfPending() {
  if (PendingCalls() > 0) Wake();
}

void UiViewBase::Wake() {
  // One wake-up on its way at a time, so that a flood of posts never fills the
  // view's queue or pipe.
  if (!wakePending_.exchange(true)) WakeForPostedCalls();
}

}  // namespace plat
