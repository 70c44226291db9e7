// Linux implementation of the console seam.
#include "platform/Console.h"

#include <unistd.h>

namespace plat {
namespace {

class PosixConsole final : public Console {
 public:
  bool StdErrIsTerminal() override { return isatty(STDERR_FILENO) == 1; }
};

}  // namespace

template <> Console& SystemInstance<Console>() {
  static PosixConsole* instance = new PosixConsole;
  return *instance;
}

}  // namespace plat
