#include "tests/platform/NativeWindow.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>
#endif

namespace nolt::test {
namespace {

// Looks for the window until found or a few seconds have passed.
template <class Find> auto Await(Find find) {
  auto found = find();
  for (int attempt = 0; attempt < 250 && !found; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    found = find();
  }
  return found;
}

#ifdef _WIN32

struct Search {
  const std::string* caption;
  HWND found;
};

BOOL CALLBACK MatchOwnWindow(HWND h, LPARAM data) {
  auto* s = reinterpret_cast<Search*>(data);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(h, &pid);
  if (pid != ::GetCurrentProcessId()) return TRUE;
  char title[512];
  const int n = ::GetWindowTextA(h, title, static_cast<int>(sizeof title));
  if (*s->caption != std::string(title, static_cast<std::size_t>(n > 0 ? n : 0))) return TRUE;
  s->found = h;
  return FALSE;
}

HWND FindOwnWindow(const std::string& caption) {
  return Await([&] {
    Search s{&caption, nullptr};
    ::EnumWindows(&MatchOwnWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
  });
}

}  // namespace

NativeWindow InspectWindow(const std::string& caption) {
  NativeWindow n;
  HWND h = FindOwnWindow(caption);
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
  HWND h = FindOwnWindow(caption);
  return h && ::PostMessageA(h, WM_CLOSE, 0, 0);
}

#else

// The process that shows a window, as it states in _NET_WM_PID.
bool OwnWindow(Display* d, ::Window w) {
  const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  bool own = false;
  if (XGetWindowProperty(d, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
      data) {
    // Format 32 comes as an array of long.
    own = format == 32 && count == 1 && *reinterpret_cast<long*>(data) == static_cast<long>(::getpid());
    XFree(data);
  }
  return own;
}

::Window FindByName(Display* d, ::Window w, const std::string& name) {
  char* title = nullptr;
  if (XFetchName(d, w, &title) && title) {
    const bool match = name == title;
    XFree(title);
    if (match && OwnWindow(d, w)) return w;
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

::Window FindOwnWindow(Display* d, const std::string& caption) {
  return Await([&] { return FindByName(d, DefaultRootWindow(d), caption); });
}

}  // namespace

NativeWindow InspectWindow(const std::string& caption) {
  NativeWindow n;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return n;
  if (::Window w = FindOwnWindow(d, caption)) {
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
  const ::Window w = FindOwnWindow(d, caption);
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
