#include "platform/HeadlessUi.h"

#include <chrono>
#include <cstdio>

namespace plat {

WindowId HeadlessUi::CreateWindowFromModel(WindowModel* model, WindowEvents events) {
  WindowId id = nextId_++;
  windows_[id] = Window{model, std::move(events), false};
  SyncWindow(id);
  return id;
}

void HeadlessUi::SyncWindow(WindowId id) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  Window& w = it->second;
  if (w.model->visible && !w.shown) {
    w.shown = true;
    // onShow fires from the message loop, as a real window's show message does.
    if (w.events.onShow) PostToMainThread([this, id] {
        auto found = windows_.find(id);
        if (found != windows_.end() && found->second.events.onShow) found->second.events.onShow();
      });
  } else if (!w.model->visible) {
    w.shown = false;
  }
}

void HeadlessUi::DestroyWindow(WindowId id) { windows_.erase(id); }

int HeadlessUi::ShowModal(WindowId) { return kIdCancel; }

void HeadlessUi::EndModal(WindowId, int) {}

bool HeadlessUi::RunOnePosted() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (posted_.empty()) return false;
    fn = std::move(posted_.front());
    posted_.pop_front();
  }
  fn();
  return true;
}

void HeadlessUi::RunMessageLoop() {
  while (!Terminated()) {
    if (!RunOnePosted()) WaitForMessage(1000);
  }
}

void HeadlessUi::Terminate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    terminated_ = true;
  }
  wake_.notify_all();
}

bool HeadlessUi::Terminated() {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminated_;
}

void HeadlessUi::ProcessMessages() {
  // Only the calls pending now: a call that posts again waits for the next pump.
  std::size_t n;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    n = posted_.size();
  }
  while (n-- > 0 && RunOnePosted()) {
  }
}

void HeadlessUi::PostToMainThread(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(fn));
  }
  wake_.notify_all();
}

void HeadlessUi::WaitForMessage(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !posted_.empty() || terminated_; });
}

int HeadlessUi::MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
  // An error box would keep the program open until the user closed its window, and
  // nobody can close one here: the message has been written, so the loop ends once
  // the current handler returns.
  if (type & kMbIconError) Terminate();
  return kIdOk;
}

}  // namespace plat
