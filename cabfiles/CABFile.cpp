// TCABFile: listing and extraction of cabinet archives through the FDI operations
// of the cabinet library seam, with the component's own memory, file and
// notification callbacks.
#include "cabfiles/CABFile.h"

#include <algorithm>
#include <cstdlib>

#include "core/DateTime.h"
#include "install/InstallName.h"
#include "install/LocalFiles.h"
#include "platform/Clock.h"
#include "platform/Ui.h"

namespace nolt {

TCABFile* ActiveCabinet = nullptr;

namespace {

constexpr std::uint32_t kCabFileVersion = 0x01040003;
constexpr std::uint32_t kMbIconWarning = 0x30;
constexpr std::size_t kMaxErrorText = 1024;
constexpr std::uint32_t kCallbackFailed = 0xFFFFFFFFu;

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
    std::string dir = DirectoryOf(full);
    std::string name = full.substr(dir.size());
    entryFailed_ = false;
    askedNextCabinet_.clear();
    const bool copied = copy(context, name.data(), dir.data(), 0, FdiNotify, nullptr, this) != 0;
    // An entry the library left unfinished is removed.
    entry_.Discard();
    if (copied && !entryFailed_) result = 0;
  }

  if (!destroy(context)) result = -1;
  // Cabinet files the library left open are closed with the run.
  for (plat::FileHandle h : openCabinetHandles) fs.CloseHandle(h);
  openCabinetHandles.swap(outerHandles);
  return result;
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
    if (cab->entry_.Holds(hf)) cab->entry_.Wrote(n);
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
  const bool entry = cab && cab->entry_.Holds(hf);
  if (known == openCabinetHandles.end() && !entry) return -1;  // not ours to close
  if (known != openCabinetHandles.end()) openCabinetHandles.erase(known);

  plat::Files& fs = plat::files();
  const bool ok = entry ? cab->entry_.CloseUnfinished() : fs.CloseHandle(hf);
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
  entry.FileDate = DosDateTimeToDateTime(n.date, n.time);
  entry.FileSize = n.cb;
  return 0;  // skip: a list run writes nothing
}

std::intptr_t TCABFile::OpenEntry(const plat::FdiNotification& n) {
  const std::string stored = n.psz1;

  ProgressFile = stored;
  ProgressPos = 0;
  ProgressTotal = n.cb;
  ActiveCabinet = this;

  if (!MayInstall(stored, NameUse::CabinetEntry)) {
    entryFailed_ = true;  // not written; the run reports failure at its end
    return 0;
  }

  std::string base = TargetPath;
  if (!base.empty() && base.back() != plat::kPathDelim) base += plat::kPathDelim;
  // A failure shows up as the failing creation of the file below. On Windows a '/'
  // of the name separates too: ForceDirs reads only the backslash.
  std::string dir = base + LocalPath(EntryDir(stored));
  std::replace(dir.begin(), dir.end(), '/', plat::kPathDelim);
  ForceDirs(dir);

  const std::string target = base + LocalPath(stored);
  bool allow = true;
  if (FileExists(target) && OnOverWriteFile) OnOverWriteFile(this, target, allow);
  if (!allow) return 0;

  // Written beside the target and moved over it when complete (CloseEntry).
  if (!entry_.Create(target)) return -1;
  entrySize_ = static_cast<std::uint32_t>(n.cb);
  return entry_.Handle();
}

std::intptr_t TCABFile::CloseEntry(const plat::FdiNotification& n) {
  plat::Files& fs = plat::files();
  // The cabinet's date and time, read as local time, become the last-write time.
  std::uint64_t local = 0, utc = 0;
  if (plat::SystemTimeToFileTime(DosDateTimeToSystemTime(n.date, n.time), &local) &&
      plat::sysClock().LocalFileTimeToFileTime(local, &utc))
    fs.SetFileTime(n.hf, utc);

  if (!entry_.Holds(n.hf)) {
    fs.CloseHandle(n.hf);
    return 1;
  }
  // The entry's attributes are not applied; the system's rules for a file
  // installed in that place are (StagedFile::Close).
  const bool closed = entry_.Close();
  // A library may report an entry complete after its decoding failed (Wine's
  // does, with the bytes decoded so far): a file of the wrong size is not installed.
  const bool complete = entry_.Written() == entrySize_;
  bool allow = closed && complete;
  if (allow && OnVerifyFile) OnVerifyFile(this, ProgressFile, entry_.TempPath(), allow);
  const bool installed = allow && entry_.Commit();
  if (!installed) {
    entry_.Discard();
    // Wine's library goes on after FALSE here (and after a failed write), so
    // the run's result does not rely on the library's.
    entryFailed_ = true;
  }
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
