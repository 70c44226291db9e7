// The FTP connection that FTP downloads and uploads share: kept from one item to
// the next of the same server and account, released on every way out of an item.
#include "base/Text.h"
#include "platform/Internet.h"
#include "webcopy/WebCopy.h"

namespace nolt {

plat::HInternet TWebCopy::ObtainFtpConnection(const TFtpConnectionKey& key, std::int32_t FTPPort, bool& isNew) {
  isNew = false;
  if (FtpConnection && key == FtpConnectionKey) return FtpConnection;
  // A kept connection of another account is of no further use.
  CloseFtpConnection();
  isNew = true;
  // The account only when both parts are given; else the logon is anonymous.
  const bool account = !key.UserID.empty() && !key.Password.empty();
  return plat::internet().InternetConnectA(InternetHandle, key.Host, static_cast<std::uint16_t>(FTPPort),
                                           account ? key.UserID : "", account ? key.Password : "",
                                           plat::kInternetServiceFtp, FTPPassive ? plat::kInternetFlagPassive : 0, 0);
}

bool TWebCopy::RefuseFtpItem(const TFtpConnectionKey& key, std::initializer_list<const std::string*> remoteNames) {
  if (RefuseAccount(key.UserID, key.Password)) return true;
  std::uint32_t code = 0;
  if (HoldsControlByte(key.Host)) code = plat::kErrorInternetInvalidUrl;
  for (const std::string* name : remoteNames)
    if (code == 0 && plat::BreaksFtpCommand(*name)) code = plat::kErrorInvalidName;
  if (code == 0) return false;
  ReportFailure(code);
  return true;
}

void TWebCopy::KeepFtpConnection(plat::HInternet connection, const TFtpConnectionKey& key) {
  FtpConnection = connection;
  FtpConnectionKey = key;
}

void TWebCopy::ReleaseConnection(plat::HInternet connection, bool KeepConnection) {
  if (KeepConnection) return;
  if (connection) plat::internet().InternetCloseHandle(connection);
  if (FtpConnection == connection) FtpConnection = nullptr;
  FtpConnectionKey = {};
}

void TWebCopy::CloseFtpConnection() {
  if (FtpConnection) plat::internet().InternetCloseHandle(FtpConnection);
  FtpConnection = nullptr;
  FtpConnectionKey = {};
}

}  // namespace nolt
