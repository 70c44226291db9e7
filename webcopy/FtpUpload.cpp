// FTP upload: one wpFtpUpload item. URL is the local file, TargetDir the remote
// directory (made when missing, one level) and TargetFilename the remote name. The
// connection is shared with the FTP download; FtpCurrentDir saves the directory
// change for a chain of uploads into the same directory. The local file is opened
// before anything is sent, so a file that cannot be read never empties a remote one.
#include "base/Limits.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Ui.h"
#include "webcopy/Transfer.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"
#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr std::uint32_t kFtpBinary = plat::kInternetFlagTransferBinary;

}  // namespace

bool TWebCopy::FtpUpload(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                         const std::string& FTPHost, std::int32_t FTPPort, const std::string& URL,
                         const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                         TDateTime& FileDate, bool& NoNewFile, bool KeepConnection) {
  auto& net = plat::internet();
  auto& fs = plat::files();
  NoNewFile = false;

  if (TWcProgressDialog* d = Dialog()) d->PlayClip(plat::kAviUpload);
  // The server is always named: the file goes to it.
  SetFileLine(ExtractURLFileName(URL), DlgToServerLabel, FTPHost, true);
  PumpMessages();

  const std::string& local = URL;
  const std::string remote = TargetFilename.empty() ? ExtractURLFileName(URL) : TargetFilename;
  const TFtpConnectionKey key{FTPHost, FTPUserID, FTPPassword};
  if (RefuseFtpItem(key, {&TargetDir, &remote})) return false;

  // The local file first, read-only (nothing more is needed, and a read-only file can
  // be sent too): only a regular file, since a FIFO or a device could block for good
  // or never end, and a missing one sends nothing.
  ScopedFile source(FileExists(local) ? fs.CreateFileA(local, plat::FileAccess::Read, plat::FileCreate::OpenExisting)
                                      : plat::kInvalidFile);
  std::uint64_t size = 0;
  if (!source || !fs.GetFileSize(source.Get(), &size)) {
    ReportError(TransferError::kOpenSource, "Cannot open target file " + local);
    return false;
  }

  bool isNew = false;
  const plat::HInternet connection = ObtainFtpConnection(key, FTPPort, isNew);
  if (isNew) FtpCurrentDir.clear();
  if (!connection) {
    ReportError(TransferError::kConnect, "Cannot connect to FTP server " + FTPHost);
    return false;
  }
  if (KeepConnection) KeepFtpConnection(connection, key);
  PumpMessages();
  const auto release = [this, connection, KeepConnection] { ReleaseConnection(connection, KeepConnection); };

  // The remote directory, made when it is missing. Recorded before the change is
  // tried, so that the next upload over a kept connection skips it.
  if (!TargetDir.empty() && TargetDir != FtpCurrentDir) {
    FtpCurrentDir = KeepConnection ? TargetDir : "";
    if (!net.FtpSetCurrentDirectoryA(connection, TargetDir)) {
      if (!net.FtpCreateDirectoryA(connection, TargetDir)) {
        release();
        return false;
      }
      net.FtpSetCurrentDirectoryA(connection, TargetDir);
    }
  }

  PumpMessages();
  // The date of the remote file, when there is one; the local file's date plays no part.
  if (CopyNewerOnly || OnFileDateCheck) {
    plat::FtpFindData found;
    if (const plat::HInternet search = net.FtpFindFirstFileA(connection, remote, &found, 0, 0)) {
      net.InternetCloseHandle(search);
      if (!CheckFileDate(idx, FileTimeToDateTime(found.lastWriteTime), CopyNewerOnly, FileDate, NoNewFile, remote,
                         release))
        return false;
    }
  }

  ScopedInternetHandle file;
  file.Reset(net.FtpOpenFileA(connection, remote, plat::kGenericWrite, kFtpBinary, 0));
  if (!file) {
    if (OnURLNotFound) OnURLNotFound(this, URL);
    release();
    return false;
  }
  PumpMessages();
  LastTargetFile = local;
  LastTargetDir = TargetDir;

  // A Cancel clicked before this point is forgotten.
  Cancelled = false;
  BlockReader reader(source.Get());
  const std::uint32_t start = plat::sysClock().GetTickCount();
  std::uint64_t sent = 0;
  std::uint32_t count = kTransferBlockSize;
  std::uint32_t failure = 0;  // why the transfer failed
  char block[kTransferBlockSize];
  try {
    while (count == kTransferBlockSize && !Cancelled) {
      PumpMessages();
      if (!reader.Read(block, kTransferBlockSize, &count)) RaiseInOutError(fs.GetLastError());
      const std::uint32_t read = count;
      if (!net.InternetWriteFile(file.Get(), block, read, &count)) {
        failure = net.GetLastError();
        if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
        break;
      }
      sent += count;
      UpdateProgress(sent, static_cast<std::uint32_t>(size), start, DlgUpload);
    }
  } catch (...) {
    // A local read failed: the remote file and the connection go as on every other way out.
    file.Close();
    release();
    throw;
  }
  if (TWcProgressDialog* d = Dialog()) d->Sync();
  source.Close();
  // Closing the remote file completes it and reads the server's final reply: a file
  // the server refused after the data (451, 550, 426) has not arrived.
  const bool confirmed = net.InternetCloseHandle(file.Release());
  if (failure == 0 && !Cancelled && !confirmed) {
    failure = net.GetLastError();
    if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
  }
  // The size the server keeps, when it tells one, is the size that was sent.
  std::string kept;
  if (failure == 0 && !Cancelled) {
    plat::FtpFindData found;
    if (const plat::HInternet search = net.FtpFindFirstFileA(connection, remote, &found, 0, 0)) {
      net.InternetCloseHandle(search);
      const std::uint64_t remoteSize = (std::uint64_t{found.sizeHigh} << 32) | found.sizeLow;
      if (found.sizeKnown && remoteSize != sent) {
        failure = plat::kErrorHttpInvalidServerResponse;
        kept = "The server keeps " + std::to_string(remoteSize) + " bytes of the " + std::to_string(sent) +
               " that were sent";
      }
    }
  }
  release();
  if (failure != 0 && !Cancelled) {
    if (kept.empty()) ReportFailure(failure);
    else ReportError(static_cast<int>(failure), kept);
    // After a failed transfer the connection's state is not known: the next item logs on anew.
    if (KeepConnection) CloseFtpConnection();
    return false;
  }
  return true;
}

}  // namespace nolt
