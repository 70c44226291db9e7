// HTTP upload: one wpHttpUpload item, a local file sent as the body of one POST or
// PUT request through the internet seam, its length announced first, in blocks of
// 4096 bytes, with the progress display and cancel between blocks. The server's
// answer is not judged: the item counts by the bytes that went out.
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
// ERROR_FILE_TOO_LARGE: the announced length is a 32-bit number.
constexpr std::uint32_t kErrorFileTooLarge = 223;

}  // namespace

bool TWebCopy::HttpUpload(const std::string& URL, const std::string& TargetDir, const std::string& TargetFilename,
                          TWebCopyHTTPCommand HTTPCommand) {
  auto& net = plat::internet();
  auto& fs = plat::files();

  if (TWcProgressDialog* d = Dialog()) d->PlayClip(plat::kAviUpload);
  // The file line names the file of the URL as passed in; the server and the request
  // come from the URL with the proxy credentials inserted (host and path are the same).
  const std::string name = ExtractURLFileName(URL);
  const std::string url = InsertProxyCredentials(URL);
  SetFileLine(name, DlgFromServerLabel, ExtractURLHost(url), ShowServer);

  const std::string local = JoinPath(TargetDir, TargetFilename.empty() ? ExtractURLFileName(url) : TargetFilename);
  if (!FileExists(local)) return false;
  PumpMessages();

  // The connection goes to the port and scheme that the URL names.
  const std::string host = ExtractURLHost(url);
  const std::string path = ExtractURLPath(url);
  const HttpEndpoint server = ParseHttpEndpoint(url);
  ScopedInternetHandle connection;
  ScopedInternetHandle request;
  if (server.port != 0)
    connection.Reset(net.InternetConnectA(InternetHandle, server.host, server.port, "", "", plat::kInternetServiceHttp,
                                          0, 0));
  request.Reset(net.HttpOpenRequestA(connection.Get(), HTTPCommand == hcPut ? "PUT" : "POST", path, "", "", nullptr,
                                     plat::kInternetFlagNoCacheWrite | (server.secure ? plat::kInternetFlagSecure : 0),
                                     0));
  if (!request) {
    connection.Close();
    ReportError(TransferError::kConnect, "Cannot connect to server " + host);
    return false;
  }

  // A local file that cannot be opened or measured is an input/output error of the
  // run, as a failed read below is.
  ScopedFile file(fs.CreateFileA(local, plat::FileAccess::Read, plat::FileCreate::OpenExisting));
  if (!file) RaiseInOutError(fs.GetLastError());
  std::uint64_t size64 = 0;
  if (!fs.GetFileSize(file.Get(), &size64)) RaiseInOutError(fs.GetLastError());
  // 4 GiB and more cannot be announced: cut to 32 bits, the server would take a
  // part of the file for the whole.
  if (size64 > 0xFFFFFFFFu) RaiseInOutError(kErrorFileTooLarge);
  const auto size = static_cast<std::uint32_t>(size64);

  plat::InternetBuffers buffers;
  buffers.structSize = plat::kInternetBuffersSize;
  buffers.bufferTotal = size;
  if (!net.HttpSendRequestExA(request.Get(), &buffers, plat::kHsrInitiate, 0)) {
    const std::uint32_t code = net.GetLastError();
    file.Close();
    request.Close();
    connection.Close();
    ReportError(static_cast<int>(code), InternetErrorText(code));
    return false;
  }

  BlockReader reader(file.Get());
  const std::uint32_t start = plat::sysClock().GetTickCount();
  std::uint32_t sent = 0;
  std::uint32_t count = kBlockSize;
  char block[kBlockSize];
  while (count == kBlockSize && !Cancelled) {
    if (!reader.Read(block, kBlockSize, &count)) RaiseInOutError(fs.GetLastError());
    std::uint32_t written = 0;
    if (!net.InternetWriteFile(request.Get(), block, count, &written)) {
      const std::uint32_t code = net.GetLastError();
      ReportError(static_cast<int>(code), InternetErrorText(code));
      break;
    }
    sent += count;
    // The bar and the total move only for a block that the write reported.
    UpdateProgress(sent, size, start, DlgUpload, written != 0);
    PumpMessages();
  }
  // The last block's numbers are shown even when the throttle skipped its repaint.
  if (TWcProgressDialog* d = Dialog()) d->Sync();

  // Ended also after a failed write or a cancel. A cancelled request, ended short on
  // purpose, reports nothing.
  const bool ended = net.HttpEndRequestA(request.Get(), 0, 0);
  if (!ended && !Cancelled) {
    const std::uint32_t code = net.GetLastError();
    ReportError(static_cast<int>(code), InternetErrorText(code));
  }
  file.Close();
  request.Close();
  connection.Close();
  // Every byte went out, and the request was completed: an upload whose connection
  // broke before the server answered may not have arrived.
  return sent == size && ended;
}

}  // namespace nolt
