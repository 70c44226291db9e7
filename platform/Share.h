// Network-share seam: the two calls of mpr.dll that the file copy makes, shaped like
// them, with their error numbers on both targets.
//
// Windows: WNetAddConnection2A and WNetCancelConnection2A as they stand. Linux: a
// share "\\SERVER\SHARE" or "//SERVER/SHARE" ("SERVER:PORT" for a server that does
// not listen on 445) is connected through libsmbclient, loaded when a share is first
// used, with no drive and no mount point; while it is connected, the files seam
// opens, reads and writes the paths below it (either separator) through the same
// connection. Errors are the numbers the Windows calls give, mapped in one place.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Seam.h"

namespace plat {

// NETRESOURCEA: what WNetAddConnection2A connects. A null text is a null pointer.
struct NetResource {
  std::uint32_t dwScope = 0;
  std::uint32_t dwType = 0;
  std::uint32_t dwDisplayType = 0;
  std::uint32_t dwUsage = 0;
  const char* lpLocalName = nullptr;
  const char* lpRemoteName = nullptr;
  const char* lpComment = nullptr;
  const char* lpProvider = nullptr;
};

inline constexpr std::uint32_t kResourceTypeDisk = 1;      // RESOURCETYPE_DISK
inline constexpr std::uint32_t kConnectUpdateProfile = 1;  // CONNECT_UPDATE_PROFILE

// The error numbers of the two calls that components and tests name.
inline constexpr std::uint32_t kErrorBadNetPath = 53;                   // server unreachable
inline constexpr std::uint32_t kErrorBadDevType = 66;                   // not a disk resource
inline constexpr std::uint32_t kErrorBadNetName = 67;                   // no such share, or no share name
inline constexpr std::uint32_t kErrorInvalidPassword = 86;              // the account was refused
inline constexpr std::uint32_t kErrorBadDevice = 1200;                  // a local name (drive) was asked for
inline constexpr std::uint32_t kErrorNoNetOrBadPath = 1203;             // any other failure to connect
inline constexpr std::uint32_t kErrorSessionCredentialConflict = 1219;  // connected already, other account
inline constexpr std::uint32_t kErrorNoNetwork = 1222;                  // no client for shares
inline constexpr std::uint32_t kErrorNotConnected = 2250;               // no such connection
inline constexpr std::uint32_t kErrorOpenFiles = 2401;                  // files open, and not forced

class Share {
 public:
  virtual ~Share() = default;

  // Connects resource.lpRemoteName with the account given (null: the current
  // user's). 0 (NO_ERROR) when the share is connected. A name connected already
  // with the same account counts once more, and is removed by as many cancels.
  virtual std::uint32_t WNetAddConnection2A(const NetResource& resource, const char* password, const char* userName,
                                            std::uint32_t flags) = 0;
  // Removes the connection of name; with force even while files below it are open
  // (they are closed, and their handles fail from then on). 0 when the connection
  // was removed.
  virtual std::uint32_t WNetCancelConnection2A(const std::string& name, std::uint32_t flags, bool force) = 0;

  // The result of this thread's last call of this seam.
  virtual std::uint32_t GetLastError() = 0;
  // The system's text for an error number of these calls.
  virtual std::string ErrorText(std::uint32_t code) = 0;
};

inline Share& share() { return Use<Share>(); }

}  // namespace plat
