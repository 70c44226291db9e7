// Runs the main thread's posted calls until a condition holds.
#pragma once

#include <chrono>
#include <functional>

#include "platform/Ui.h"

namespace nolt::test {

// Processes posted calls until done() holds. Gives up after a minute, so that a
// notification that never comes fails the test instead of hanging it.
inline bool PumpUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    plat::ui().ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    plat::ui().WaitForMessage(50);
  }
}

}  // namespace nolt::test
