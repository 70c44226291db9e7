// FTP upload: one wpFtpUpload item. URL is the local file, TargetDir the remote
// directory (made when missing, one level) and TargetFilename the remote name. The
// connection is shared with the FTP download; FtpCurrentDir saves the directory
// change for a chain of uploads into the same directory.
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Ui.h"
#include "webcopy/Transfer.h"
#include "webcopy/WcDialog.h"
#include "webcopy/WcHelpers.h"
#include "webcopy/WcUrl.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr std::uint32_t kBlockSize = 4096;
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

  const TFtpConnectionKey key{FTPHost, FTPUserID, FTPPassword};
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
  const std::string& local = URL;
  const std::string remote = TargetFilename.empty() ? ExtractURLFileName(URL) : TargetFilename;

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

  // Read-only: nothing more is needed, and a read-only file can be sent too.
  ScopedFile source(FileExists(local) ? fs.CreateFileA(local, plat::FileAccess::Read, plat::FileCreate::OpenExisting)
                                      : plat::kInvalidFile);
  std::uint64_t size64 = 0;
  if (!source || !fs.GetFileSize(source.Get(), &size64)) {
    file.Close();
    release();
    ReportError(TransferError::kOpenSource, "Cannot open target file " + local);
    return false;
  }
  const auto size = static_cast<std::uint32_t>(size64);

  // A Cancel clicked before this point is forgotten.
  Cancelled = false;
  BlockReader reader(source.Get());
  const std::uint32_t start = plat::sysClock().GetTickCount();
  std::uint64_t sent = 0;
  std::uint32_t count = kBlockSize;
  bool writeFailed = false;
  std::uint32_t writeError = 0;
  char block[kBlockSize];
  while (count == kBlockSize && !Cancelled) {
    PumpMessages();
    if (!reader.Read(block, kBlockSize, &count)) RaiseInOutError(fs.GetLastError());
    const std::uint32_t read = count;
    if (!net.InternetWriteFile(file.Get(), block, read, &count)) {
      writeFailed = true;
      writeError = net.GetLastError();
      break;
    }
    sent += count;
    UpdateProgress(sent, size, start, DlgUpload);
  }
  if (TWcProgressDialog* d = Dialog()) d->Sync();
  source.Close();
  // Closing the remote file completes it; a server that did not confirm it has not
  // got it (the Linux seam reports that, WinINet does not).
  const bool closed = net.InternetCloseHandle(file.Release());
  if (!closed && !writeFailed && !Cancelled) {
    writeFailed = true;
    writeError = net.GetLastError();
  }
  release();
  if (writeFailed && !Cancelled) {
    const std::uint32_t code = writeError != 0 ? writeError : plat::kErrorInternetConnectionAborted;
    ReportError(static_cast<int>(code), InternetErrorText(code));
    return false;
  }
  return true;
}

}  // namespace nolt
