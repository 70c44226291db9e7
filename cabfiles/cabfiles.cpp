// TCABFile: listing and extraction of cabinet archives through the FDI operations
// of the cabinet library seam, with the component's own memory, file and
// notification callbacks.
#include "cabfiles/cabfiles.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Clock.h"
#include "platform/Ui.h"

namespace nolt {

TCABFile* ActiveCabinet = nullptr;

namespace {

constexpr std::uint32_t kCabFileVersion = 0x01040003;
constexpr std::uint32_t kMbIconWarning = 0x30;
constexpr std::size_t kMaxErrorText = 1024;
constexpr std::uint32_t kCallbackFailed = 0xFFFFFFFFu;
// Days from 1601-01-01 (FILETIME's origin) to 1899-12-30 (TDateTime's).
constexpr double kFileTimeDaysToDateTime = 109205.0;
constexpr double kTicksPerDay = 864000000000.0;

bool IsSeparator(char c) { return c == '/' || c == '\\' || c == plat::kPathDelim; }

// Drive letters exist only where the backslash separates paths.
bool IsDriveDelim(char c) { return c == ':' && plat::kPathDelim == '\\'; }

bool IsLocalSeparator(char c) { return c == '/' || c == plat::kPathDelim; }

// The part of a local path up to and including its last separator (or drive colon).
std::string ExtractFilePath(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsLocalSeparator(path[i - 1]) || IsDriveDelim(path[i - 1])) return path.substr(0, i);
  return {};
}

std::string ExtractFileName(const std::string& path) { return path.substr(ExtractFilePath(path).size()); }

bool DirExists(const std::string& path) {
  std::uint32_t a = plat::files().GetFileAttributesA(path);
  return a != plat::kInvalidFileAttributes && (a & plat::kFileAttributeDirectory);
}

bool FileExists(const std::string& path) {
  std::uint32_t a = plat::files().GetFileAttributesA(path);
  return a != plat::kInvalidFileAttributes && !(a & plat::kFileAttributeDirectory);
}

// Creates a directory with all its missing parents. Parents are found at either
// separator, so names that nest with "/" work as well as with "\". A path without
// any parent part is created as it stands (relative to the current directory).
bool ForceDirectories(std::string dir) {
  if (!dir.empty() && IsLocalSeparator(dir.back())) dir.pop_back();
  if (dir.empty() || DirExists(dir)) return true;
  std::string parent = ExtractFilePath(dir);
  if (parent == dir) return true;
  if (!parent.empty() && !ForceDirectories(parent)) return false;
  return plat::files().CreateDirectoryA(dir) || DirExists(dir);
}

// An entry is written only inside the target directory: no absolute or UNC name,
// no drive (nor any other colon, which Windows would read as a stream name), no
// component that climbs out ("..", or dots and blanks that Windows reads as ".."),
// and a file name after the last separator.
bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || IsSeparator(name.front()) || IsSeparator(name.back())) return false;
  if (name.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && name[end] != '/' && name[end] != '\\') ++end;
    const std::string part = name.substr(start, end - start);
    if (part.find("..") != std::string::npos && part.find_first_not_of(". ") == std::string::npos) return false;
    start = end + 1;
  }
  return true;
}

// The DOS date and time of an entry as a calendar record; false when they are
// no valid date (month 0, February 30th, 62 seconds...).
bool DosToSystemTime(std::uint16_t date, std::uint16_t time, plat::SystemTime* st, std::uint64_t* fileTime) {
  st->wYear = static_cast<std::uint16_t>(1980 + (date >> 9));
  st->wMonth = static_cast<std::uint16_t>((date >> 5) & 0x0F);
  st->wDay = static_cast<std::uint16_t>(date & 0x1F);
  st->wHour = static_cast<std::uint16_t>(time >> 11);
  st->wMinute = static_cast<std::uint16_t>((time >> 5) & 0x3F);
  st->wSecond = static_cast<std::uint16_t>((time & 0x1F) * 2);
  st->wMilliseconds = 0;
  return plat::SystemTimeToFileTime(*st, fileTime);
}

TDateTime DosToDateTime(std::uint16_t date, std::uint16_t time) {
  plat::SystemTime st;
  std::uint64_t ft;
  if (!DosToSystemTime(date, time, &st, &ft)) return 0;
  const std::uint64_t ticks = static_cast<std::uint64_t>(kTicksPerDay);
  return static_cast<double>(ft / ticks) - kFileTimeDaysToDateTime + static_cast<double>(ft % ticks) / kTicksPerDay;
}

