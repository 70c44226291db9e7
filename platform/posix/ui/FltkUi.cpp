// The FLTK view of the user-interface seam on X11: a double-buffered window per
// model, widgets per control, the message loop on Fl::wait, and calls posted from
// other threads woken through Fl::awake. What all views share is UiViewBase's.
// Must contain only FLTK, X11 and POSIX code.
#include "platform/posix/ui/FltkUi.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/x.H>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/UiViewBase.h"
#include "platform/posix/ui/FltkWidgets.h"

namespace plat {
namespace {

// Frame metrics used to turn an outer window size into a client size: the classic
// caption and border sizes at 96 dots per inch, as on the Windows side.
constexpr int kCaptionBarHeight = 18;
int BorderWidth(BorderStyle b) { return b == BorderStyle::Sizeable ? 4 : 3; }

// FLTK reads "&" and "@" in widget labels; doubled, they stand for themselves.
std::string EscapeLabel(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&' || c == '@') out += c;
    out += c;
  }
  return out;
}

// A callback's data: the window and control, not pointers that a destroyed window
// would leave dangling.
void* PackCallback(WindowId id, std::size_t index) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id) << 16 | (index & 0xFFFF));
}
WindowId CallbackWindow(void* data) { return static_cast<WindowId>(reinterpret_cast<std::uintptr_t>(data) >> 16); }
std::size_t CallbackControl(void* data) { return reinterpret_cast<std::uintptr_t>(data) & 0xFFFF; }

class FltkUi;
FltkUi* g_ui = nullptr;

class FltkUi final : public UiViewBase {
 public:
  explicit FltkUi(Display* display);
  ~FltkUi() override { g_ui = nullptr; }

  bool HasDisplay() override { return true; }
  int CaptionBarHeight() override { return kCaptionBarHeight; }
  void InitializeApplication() override {}

  void RunMessageLoop() override;
  void ProcessMessages() override;
  void WaitForMessage(std::uint32_t timeoutMs) override;

  int MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) override;

  static void ButtonCallback(Fl_Widget*, void* data);
  static void InputCallback(Fl_Widget*, void* data);
  static void WindowCallback(Fl_Widget*, void* data);

 protected:
  std::unique_ptr<ViewWindow> NewWindow() override { return std::make_unique<Window>(); }
  void BuildWindow(WindowId id, ViewWindow& w) override;
  void DrawWindow(ViewWindow& w) override;
  void ShowNativeWindow(ViewWindow& w) override;
  void HideNativeWindow(ViewWindow& w) override;
  void DestroyNativeWindow(ViewWindow& w) override;
  void WakeForPostedCalls() override { Fl::awake(static_cast<void*>(nullptr)); }
  bool PumpModal() override;

 private:
  struct Window : ViewWindow {
    Fl_Double_Window* win = nullptr;
    std::vector<Fl_Widget*> widgets;
    std::vector<Control> applied;
    std::vector<std::unique_ptr<Fl_RGB_Image>> images;
    std::string caption;
  };

  Window* Find(WindowId id) { return static_cast<Window*>(FindRecord(id)); }
  Fl_Widget* CreateControl(Window& w, WindowId id, std::size_t index);
  void SyncControl(Window& w, std::size_t index, bool force);
  void ApplyWindowManagerHints(Window& w);
};

FltkUi::FltkUi(Display* display) {
  g_ui = this;
  fl_open_display(display);
  // Sets up FLTK's wake-up pipe; other threads then only ever call Fl::awake(void*),
  // which writes to that pipe without taking FLTK's lock.
  Fl::lock();
}

void FltkUi::BuildWindow(WindowId id, ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  const WindowModel* model = w.model;
  const int border = BorderWidth(model->border);
  int cw = model->clientWidth, ch = model->clientHeight;
  int ow = 2 * border + cw, oh = kCaptionBarHeight + 2 * border + ch;
  if (model->outerWidth > 0) {
    ow = model->outerWidth;
    cw = ow - 2 * border;
  }
  if (model->outerHeight > 0) {
    oh = model->outerHeight;
    ch = oh - kCaptionBarHeight - 2 * border;
  }
  int x = model->left + border, y = model->top + kCaptionBarHeight + border;
  if (model->centred) {
    x = (Fl::w() - ow) / 2 + border;
    y = (Fl::h() - oh) / 2 + kCaptionBarHeight + border;
  }
  Fl_Group::current(nullptr);
  w.win = new Fl_Double_Window(x, y, std::max(cw, 1), std::max(ch, 1));
  w.win->copy_label(model->caption.c_str());
  w.caption = model->caption;
  w.win->callback(&FltkUi::WindowCallback, PackCallback(id, 0));
  w.win->resizable(nullptr);  // controls keep their place when the frame is resized
  if (model->border == BorderStyle::Sizeable)
    w.win->size_range(100, 60);
  else
    w.win->size_range(w.win->w(), w.win->h(), w.win->w(), w.win->h());
  w.win->begin();
  // Creation order is tab order: a label's access key focuses the next control.
  for (std::size_t i = 0; i < model->controls.size(); ++i) w.widgets.push_back(CreateControl(w, id, i));
  w.win->end();
  for (std::size_t i = 0; i < model->controls.size(); ++i) SyncControl(w, i, true);
}

