// Local and network file copy: one wpFile item. A file that the system opens by path
// (below a network share when FTPHost names one, connected for the item and
// disconnected after it) is copied into a local folder, with the date check, the
// overwrite question, and the progress and cancel in blocks of 16384 bytes. The
// system copies a chunk of many blocks at a time (copy_file_range on Linux), then
// each of its blocks is counted and shown. The copy goes to a temporary file beside
// the target, which replaces the target only when the whole source has been copied.
#include <algorithm>
#include <cmath>

#include "install/LocalFiles.h"
#include "install/StagedFile.h"
#include "platform/Clock.h"
#include "platform/Share.h"
#include "platform/Ui.h"
#include "webcopy/Transfer.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Helpers.h"
#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr std::uint32_t kBlockSize = 16384;
// 64 blocks: a copy of 1 MiB between two looks at Cancel and two repaints, a few
// milliseconds on a local disk.
constexpr std::uint32_t kChunkSize = 64 * kBlockSize;

// The folder part of a source path, without its last separator ("" when none).
std::string FolderOf(const std::string& path) {
  const std::string::size_type p = path.find_last_of("/\\");
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

}  // namespace

void TWebCopy::UpdateCopyProgress(std::uint64_t done64, std::int64_t size, std::uint32_t startTick) {
  // Events and lines carry the low 32 bits, as the other routines do.
  const auto done = static_cast<std::uint32_t>(done64);
  const auto total = static_cast<std::uint32_t>(size);
  if (OnCopyProgress) OnCopyProgress(this, FileNumber, done, total);
  // The handler may have ended the dialog.
  if (TWcProgressDialog* d = Dialog()) {
    d->SetProgressPosition(size <= 0 ? 100
                                     : static_cast<int>(std::nearbyint(static_cast<double>(done64) * 100.0 /
                                                                       static_cast<double>(size))));
    d->DeferProgressLine(done, total, true);
    d->DeferStatusLines(done, total, plat::sysClock().GetTickCount() - startTick, DlgCopying);
  }
  PumpMessages();
}

