// Win32 implementation of the console seam. Must contain only Win32-specific code.
#include "platform/Console.h"

#include <windows.h>

namespace plat {
namespace {

class Win32Console final : public Console {
 public:
  // A console is a character device; a file or a pipe is not.
  bool StdErrIsTerminal() override {
    HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) == FILE_TYPE_CHAR;
  }
};

}  // namespace

template <> Console& SystemInstance<Console>() {
  static Win32Console* instance = new Win32Console;
  return *instance;
}

}  // namespace plat
