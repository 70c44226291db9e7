// Win32 implementation of the shell seam. Must contain only Win32-specific code.
#include "platform/Shell.h"

#include <windows.h>
#include <shellapi.h>

namespace plat {
namespace {

class Win32Shell final : public Shell {
 public:
  bool ShellExecuteOpen(const std::string& path) override {
    if (HoldsNul(path)) return false;  // the system would open a shorter path
    HINSTANCE r = ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(r) > 32;
  }
};

}  // namespace

template <> Shell& SystemInstance<Shell>() {
  static Win32Shell* instance = new Win32Shell;
  return *instance;
}

}  // namespace plat