bool TWebCopy::FileCopy(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                        const std::string& FTPHost, std::int32_t, const std::string& URL,
                        const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                        TDateTime& FileDate, bool& NoNewFile) {
  auto& fs = plat::files();
  NoNewFile = false;

  if (TWcProgressDialog* d = Dialog()) d->PlayClip(plat::kAviCopyFiles);
  SetFileLine(ExtractURLFileName(URL), DlgFromServerLabel, FTPHost.empty() ? FolderOf(URL) : FTPHost, true);

  // Everything between connecting and disconnecting the share; true when the copy
  // is in place.
  const auto copy = [&]() -> bool {
    const std::uint32_t start = plat::sysClock().GetTickCount();
    const std::string source = FTPHost.empty() ? URL : FTPHost + "\\" + URL;
    const std::string target = RecordTarget(TargetDir, TargetFilename, URL);
    if (source == target) {
      ReportError(TransferError::kIdenticalFiles, "Cannot copy identical files " + source);
      return false;
    }

    // Only a regular file is read: a FIFO or a device could block the copy for good.
    ScopedFile src(fs.IsRegularFile(source) ? fs.CreateFileWithShareMode(source, plat::FileAccess::Read,
                                                                        plat::kFileShareNone,
                                                                        plat::FileCreate::OpenExisting)
                                            : plat::kInvalidFile);
    if (!src) {
      ReportError(TransferError::kOpenSource, "Cannot open source file " + source);
      return false;
    }

    if (CopyNewerOnly || OnFileDateCheck) {
      std::uint64_t lastWrite = 0;
      fs.GetFileTime(src.Get(), &lastWrite);
      // A handler that refuses leaves FileDate as it was.
      const TDateTime before = FileDate;
      if (!CheckFileDate(idx, FileTimeToDateTime(lastWrite), CopyNewerOnly, FileDate, NoNewFile, source,
                         [&src] { src.Close(); })) {
        if (OnFileDateCheck) FileDate = before;
        return false;
      }
    }

    const std::int64_t size = fs.SetFilePointer(src.Get(), 0, plat::SeekOrigin::End);
    if (size < 0 || fs.SetFilePointer(src.Get(), 0, plat::SeekOrigin::Begin) != 0) {
      src.Close();
      ReportError(TransferError::kSourceSize, "Zero length source file " + source);
      return false;
    }

    if (!ConfirmTarget(target, [&src] { src.Close(); })) return false;
    // The target is created as a temporary file beside it. An existing target must
    // take an open for reading and writing without sharing, as creating it in place
    // would: one that another program holds (or the source itself, named in other
    // letter case on Windows) is not replaced.
    bool free = IsReplaceable(target);
    if (free && FileExists(target)) {
      const plat::FileHandle probe = fs.CreateFileWithShareMode(target, plat::FileAccess::ReadWrite,
                                                                plat::kFileShareNone, plat::FileCreate::OpenExisting);
      free = probe != plat::kInvalidFile;
      if (free) fs.CloseHandle(probe);
    }
    StagedFile file;
    file.SetDurable(Durable);
    if (!free || !file.Create(target)) {
      src.Close();
      ReportError(TransferError::kCreateTarget, "Cannot create target file " + target);
      return false;
    }

    Cancelled = false;
    std::uint64_t done = 0;
    try {
      // Each block of 16384 bytes of a chunk is counted and shown on its own, and a
      // copy of 0 bytes ends the copy, as reading block by block would.
      bool atEnd = false;
      while (!atEnd && !Cancelled) {
        std::uint32_t read = 0;
        if (!file.CopyFrom(src.Get(), kChunkSize, &read)) {
          file.Discard();
          src.Close();
          ReportError(TransferError::kReadSource, "Error reading source file " + source);
          return false;
        }
        atEnd = read == 0;
        std::uint32_t shown = 0;
        do {
          const std::uint32_t block = std::min(kBlockSize, read - shown);
          shown += block;
          done += block;
          UpdateCopyProgress(done, size, start);
        } while (shown < read && !Cancelled);
      }
      // The last block's numbers are shown even when the throttle skipped its repaint.
      if (TWcProgressDialog* d = Dialog()) d->Sync();
      src.Close();
      if (Cancelled) {
        file.Discard();
        return false;
      }
      // Close writes what is gathered: a failed or short write raises here too.
      if (!file.Close()) RaiseInOutError(fs.GetLastError());
    } catch (const plat::EInOutError&) {
      file.Discard();
      src.Close();
      ReportError(TransferError::kWriteTarget, "Error writing to destination file " + target);
      return false;
    }
    if (!file.Commit()) {
      ReportError(TransferError::kCreateTarget, "Cannot create target file " + target);
      return false;
    }
    return true;
  };

  bool result = false;
  if (!FTPHost.empty()) {
    // The share is connected with the item's account, without a drive letter.
    plat::NetResource resource;
    resource.dwScope = 0;
    resource.dwType = plat::kResourceTypeDisk;
    resource.dwDisplayType = 0;
    resource.dwUsage = 0;
    resource.lpLocalName = "";
    resource.lpRemoteName = FTPHost.c_str();
    resource.lpComment = nullptr;
    resource.lpProvider = "";
    if (plat::share().WNetAddConnection2A(resource, FTPPassword.c_str(), FTPUserID.c_str(), 0) != 0) {
      if (OnConnectError) OnConnectError(this);
    } else {
      try {
        result = copy();
      } catch (...) {
        plat::share().WNetCancelConnection2A(FTPHost, plat::kConnectUpdateProfile, true);
        throw;
      }
    }
    // Disconnecting is tried even after a failed connect, and is forced.
    if (plat::share().WNetCancelConnection2A(FTPHost, plat::kConnectUpdateProfile, true) != 0) {
      if (OnConnectError) OnConnectError(this);
      result = false;
    }
  } else {
    result = copy();
  }
  return result;
}

}  // namespace nolt