// The cabinet files that FdiOpen handed to the library and that are still open.
// FdiClose closes only these and the entry being written: Wine's library, after
// a set's next cabinet was not found, asks to close a handle it never opened (0).
std::vector<std::intptr_t> openCabinetHandles;

plat::FileAccess AccessFromOpenFlags(int oflag) {
  switch (oflag & 3) {
    case 1: return plat::FileAccess::Write;
    case 2: return plat::FileAccess::ReadWrite;
    default: return plat::FileAccess::Read;
  }
}

}  // namespace

// ---- collection ----

TCABFileEntry& TCABFileContents::Add() {
  items_.push_back(std::make_unique<TCABFileEntry>(this));
  return *items_.back();
}

// ---- component ----

TCABFile::TCABFile(TComponent* owner) : TComponent(owner) {}

TCABFile::~TCABFile() {
  if (ActiveCabinet == this) ActiveCabinet = nullptr;
}

std::string TCABFile::Version() const {
  return std::to_string((kCabFileVersion >> 24) & 0xFF) + "." + std::to_string((kCabFileVersion >> 16) & 0xFF) + "." +
         std::to_string((kCabFileVersion >> 8) & 0xFF) + "." + std::to_string(kCabFileVersion & 0xFF);
}

std::string TCABFile::EntryDir(const std::string& name) {
  std::size_t p = name.find_last_of("/\\");
  return p == std::string::npos ? std::string() : name.substr(0, p + 1);
}

void TCABFile::ReadContents() {
  CABFileContents.Clear();
  ExtractMode = false;
  ProcessCabinet();
}

bool TCABFile::ExtractAll() {
  ExtractMode = true;
  return ProcessCabinet() == 0;
}

std::int32_t TCABFile::ProcessCabinet() {
  handlerError_ = nullptr;
  LastRunResult = RunLibrary();
  // An event handler's exception could not pass through the library; it was
  // kept, the run aborted and cleaned up, and it goes on to the caller now.
  if (handlerError_) {
    std::exception_ptr e = handlerError_;
    handlerError_ = nullptr;
    std::rethrow_exception(e);
  }
  return LastRunResult;
}

std::int32_t TCABFile::RunLibrary() {
  plat::Files& fs = plat::files();

  // The file must be there and readable before the library is loaded.
  plat::FileHandle probe = fs.CreateFileA(CABFile, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (probe == plat::kInvalidFile) return -1;
  fs.CloseHandle(probe);

  plat::CabinetLibrary& library = plat::cabinetLibrary();
  plat::HModule loaded = library.LoadLibraryA("cabinet.dll");
  if (!loaded) return -1;
  struct Release {
    plat::CabinetLibrary& library;
    plat::HModule module;
    ~Release() { library.FreeLibrary(module); }
  } release{library, loaded};

  plat::HModule module = library.GetModuleHandleA("cabinet.dll");
  if (!module) return -1;
  auto create = reinterpret_cast<plat::PfnFDICreate>(library.GetProcAddress(module, "FDICreate"));
  auto isCabinet = reinterpret_cast<plat::PfnFDIIsCabinet>(library.GetProcAddress(module, "FDIIsCabinet"));
  auto copy = reinterpret_cast<plat::PfnFDICopy>(library.GetProcAddress(module, "FDICopy"));
  auto destroy = reinterpret_cast<plat::PfnFDIDestroy>(library.GetProcAddress(module, "FDIDestroy"));
  if (!create || !isCabinet || !copy || !destroy) return -1;

  plat::Erf erf{};
  plat::HFDI context = create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, plat::cpu80386, &erf);
  if (!context) return -1;

  // A run nested in an event handler keeps its own list of open cabinet files.
  std::vector<std::intptr_t> outerHandles;
  outerHandles.swap(openCabinetHandles);
  std::int32_t result = -1;
  bool cabinet = false;
  plat::FileHandle hf = fs.CreateFileA(CABFile, plat::FileAccess::Read, plat::FileCreate::OpenExisting);
  if (hf != plat::kInvalidFile) {
    plat::FdiCabinetInfo info{};
    cabinet = isCabinet(context, hf, &info) != 0;
    fs.CloseHandle(hf);
  }

  if (cabinet) {
    std::string full = fs.GetFullPathNameA(CABFile);
    if (full.empty()) full = CABFile;
    std::string name = ExtractFileName(full);
    std::string dir = ExtractFilePath(full);
    entryFailed_ = false;
    askedNextCabinet_.clear();
    const bool copied = copy(context, name.data(), dir.data(), 0, FdiNotify, nullptr, this) != 0;
    DiscardPendingEntry();
    if (copied && !entryFailed_) result = 0;
  }

  if (!destroy(context)) result = -1;
  // Cabinet files the library left open are closed with the run.
  for (plat::FileHandle h : openCabinetHandles) fs.CloseHandle(h);
  openCabinetHandles.swap(outerHandles);
  return result;
}

