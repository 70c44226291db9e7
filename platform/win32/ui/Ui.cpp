// Win32 implementation of the user-interface seam: one window class for every model,
// standard controls (STATIC, BUTTON, EDIT, msctls_progress32, SysAnimate32), the
// message loop with IsDialogMessage, and calls posted to the main thread woken through
// a hidden message window. Models are laid out at 96 dpi; each window is scaled by its
// own DPI (UiDpi.h) and again when it moves to a monitor of another DPI. What all
// views share is UiViewBase's. Must contain only Win32-specific code.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <vector>

#include "platform/UiViewBase.h"
#include "platform/win32/ui/UiDpi.h"

namespace plat {
namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;
const char kWindowClass[] = "NoltWindow";
const char kMessageClass[] = "NoltMessageWindow";
// The system's copy-files clip in shell32.
constexpr int kShellCopyFilesClip = 160;
// The program's icon (resources/Program.rc.in); a program without one shows the system's.
constexpr int kProgramIcon = 1;

HINSTANCE Instance() { return ::GetModuleHandleA(nullptr); }

std::string WindowText(HWND h) {
  std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(h)) + 1, '\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextA(h, text.data(), static_cast<int>(text.size()))));
  return text;
}

class Win32Ui final : public UiViewBase {
 public:
  Win32Ui();
  ~Win32Ui() override;

  bool HasDisplay() override { return true; }
  // At 96 dpi, as the models are laid out.
  int CaptionBarHeight() override { return dpi::Metric(SM_CYCAPTION, dpi::kBase); }
  void InitializeApplication() override;

  int ShowModal(WindowId id) override;

  void RunMessageLoop() override;
  void ProcessMessages() override;
  void WaitForMessage(std::uint32_t timeoutMs) override;

  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK MessageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 protected:
  std::unique_ptr<ViewWindow> NewWindow() override { return std::make_unique<Window>(); }
  void BuildWindow(WindowId id, ViewWindow& w) override;
  void DrawWindow(ViewWindow& w) override;
  void ShowNativeWindow(ViewWindow& w) override;
  void HideNativeWindow(ViewWindow& w) override;
  void DestroyNativeWindow(ViewWindow& w) override;
  void WakeForPostedCalls() override { ::PostMessageA(messageWindow_, kWakeMessage, 0, 0); }
  // Wakes a loop waiting in GetMessage without running anything.
  void WakeLoop() override { ::PostMessageA(messageWindow_, WM_NULL, 0, 0); }
  bool PumpModal() override;

 private:
  struct Window : ViewWindow {
    HWND hwnd = nullptr;
    HFONT font = nullptr;
    std::vector<HWND> controls;
    std::vector<Control> applied;  // what each control shows now
    std::vector<HBITMAP> bitmaps;
    HICON icons[2] = {nullptr, nullptr};  // ICON_SMALL, ICON_BIG at the window's DPI
    std::string caption;
    bool topmost = false;
    UINT dpi = dpi::kBase;  // what the window and its controls are scaled to
  };