Fl_Widget* FltkUi::CreateControl(Window& w, WindowId id, std::size_t index) {
  const Control& c = w.model->controls[index];
  const int fontSize = std::abs(w.model->fontHeight);
  const int width = std::max(c.width, 1), height = std::max(c.height, 1);
  Fl_Widget* widget = nullptr;
  switch (c.kind) {
    case ControlKind::Label: widget = new FltkLabel(c.left, c.top, width, height); break;
    case ControlKind::Button: {
      Fl_Button* b = c.isDefault ? new Fl_Return_Button(c.left, c.top, width, height)
                                 : new Fl_Button(c.left, c.top, width, height);
      if (c.isCancel) b->shortcut(FL_Escape);
      b->callback(&FltkUi::ButtonCallback, PackCallback(id, index));
      widget = b;
      break;
    }
    case ControlKind::ProgressBar: {
      auto* p = new Fl_Progress(c.left, c.top, width, height);
      p->minimum(0);
      p->maximum(100);
      p->box(FL_THIN_DOWN_BOX);
      p->color(FL_BACKGROUND_COLOR);
      p->selection_color(fl_rgb_color(0, 0, 128));
      widget = p;
      break;
    }
    case ControlKind::Animation: widget = new FltkAnimation(c.left, c.top, width, height); break;
    case ControlKind::Edit:
    case ControlKind::PasswordEdit: {
      Fl_Input* in = c.kind == ControlKind::PasswordEdit ? new Fl_Secret_Input(c.left, c.top, width, height)
                                                         : new Fl_Input(c.left, c.top, width, height);
      in->textsize(fontSize);
      in->when(FL_WHEN_CHANGED);
      in->callback(&FltkUi::InputCallback, PackCallback(id, index));
      widget = in;
      break;
    }
    case ControlKind::Image: {
      auto* box = new Fl_Box(c.left, c.top, width, height);
      box->box(FL_NO_BOX);
      if (auto image = LoadBitmapResource(c.resource)) {
        // The picture sizes the control, as the form's image does.
        box->size(image->w(), image->h());
        box->image(image.get());
        box->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT);
        w.images.push_back(std::move(image));
      }
      widget = box;
      break;
    }
  }
  widget->labelsize(fontSize);
  widget->labelfont(FL_HELVETICA);
  Control applied;
  applied.kind = c.kind;
  applied.left = widget->x();
  applied.top = widget->y();
  applied.width = widget->w();
  applied.height = widget->h();
  w.applied.push_back(applied);
  return widget;
}

void FltkUi::SyncControl(Window& w, std::size_t index, bool force) {
  Control& c = w.model->controls[index];
  Control& a = w.applied[index];
  Fl_Widget* widget = w.widgets[index];
  bool relayout = false;

  switch (c.kind) {
    case ControlKind::Label:
      static_cast<FltkLabel*>(widget)->SetText(c.text, c.accelChar);
      break;
    case ControlKind::Button:
      if (force || c.text != a.text) widget->copy_label(EscapeLabel(c.text).c_str());
      break;
    case ControlKind::ProgressBar:
      if (force || c.position != a.position) static_cast<Fl_Progress*>(widget)->value(float(c.position));
      a.position = c.position;
      break;
    case ControlKind::Animation: {
      auto* anim = static_cast<FltkAnimation*>(widget);
      if (force || c.resource != a.resource) anim->Open(c.resource);
      if (force || c.resource != a.resource || c.playing != a.playing) anim->Play(c.playing);
      a.resource = c.resource;
      a.playing = c.playing;
      break;
    }
    case ControlKind::Edit:
    case ControlKind::PasswordEdit: {
      auto* in = static_cast<Fl_Input*>(widget);
      if (c.text != in->value()) in->value(c.text.c_str());
      break;
    }
    case ControlKind::Image: break;
  }
  a.text = c.text;

  if (c.kind != ControlKind::Image) {
    int width = std::max(c.width, 1), height = std::max(c.height, 1);
    if (c.kind == ControlKind::Label && c.autoSize)
      FltkLabel::Measure(c.text, std::abs(w.model->fontHeight), c.accelChar, width, height);
    if (c.left != a.left || c.top != a.top || width != a.width || height != a.height) {
      widget->resize(c.left, c.top, width, height);
      a.left = c.left;
      a.top = c.top;
      a.width = width;
      a.height = height;
      relayout = true;
    }
  }
  if (force || c.enabled != a.enabled) {
    if (c.enabled) widget->activate();
    else widget->deactivate();
    a.enabled = c.enabled;
  }
  if (force || c.visible != a.visible) {
    if (c.visible) widget->show();
    else widget->hide();
    a.visible = c.visible;
    relayout = true;
  }
  // What a moved, shrunk or hidden control leaves behind is the window's to repaint.
  if (relayout) w.win->redraw();
}

