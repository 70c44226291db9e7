#include "install/StagedFile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/Text.h"
#include "install/LocalFiles.h"

namespace nolt {

bool StagedFile::IsTempName(const std::string& fileName) {
  const std::string prefix = kTempPrefix;
  const std::string suffix = kTempSuffix;
  if (fileName.size() != prefix.size() + 6 + suffix.size()) return false;
  if (fileName.compare(0, prefix.size(), prefix) != 0) return false;
  if (fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + 6; ++i) {
    const char c = fileName[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

void StagedFile::RemoveLeftovers(const std::string& dir) {
  auto& files = plat::files();
  std::vector<plat::FoundFile> found;
  if (!files.ListDirectory(dir, &found)) return;
  for (const plat::FoundFile& f : found) {
    const std::string path = dir + f.name;
    if ((f.attributes & plat::kFileAttributeDirectory) || !IsTempName(f.name) || !IsOwnFile(path)) continue;
    // An open without sharing succeeds only where no live process holds the file.
    const plat::FileHandle h =
        files.CreateFileNoFollow(path, plat::FileAccess::Read, plat::kFileShareNone, plat::FileCreate::OpenExisting);
    if (h == plat::kInvalidFile) continue;
    files.CloseHandle(h);
    if (!files.DeleteFileA(path)) files.DeleteFileAtReboot(path);
  }
}

namespace {
thread_local DirectoryFlushes* currentFlushes = nullptr;
}  // namespace

DirectoryFlushes::DirectoryFlushes() : outer_(currentFlushes == nullptr) {
  if (outer_) currentFlushes = this;
}

DirectoryFlushes::~DirectoryFlushes() {
  if (!outer_) return;
  currentFlushes = nullptr;
  for (const std::string& dir : pending_) plat::files().FlushDirectory(dir);
}

void DirectoryFlushes::After(const std::string& directory) {
  if (!currentFlushes) {
    plat::files().FlushDirectory(directory);
    return;
  }
  std::vector<std::string>& pending = currentFlushes->pending_;
  if (std::find(pending.begin(), pending.end(), directory) == pending.end()) pending.push_back(directory);
}

bool StagedFile::Create(const std::string& target) {
  Discard();
  if (target.empty() || DirectoryOf(target) == target) return false;
  std::string temp;
  const plat::FileHandle h = plat::files().CreateTempFileIn(DirectoryOf(target), kTempPrefix, kTempSuffix, &temp);
  if (h == plat::kInvalidFile) return false;
  state_ = State::Open;
  target_ = target;
  temp_ = temp;
  file_ = h;
  written_ = 0;
  writtenOut_ = 0;
  named_ = false;
  return true;
}

bool StagedFile::Continue(const std::string& target, const std::string& partial, std::uint64_t keep) {
  Discard();
  if (target.empty() || DirectoryOf(target) == target || partial.empty()) return false;
  auto& files = plat::files();
  // A kept beginning is a place of ours: never written through a link.
  const plat::FileHandle h =
      files.CreateFileNoFollow(partial, plat::FileAccess::Write, plat::kFileShareRead,
                               keep == 0 ? plat::FileCreate::CreateAlways : plat::FileCreate::OpenExisting);
  if (h == plat::kInvalidFile) return false;
  std::uint64_t size = 0;
  if (keep != 0 && (!files.GetFileSize(h, &size) || size != keep ||
                    files.SetFilePointer(h, static_cast<std::int64_t>(keep), plat::SeekOrigin::Begin) < 0)) {
    files.CloseHandle(h);
    return false;
  }
  state_ = State::Open;
  target_ = target;
  temp_ = partial;
  file_ = h;
  written_ = keep;
  writtenOut_ = keep;
  named_ = true;
  return true;
}

void StagedFile::Write(const void* data, std::uint32_t count) {
  if (pendingSize_ + count > kWriteChunk) Flush();
  written_ += count;
  if (count >= kWriteChunk) {
    WriteThrough(data, count);
    return;
  }
  if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kWriteChunk);
  std::memcpy(pending_.get() + pendingSize_, data, count);
  pendingSize_ += count;
}

char* StagedFile::NextBlock(std::uint32_t count) {
  if (pendingSize_ + count > kWriteChunk) Flush();
  if (!pending_) pending_ = std::make_unique_for_overwrite<char[]>(kWriteChunk);
  return pending_.get() + pendingSize_;
}

void StagedFile::Flush() {
  if (pendingSize_ == 0) return;
  const std::uint32_t n = pendingSize_;
  pendingSize_ = 0;
  WriteThrough(pending_.get(), n);
}

void StagedFile::WriteThrough(const void* data, std::uint32_t count) {
  auto& files = plat::files();
  std::uint32_t written = 0;
  if (files.WriteFile(file_, data, count, &written) && written == count) {
    StartWriteOut();
    return;
  }
  const std::uint32_t code = files.GetLastError();
  Discard();
  RaiseInOutError(code);
}

bool StagedFile::CopyFrom(plat::FileHandle source, std::uint32_t count, std::uint32_t* copied) {
  Flush();
  auto& files = plat::files();
  switch (files.CopyFileChunk(source, file_, count, copied)) {
    case plat::Files::ChunkCopy::Copied:
      written_ += *copied;
      StartWriteOut();
      return true;
    case plat::Files::ChunkCopy::ReadFailed:
      return false;
    case plat::Files::ChunkCopy::WriteFailed:
      break;
  }
  const std::uint32_t code = files.GetLastError();
  Discard();
  RaiseInOutError(code);
}

// Only the data written since the last step is sent on, whole steps at a time; what
// gathered writes still hold is not in the file yet and follows with a later step.
void StagedFile::StartWriteOut() {
  const std::uint64_t inFile = written_ - pendingSize_;
  if (!durable_ || inFile - writtenOut_ < kWriteOutStep) return;
  plat::files().StartWriteOut(file_, writtenOut_, inFile - writtenOut_);
  writtenOut_ = inFile;
}

bool StagedFile::Close() {
  if (state_ != State::Open) return false;
  Flush();
  auto& files = plat::files();
  // A temporary file is private to its creator; the finished file gets the
  // permissions of the one it replaces, or those of a new file.
  files.FinishInstalledFile(file_, target_);
  // The data reaches the disk before the rename that installs it: a power loss
  // after the rename must not leave an empty or partly written file.
  if (durable_ && !files.FlushFileBuffers(file_)) {
    const std::uint32_t code = files.GetLastError();
    CloseAs(State::GivenUp);
    files.SetLastError(code);
    return false;
  }
  return CloseAs(State::Finished);
}

bool StagedFile::CloseUnfinished() { return state_ == State::Open && CloseAs(State::GivenUp); }

bool StagedFile::CloseAs(State after) {
  const plat::FileHandle h = file_;
  file_ = plat::kInvalidFile;
  const bool closed = plat::files().CloseHandle(h);
  state_ = closed ? after : State::GivenUp;
  return closed;
}

bool StagedFile::Commit() {
  if (state_ == State::None) return false;
  if (state_ == State::Open) Close();
  auto& files = plat::files();
  const bool moved = state_ == State::Finished && (files.MoveFileReplace(temp_, target_) || ReplaceRunningProgram());
  if (moved && durable_) DirectoryFlushes::After(DirectoryOf(target_));
  else files.DeleteFileA(temp_);
  temp_.clear();
  state_ = State::None;
  return moved;
}

// Windows keeps the file of a running program: it may be renamed, but neither
// replaced nor removed. (Linux replaces it like any other, so this is never reached.)
bool StagedFile::ReplaceRunningProgram() {
  auto& files = plat::files();
  const std::string running = files.ExecutablePath();
  const std::string target = files.GetFullPathNameA(target_);
  if (running.empty() || LowerCaseAscii(running) != LowerCaseAscii(target)) return false;
  std::string aside;
  const plat::FileHandle h = files.CreateTempFileIn(DirectoryOf(target_), kTempPrefix, kTempSuffix, &aside);
  if (h == plat::kInvalidFile) return false;
  files.CloseHandle(h);
  if (!files.MoveFileReplace(target_, aside)) {
    files.DeleteFileA(aside);
    return false;
  }
  if (files.MoveFileReplace(temp_, target_)) return true;
  files.MoveFileReplace(aside, target_);  // the running program back in its place
  return false;
}

void StagedFile::Keep() {
  if (!named_) {
    Discard();
    return;
  }
  if (state_ == State::Open) {
    Flush();
    plat::files().CloseHandle(file_);
  }
  file_ = plat::kInvalidFile;
  temp_.clear();
  state_ = State::None;
}

void StagedFile::Discard() {
  pendingSize_ = 0;
  if (state_ == State::None) return;
  auto& files = plat::files();
  if (state_ == State::Open) files.CloseHandle(file_);
  file_ = plat::kInvalidFile;
  files.DeleteFileA(temp_);
  temp_.clear();
  state_ = State::None;
}

void RaiseInOutError(std::uint32_t code) {
  if (code == 0) code = plat::kErrorDiskFull;
  throw plat::EInOutError(code, plat::files().ErrorText(code));
}

}  // namespace nolt