  Window* Find(WindowId id) { return static_cast<Window*>(FindRecord(id)); }
  WindowId IdOf(HWND hwnd);
  LRESULT HandleWindowMessage(WindowId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void CreateControl(Window& w, std::size_t index);
  void SyncControl(Window& w, std::size_t index, bool force);
  // Font, icons and pictures at the window's DPI, replacing those of another DPI.
  void ApplyDpiResources(Window& w);
  // Outer size of the window at dpi: the model's size at 96 dpi, scaled.
  SIZE OuterSize(const Window& w, UINT dpi) const;
  void RescaleWindow(Window& w, UINT newDpi, const RECT& suggested);
  void OpenClip(HWND anim, int resource);
  SIZE MeasureLabel(Window& w, const Control& c);
  void Dispatch(MSG& msg);

  HWND messageWindow_ = nullptr;
};

Win32Ui* g_ui = nullptr;

Win32Ui::Win32Ui() {
  g_ui = this;
  InitializeApplication();
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &Win32Ui::WindowProc;
  wc.hInstance = Instance();
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hIcon = ::LoadIconA(Instance(), MAKEINTRESOURCEA(kProgramIcon));
  if (!wc.hIcon) wc.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  ::RegisterClassExA(&wc);
  WNDCLASSEXA mc{};
  mc.cbSize = sizeof mc;
  mc.lpfnWndProc = &Win32Ui::MessageProc;
  mc.hInstance = Instance();
  mc.lpszClassName = kMessageClass;
  ::RegisterClassExA(&mc);
  // Created on the thread that first uses the seam: the main thread.
  messageWindow_ = ::CreateWindowExA(0, kMessageClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance(), nullptr);
}

Win32Ui::~Win32Ui() { g_ui = nullptr; }

void Win32Ui::InitializeApplication() {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&icc);
}

WindowId Win32Ui::IdOf(HWND hwnd) {
  for (auto& [id, w] : Windows())
    if (static_cast<const Window&>(*w).hwnd == hwnd) return id;
  return kNoWindow;
}

namespace {

void WindowStyle(BorderStyle border, DWORD* style, DWORD* ex) {
  *style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  *ex = 0;
  switch (border) {
    case BorderStyle::Single: *style |= WS_MINIMIZEBOX; break;
    case BorderStyle::Dialog:
      // A dialog frame without system menu, so no title-bar buttons at all.
      *style = WS_POPUP | WS_CAPTION | DS_MODALFRAME | WS_CLIPCHILDREN;
      *ex = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
      break;
    case BorderStyle::Sizeable: *style |= WS_THICKFRAME; break;
  }
}

}  // namespace

