// The FLTK view of the user-interface seam (Linux with an X display).
#pragma once

#include <memory>

#include "platform/Ui.h"

typedef struct _XDisplay Display;

namespace plat {

// Takes over an open X display connection.
std::unique_ptr<Ui> MakeFltkUi(Display* display);

}  // namespace plat