void TCABFile::DiscardPendingEntry() {
  if (pending_.tempPath.empty()) return;
  plat::Files& fs = plat::files();
  if (pending_.open) fs.CloseHandle(pending_.handle);
  fs.DeleteFileA(pending_.tempPath);
  pending_ = PendingEntry{};
}

void TCABFile::ShowOSError(std::uint32_t code) {
  if (code == 0) return;
  std::string text = plat::files().ErrorText(code);
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  plat::ui().MessageBoxA(text, "Error", plat::kMbOk | kMbIconWarning);
}

// ---- FDI callbacks ----

void* TCABFile::FdiAlloc(std::uint32_t cb) { return std::malloc(cb ? cb : 1); }

void TCABFile::FdiFree(void* pv) { std::free(pv); }

// FDI opens only cabinet files here; entries are created by FdiNotify.
std::intptr_t TCABFile::FdiOpen(char* pszFile, int oflag, int) {
  plat::FileHandle h = plat::files().CreateFileA(pszFile, AccessFromOpenFlags(oflag), plat::FileCreate::OpenExisting);
  if (h != plat::kInvalidFile) openCabinetHandles.push_back(h);
  return h;
}

std::uint32_t TCABFile::FdiRead(std::intptr_t hf, void* pv, std::uint32_t cb) {
  std::uint32_t n = 0;
  return plat::files().ReadFile(hf, pv, cb, &n) ? n : kCallbackFailed;
}

// The error box shows only a failure of this write, with its own code: a code
// that an earlier call left behind is no news.
std::uint32_t TCABFile::FdiWrite(std::intptr_t hf, void* pv, std::uint32_t cb) {
  plat::Files& fs = plat::files();
  std::uint32_t n = 0;
  const bool ok = fs.WriteFile(hf, pv, cb, &n);
  const std::uint32_t code = ok ? 0 : fs.GetLastError();
  std::uint32_t result = ok ? n : kCallbackFailed;

  if (TCABFile* cab = ActiveCabinet) {
    if (cab->pending_.open && cab->pending_.handle == hf) cab->pending_.written += n;
    // The requested count, as a 32-bit count that wraps past 2 GB.
    cab->ProgressPos = static_cast<std::int32_t>(static_cast<std::uint32_t>(cab->ProgressPos) + cb);
    if (cab->OnDecompressProgress && !cab->handlerError_) {
      try {
        cab->OnDecompressProgress(cab, cab->ProgressFile, cab->ProgressPos, cab->ProgressTotal);
      } catch (...) {
        cab->handlerError_ = std::current_exception();
        result = kCallbackFailed;  // makes the library abort the copy
      }
    }
  }
  if (!ok) ShowOSError(code);
  return result;
}

int TCABFile::FdiClose(std::intptr_t hf) {
  auto known = std::find(openCabinetHandles.begin(), openCabinetHandles.end(), hf);
  TCABFile* cab = ActiveCabinet;
  // The library closes an entry's file itself when it gives up on it.
  const bool entry = cab && cab->pending_.open && cab->pending_.handle == hf;
  if (known == openCabinetHandles.end() && !entry) return -1;  // not ours to close
  if (known != openCabinetHandles.end()) openCabinetHandles.erase(known);
  if (entry) cab->pending_.open = false;

  plat::Files& fs = plat::files();
  const bool ok = fs.CloseHandle(hf);
  if (!ok) ShowOSError(fs.GetLastError());
  return ok ? 0 : -1;
}

std::int32_t TCABFile::FdiSeek(std::intptr_t hf, std::int32_t dist, int seektype) {
  plat::Files& fs = plat::files();
  const std::int64_t pos = fs.SetFilePointer(hf, dist, static_cast<plat::SeekOrigin>(seektype));
  if (pos < 0) {
    ShowOSError(fs.GetLastError());
    return -1;
  }
  return pos > 0x7FFFFFFF ? -1 : static_cast<std::int32_t>(pos);
}

