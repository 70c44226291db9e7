// HTTP download: one wpHttp item fetched through the internet seam into a local
// file, with Basic authorization and its prompt, the newer-only date check, the
// overwrite question, cancel between blocks and the progress display; with
// ResumeDownloads, an interrupted download is continued (PartialDownload.h).
#include "base/Limits.h"
#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "webcopy/Transfer.h"
#include "webcopy/Base64.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"
#include "webcopy/Login.h"
#include "webcopy/PartialDownload.h"
#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

static_assert(kTransferBlockSize <= StagedFile::kWriteChunk);
constexpr std::uint32_t kQueryStatus = plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber;              // 0x20000013
constexpr std::uint32_t kQueryLastModified = plat::kHttpQueryLastModified | plat::kHttpQueryFlagSystemTime;  // 0x4000000B
constexpr std::uint32_t kQueryLength = plat::kHttpQueryContentLength | plat::kHttpQueryFlagNumber;           // 0x20000005

// A header's text as the server sent it; "" when it sent none.
std::string HeaderText(plat::HInternet request, std::uint32_t level) {
  char buf[512];
  std::uint32_t length = sizeof buf;
  std::uint32_t index = 0;
  if (!plat::internet().HttpQueryInfoA(request, level, buf, &length, &index) || length >= sizeof buf) return {};
  return std::string(buf, length);
}

