#include "tests/ui/NativeWindow.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

namespace nolt::test {

#ifdef _WIN32

NativeWindow InspectWindow(const std::string& caption) {
  NativeWindow n;
  HWND h = ::FindWindowA(nullptr, caption.c_str());
  if (!h) return n;
  n.found = true;
  RECT r;
  ::GetClientRect(h, &r);
  n.clientWidth = r.right;
  n.clientHeight = r.bottom;
  POINT p{0, 0};
  ::ClientToScreen(h, &p);
  n.clientLeft = p.x;
  n.clientTop = p.y;
  n.screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
  n.screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
  n.resizable = (::GetWindowLongA(h, GWL_STYLE) & WS_THICKFRAME) != 0;
  n.enabled = ::IsWindowEnabled(h) != 0;
  return n;
}

bool SendCloseBox(const std::string& caption) {
  HWND h = ::FindWindowA(nullptr, caption.c_str());
  return h && ::PostMessageA(h, WM_CLOSE, 0, 0);
}

#else

namespace {

::Window FindByName(Display* d, ::Window w, const std::string& name) {
  char* title = nullptr;
  if (XFetchName(d, w, &title) && title) {
    const bool match = name == title;
    XFree(title);
    if (match) return w;
  }
  ::Window root, parent, *children = nullptr;
  unsigned n = 0;
  ::Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned i = 0; i < n && !found; ++i) found = FindByName(d, children[i], name);
    if (children) XFree(children);
  }
  return found;
}

}  // namespace

NativeWindow InspectWindow(const std::string& caption) {
  NativeWindow n;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return n;
  if (::Window w = FindByName(d, DefaultRootWindow(d), caption)) {
    XWindowAttributes a;
    XGetWindowAttributes(d, w, &a);
    n.found = true;
    n.clientWidth = a.width;
    n.clientHeight = a.height;
    ::Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &n.clientLeft, &n.clientTop, &child);
    n.screenWidth = DisplayWidth(d, DefaultScreen(d));
    n.screenHeight = DisplayHeight(d, DefaultScreen(d));
    XSizeHints hints;
    long supplied = 0;
    if (XGetWMNormalHints(d, w, &hints, &supplied) && (hints.flags & PMinSize) && (hints.flags & PMaxSize))
      n.resizable = hints.min_width != hints.max_width || hints.min_height != hints.max_height;
  }
  XCloseDisplay(d);
  return n;
}

bool SendCloseBox(const std::string& caption) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  const ::Window w = FindByName(d, DefaultRootWindow(d), caption);
  if (w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
  }
  XCloseDisplay(d);
  return w != 0;
}

#endif

}  // namespace nolt::test
