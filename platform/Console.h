// Console seam: what a command-line program asks about its standard streams.
#pragma once

#include "platform/Seam.h"

namespace plat {

class Console {
 public:
  virtual ~Console() = default;
  // Whether standard error is a terminal (a console window on Windows), where a
  // line may be rewritten in place; false for a file or a pipe.
  virtual bool StdErrIsTerminal() = 0;
};

inline Console& console() { return Use<Console>(); }

}  // namespace plat