SIZE Win32Ui::OuterSize(const Window& w, UINT dpi) const {
  const WindowModel& m = *w.model;
  DWORD style, ex;
  WindowStyle(m.border, &style, &ex);
  // The client area is what scales; a frame is as wide as the system draws it at dpi.
  const SIZE client96 = dpi::ClientFromOuter96(SIZE{m.outerWidth, m.outerHeight}, style, ex);
  RECT r{0, 0, dpi::Scale(m.outerWidth ? client96.cx : m.clientWidth, dpi),
         dpi::Scale(m.outerHeight ? client96.cy : m.clientHeight, dpi)};
  dpi::AdjustWindowRect(&r, style, ex, dpi);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

void Win32Ui::BuildWindow(WindowId id, ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  const WindowModel* model = w.model;
  DWORD style, ex;
  WindowStyle(model->border, &style, &ex);
  // Made at the system's DPI where it is meant to stand; a window that lands on a
  // monitor of another DPI is scaled again below.
  w.dpi = dpi::OfSystem();
  auto place = [&](UINT d, int* x, int* y, SIZE* size) {
    *size = OuterSize(w, d);
    *x = dpi::Scale(model->left, d);
    *y = dpi::Scale(model->top, d);
    if (model->centred) {
      *x = (::GetSystemMetrics(SM_CXSCREEN) - size->cx) / 2;
      *y = (::GetSystemMetrics(SM_CYSCREEN) - size->cy) / 2;
    }
  };
  int x, y;
  SIZE size;
  place(w.dpi, &x, &y, &size);
  w.caption = model->caption;
  w.hwnd = ::CreateWindowExA(ex, kWindowClass, model->caption.c_str(), style, x, y, size.cx, size.cy, nullptr,
                             nullptr, Instance(), reinterpret_cast<LPVOID>(id));
  const UINT actual = dpi::OfWindow(w.hwnd);
  if (actual != w.dpi) {
    w.dpi = actual;
    place(w.dpi, &x, &y, &size);
    ::SetWindowPos(w.hwnd, nullptr, x, y, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ApplyDpiResources(w);
  // Creation order is z-order and tab order: a label's access key focuses the next control.
  for (std::size_t i = 0; i < model->controls.size(); ++i) CreateControl(w, i);
}

void Win32Ui::ApplyDpiResources(Window& w) {
  const WindowModel& m = *w.model;
  HFONT old = w.font;
  w.font = ::CreateFontA(dpi::Scale(m.fontHeight, w.dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                         m.fontName.c_str());
  ::SendMessageA(w.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(w.font), FALSE);
  for (HWND c : w.controls) ::SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(w.font), TRUE);
  if (old) ::DeleteObject(old);

  const int iconSize[2][2] = {{SM_CXSMICON, SM_CYSMICON}, {SM_CXICON, SM_CYICON}};
  for (int big = 0; big < 2; ++big) {
    HICON icon = static_cast<HICON>(::LoadImageA(Instance(), MAKEINTRESOURCEA(kProgramIcon), IMAGE_ICON,
                                                 dpi::Metric(iconSize[big][0], w.dpi),
                                                 dpi::Metric(iconSize[big][1], w.dpi), LR_DEFAULTCOLOR));
    if (!icon) continue;
    ::SendMessageA(w.hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    if (w.icons[big]) ::DestroyIcon(w.icons[big]);
    w.icons[big] = icon;
  }

  // Pictures are stretched to their scaled size; at 96 dpi they keep their own.
  std::vector<HBITMAP> previous;
  previous.swap(w.bitmaps);
  for (std::size_t i = 0; i < w.controls.size() && i < m.controls.size(); ++i) {
    const Control& c = m.controls[i];
    if (c.kind != ControlKind::Image) continue;
    const bool natural = w.dpi == dpi::kBase;
    HBITMAP bmp = static_cast<HBITMAP>(::LoadImageA(Instance(), MAKEINTRESOURCEA(c.resource), IMAGE_BITMAP,
                                                    natural ? 0 : dpi::Scale(c.width, w.dpi),
                                                    natural ? 0 : dpi::Scale(c.height, w.dpi), LR_DEFAULTCOLOR));
    if (!bmp) continue;
    ::SendMessageA(w.controls[i], STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmp));
    ::SetWindowPos(w.controls[i], nullptr, dpi::Scale(c.left, w.dpi), dpi::Scale(c.top, w.dpi), 0, 0,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
    w.bitmaps.push_back(bmp);
  }
  for (HBITMAP b : previous) ::DeleteObject(b);
}

void Win32Ui::RescaleWindow(Window& w, UINT newDpi, const RECT& suggested) {
  w.dpi = newDpi;
  ApplyDpiResources(w);
  for (std::size_t i = 0; i < w.controls.size() && i < w.model->controls.size(); ++i) SyncControl(w, i, true);
  // Where the system suggests, so that the window stays on the monitor it moved to.
  ::SetWindowPos(w.hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Ui::CreateControl(Window& w, std::size_t index) {
  const Control& c = w.model->controls[index];
  const char* cls = "STATIC";
  DWORD style = WS_CHILD;
  DWORD ex = 0;
  switch (c.kind) {
    case ControlKind::Label:
      // Fixed-width labels cut long text off at their right edge.
      style |= SS_LEFTNOWORDWRAP | (c.accelChar ? 0 : SS_NOPREFIX);
      break;
    case ControlKind::Button:
      cls = "BUTTON";
      style |= WS_TABSTOP | (c.isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
      break;
    case ControlKind::ProgressBar: cls = PROGRESS_CLASSA; break;
    case ControlKind::Animation:
      cls = ANIMATE_CLASSA;
      style |= ACS_TRANSPARENT | ACS_CENTER;
      break;
    case ControlKind::Edit:
    case ControlKind::PasswordEdit:
      cls = "EDIT";
      style |= WS_TABSTOP | ES_AUTOHSCROLL | (c.kind == ControlKind::PasswordEdit ? ES_PASSWORD : 0);
      ex = WS_EX_CLIENTEDGE;
      break;
    case ControlKind::Image: style |= SS_BITMAP; break;
  }
  const int ctlId = kFirstControlId + static_cast<int>(index);
  HWND h = ::CreateWindowExA(ex, cls, "", style, dpi::Scale(c.left, w.dpi), dpi::Scale(c.top, w.dpi),
                             dpi::Scale(c.width, w.dpi), dpi::Scale(c.height, w.dpi), w.hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(ctlId)), Instance(), nullptr);
  ::SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(w.font), FALSE);
  if (c.kind == ControlKind::PasswordEdit) ::SendMessageA(h, EM_SETPASSWORDCHAR, '*', 0);
  if (c.kind == ControlKind::ProgressBar) ::SendMessageA(h, PBM_SETRANGE32, 0, 100);
  if (c.kind == ControlKind::Image) {
    const bool natural = w.dpi == dpi::kBase;
    HBITMAP bmp = static_cast<HBITMAP>(::LoadImageA(Instance(), MAKEINTRESOURCEA(c.resource), IMAGE_BITMAP,
                                                    natural ? 0 : dpi::Scale(c.width, w.dpi),
                                                    natural ? 0 : dpi::Scale(c.height, w.dpi), LR_DEFAULTCOLOR));
    if (bmp) {
      ::SendMessageA(h, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmp));
      w.bitmaps.push_back(bmp);
    }
  }
  w.controls.push_back(h);
  Control applied;  // what the control shows, in pixels at the window's DPI
  applied.kind = c.kind;
  applied.visible = false;
  applied.enabled = true;
  w.applied.push_back(applied);
  SyncControl(w, index, true);
}

SIZE Win32Ui::MeasureLabel(Window& w, const Control& c) {
  HDC dc = ::GetDC(w.hwnd);
  HGDIOBJ old = ::SelectObject(dc, w.font);
  RECT r{0, 0, 0, 0};
  const std::string text = c.text.empty() ? " " : c.text;
  ::DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE | (c.accelChar ? 0 : DT_NOPREFIX));
  ::SelectObject(dc, old);
  ::ReleaseDC(w.hwnd, dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

void Win32Ui::OpenClip(HWND anim, int resource) {
  if (resource == kAviCopyFiles) {
    // The system's clip lives in shell32; a shell without it gets our own.
    HMODULE shell = ::LoadLibraryA("shell32.dll");
    if (shell && ::SendMessageA(anim, ACM_OPENA, reinterpret_cast<WPARAM>(shell),
                                reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(kShellCopyFilesClip))))
      return;
    resource = kAviOwnCopyFiles;
  }
  ::SendMessageA(anim, ACM_OPENA, reinterpret_cast<WPARAM>(Instance()),
                 reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(resource)));
}

void Win32Ui::SyncControl(Window& w, std::size_t index, bool force) {
  Control& c = w.model->controls[index];
  Control& a = w.applied[index];
  HWND h = w.controls[index];

  if (c.kind == ControlKind::Edit || c.kind == ControlKind::PasswordEdit) {
    // The edit holds what the user typed; write only a text the model changed.
    if (c.text != WindowText(h)) ::SetWindowTextA(h, c.text.c_str());
    a.text = c.text;
  } else if (c.kind != ControlKind::Animation && c.kind != ControlKind::Image && c.kind != ControlKind::ProgressBar &&
             (force || c.text != a.text)) {
    ::SetWindowTextA(h, c.text.c_str());
    a.text = c.text;
  }

  const int left = dpi::Scale(c.left, w.dpi), top = dpi::Scale(c.top, w.dpi);
  int width = dpi::Scale(c.width, w.dpi), height = dpi::Scale(c.height, w.dpi);
  if (c.kind == ControlKind::Label && c.autoSize) {
    SIZE s = MeasureLabel(w, c);  // in the window's font, already scaled
    width = s.cx;
    height = s.cy;
  }
  if (c.kind != ControlKind::Image &&
      (force || left != a.left || top != a.top || width != a.width || height != a.height)) {
    ::SetWindowPos(h, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    a.left = left;
    a.top = top;
    a.width = width;
    a.height = height;
  }
  if (c.kind == ControlKind::ProgressBar && (force || c.position != a.position)) {
    ::SendMessageA(h, PBM_SETPOS, static_cast<WPARAM>(c.position), 0);
    a.position = c.position;
  }
  if (c.kind == ControlKind::Animation && (force || c.resource != a.resource || c.playing != a.playing)) {
    if (c.resource != a.resource || force) OpenClip(h, c.resource);
    if (c.playing)
      ::SendMessageA(h, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
    else
      ::SendMessageA(h, ACM_STOP, 0, 0);
    a.resource = c.resource;
    a.playing = c.playing;
  }
  if (force || c.enabled != a.enabled) {
    ::EnableWindow(h, c.enabled);
    a.enabled = c.enabled;
  }
  if (force || c.visible != a.visible) {
    ::ShowWindow(h, c.visible ? SW_SHOWNA : SW_HIDE);
    a.visible = c.visible;
  }
}

void Win32Ui::DrawWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  const WindowModel& m = *w.model;
  if (m.caption != w.caption) {
    ::SetWindowTextA(w.hwnd, m.caption.c_str());
    w.caption = m.caption;
  }
  for (std::size_t i = 0; i < w.controls.size() && i < m.controls.size(); ++i) SyncControl(w, i, false);
  if (w.shown && m.visible && !m.topmost && w.topmost) {
    ::SetWindowPos(w.hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    w.topmost = false;
  }
}

void Win32Ui::ShowNativeWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  ::ShowWindow(w.hwnd, SW_SHOWNORMAL);
  ::UpdateWindow(w.hwnd);
  if (HWND first = ::GetNextDlgTabItem(w.hwnd, nullptr, FALSE)) ::SetFocus(first);
  if (w.model->topmost) {
    // Topmost at its current place and size, as the window was shown.
    RECT r;
    ::GetWindowRect(w.hwnd, &r);
    ::SetWindowPos(w.hwnd, HWND_TOPMOST, r.left, r.top, r.right - r.left, r.bottom - r.top, 0);
    w.topmost = true;
  } else if (w.topmost) {
    ::SetWindowPos(w.hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    w.topmost = false;
  }
  if (w.modal) ::SetForegroundWindow(w.hwnd);
}

void Win32Ui::HideNativeWindow(ViewWindow& base) { ::ShowWindow(static_cast<Window&>(base).hwnd, SW_HIDE); }

void Win32Ui::DestroyNativeWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  for (std::size_t i = 0; i < w.controls.size(); ++i)
    if (w.applied[i].kind == ControlKind::Animation) ::SendMessageA(w.controls[i], ACM_STOP, 0, 0);
  ::DestroyWindow(w.hwnd);
  if (w.font) ::DeleteObject(w.font);
  for (HBITMAP b : w.bitmaps) ::DeleteObject(b);
  for (HICON i : w.icons)
    if (i) ::DestroyIcon(i);
}

int Win32Ui::ShowModal(WindowId id) {
  if (!Find(id)) return kIdCancel;
  // Every other window of the thread is disabled while the modal one is up.
  std::vector<HWND> disabled;
  for (auto& [otherId, other] : Windows()) {
    HWND h = static_cast<const Window&>(*other).hwnd;
    if (otherId != id && ::IsWindowVisible(h) && ::IsWindowEnabled(h)) {
      ::EnableWindow(h, FALSE);
      disabled.push_back(h);
    }
  }
  const int result = UiViewBase::ShowModal(id);
  for (HWND h : disabled)
    if (::IsWindow(h)) ::EnableWindow(h, TRUE);
  return result;
}

bool Win32Ui::PumpModal() {
  MSG msg;
  const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
  if (got == 0) {
    // The quit message belongs to the outer loop: leave it for that loop.
    ::PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  if (got == -1) return false;
  Dispatch(msg);
  return true;
}

LRESULT Win32Ui::HandleWindowMessage(WindowId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  Window* w = Find(id);
  if (!w) return ::DefWindowProcA(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_COMMAND: {
      const int ctlId = LOWORD(wp);
      const int code = HIWORD(wp);
      const auto& controls = w->model->controls;
      // Enter and Esc arrive from IsDialogMessage as IDOK and IDCANCEL.
      if (ctlId == IDOK || ctlId == IDCANCEL) {
        for (std::size_t i = 0; i < controls.size(); ++i)
          if ((ctlId == IDOK && controls[i].isDefault) || (ctlId == IDCANCEL && controls[i].isCancel)) {
            Click(id, i);
            break;
          }
        return 0;
      }
      const int index = ctlId - kFirstControlId;
      if (index < 0 || index >= static_cast<int>(controls.size()) || index >= static_cast<int>(w->controls.size()))
        break;
      const auto i = static_cast<std::size_t>(index);
      if (code == BN_CLICKED) {
        Click(id, i);  // which controls take a click is the base's rule
      } else if (code == EN_CHANGE) {
        w->model->controls[i].text = WindowText(w->controls[i]);
      }
      return 0;
    }
    case DM_GETDEFID: {
      const auto& controls = w->model->controls;
      for (std::size_t i = 0; i < controls.size(); ++i)
        if (controls[i].isDefault) return MAKELRESULT(kFirstControlId + static_cast<int>(i), DC_HASDEFID);
      return 0;
    }
    case WM_CLOSE: UserClose(id); return 0;
    case dpi::kWmDpiChanged:
      // Moved to a monitor of another DPI (per-monitor awareness): the new DPI and
      // the rectangle the system suggests.
      RescaleWindow(*w, HIWORD(wp), *reinterpret_cast<const RECT*>(lp));
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wp);
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    default: break;
  }
  return ::DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT CALLBACK Win32Ui::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  const auto id = static_cast<WindowId>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!g_ui || id == kNoWindow) return ::DefWindowProcA(hwnd, msg, wp, lp);
  return g_ui->HandleWindowMessage(id, hwnd, msg, wp, lp);
}

LRESULT CALLBACK Win32Ui::MessageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kWakeMessage && g_ui) {
    g_ui->RunPendingCalls();
    g_ui->WakeIfPending();
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wp, lp);
}

void Win32Ui::Dispatch(MSG& msg) {
  // Tab, Enter, Esc and access keys work in every window of ours as in a dialog.
  if (msg.hwnd) {
    HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
    if (root && IdOf(root) != kNoWindow && ::IsDialogMessageA(root, &msg)) return;
  }
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
}

void Win32Ui::RunMessageLoop() {
  MSG msg;
  while (!Terminated()) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      SetTerminated();
      break;
    }
    Dispatch(msg);
  }
}

void Win32Ui::ProcessMessages() {
  // Only the posted calls pending now run here: one that posts again waits for the
  // next pump, so a pump always returns.
  const std::size_t budget = PendingCalls();
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      SetTerminated();
      break;
    }
    if (msg.hwnd == messageWindow_ && msg.message == kWakeMessage) {
      WakeConsumed();
      continue;
    }
    Dispatch(msg);
  }
  RunPosted(budget);
  WakeIfPending();
}

void Win32Ui::WaitForMessage(std::uint32_t timeoutMs) {
  if (PendingCalls() > 0) return;
  ::MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

int Win32Ui::MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) {
  return ::MessageBoxA(::GetActiveWindow(), text.c_str(), caption.c_str(), type);
}

}  // namespace

template <> Ui& SystemInstance<Ui>() {
  static Win32Ui* instance = new Win32Ui;
  return *instance;
}

}  // namespace plat
