// FLTK widgets of the view that FLTK has no exact match for: a text label drawn as
// plain text (no symbol or "&" processing unless asked), the animation control that
// plays the program's clips, and the banner picture.
#pragma once

#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Widget.H>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/ui/FltkImages.h"

namespace plat {

class FltkLabel : public Fl_Widget {
 public:
  FltkLabel(int x, int y, int w, int h);
  // accelChar: "&x" draws x underlined and Alt+x focuses the next focusable widget.
  void SetText(const std::string& text, bool accelChar);
  const std::string& Text() const { return text_; }
  // The size of text drawn in the label font (lines separated by "\n").
  static void Measure(const std::string& text, int fontSize, bool accelChar, int& w, int& h);

 protected:
  void draw() override;
  int handle(int event) override;

 private:
  std::string text_;
  bool accelChar_ = false;
};

// Plays an AVI clip of the program's resources, repeated without end, drawing the
// colour of the top-left pixel in the widget's background colour (transparent).
class FltkAnimation : public Fl_Widget {
 public:
  FltkAnimation(int x, int y, int w, int h);
  ~FltkAnimation() override;
  // Selects a clip by resource number; false when the program does not carry it.
  bool Open(int resource);
  void Play(bool playing);
  bool Playing() const { return playing_; }
  std::size_t FrameCount() const { return clip_.frames.size(); }

 protected:
  void draw() override;

 private:
  static void Tick(void* self);
  PaletteImage clip_;
  std::size_t frame_ = 0;
  bool playing_ = false;
  std::vector<unsigned char> rgb_;
};

// The picture of a BITMAP resource as an FLTK image, or null.
std::unique_ptr<Fl_RGB_Image> LoadBitmapResource(int resource);

}  // namespace plat