std::intptr_t TCABFile::FdiNotify(plat::FdiNotificationType fdint, plat::FdiNotification* pfdin) {
  auto* self = static_cast<TCABFile*>(pfdin->pv);
  // FALSE ends the copy after CLOSE_FILE_INFO, -1 after the other notifications.
  const std::intptr_t abort = fdint == plat::fdintCLOSE_FILE_INFO ? 0 : -1;
  if (self->handlerError_) return abort;
  try {
    switch (fdint) {
      case plat::fdintCOPY_FILE: return self->ExtractMode ? self->OpenEntry(*pfdin) : self->ListEntry(*pfdin);
      case plat::fdintCLOSE_FILE_INFO: return self->CloseEntry(*pfdin);
      case plat::fdintNEXT_CABINET: return self->NextCabinet(*pfdin);
      default: return 0;  // cabinet info, partial file, enumerate: go on
    }
  } catch (...) {
    self->handlerError_ = std::current_exception();
    return abort;
  }
}

// ---- notifications ----

std::intptr_t TCABFile::ListEntry(const plat::FdiNotification& n) {
  TCABFileEntry& entry = CABFileContents.Add();
  entry.Name = n.psz1;
  entry.FileDate = DosToDateTime(n.date, n.time);
  entry.FileSize = n.cb;
  return 0;  // skip: a list run writes nothing
}

std::intptr_t TCABFile::OpenEntry(const plat::FdiNotification& n) {
  plat::Files& fs = plat::files();
  const std::string stored = n.psz1;

  ProgressFile = stored;
  ProgressPos = 0;
  ProgressTotal = n.cb;
  ActiveCabinet = this;

  if (!IsSafeEntryName(stored)) {
    entryFailed_ = true;  // not written; the run reports failure at its end
    return 0;
  }

  std::string base = TargetPath;
  if (!base.empty() && base.back() != plat::kPathDelim) base += plat::kPathDelim;
  const std::string dir = base + fs.LocalName(EntryDir(stored));
  // A failure shows up as the failing creation of the file below.
  if (!dir.empty() && !DirExists(dir)) ForceDirectories(dir);

  const std::string target = base + fs.LocalName(stored);
  bool allow = true;
  if (FileExists(target) && OnOverWriteFile) OnOverWriteFile(this, target, allow);
  if (!allow) return 0;

  // Written beside the target and moved over it when complete (CloseEntry).
  std::string tempPath;
  plat::FileHandle h = fs.CreateTempFileIn(dir, &tempPath);
  if (h == plat::kInvalidFile) return -1;
  pending_ = PendingEntry{h, true, tempPath, target, static_cast<std::uint32_t>(n.cb), 0};
  return h;
}

std::intptr_t TCABFile::CloseEntry(const plat::FdiNotification& n) {
  plat::Files& fs = plat::files();
  // The cabinet's date and time, read as local time, become the last-write time.
  plat::SystemTime st;
  std::uint64_t local = 0, utc = 0;
  if (DosToSystemTime(n.date, n.time, &st, &local) && plat::sysClock().LocalFileTimeToFileTime(local, &utc))
    fs.SetFileTime(n.hf, utc);

  if (!pending_.open || pending_.handle != n.hf) {
    fs.CloseHandle(n.hf);
    return 1;
  }
  // The entry's attributes are not applied; the system's rules for a file
  // installed in that place are.
  fs.FinishInstalledFile(n.hf, pending_.target);
  const bool closed = fs.CloseHandle(n.hf);
  pending_.open = false;
  // A library may report an entry complete after its decoding failed (Wine's
  // does, with the bytes decoded so far): a file of the wrong size is not installed.
  const bool complete = pending_.written == pending_.size;
  const bool installed = closed && complete && fs.MoveFileReplace(pending_.tempPath, pending_.target);
  if (!installed) {
    fs.DeleteFileA(pending_.tempPath);
    // Wine's library goes on after FALSE here (and after a failed write), so
    // the run's result does not rely on the library's.
    entryFailed_ = true;
  }
  pending_ = PendingEntry{};
  return installed ? 1 : 0;
}

// The library opens the next cabinet of a set by the name and path it reports.
// When that failed, asking again would bring the same answer, so a missing
// continuation ends the copy in failure.
std::intptr_t TCABFile::NextCabinet(const plat::FdiNotification& n) {
  const std::string name = n.psz1 ? n.psz1 : "";
  if (n.fdie != plat::FDIERROR_NONE || name == askedNextCabinet_) return -1;
  askedNextCabinet_ = name;
  return 0;
}

}  // namespace nolt
