#include "webcopy/WebCopy.h"

#include "platform/Clock.h"
#include "platform/Shell.h"
#include "platform/Ui.h"
#include "webcopy/ProgressDialog.h"

namespace nolt {

TWebCopyItem& TWebCopyItems::Add() {
  items_.push_back(std::make_unique<TWebCopyItem>(this));
  return *items_.back();
}

int TWebCopyItems::ActiveCount() const {
  int n = 0;
  for (const auto& item : items_)
    if (item->Active) ++n;
  return n;
}

TWebCopy::TWebCopy(TComponent* owner) : TComponent(owner) {}

TWebCopy::~TWebCopy() {
  *alive_ = false;
  dialog_.reset();
  CloseFtpConnection();
}

std::string TWebCopy::Version() const {
  constexpr std::uint32_t kVersion = 0x01050003;
  return std::to_string((kVersion >> 24) & 0xFF) + "." + std::to_string((kVersion >> 16) & 0xFF) + "." +
         std::to_string((kVersion >> 8) & 0xFF) + "." + std::to_string(kVersion & 0xFF);
}

void TWebCopy::BuildDialog() {
  // A dialog left open by the previous run is replaced by the new one.
  dialog_.reset();
  dialog_ = std::make_unique<TWcProgressDialog>(*this);
}

void TWebCopy::EndDialog() {
  if (ShowOpenFile || ShowOpenFolder) {
    dialog_->KeepOpenAfterRun(Cancelled);
  } else {
    dialog_.reset();
  }
}

void TWebCopy::OpenInShell(const std::string& path) { plat::shell().ShellExecuteOpen(path); }

void TWebCopy::ReleaseDialogLater() {
  std::weak_ptr<bool> alive = alive_;
  plat::ui().PostToMainThread([this, alive] {
    auto a = alive.lock();
    if (a && *a) dialog_.reset();
  });
}

void TWebCopy::PumpMessages() {
  // Repainting costs far more than a block of data on a fast network, so the dialog
  // is synced and the messages pumped at most every kPumpIntervalMs; the model's
  // lines and the events are still updated for every block. A Cancel click waits at
  // most that long, plus one block.
  constexpr std::uint32_t kPumpIntervalMs = 15;
  const std::uint32_t now = plat::sysClock().GetTickCount();
  if (!pumpDue_ && now - lastPumpTick_ < kPumpIntervalMs) return;
  pumpDue_ = false;
  lastPumpTick_ = now;
  if (dialog_) dialog_->Sync();
  plat::ui().ProcessMessages();
}

namespace {

bool IsFtp(TWebCopyProtocol p) { return p == wpFtp || p == wpFtpUpload; }

}  // namespace

void TWebCopy::Execute() {
  // 1. The dialog, built afresh for every run; building it clears Cancelled.
  BuildDialog();

  // 2. One internet handle for the run when a network item is active.
  InternetHandle = nullptr;
  int onlineCount = 0;
  for (int i = 0; i < Items.Count(); ++i)
    if (Items[i].Active && Items[i].Protocol != wpFile) ++onlineCount;
  if (onlineCount > 0) {
    if (Proxy.empty())
      InternetHandle = plat::internet().InternetOpenA("WebCopy", plat::kInternetOpenTypePreconfig, "", "", 0);
    else
      InternetHandle = plat::internet().InternetOpenA("WebCopy", plat::kInternetOpenTypeProxy, Proxy, "", 0);
    // No request waits for ever: every request of the run inherits these limits.
    if (InternetHandle) {
      auto& net = plat::internet();
      net.InternetSetOptionA(InternetHandle, plat::kInternetOptionConnectTimeout, &Limits.connectMs,
                             sizeof Limits.connectMs);
      net.InternetSetOptionA(InternetHandle, plat::kInternetOptionReceiveTimeout, &Limits.receiveMs,
                             sizeof Limits.receiveMs);
      net.InternetSetOptionA(InternetHandle, plat::kInternetOptionSendTimeout, &Limits.receiveMs,
                             sizeof Limits.receiveMs);
    }
  }

  // 3.
  FileNumber = 0;
  FtpCurrentDir.clear();

  // 4. The items, in collection order; the bound is taken once. An input/output
  // error of a local file ends the run and reaches the caller, and the connections
  // of the run are closed on its way out all the same.
  try {
    RunItems();
  } catch (...) {
    CloseRunConnections();
    throw;
  }

  // 5. A connection kept for an item that did not come (cancelled or not active)
  // ends with the run, before the internet handle it belongs to.
  CloseRunConnections();
  // 6.
  if (OnCopyDone) OnCopyDone(this);
  // 7.
  EndDialog();
}

void TWebCopy::CloseRunConnections() {
  CloseFtpConnection();
  if (InternetHandle) {
    plat::internet().InternetCloseHandle(InternetHandle);
    InternetHandle = nullptr;
  }
}

void TWebCopy::RunItems() {
  const int n = Items.Count();
  for (int idx = 0; idx < n; ++idx) {
    if (!Items[idx].Active) continue;
    ++FileNumber;
    if (OnFileStart) OnFileStart(this, idx);
    // Read after OnFileStart: the handler may still change the item.
    TWebCopyItem& item = Items[idx];

    const std::string& word = (item.Protocol == wpHttp || item.Protocol == wpFtp) ? DlgDwnload
                              : item.Protocol == wpFile                           ? DlgCopying
                                                                                  : DlgUpload;
    dialog_->SetCaption(word + " ...");
    dialog_->Sync();

    TDateTime fileDate = item.FileDate;
    bool noNewFile = false;

    // The connection is kept for the next item when both are FTP items of the same
    // server and account. Host, user and password are compared each on its own:
    // joined into one text, host "ab" with user "c" would equal host "a" with user "bc".
    bool keepConnection = false;
    if (idx + 1 < Items.Count()) {
      const TWebCopyItem& next = Items[idx + 1];
      keepConnection = IsFtp(item.Protocol) && IsFtp(next.Protocol) && item.FTPHost == next.FTPHost &&
                       item.FTPUserID == next.FTPUserID && item.FTPPassword == next.FTPPassword;
    }

    bool ok = false;
    switch (item.Protocol) {
      case wpHttp:
        ok = HttpDownload(idx, item.URL, item.TargetDir, item.TargetFilename, item.CopyNewerOnly, fileDate, noNewFile,
                          item.Authenticate, item.HTTPUserID, item.HTTPPassword);
        break;
      case wpFtp:
        ok = FtpDownload(idx, item.FTPUserID, item.FTPPassword, item.FTPHost, item.FTPPort, item.URL, item.TargetDir,
                         item.TargetFilename, item.CopyNewerOnly, fileDate, noNewFile, keepConnection);
        break;
      case wpFile:
        ok = FileCopy(idx, item.FTPUserID, item.FTPPassword, item.FTPHost, item.FTPPort, item.URL, item.TargetDir,
                      item.TargetFilename, item.CopyNewerOnly, fileDate, noNewFile);
        break;
      case wpFtpUpload:
        ok = FtpUpload(idx, item.FTPUserID, item.FTPPassword, item.FTPHost, item.FTPPort, item.URL, item.TargetDir,
                       item.TargetFilename, item.CopyNewerOnly, fileDate, noNewFile, keepConnection);
        break;
      case wpHttpUpload:
        ok = HttpUpload(item.URL, item.TargetDir, item.TargetFilename, item.HTTPCommand);
        noNewFile = false;
        break;
    }

    TWebCopyItem& done = Items[idx];
    done.NewDate = fileDate;
    done.Success = ok && !Cancelled;
    done.NoNewFile = noNewFile;

    if (Cancelled) break;
    if (OnFileDone) OnFileDone(this, idx);
  }
}

}  // namespace nolt
