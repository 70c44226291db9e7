// Dots per inch in the Win32 view: the per-monitor calls where the system has them,
// the system DPI where it has not. Must contain only Win32-specific code.
#include "platform/win32/ui/UiDpi.h"

namespace plat::dpi {
namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

// The user32 calls of Windows 10 (1607 and later), or null.
struct PerMonitorCalls {
  GetDpiForWindowFn getDpiForWindow = nullptr;
  GetSystemMetricsForDpiFn getSystemMetricsForDpi = nullptr;
  AdjustWindowRectExForDpiFn adjustWindowRectExForDpi = nullptr;

  PerMonitorCalls() {
    HMODULE user32 = ::GetModuleHandleA("user32.dll");
    if (!user32) return;
    getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "GetDpiForWindow")));
    getSystemMetricsForDpi = reinterpret_cast<GetSystemMetricsForDpiFn>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "GetSystemMetricsForDpi")));
    adjustWindowRectExForDpi = reinterpret_cast<AdjustWindowRectExForDpiFn>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "AdjustWindowRectExForDpi")));
  }
};

const PerMonitorCalls& Calls() {
  static const PerMonitorCalls calls;
  return calls;
}

}  // namespace

int Scale(int value96, UINT dpi) { return ::MulDiv(value96, static_cast<int>(dpi), static_cast<int>(kBase)); }

UINT OfSystem() {
  HDC screen = ::GetDC(nullptr);
  const int d = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return d > 0 ? static_cast<UINT>(d) : kBase;
}

UINT OfWindow(HWND h) {
  if (Calls().getDpiForWindow && h) {
    const UINT d = Calls().getDpiForWindow(h);
    if (d > 0) return d;
  }
  return OfSystem();
}

int Metric(int index, UINT dpi) {
  if (Calls().getSystemMetricsForDpi) return Calls().getSystemMetricsForDpi(index, dpi);
  return ::MulDiv(::GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(OfSystem()));
}

void AdjustWindowRect(RECT* r, DWORD style, DWORD exStyle, UINT dpi) {
  if (Calls().adjustWindowRectExForDpi && Calls().adjustWindowRectExForDpi(r, style, FALSE, exStyle, dpi)) return;
  // The frame at the system DPI, scaled to dpi.
  RECT frame{0, 0, 0, 0};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int sys = static_cast<int>(OfSystem()), d = static_cast<int>(dpi);
  r->left += ::MulDiv(frame.left, d, sys);
  r->top += ::MulDiv(frame.top, d, sys);
  r->right += ::MulDiv(frame.right, d, sys);
  r->bottom += ::MulDiv(frame.bottom, d, sys);
}

SIZE ClientFromOuter96(SIZE outer, DWORD style, DWORD exStyle) {
  RECT frame{0, 0, 0, 0};
  AdjustWindowRect(&frame, style, exStyle, kBase);
  return SIZE{outer.cx - (frame.right - frame.left), outer.cy - (frame.bottom - frame.top)};
}

}  // namespace plat::dpi