void FltkUi::ApplyWindowManagerHints(Window& w) {
  // Motif hints tell the window manager which frame and title-bar buttons to give.
  enum : unsigned long { kFunctions = 1, kDecorations = 2 };
  enum : unsigned long { kFuncResize = 2, kFuncMove = 4, kFuncMinimize = 8, kFuncClose = 32 };
  enum : unsigned long { kDecorBorder = 2, kDecorResize = 4, kDecorTitle = 8, kDecorMenu = 16, kDecorMinimize = 32 };
  struct {
    unsigned long flags, functions, decorations;
    long inputMode;
    unsigned long status;
  } hints{kFunctions | kDecorations, 0, 0, 0, 0};
  switch (w.model->border) {
    case BorderStyle::Single:
      hints.functions = kFuncMove | kFuncMinimize | kFuncClose;
      hints.decorations = kDecorBorder | kDecorTitle | kDecorMenu | kDecorMinimize;
      break;
    case BorderStyle::Dialog:
      hints.functions = kFuncMove;
      hints.decorations = kDecorBorder | kDecorTitle;
      break;
    case BorderStyle::Sizeable:
      hints.functions = kFuncMove | kFuncResize | kFuncClose;
      hints.decorations = kDecorBorder | kDecorResize | kDecorTitle | kDecorMenu;
      break;
  }
  const ::Window xid = fl_xid(w.win);
  if (!xid) return;
  // FLTK maps the window as it creates it, so the hints follow at once; window
  // managers that follow changes of this property apply them.
  const Atom motif = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(fl_display, xid, motif, motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&hints), 5);
}

void FltkUi::DrawWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  const WindowModel& m = *w.model;
  if (m.caption != w.caption) {
    w.win->copy_label(m.caption.c_str());
    w.caption = m.caption;
  }
  for (std::size_t i = 0; i < w.widgets.size() && i < m.controls.size(); ++i) SyncControl(w, i, false);
  XFlush(fl_display);
}

void FltkUi::ShowNativeWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  // FLTK sends no events to other windows while a modal one is shown.
  if (w.modal) w.win->set_modal();
  w.win->show();
  ApplyWindowManagerHints(w);
  // The first widget that takes the focus gets it.
  for (Fl_Widget* widget : w.widgets)
    if (widget->visible() && widget->active() && widget->visible_focus() && widget->take_focus()) break;
  if (w.model->topmost) {
    // Above other windows: the _NET_WM_STATE_ABOVE request of the window manager protocol.
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = fl_xid(w.win);
    e.xclient.message_type = XInternAtom(fl_display, "_NET_WM_STATE", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 1;  // add
    e.xclient.data.l[1] = static_cast<long>(XInternAtom(fl_display, "_NET_WM_STATE_ABOVE", False));
    e.xclient.data.l[3] = 1;
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &e);
  }
  XFlush(fl_display);
}

void FltkUi::HideNativeWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  w.win->hide();
  // A window shown modally is an ordinary one again; the flags change only while
  // it is not shown.
  if (!w.modal) w.win->clear_modal_states();
  XFlush(fl_display);
}

