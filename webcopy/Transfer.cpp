// The transfer skeleton shared by the transfer routines: the file line, the progress
// update after every block, the date check, the target and its overwrite question,
// the error report, and the staged local target of downloads.
#include "webcopy/Transfer.h"

#include <cmath>
#include <cstring>

#include "platform/Clock.h"
#include "webcopy/WcDialog.h"
#include "webcopy/WcFormat.h"
#include "webcopy/WcHelpers.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

// Sizes and times are shown and passed on as 32-bit numbers.
std::int32_t AsInt(std::uint32_t v) { return static_cast<std::int32_t>(v); }

// Round to nearest, halves to even (the default rounding mode).
std::int64_t Round(double v) { return static_cast<std::int64_t>(std::nearbyint(v)); }

}  // namespace

bool FileExists(const std::string& path) {
  const std::uint32_t a = plat::files().GetFileAttributesA(path);
  return a != plat::kInvalidFileAttributes && !(a & plat::kFileAttributeDirectory);
}

std::string DirectoryOf(const std::string& path) {
  // On Windows a drive ("C:a.cab") and a forward slash also end the directory part.
  const std::string separators = plat::kPathDelim == '\\' ? "\\/:" : "/";
  const auto p = path.find_last_of(separators);
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

// -- StagedTarget -------------------------------------------------------------

bool StagedTarget::Create(const std::string& target) {
  Discard();
  auto& files = plat::files();
  const std::uint32_t attributes = files.GetFileAttributesA(target);
  const bool nameEmpty = target.empty() || DirectoryOf(target) == target;
  if (nameEmpty || (attributes != plat::kInvalidFileAttributes &&
                    (attributes & (plat::kFileAttributeDirectory | plat::kFileAttributeReadOnly)))) {
    return false;
  }
  std::string temp;
  const plat::FileHandle h = files.CreateTempFileIn(DirectoryOf(target), &temp);
  if (h == plat::kInvalidFile) return false;
  target_ = target;
  temp_ = temp;
  file_ = h;
  return true;
}

void StagedTarget::Write(const void* data, std::uint32_t count) {
  if (pendingSize_ + count > kWriteChunk) Flush();
  if (count >= kWriteChunk) {
    WriteThrough(data, count);
    return;
  }
  if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kWriteChunk);
  std::memcpy(pending_.get() + pendingSize_, data, count);
  pendingSize_ += count;
}

char* StagedTarget::NextBlock(std::uint32_t count) {
  if (pendingSize_ + count > kWriteChunk) Flush();
  if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kWriteChunk);
  return pending_.get() + pendingSize_;
}

void StagedTarget::Flush() {
  if (pendingSize_ == 0) return;
  const std::uint32_t n = pendingSize_;
  pendingSize_ = 0;
  WriteThrough(pending_.get(), n);
}

void StagedTarget::WriteThrough(const void* data, std::uint32_t count) {
  std::uint32_t written = 0;
  if (!plat::files().WriteFile(file_, data, count, &written) || written != count) Raise(plat::files().GetLastError());
}

bool StagedTarget::Commit() {
  auto& files = plat::files();
  if (file_ != plat::kInvalidFile) {
    Flush();
    // A temporary file is private to its creator; the finished file gets the
    // permissions of the one it replaces, or those of a new file.
    files.FinishInstalledFile(file_, target_);
    const plat::FileHandle h = file_;
    file_ = plat::kInvalidFile;
    if (!files.CloseHandle(h)) Raise(files.GetLastError());
  }
  if (temp_.empty()) return false;
  const bool moved = files.MoveFileReplace(temp_, target_);
  if (!moved) files.DeleteFileA(temp_);
  temp_.clear();
  return moved;
}

void StagedTarget::Discard() {
  pendingSize_ = 0;
  auto& files = plat::files();
  if (file_ != plat::kInvalidFile) files.CloseHandle(file_);
  file_ = plat::kInvalidFile;
  if (!temp_.empty()) files.DeleteFileA(temp_);
  temp_.clear();
}

void StagedTarget::Raise(std::uint32_t code) {
  Discard();
  if (code == 0) code = plat::kErrorDiskFull;  // a short write without a reason is a full disk
  throw plat::EInOutError(code, plat::files().ErrorText(code));
}

// -- the skeleton members of TWebCopy --------------------------------------------

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

void TWebCopy::UpdateProgress(std::uint64_t done64, std::uint32_t total, std::uint32_t startTick,
                              const std::string& action) {
  // The low 32 bits of the count are what is shown and passed to the events.
  const auto done = static_cast<std::uint32_t>(done64);
  std::string& line = progress_.line;
  if (TWcProgressDialog* d = Dialog()) {
    line.assign(DlgProgressLabel).append(" ").append(FormatSize(AsInt(done)));
    if (total != 0) {
      d->SetProgressPosition(static_cast<int>(Round(done * 100.0 / total)));
      // The total rarely changes within a transfer: it is formatted once.
      if (progress_.totalText.empty() || progress_.total != total) {
        progress_.total = total;
        progress_.totalText = FormatSize(AsInt(total));
      }
      line.append(" ").append(DlgFileOfLabel).append(" ").append(progress_.totalText);
    }
    d->SetProgressLine(line);
  }
  if (OnCopyProgress) OnCopyProgress(this, FileNumber, done, total);
  TWcProgressDialog* d = Dialog();
  if (!d) return;
  const std::uint32_t elapsed = plat::sysClock().GetTickCount() - startTick;
  if (ShowCompletion)
    d->SetCaption(line.assign(action).append(" : ").append(std::to_string(d->ProgressPosition())).append("% ").append(
        DlgCompleted));
  // (now - start + 1) keeps the divisor above 0; the rate goes on as a 32-bit number.
  const std::int64_t rate = Round(done / (static_cast<double>(elapsed) + 1.0) * 1000.0);
  d->SetRateLine(line.assign(DlgRateLabel).append(" ").append(FormatRate(AsInt(static_cast<std::uint32_t>(rate)))));
  d->SetTimeLine(line.assign(DlgTimeLabel).append(" ").append(FormatTimeLeft(AsInt(elapsed), AsInt(done), AsInt(total))));
}

void TWebCopy::ReportError(int code, const std::string& text) {
  if (OnError) OnError(this, code);
  if (OnErrorInfo) OnErrorInfo(this, code, text);
}

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

bool TWebCopy::ChooseTarget(const std::string& TargetDir, const std::string& TargetFilename, const std::string& URL,
                            std::string& target, const std::function<void()>& release) {
  const std::string name = TargetFilename.empty() ? ExtractURLFileName(URL) : TargetFilename;
  target = JoinPath(TargetDir, name);
  LastTargetFile = target;
  LastTargetDir = TargetDir;
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

}  // namespace nolt
