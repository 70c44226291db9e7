// The transfer skeleton shared by the transfer routines: the file line, the progress
// update after every block, the date check, the target and its overwrite question,
// and the error report.
#include "webcopy/Transfer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/Text.h"
#include "install/LocalFiles.h"
#include "platform/Clock.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"
#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

// Round to nearest, halves to even (the default rounding mode).
std::int64_t Round(double v) { return static_cast<std::int64_t>(std::nearbyint(v)); }

}  // namespace

RateWatch::RateWatch(const TransferLimits& limits, std::uint32_t startTick)
    : window_(limits.rateWindowMs), minRate_(limits.minBytesPerSecond), spacing_(limits.rateWindowMs / 30 + 1) {
  samples_.push_back({startTick, 0});
}

bool RateWatch::TooSlow(std::uint64_t done, std::uint32_t now) {
  if (window_ == 0 || minRate_ == 0) return false;
  if (now - samples_.back().tick >= spacing_) samples_.push_back({now, done});
  // The oldest sample kept is the last one at least a window old.
  while (samples_.size() >= 2 && now - samples_[1].tick >= window_) samples_.pop_front();
  const Sample& oldest = samples_.front();
  const std::uint32_t span = now - oldest.tick;
  if (span < window_) return false;  // not a whole window seen yet
  return (done - oldest.done) * 1000 < std::uint64_t{minRate_} * span;
}

void TWebCopy::SetFileLine(const std::string& fileName, const std::string& serverLabel, const std::string& server,
                           bool showServer) {
  // The first pump of an item always repaints, whatever the throttle says.
  pumpDue_ = true;
  TWcProgressDialog* d = Dialog();
  if (!d) return;
  if (Items.Count() < 2)
    d->SetFileLine("");
  else
    d->SetFileLine(std::to_string(FileNumber) + " " + DlgFileOfLabel + " " + std::to_string(Items.ActiveCount()) +
                   " : ");
  std::string line = DlgFileLabel + " " + d->FileLine() + fileName;
  if (showServer) line += " " + serverLabel + " " + server;
  d->SetFileLine(line);
}

void TWebCopy::UpdateProgress(std::uint64_t done, std::uint32_t total, std::uint32_t startTick,
                              const std::string& action) {
  UpdateProgress(done, total, startTick, action, total != 0);
}

void TWebCopy::UpdateProgress(std::uint64_t done64, std::uint32_t total, std::uint32_t startTick,
                              const std::string& action, bool withTotal) {
  // The low 32 bits of the count are what is shown and passed to the events. The
  // bar moves for every block; the lines are formatted when the dialog is synced or
  // read (TWcProgressDialog::DeferProgressLine).
  const auto done = static_cast<std::uint32_t>(done64);
  if (TWcProgressDialog* d = Dialog()) {
    if (withTotal && total != 0) d->SetProgressPosition(static_cast<int>(Round(done * 100.0 / total)));
    d->DeferProgressLine(done, withTotal ? total : 0);
  }
  if (OnCopyProgress) OnCopyProgress(this, FileNumber, done, total);
  // The handler may have ended the dialog.
  if (TWcProgressDialog* d = Dialog())
    d->DeferStatusLines(done, total, plat::sysClock().GetTickCount() - startTick, action);
}

void TWebCopy::ReportError(int code, const std::string& text) {
  if (OnError) OnError(this, code);
  if (OnErrorInfo) OnErrorInfo(this, code, text);
}

void TWebCopy::ReportFailure(std::uint32_t code) { ReportError(static_cast<int>(code), FailureText(code)); }

bool TWebCopy::CheckFileDate(int idx, TDateTime newdate, bool CopyNewerOnly, TDateTime& FileDate, bool& NoNewFile,
                             const std::string& tgtfile, const std::function<void()>& release) {
  if (OnFileDateCheck) {
    // The handler alone decides; CopyNewerOnly is not looked at.
    bool allow = true;
    FileDate = newdate;
    OnFileDateCheck(this, idx, newdate, allow);
    if (!allow) release();
    return allow;
  }
  if (!CopyNewerOnly) return true;
  if (newdate > FileDate) {
    FileDate = newdate;
    return true;
  }
  NoNewFile = true;
  FileDate = newdate;
  release();
  if (OnNoNewFileFound) OnNoNewFileFound(this, tgtfile, FileDate, newdate);
  return false;
}

std::string TWebCopy::TargetPath(const std::string& TargetDir, const std::string& TargetFilename,
                                 const std::string& URL) {
  return JoinPath(TargetDir, TargetFilename.empty() ? ExtractURLFileName(URL) : TargetFilename);
}

bool TWebCopy::ChooseTarget(const std::string& TargetDir, const std::string& TargetFilename, const std::string& URL,
                            std::string& target, const std::function<void()>& release) {
  target = RecordTarget(TargetDir, TargetFilename, URL);
  return ConfirmTarget(target, release);
}

std::string TWebCopy::RecordTarget(const std::string& TargetDir, const std::string& TargetFilename,
                                   const std::string& URL) {
  const std::string target = TargetPath(TargetDir, TargetFilename, URL);
  LastTargetFile = target;
  LastTargetDir = TargetDir;
  return target;
}

bool TWebCopy::ConfirmTarget(const std::string& target, const std::function<void()>& release) {
  if (FileExists(target)) {
    bool allow = true;
    if (OnCopyOverWrite) OnCopyOverWrite(this, target, allow);
    if (!allow) {
      release();
      return false;
    }
  }
  // A failure shows up when the file is created.
  ForceDirs(DirectoryOf(target));
  return true;
}

bool TWebCopy::CanCreateTarget(const std::string& target) {
  return !HoldsControlByte(target) && IsReplaceable(target);
}

bool TWebCopy::RefuseAccount(const std::string& user, const std::string& password) {
  std::uint32_t code = 0;
  if (plat::BreaksFtpCommand(user)) code = plat::kErrorInternetIncorrectUserName;
  else if (plat::BreaksFtpCommand(password)) code = plat::kErrorInternetIncorrectPassword;
  if (code == 0) return false;
  ReportFailure(code);
  return true;
}

bool BlockReader::Read(void* block, std::uint32_t count, std::uint32_t* read) {
  auto* out = static_cast<char*>(block);
  std::uint32_t got = 0;
  while (got < count) {
    if (begin_ == end_) {
      if (atEnd_) break;
      if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kReadAhead);
      std::uint32_t n = 0;
      if (!plat::files().ReadFile(h_, buffer_.get(), kReadAhead, &n)) {
        *read = got;
        return false;
      }
      begin_ = 0;
      end_ = n;
      atEnd_ = n == 0;
      continue;
    }
    const std::uint32_t n = std::min(count - got, end_ - begin_);
    std::memcpy(out + got, buffer_.get() + begin_, n);
    begin_ += n;
    got += n;
  }
  *read = got;
  return true;
}

}  // namespace nolt
