// FLTK widgets of the Linux view: label, animation, banner picture. FLTK code only.
#include "platform/posix/ui/FltkWidgets.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/fl_draw.H>

#include <cctype>
#include <cstring>

#include "platform/Ui.h"

namespace plat {

FltkLabel::FltkLabel(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_FLAT_BOX);
  clear_visible_focus();
}

void FltkLabel::SetText(const std::string& text, bool accelChar) {
  if (text == text_ && accelChar == accelChar_) return;
  text_ = text;
  accelChar_ = accelChar;
  redraw();
}

void FltkLabel::Measure(const std::string& text, int fontSize, bool accelChar, int& w, int& h) {
  fl_font(FL_HELVETICA, fontSize);
  w = 0;
  h = 0;
  const char saved = fl_draw_shortcut;
  fl_draw_shortcut = accelChar ? 1 : 0;
  fl_measure(text.empty() ? " " : text.c_str(), w, h, 0);
  fl_draw_shortcut = saved;
}

void FltkLabel::draw() {
  draw_box();
  fl_font(FL_HELVETICA, labelsize());
  fl_color(active_r() ? FL_FOREGROUND_COLOR : fl_inactive(FL_FOREGROUND_COLOR));
  fl_push_clip(x(), y(), w(), h());
  const char saved = fl_draw_shortcut;
  fl_draw_shortcut = accelChar_ ? 1 : 0;
  // A wide box so that nothing wraps; the clip cuts long text at the right edge.
  fl_draw(text_.c_str(), x(), y(), 10000, h(), Fl_Align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE), nullptr, 0);
  fl_draw_shortcut = saved;
  fl_pop_clip();
}

int FltkLabel::handle(int event) {
  if (event != FL_SHORTCUT || !accelChar_ || !(Fl::event_state() & FL_ALT)) return Fl_Widget::handle(event);
  const std::size_t amp = text_.find('&');
  if (amp == std::string::npos || amp + 1 >= text_.size()) return 0;
  const int key = std::tolower(static_cast<unsigned char>(text_[amp + 1]));
  if (Fl::event_key() != key) return 0;
  // The access key focuses the next widget that takes the focus, as on Windows.
  Fl_Group* g = parent();
  if (!g) return 0;
  for (int i = g->find(this) + 1; i < g->children(); ++i) {
    Fl_Widget* next = g->child(i);
    if (next->visible() && next->active() && next->visible_focus() && next->take_focus()) return 1;
  }
  return 0;
}

FltkAnimation::FltkAnimation(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_FLAT_BOX);
  clear_visible_focus();
}

FltkAnimation::~FltkAnimation() { Fl::remove_timeout(&FltkAnimation::Tick, this); }

bool FltkAnimation::Open(int resource) {
  if (resource == kAviCopyFiles) resource = kAviOwnCopyFiles;  // Linux has no system clip
  clip_ = PaletteImage{};
  frame_ = 0;
  const ResourceBlob blob = FindProgramResource("AVI", resource);
  const bool ok = blob.data && DecodeAviClip(blob.data, blob.size, clip_);
  if (!ok) clip_ = PaletteImage{};
  redraw();
  return ok;
}

void FltkAnimation::Play(bool playing) {
  Fl::remove_timeout(&FltkAnimation::Tick, this);
  playing_ = playing;
  if (playing_ && clip_.frames.size() > 1) {
    frame_ = 0;
    const double seconds = clip_.microSecPerFrame > 0 ? clip_.microSecPerFrame / 1e6 : 1.0 / 15;
    Fl::add_timeout(seconds, &FltkAnimation::Tick, this);
  }
  redraw();
}

void FltkAnimation::Tick(void* self) {
  auto* a = static_cast<FltkAnimation*>(self);
  a->frame_ = (a->frame_ + 1) % a->clip_.frames.size();
  a->redraw();
  Fl::repeat_timeout(a->clip_.microSecPerFrame / 1e6, &FltkAnimation::Tick, self);
}

void FltkAnimation::draw() {
  draw_box();
  if (clip_.frames.empty()) return;
  const std::vector<std::uint8_t>& px = clip_.frames[frame_ % clip_.frames.size()];
  const std::uint8_t transparent = px[0];
  unsigned char br, bg, bb;
  Fl::get_color(color(), br, bg, bb);
  rgb_.resize(px.size() * 3);
  for (std::size_t i = 0; i < px.size(); ++i) {
    const std::uint32_t c = clip_.palette[px[i]];
    const bool back = px[i] == transparent;
    rgb_[i * 3] = back ? br : static_cast<unsigned char>(c >> 16);
    rgb_[i * 3 + 1] = back ? bg : static_cast<unsigned char>(c >> 8);
    rgb_[i * 3 + 2] = back ? bb : static_cast<unsigned char>(c);
  }
  // Centred in the control, as the system's animation control does.
  fl_push_clip(x(), y(), w(), h());
  fl_draw_image(rgb_.data(), x() + (w() - clip_.width) / 2, y() + (h() - clip_.height) / 2, clip_.width,
                clip_.height, 3);
  fl_pop_clip();
}

std::unique_ptr<Fl_RGB_Image> LoadBitmapResource(int resource) {
  const ResourceBlob blob = FindProgramResource("BITMAP", resource);
  PaletteImage pic;
  if (!blob.data || !DecodeBmp8(blob.data, blob.size, pic)) return nullptr;
  const std::vector<std::uint8_t>& px = pic.frames.front();
  auto* rgb = new unsigned char[px.size() * 3];
  for (std::size_t i = 0; i < px.size(); ++i) {
    const std::uint32_t c = pic.palette[px[i]];
    rgb[i * 3] = static_cast<unsigned char>(c >> 16);
    rgb[i * 3 + 1] = static_cast<unsigned char>(c >> 8);
    rgb[i * 3 + 2] = static_cast<unsigned char>(c);
  }
  auto image = std::make_unique<Fl_RGB_Image>(rgb, pic.width, pic.height, 3);
  image->alloc_array = 1;  // the image frees the pixels
  return image;
}

}  // namespace plat
