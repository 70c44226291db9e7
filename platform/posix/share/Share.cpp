// POSIX implementation of the network-share seam: shares through libsmbclient
// (SmbClient.cpp), with no drive and no mount point.
#include "platform/Share.h"

#include "platform/Files.h"
#include "platform/posix/share/SmbClient.h"

namespace plat {
namespace {

thread_local std::uint32_t lastResult = 0;

class PosixShare final : public Share {
 public:
  std::uint32_t WNetAddConnection2A(const NetResource& r, const char* password, const char* userName,
                                    std::uint32_t) override {
    // A disk share (or any resource, as Windows takes it), connected without a local name.
    if (r.dwType != kResourceTypeDisk && r.dwType != 0) return lastResult = kErrorBadDevType;
    if (r.lpLocalName && *r.lpLocalName) return lastResult = kErrorBadDevice;
    if (!r.lpRemoteName) return lastResult = kErrorBadNetName;
    return lastResult = smb::Connect(r.lpRemoteName, userName ? userName : "", password ? password : "");
  }

  // Connections here are never remembered in a profile: the flags change nothing.
  std::uint32_t WNetCancelConnection2A(const std::string& name, std::uint32_t, bool force) override {
    return lastResult = smb::Disconnect(name, force);
  }

  std::uint32_t GetLastError() override { return lastResult; }

  std::string ErrorText(std::uint32_t code) override {
    const std::string text = smb::ErrorText(code);
    return text.empty() ? files().ErrorText(code) : text;
  }
};

}  // namespace

template <> Share& SystemInstance<Share>() {
  static PosixShare* instance = new PosixShare;
  return *instance;
}

}  // namespace plat
