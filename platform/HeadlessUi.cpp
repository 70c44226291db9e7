#include "platform/HeadlessUi.h"

#include <chrono>
#include <cstdio>

namespace plat {

void HeadlessUi::RunMessageLoop() {
  // One call at a time, so that the loop ends right after the call that terminates it.
  while (!Terminated()) {
    if (PendingCalls() > 0)
      RunPosted(1);
    else
      WaitForMessage(1000);
  }
}

void HeadlessUi::ProcessMessages() {
  // Only the calls pending now: a call that posts again waits for the next pump.
  RunPendingCalls();
}

void HeadlessUi::WaitForMessage(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(waitMutex_);
  // From here on every post notifies; one that came before is seen by the predicate.
  WakeConsumed();
  wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return PendingCalls() > 0 || Terminated(); });
}

void HeadlessUi::WakeForPostedCalls() {
  // Under the waiter's lock, so that the notification cannot fall between its test
  // and its sleep.
  std::lock_guard<std::mutex> lock(waitMutex_);
  wake_.notify_all();
}

int HeadlessUi::MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) {
  // The line names the program, also for a box with a caption of its own ("Error").
  const std::string title = ApplicationTitle();
  if (!title.empty() && caption != title)
    std::fprintf(stderr, "%s: %s: %s\n", title.c_str(), caption.c_str(), text.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
  // An error box would keep the program open until the user closed its window, and
  // nobody can close one here: the message has been written, so the loop ends once
  // the current handler returns.
  if (type & kMbIconError) Terminate();
  return kIdOk;
}

}  // namespace plat
