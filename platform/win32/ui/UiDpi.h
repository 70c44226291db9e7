// Dots per inch in the Win32 view. The windows' models are laid out at 96 dpi; the
// view scales sizes, positions and fonts by the DPI of each window. The per-monitor
// calls are looked up at run time: Windows 7 and 8 and Wine lack some of them, and
// there the system DPI serves. Must contain only Win32-specific code.
#pragma once

#include <windows.h>

namespace plat::dpi {

inline constexpr UINT kBase = 96;
// Sent to a per-monitor aware window that has moved to a monitor of another DPI.
inline constexpr UINT kWmDpiChanged = 0x02E0;

// A length at 96 dpi as pixels at dpi, rounded to the nearest.
int Scale(int value96, UINT dpi);
// The DPI of the system: the primary monitor's for a DPI-aware process, 96 for one
// that the system scales as a bitmap.
UINT OfSystem();
// The DPI a window is drawn at (GetDpiForWindow; else the system's).
UINT OfWindow(HWND h);
// A system metric at dpi (GetSystemMetricsForDpi; else the system's value scaled).
int Metric(int index, UINT dpi);
// The outer rectangle of a window whose client area is *r, at dpi
// (AdjustWindowRectExForDpi; else AdjustWindowRectEx's frame scaled).
void AdjustWindowRect(RECT* r, DWORD style, DWORD exStyle, UINT dpi);
// The client size at 96 dpi of a window whose outer size at 96 dpi is given.
SIZE ClientFromOuter96(SIZE outer, DWORD style, DWORD exStyle);

}  // namespace plat::dpi
