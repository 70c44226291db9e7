// FTP download: one wpFtp item. It logs on (or takes the connection that the item
// before kept), changes to the directory of the URL, looks the file up for its size
// and date, and copies it in binary mode into a staged local file, which replaces
// the target only when the whole file has arrived.
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "webcopy/Transfer.h"
#include "webcopy/WcDialog.h"
#include "webcopy/WcHelpers.h"
#include "webcopy/WcUrl.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr std::uint32_t kBlockSize = 4096;
static_assert(kBlockSize <= StagedFile::kWriteChunk);
constexpr std::uint32_t kFtpBinary = plat::kInternetFlagTransferBinary;

}  // namespace

bool TWebCopy::FtpDownload(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                           const std::string& FTPHost, std::int32_t FTPPort, const std::string& URL,
                           const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                           TDateTime& FileDate, bool& NoNewFile, bool KeepConnection) {
  auto& net = plat::internet();
  NoNewFile = false;

  const std::string name = ExtractURLFileName(URL);
  SetFileLine(name, DlgFromServerLabel, FTPHost, ShowServer);
  PumpMessages();

  const TFtpConnectionKey key{FTPHost, FTPUserID, FTPPassword};
  bool isNew = false;
  const plat::HInternet connection = ObtainFtpConnection(key, FTPPort, isNew);
  if (!connection) {
    ReportError(TransferError::kConnect, "Cannot connect to FTP server " + FTPHost);
    return false;
  }
  if (KeepConnection) KeepFtpConnection(connection, key);
  PumpMessages();
  const auto release = [this, connection, KeepConnection] { ReleaseConnection(connection, KeepConnection); };

  // The directory of the URL, its '/' kept; a URL without one stays where the
  // connection is. A failed change shows when the file is looked up and opened.
  const std::size_t slash = URL.rfind('/');
  if (slash != std::string::npos) net.FtpSetCurrentDirectoryA(connection, URL.substr(0, slash + 1));

  // A file that the listing does not show is fetched all the same, of unknown size
  // and without a date check.
  std::uint32_t size = 0;
  plat::FtpFindData found;
  if (const plat::HInternet search = net.FtpFindFirstFileA(connection, name, &found, 0, 0)) {
    net.InternetCloseHandle(search);
    size = found.sizeLow;
    if ((CopyNewerOnly || OnFileDateCheck) &&
        !CheckFileDate(idx, FileTimeToDateTime(found.lastWriteTime), CopyNewerOnly, FileDate, NoNewFile, name,
                       release))
      return false;
  }

  PumpMessages();
  ScopedInternetHandle file;
  file.Reset(net.FtpOpenFileA(connection, name, plat::kGenericRead, kFtpBinary, 0));
  PumpMessages();
  if (!file) {
    if (OnURLNotFound) OnURLNotFound(this, URL);
    release();
    return false;
  }

  std::string target;
  if (!ChooseTarget(TargetDir, TargetFilename, URL, target, [&] {
        file.Close();
        release();
      }))
    return false;
  // The file arrives beside the target and replaces it only when complete: a cancel
  // or a broken transfer leaves the previous file as it was.
  StagedFile staged;
  if (!IsReplaceable(target) || !staged.Create(target)) {
    file.Close();
    release();
    ReportError(TransferError::kCreateTarget, "Cannot create target file " + target);
    return false;
  }

  // A Cancel clicked while connecting or opening is forgotten here.
  Cancelled = false;
  const std::uint32_t start = plat::sysClock().GetTickCount();
  RateWatch rate(Limits, start);
  std::uint64_t done = 0;
  std::uint32_t count = kBlockSize;
  bool readFailed = false;
  std::uint32_t readError = 0;
  while (count != 0 && !Cancelled) {
    PumpMessages();
    char* block = staged.NextBlock(kBlockSize);
    if (!net.InternetReadFile(file.Get(), block, kBlockSize, &count)) {
      readFailed = true;
      readError = net.GetLastError();
      break;
    }
    if (count > 0 && count <= kBlockSize) staged.Append(count);
    done += count;
    UpdateProgress(done, size, start, DlgDwnload);
    // A server that trickles too slowly to ever finish ends the transfer.
    if (count != 0 && rate.TooSlow(done, plat::sysClock().GetTickCount())) {
      readFailed = true;
      readError = plat::kErrorInternetTimeout;
      break;
    }
  }
  // The last block's numbers are shown even when the throttle skipped its repaint.
  if (TWcProgressDialog* d = Dialog()) d->Sync();
  file.Close();
  release();

  if (Cancelled) {
    staged.Discard();
    return true;
  }
  // A failed read, or a file that ends short of its listed size (a data connection
  // that the server dropped, which WinINet may take for the end), is a failure.
  if (readFailed || (size != 0 && done < size)) {
    staged.Discard();
    const std::uint32_t code = readFailed && readError != 0 ? readError : plat::kErrorInternetConnectionAborted;
    ReportError(static_cast<int>(code), InternetErrorText(code));
    return false;
  }
  // A local file that cannot be closed is an input/output error, as a failed write is.
  if (!staged.Close()) RaiseInOutError(plat::files().GetLastError());
  if (!staged.Commit()) {
    ReportError(TransferError::kCreateTarget, "Cannot create target file " + target);
    return false;
  }
  return true;
}

}  // namespace nolt
