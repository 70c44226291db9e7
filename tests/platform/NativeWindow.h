// What the system shows of a window of this process, looked up by its caption, and
// the user's close box, for the tests of the real views: Win32 on Windows, X11 on
// Linux. Other programs share the display during a test run (the updater itself may
// show a window of the same caption), so only this process's windows count.
#pragma once

#include <string>

namespace nolt::test {

struct NativeWindow {
  bool found = false;
  int clientWidth = 0, clientHeight = 0;
  int clientLeft = 0, clientTop = 0;  // screen position of the client area
  int screenWidth = 0, screenHeight = 0;
  bool resizable = true;  // Windows only: a sizing frame
  bool enabled = true;    // Windows only: takes input
};

// Waits a few seconds for the window to appear, as a user waits to see it.
NativeWindow InspectWindow(const std::string& caption);
// Asks the window to close as its close box does (WM_CLOSE; WM_DELETE_WINDOW on X11).
// False when this process shows no window of that caption.
bool SendCloseBox(const std::string& caption);

}  // namespace nolt::test
