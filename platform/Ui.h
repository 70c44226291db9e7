// User-interface seam: the application object, its message loop, windows drawn from
// portable models, modal dialogs, message boxes, and calls posted from other threads
// to the main thread. Components write to a WindowModel and ask the view to sync it;
// tests read the model. Views: Win32 controls, FLTK widgets, and a headless view on
// Linux when there is no display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Seam.h"

namespace plat {

enum class ControlKind { Label, Button, ProgressBar, Animation, Edit, PasswordEdit, Image };

struct Control {
  ControlKind kind = ControlKind::Label;
  std::string name;
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::string text;
  bool visible = true;
  bool enabled = true;
  int position = 0;        // progress bar
  int resource = 0;        // animation clip or image resource number
  bool playing = false;    // animation
  bool isDefault = false;  // button pressed by Enter
  bool isCancel = false;   // button pressed by Esc
  bool autoSize = false;   // label sized to its text (width and height ignored)
  bool accelChar = false;  // label: "&x" underlines x, the access key that focuses the next control
  int modalResult = 0;     // button: a click ends a modal window with this result (after onClick)
};

// Resources of the program, by number. The clips are AVI resources (8-bit RLE,
// 272 x 60), the banner a 320 x 60 bitmap with a 256-colour palette.
inline constexpr int kAviDownload = 257;
inline constexpr int kAviUpload = 258;
// A control of the given kind, place and text; the other fields keep their defaults.
inline Control MakeControl(ControlKind kind, const char* name, int left, int top, int width, int height,
                           const std::string& text) {
  Control c;
  c.kind = kind;
  c.name = name;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.text = text;
  return c;
}

// The system's copy-files clip, as an animation resource number. Where the system
// has none (Linux, or a shell library without it), the view plays kAviOwnCopyFiles.
inline constexpr int kAviCopyFiles = -1;
inline constexpr int kAviOwnCopyFiles = 259;
inline constexpr int kBannerBitmap = 300;

enum class BorderStyle {
  Single,    // fixed single border with caption and system menu, not resizable
  Dialog,    // dialog frame with a caption and no title-bar buttons
  Sizeable,  // resizable frame with a caption and only the system menu (the close box)
};

// A window and its controls. Sizes, positions and the font are given for 96 dots per
// inch; a view that draws at another DPI scales them (Win32: by each window's DPI).
struct WindowModel {
  std::string name;
  std::string caption;
  int clientWidth = 0;
  int clientHeight = 0;
  // When not 0, the outer size of the window frame, which then wins over the client size.
  int outerWidth = 0;
  int outerHeight = 0;
  bool centred = true;     // centred on the desktop; else left/top are used
  int left = 0;
  int top = 0;
  BorderStyle border = BorderStyle::Single;
  // Font of the window and its controls; the views map it to the nearest they have.
  std::string fontName = "MS Sans Serif";
  int fontHeight = -11;
  bool topmost = false;  // made topmost (SetWindowPos(HWND_TOPMOST, ...)) when shown
  bool visible = false;
  std::vector<Control> controls;

  Control* Find(const std::string& controlName) {
    for (auto& c : controls)
      if (c.name == controlName) return &c;
    return nullptr;
  }
};

using WindowId = std::intptr_t;
inline constexpr WindowId kNoWindow = 0;

struct WindowEvents {
  std::function<void(const std::string& control)> onClick;  // a button was pressed
  std::function<void()> onShow;                              // the window became visible (fires from the loop)
  // The user closed the window (close box, Alt+F4). Without a handler a modeless
  // window hides itself; a modal window always ends with kIdCancel.
  std::function<void()> onClose;
};

// MessageBoxA styles and results used by the components.
inline constexpr std::uint32_t kMbOk = 0x0;
inline constexpr std::uint32_t kMbIconError = 0x10;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

class Ui {
 public:
  virtual ~Ui() = default;

  // Whether windows are really shown (false for the headless view).
  virtual bool HasDisplay() = 0;
  // Height of a window's caption bar in pixels at 96 dpi, the scale of the models
  // (GetSystemMetrics(SM_CYCAPTION) at 96 dpi).
  virtual int CaptionBarHeight() = 0;

  virtual void InitializeApplication() = 0;
  virtual void SetApplicationTitle(const std::string& title) = 0;
  virtual std::string ApplicationTitle() = 0;

  // Creates the window of a model (shown when model.visible). The view keeps the
  // pointer and reads the model again on every SyncWindow; it writes what the user
  // types into edit controls back into the model before any event is delivered.
  virtual WindowId CreateWindowFromModel(WindowModel* model, WindowEvents events) = 0;
  virtual void SyncWindow(WindowId id) = 0;
  virtual void DestroyWindow(WindowId id) = 0;
  // Shows the window modally and returns the result given to EndModal (or by a
  // button's modalResult; kIdCancel when the user closes it). Every other window of
  // the program is disabled meanwhile; posted calls still run. The window is hidden
  // again on return. The headless view answers kIdCancel at once.
  virtual int ShowModal(WindowId id) = 0;
  virtual void EndModal(WindowId id, int result) = 0;

  // Runs the message loop until Terminate; the main form's onShow fires inside it.
  virtual void RunMessageLoop() = 0;
  // Asks the loop to end once the current handler has returned.
  virtual void Terminate() = 0;
  virtual bool Terminated() = 0;
  // Handles every pending message and posted call, then returns at once.
  virtual void ProcessMessages() = 0;
  // Queues fn to run on the main thread inside the message loop or ProcessMessages.
  // Safe to call from any thread.
  virtual void PostToMainThread(std::function<void()> fn) = 0;
  // Waits until a message or posted call arrives, or timeoutMs passes.
  virtual void WaitForMessage(std::uint32_t timeoutMs) = 0;

  virtual int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) = 0;
};

inline Ui& ui() { return Use<Ui>(); }

// The program's resources for views that cannot read them from the executable (FLTK):
// the generated resource data registers each blob when the program starts.
struct ResourceBlob {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};
void RegisterProgramResource(const std::string& type, int id, ResourceBlob blob);
// The registered blob, or an empty one.
ResourceBlob FindProgramResource(const std::string& type, int id);

}  // namespace plat