void FltkUi::DestroyNativeWindow(ViewWindow& base) {
  Window& w = static_cast<Window&>(base);
  for (std::size_t i = 0; i < w.widgets.size(); ++i)
    if (w.applied[i].kind == ControlKind::Animation) static_cast<FltkAnimation*>(w.widgets[i])->Play(false);
  w.win->hide();
  // The images must outlive the widgets that show them: detach them first.
  for (Fl_Widget* widget : w.widgets) widget->image(nullptr);
  // Deleted later by FLTK: this may run inside a callback of one of its widgets.
  Fl::delete_widget(w.win);
}

bool FltkUi::PumpModal() {
  Fl::wait(0.5);
  RunPendingCalls();
  return true;
}

void FltkUi::ButtonCallback(Fl_Widget*, void* data) {
  if (g_ui) g_ui->Click(CallbackWindow(data), CallbackControl(data));
}

void FltkUi::InputCallback(Fl_Widget* widget, void* data) {
  if (!g_ui) return;
  Window* w = g_ui->Find(CallbackWindow(data));
  const std::size_t index = CallbackControl(data);
  if (w && index < w->model->controls.size())
    w->model->controls[index].text = static_cast<Fl_Input*>(widget)->value();
}

void FltkUi::WindowCallback(Fl_Widget*, void* data) {
  if (!g_ui) return;
  // FLTK calls the window's callback for Esc as well; Esc belongs to a Cancel button
  // (which takes it as its shortcut first) and otherwise does nothing.
  if ((Fl::event() == FL_SHORTCUT || Fl::event() == FL_KEYBOARD) && Fl::event_key() == FL_Escape) return;
  g_ui->UserClose(CallbackWindow(data));
}

void FltkUi::RunMessageLoop() {
  while (!Terminated()) {
    RunPendingCalls();
    if (Terminated()) break;
    Fl::wait(0.5);
  }
}

void FltkUi::ProcessMessages() {
  // Only the calls pending now: one that posts again waits for the next pump.
  const std::size_t budget = PendingCalls();
  WakeConsumed();
  Fl::check();
  RunPosted(budget);
  WakeIfPending();
}

void FltkUi::WaitForMessage(std::uint32_t timeoutMs) {
  if (PendingCalls() > 0) return;
  Fl::wait(timeoutMs / 1000.0);
}

int FltkUi::MessageBoxA(const std::string& text, const std::string& caption, std::uint32_t type) {
  // A small modal window of our own, so that posted calls keep running meanwhile.
  struct Choice {
    const char* text;
    int result;
  };
  std::vector<Choice> choices;
  switch (type & 0xF) {
    case 1: choices = {{"OK", kIdOk}, {"Cancel", kIdCancel}}; break;
    case 3: choices = {{"Yes", 6}, {"No", 7}, {"Cancel", kIdCancel}}; break;
    case 4: choices = {{"Yes", 6}, {"No", 7}}; break;
    default: choices = {{"OK", kIdOk}}; break;
  }
  WindowModel box;
  box.name = "MessageBox";
  box.caption = caption;
  box.border = BorderStyle::Dialog;
  int tw = 0, th = 0;
  FltkLabel::Measure(text, std::abs(box.fontHeight), false, tw, th);
  const int buttons = static_cast<int>(choices.size()) * 85 - 10;
  box.clientWidth = std::max(tw, buttons) + 40;
  box.clientHeight = th + 20 + 20 + 25 + 12;
  Control label;
  label.kind = ControlKind::Label;
  label.name = "Text";
  label.left = 20;
  label.top = 20;
  label.width = tw;
  label.height = th;
  label.text = text;
  box.controls.push_back(label);
  int left = (box.clientWidth - buttons) / 2;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    Control b;
    b.kind = ControlKind::Button;
    b.name = choices[i].text;
    b.text = choices[i].text;
    b.left = left;
    b.top = th + 40;
    b.width = 75;
    b.height = 25;
    b.isDefault = i == 0;
    b.isCancel = choices.size() == 1 || choices[i].result == kIdCancel;
    b.modalResult = choices[i].result;
    box.controls.push_back(b);
    left += 85;
  }
  const WindowId id = CreateWindowFromModel(&box, WindowEvents{});
  int result = ShowModal(id);
  DestroyWindow(id);
  // Closing the box is the Cancel answer, or OK when there is no Cancel.
  if (result == kIdCancel && choices.size() == 1) result = kIdOk;
  return result;
}

}  // namespace

std::unique_ptr<Ui> MakeFltkUi(Display* display) { return std::make_unique<FltkUi>(display); }

}  // namespace plat

// Under LeakSanitizer: the font and X libraries keep caches for the life of the
// process that they never free; those are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libXft.so\nleak:libX11.so\n";
}