// The whole length that a 200 answer announces (Content-Length, 64 bits); 0 when unknown.
std::uint64_t AnnouncedLength(plat::HInternet request) {
  const std::string text = HeaderText(request, plat::kHttpQueryContentLength);
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoull(text);
}

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
  if (!IsSendableUrl(url)) {
    ReportFailure(plat::kErrorInternetInvalidUrl);
    return false;
  }
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

  // What arrived of an earlier, interrupted download of this URL to this target.
  PartialDownload partial;
  if (ResumeDownloads) partial.Find(TargetPath(TargetDir, TargetFilename, url), URL);

  ScopedInternetHandle request;
  std::uint32_t status = 0;
  std::uint32_t openError = 0;
  for (;;) {
    // The credentials travel encoded, but a line break in them is refused all the
    // same, as for every other transfer.
    if (RefuseAccount(user, password)) return false;
    std::string header;
    if (!user.empty() || !password.empty())
      header = "Authorization: Basic " + Base64Encode(user + ":" + password) + "\r\n";
    header += partial.RangeHeaders();
    if (!header.empty()) header += "\r\n";
    request.Reset(net.InternetOpenUrlA(InternetHandle, url, header.empty() ? nullptr : header.c_str(),
                                       static_cast<std::uint32_t>(header.size()), flags, 0));
    openError = request ? 0 : net.GetLastError();
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
    // A range the server cannot give (416), or gives from elsewhere, drops what was
    // kept, and the whole file is asked for. A 200 answer is the whole file already.
    const bool continued =
        status == 206 && partial.Continues(status, HeaderText(request.Get(), plat::kHttpQueryContentRange));
    if (partial.Offset() > 0 && (status == 416 || (status == 206 && !continued))) {
      partial.Forget();
      request.Close();
      continue;
    }
    break;
  }

  // An answer without a status line is no HTTP at all (a server of another protocol,
  // garbage): nothing of it is taken for the file.
  if (request && status == 0) {
    request.Close();
    ReportFailure(plat::kErrorHttpInvalidServerResponse);
    return false;
  }
  if (request && status >= 300) {
    request.Close();
    ReportError(static_cast<int>(status), "Returned http error code " + std::to_string(status));
    return false;
  }
  if (!request) {
    // A server that was reached but did not answer in time, or answered no HTTP, or
    // dropped the connection, is not a missing URL: that failure is reported as it is.
    const bool reached = openError == plat::kErrorInternetTimeout ||
                         openError == plat::kErrorHttpInvalidServerResponse ||
                         openError == plat::kErrorInternetConnectionAborted ||
                         openError == plat::kErrorInternetConnectionReset;
    if (reached) ReportFailure(openError);
    else if (OnURLNotFound) OnURLNotFound(this, url);
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
  // target's place is not replaced. A resumable download writes to the kept
  // beginning instead: on after it for a 206, anew for a 200, and its record is
  // written once the file is empty, before any byte of the new body.
  StagedFile file;
  file.SetDurable(Durable);
  std::uint64_t offset = 0;
  bool created = CanCreateTarget(target);
  if (created && ResumeDownloads) {
    offset = status == 206 ? partial.Offset() : 0;
    created = file.Continue(target, PartialDownload::BodyPath(target), offset);
    if (created && offset == 0)
      partial.Restart(PartialDownload::Validator(HeaderText(request.Get(), plat::kHttpQueryETag),
                                                 HeaderText(request.Get(), plat::kHttpQueryLastModified)),
                      AnnouncedLength(request.Get()));
  } else if (created) {
    created = file.Create(target);
  }
  if (!created) {
    request.Close();
    ReportError(TransferError::kCreateTarget, "Cannot create file " + target);
    return false;
  }
  // What is left when the download stops early: a kept beginning with its record
  // stays for the next call, anything else goes.
  const auto stopEarly = [&file, &partial] {
    if (partial.Recorded()) file.Keep();
    else file.Discard();
  };

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
  bool tooLong = passes(offset + total);
  std::uint64_t done = 0;
  const std::uint32_t start = plat::sysClock().GetTickCount();
  RateWatch rate(Limits, start);
  std::uint32_t count = kTransferBlockSize;
  std::uint32_t failure = 0;  // why the reading stopped early
  while (count != 0 && !Cancelled && !tooLong) {
    PumpMessages();
    // Only what has arrived is read, so that a trickling server returns control
    // here after every piece and the rate rule can end it.
    std::uint32_t available = 0;
    if (!net.InternetQueryDataAvailable(request.Get(), &available, 0, 0)) {
      failure = net.GetLastError();
      if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
      break;
    }
    const std::uint32_t want = available == 0 || available > kTransferBlockSize ? kTransferBlockSize : available;
    // Each block is read straight into the file's write buffer: one copy less per byte.
    char* block = file.NextBlock(kTransferBlockSize);
    if (!net.InternetReadFile(request.Get(), block, want, &count)) {
      failure = net.GetLastError();
      if (failure == 0) failure = plat::kErrorInternetConnectionAborted;
      break;
    }
    if (count > want || (total != 0 && done + count > total)) {
      // More than was announced: the body is not the file the server described.
      failure = plat::kErrorHttpInvalidServerResponse;
      break;
    }
    if (passes(offset + done + count)) {
      tooLong = true;
      break;
    }
    if (count > 0) file.Append(count);
    done += count;
    UpdateProgress(offset + done, total == 0 ? 0 : static_cast<std::uint32_t>(offset + total), start, DlgDwnload);
    PumpMessages();
    if (count != 0) result = true;
    if (rate.TooSlow(done, plat::sysClock().GetTickCount())) {
      failure = plat::kErrorInternetTimeout;
      break;
    }
  }
  // The last block's numbers are shown even when the throttle skipped its repaint.
  if (TWcProgressDialog* d = Dialog()) d->Sync();

  if (Cancelled) {
    stopEarly();
    return false;
  }
  if (tooLong) {
    // Nothing of it is kept for a later call: the rest would be as unwanted.
    file.Discard();
    PartialDownload::Remove(target);
    request.Close();
    ReportError(TransferError::kTooLong,
                "The file is longer than the " + std::to_string(maxSize) + " bytes it may have; the download was stopped");
    return false;
  }
  // A broken connection, a stall, a crawl, or a body that ends short of its
  // announced length (of the whole file, when continued) is a failed transfer: the
  // previous file stays, and the error is reported.
  if (failure == 0 && ((total != 0 && done < total) || (partial.Total() != 0 && offset + done != partial.Total())))
    failure = plat::kErrorInternetConnectionAborted;
  if (failure != 0) {
    if (failure == plat::kErrorHttpInvalidServerResponse) file.Discard();
    else stopEarly();
    request.Close();
    ReportFailure(failure);
    return false;
  }
  request.Close();
  // A local file that cannot be closed is an input/output error, as a failed write is.
  if (!file.Close()) RaiseInOutError(plat::files().GetLastError());
  if (!file.Commit()) {
    ReportError(TransferError::kCreateTarget, "Cannot create file " + target);
    return false;
  }
  partial.Finish();
  return result || offset > 0;
}

}  // namespace nolt
