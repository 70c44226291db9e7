// Linux user interface: the FLTK view on an X display, the headless view without one.
#include <X11/Xlib.h>

#include <cstdlib>
#include <memory>

#include "platform/HeadlessUi.h"
#include "platform/posix/ui/FltkUi.h"

namespace plat {
namespace {

std::unique_ptr<Ui> ChooseView() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((display && *display) || (wayland && *wayland)) {
    // FLTK ends the program when it cannot open its display; ask X first.
    if (Display* d = ::XOpenDisplay(nullptr)) return MakeFltkUi(d);
  }
  return std::make_unique<HeadlessUi>();
}

}  // namespace

// The view is chosen when the seam is first used.
template <> Ui& SystemInstance<Ui>() {
  static Ui* instance = ChooseView().release();
  return *instance;
}

}  // namespace plat
