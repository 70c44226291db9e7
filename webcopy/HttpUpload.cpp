// HTTP upload: one wpHttpUpload item, a local file sent as the body of one POST or
// PUT request through the internet seam, its length announced first, in blocks of
// 4096 bytes, with the progress display and cancel between blocks. The server's
// answer is not judged, but for a redirect: the item counts by the bytes that went
// out. A redirect is never followed (the body would have to be sent again, to a
// place the caller did not name): it ends the item with an error that names it.
#include "base/Limits.h"
#include "base/Text.h"
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

// ERROR_FILE_TOO_LARGE: the announced length is a 32-bit number.
constexpr std::uint32_t kErrorFileTooLarge = 223;

// The status of an upload's answer, 0 when there is none.
std::uint32_t AnswerStatus(plat::HInternet request) {
  std::uint32_t status = 0;
  std::uint32_t length = sizeof status;
  std::uint32_t index = 0;
  if (!plat::internet().HttpQueryInfoA(request, plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber, &status,
                                       &length, &index))
    return 0;
  return status;
}

// Where an answer redirects to, its control bytes dropped (it is shown); "" without one.
std::string AnswerLocation(plat::HInternet request) {
  char buf[1024];
  std::uint32_t length = sizeof buf;
  std::uint32_t index = 0;
  if (!plat::internet().HttpQueryInfoA(request, plat::kHttpQueryLocation, buf, &length, &index) ||
      length >= sizeof buf)
    return {};
  std::string text;
  for (char c : std::string(buf, length))
    if (!IsControlByte(c)) text += c;
  return text;
}

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
  if (!IsSendableUrl(url)) {
    ReportFailure(plat::kErrorInternetInvalidUrl);
    return false;
  }
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
                                     plat::kInternetFlagNoCacheWrite | plat::kInternetFlagNoAutoRedirect |
                                         (server.secure ? plat::kInternetFlagSecure : 0),
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
    ReportFailure(code);
    return false;
  }

  BlockReader reader(file.Get());
  const std::uint32_t start = plat::sysClock().GetTickCount();
  std::uint32_t sent = 0;
  std::uint32_t count = kTransferBlockSize;
  bool reported = false;  // one error per item: a failed write makes the end fail too
  char block[kTransferBlockSize];
  while (count == kTransferBlockSize && !Cancelled) {
    if (!reader.Read(block, kTransferBlockSize, &count)) RaiseInOutError(fs.GetLastError());
    std::uint32_t written = 0;
    if (!net.InternetWriteFile(request.Get(), block, count, &written)) {
      ReportFailure(net.GetLastError());
      reported = true;
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
  // purpose, reports nothing, nor does one whose write failed already.
  const bool ended = net.HttpEndRequestA(request.Get(), 0, 0);
  if (!ended && !Cancelled && !reported) ReportFailure(net.GetLastError());
  // An answer that redirects says that the file was not stored where it was sent.
  const std::uint32_t status = ended ? AnswerStatus(request.Get()) : 0;
  const bool redirected = status >= 300 && status < 400;
  if (redirected) {
    const std::string location = AnswerLocation(request.Get());
    ReportError(static_cast<int>(status), "The server redirected the upload (http status " + std::to_string(status) +
                                              ") to " + (location.empty() ? "no location" : location) +
                                              "; it was not sent again");
  }
  file.Close();
  request.Close();
  connection.Close();
  // Every byte went out, and the request was completed: an upload whose connection
  // broke before the server answered may not have arrived.
  return sent == size && ended && !redirected;
}

}  // namespace nolt
