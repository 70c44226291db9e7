// HTTP download: one wpHttp item fetched through the internet seam into a local
// file, with Basic authorization and its prompt, the newer-only date check, the
// overwrite question, cancel between blocks and the progress display.
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "webcopy/Transfer.h"
#include "webcopy/WcBase64.h"
#include "webcopy/WcDialog.h"
#include "webcopy/WcHelpers.h"
#include "webcopy/WcLogin.h"
#include "webcopy/WcUrl.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr std::uint32_t kBlockSize = 4096;
static_assert(kBlockSize <= StagedFile::kWriteChunk);
constexpr std::uint32_t kQueryStatus = plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber;              // 0x20000013
constexpr std::uint32_t kQueryLastModified = plat::kHttpQueryLastModified | plat::kHttpQueryFlagSystemTime;  // 0x4000000B
constexpr std::uint32_t kQueryLength = plat::kHttpQueryContentLength | plat::kHttpQueryFlagNumber;           // 0x20000005

}  // namespace

bool TWebCopy::PromptLogin(const std::string& caption, std::string& userName, std::string& password) {
  return ShowLoginDialog(caption, userName, password);
}

bool TWebCopy::HttpDownload(int idx, const std::string& URL, const std::string& TargetDir,
                            const std::string& TargetFilename, bool CopyNewerOnly, TDateTime& FileDate,
                            bool& NoNewFile, TWebCopyAuthentication Authenticate, const std::string& HTTPUserID,
                            const std::string& HTTPPassword) {
  auto& net = plat::internet();
  NoNewFile = false;
  bool result = false;

  // The file line and OnNoNewFileFound name the file of the URL as passed in; every
  // request uses the URL with the proxy credentials inserted.
  const std::string name = ExtractURLFileName(URL);
  const std::string url = InsertProxyCredentials(URL);
  SetFileLine(name, DlgFromServerLabel, ExtractURLHost(url), ShowServer);
  PumpMessages();

  const std::uint32_t flags = plat::kInternetFlagReload | plat::kInternetFlagNoCacheWrite |
                              (HTTPKeepAliveAuthentication ? plat::kInternetFlagKeepConnection : 0);

  // The credentials live for this call only; the item keeps its own.
  std::string user = HTTPUserID;
  std::string password = HTTPPassword;
  const std::string caption = "Connect to " + ExtractURLServer(url);
  if (Authenticate == waAlways && (user.empty() || password.empty())) {
    if (!PromptLogin(caption, user, password)) return false;
  }

  ScopedInternetHandle request;
  std::uint32_t status = 0;
  for (;;) {
    std::string header;
    if (!user.empty() || !password.empty())
      header = "Authorization: Basic " + Base64Encode(user + ":" + password) + "\r\n\r\n";
    request.Reset(net.InternetOpenUrlA(InternetHandle, url, header.empty() ? nullptr : header.c_str(),
                                       static_cast<std::uint32_t>(header.size()), flags, 0));
    PumpMessages();
    if (!request) break;
    status = 0;
    std::uint32_t length = sizeof status;
    std::uint32_t index = 0;
    net.HttpQueryInfoA(request.Get(), kQueryStatus, &status, &length, &index);
    // No limit on the prompts: the user ends them with Cancel or accepted credentials.
    if (status == 401 && (Authenticate == waAlways || Authenticate == waAuto)) {
      if (!PromptLogin(caption, user, password)) return false;
      request.Close();
      continue;
    }
    break;
  }

  if (request && status >= 300) {
    request.Close();
    ReportError(static_cast<int>(status), "Returned http error code " + std::to_string(status));
    return false;
  }
  if (!request) {
    if (OnURLNotFound) OnURLNotFound(this, url);
    return false;
  }

  const auto release = [&request] { request.Close(); };
  if (CopyNewerOnly || OnFileDateCheck) {
    plat::SystemTime modified{};
    std::uint32_t length = sizeof modified;
    std::uint32_t index = 0;
    net.HttpQueryInfoA(request.Get(), kQueryLastModified, &modified, &length, &index);
    if (!CheckFileDate(idx, ServerTimeToDateTime(modified), CopyNewerOnly, FileDate, NoNewFile, name, release))
      return false;
  }

  std::string target;
  if (!ChooseTarget(TargetDir, TargetFilename, url, target, release)) return false;

  // The body goes to a temporary file beside the target, which replaces the target
  // only when the body has arrived complete. A directory or a read-only file in the
  // target's place is not replaced.
  StagedFile file;
  if (!IsReplaceable(target) || !file.Create(target)) {
    request.Close();
    ReportError(TransferError::kCreateTarget, "Cannot create file " + target);
    return false;
  }

  std::uint32_t total = 0;
  {
    std::uint32_t length = sizeof total;
    std::uint32_t index = 0;
    net.HttpQueryInfoA(request.Get(), kQueryLength, &total, &length, &index);
  }
  // A file that may not pass a size is given up as soon as it would, whatever the
  // server announces or keeps sending.
  const std::int64_t maxSize = idx >= 0 && idx < Items.Count() ? Items[idx].MaxSize : -1;
  const auto passes = [maxSize](std::uint64_t size) { return maxSize >= 0 && size > static_cast<std::uint64_t>(maxSize); };
  bool tooLong = passes(total);
  std::uint64_t done = 0;
  const std::uint32_t start = plat::sysClock().GetTickCount();
  std::uint32_t count = kBlockSize;
  bool readFailed = false;
  std::uint32_t readError = 0;
  while (count != 0 && !Cancelled && !tooLong) {
    PumpMessages();
    // Each block is read straight into the file's write buffer: one copy less per byte.
    char* block = file.NextBlock(kBlockSize);
    if (!net.InternetReadFile(request.Get(), block, kBlockSize, &count)) {
      readFailed = true;
      readError = net.GetLastError();
      break;
    }
    if (passes(done + count)) {
      tooLong = true;
      break;
    }
    if (count > 0 && count <= kBlockSize) file.Append(count);
    done += count;
    UpdateProgress(done, total, start, DlgDwnload);
    PumpMessages();
    if (count != 0) result = true;
  }
  // The last block's numbers are shown even when the throttle skipped its repaint.
  if (TWcProgressDialog* d = Dialog()) d->Sync();

  if (Cancelled) {
    file.Discard();
    return false;
  }
  if (tooLong) {
    file.Discard();
    request.Close();
    ReportError(TransferError::kTooLong,
                "The file is longer than the " + std::to_string(maxSize) + " bytes it may have; the download was stopped");
    return false;
  }
  // A broken connection, or a body that ends short of its announced length, is a
  // failed transfer: the previous file stays, and the error is reported.
  if (readFailed || (total != 0 && done < total)) {
    file.Discard();
    request.Close();
    const std::uint32_t code =
        readFailed && readError != 0 ? readError : plat::kErrorInternetConnectionAborted;
    ReportError(static_cast<int>(code), InternetErrorText(code));
    return false;
  }
  request.Close();
  // A local file that cannot be closed is an input/output error, as a failed write is.
  if (!file.Close()) RaiseInOutError(plat::files().GetLastError());
  if (!file.Commit()) {
    ReportError(TransferError::kCreateTarget, "Cannot create file " + target);
    return false;
  }
  return result;
}

}  // namespace nolt
