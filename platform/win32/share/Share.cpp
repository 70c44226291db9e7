// Win32 implementation of the network-share seam: a thin pass-through to mpr.dll.
// Must contain only Win32-specific code.
#include "platform/Share.h"

#include <windows.h>
#include <winnetwk.h>

#include "platform/Files.h"

namespace plat {
namespace {

thread_local std::uint32_t lastResult = 0;

class Win32Share final : public Share {
 public:
  std::uint32_t WNetAddConnection2A(const NetResource& r, const char* password, const char* userName,
                                    std::uint32_t flags) override {
    NETRESOURCEA nr{};
    nr.dwScope = r.dwScope;
    nr.dwType = r.dwType;
    nr.dwDisplayType = r.dwDisplayType;
    nr.dwUsage = r.dwUsage;
    nr.lpLocalName = const_cast<char*>(r.lpLocalName);
    nr.lpRemoteName = const_cast<char*>(r.lpRemoteName);
    nr.lpComment = const_cast<char*>(r.lpComment);
    nr.lpProvider = const_cast<char*>(r.lpProvider);
    return lastResult = ::WNetAddConnection2A(&nr, password, userName, flags);
  }

  std::uint32_t WNetCancelConnection2A(const std::string& name, std::uint32_t flags, bool force) override {
    return lastResult = ::WNetCancelConnection2A(name.c_str(), flags, force ? TRUE : FALSE);
  }

  std::uint32_t GetLastError() override { return lastResult; }

  // The system's message table, which the files seam reads.
  std::string ErrorText(std::uint32_t code) override { return files().ErrorText(code); }
};

}  // namespace

template <> Share& SystemInstance<Share>() {
  static Win32Share* instance = new Win32Share;
  return *instance;
}

}  // namespace plat
