// Shell seam: open a document with its associated program, or a folder in the file
// manager (ShellExecuteA with the verb "open" on Windows, xdg-open on Linux).
#pragma once

#include <string>

#include "platform/Seam.h"

namespace plat {

class Shell {
 public:
  virtual ~Shell() = default;
  // Returns true when the shell accepted the request; the caller may ignore it. A
  // path that holds a NUL byte is refused.
  virtual bool ShellExecuteOpen(const std::string& path) = 0;
};

inline Shell& shell() { return Use<Shell>(); }

}  // namespace plat
