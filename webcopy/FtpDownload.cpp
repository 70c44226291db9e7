// FTP download: one wpFtp item. It logs on (or takes the connection that the item
// before kept), changes to the directory of the URL, looks the file up for its size
// and date, and copies it in binary mode into a staged local file, which replaces
// the target only when the whole file has arrived and the server confirmed it.
#include "base/Limits.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "webcopy/Transfer.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"
#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

static_assert(kTransferBlockSize <= StagedFile::kWriteChunk);
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
  if (RefuseFtpItem(key, {&URL})) return false;
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
  // and without a date check. A size the server told is the file's: no more and no
  // fewer bytes may arrive.
  std::uint64_t size = 0;
  bool sizeKnown = false;
  plat::FtpFindData found;
  if (const plat::HInternet search = net.FtpFindFirstFileA(connection, name, &found, 0, 0)) {
    net.InternetCloseHandle(search);
    sizeKnown = found.sizeKnown;
    if (sizeKnown) size = (std::uint64_t{found.sizeHigh} << 32) | found.sizeLow;
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
  staged.SetDurable(Durable);
  if (!CanCreateTarget(target) || !staged.Create(target)) {
    file.Close();
    release();
    ReportError(TransferError::kCreateTarget, "Cannot create target file " + target);
    return false;
  }

  // A Cancel clicked while connecting or opening is forgotten here.
  Cancelled = false;
  const std::uint32_t start = plat::sysClock().GetTickCount();
  RateWatch rate(Limits, start);
  // What is shown and passed to the events: the low 32 bits of the size.
  const auto shownSize = static_cast<std::uint32_t>(size);
  std::uint64_t done = 0;
  std::uint32_t count = kTransferBlockSize;
  std::uint32_t failure = 0;  // why the transfer failed
  try {
    while (count != 0 && !Cancelled) {
      PumpMessages();
      char* block = staged.NextBlock(kTransferBlockSize);
      if (!net.InternetReadFile(file.Get(), block, kTransferBlockSize, &count)) {
        failure = net.GetLastError();
        if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
        break;
      }
      if (sizeKnown && done + count > size) {
        // More than the server said the file holds: not the file it described.
        failure = plat::kErrorHttpInvalidServerResponse;
        break;
      }
      if (count > 0 && count <= kTransferBlockSize) staged.Append(count);
      done += count;
      UpdateProgress(done, shownSize, start, DlgDwnload);
      // A server that trickles too slowly to ever finish ends the transfer.
      if (count != 0 && rate.TooSlow(done, plat::sysClock().GetTickCount())) {
        failure = plat::kErrorInternetTimeout;
        break;
      }
    }
  } catch (...) {
    // A local write failed: the file and the connection go as on every other way out.
    file.Close();
    release();
    throw;
  }
  // The last block's numbers are shown even when the throttle skipped its repaint.
  if (TWcProgressDialog* d = Dialog()) d->Sync();
  // Closing the file reads the server's final reply: a transfer it did not confirm
  // (one it aborted, of a size nobody told) has failed, whatever arrived.
  const bool confirmed = net.InternetCloseHandle(file.Release());
  if (failure == 0 && !Cancelled && !confirmed) {
    failure = net.GetLastError();
    if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
  }
  // A file that ends short of its size (a data connection that the server dropped,
  // which WinINet may take for the end) is a failure too.
  if (failure == 0 && sizeKnown && done < size) failure = plat::kErrorInternetConnectionAborted;
  release();

  if (Cancelled) {
    staged.Discard();
    return true;
  }
  if (failure != 0) {
    staged.Discard();
    ReportFailure(failure);
    // After a failed transfer the connection's state is not known (a stalled one is
    // of no further use): the next item logs on anew.
    if (KeepConnection) CloseFtpConnection();
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
