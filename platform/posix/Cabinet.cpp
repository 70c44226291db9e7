// POSIX implementation of the cabinet library seam: "cabinet.dll" is this file, its
// four FDI operations decode with libmspack. Only Linux-specific code lives here.
//
// libmspack reaches files and memory through a table of functions (mspack_system);
// ours maps every slot onto the callbacks given to FDICreate, so the cabinet and
// the entries pass through the caller's open, read, write, seek and close exactly
// as they do with the Windows library. The entry being extracted is written to the
// handle that the caller's COPY_FILE handler returned.
#include "platform/Cabinet.h"

#include <dirent.h>
#include <mspack.h>
#include <strings.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace plat {
namespace {

// Folder index values of an entry that spans cabinets.
constexpr std::uint16_t kContinuedFromPrev = 0xFFFD;
constexpr std::uint16_t kContinuedToNext = 0xFFFE;
constexpr std::uint16_t kContinuedPrevAndNext = 0xFFFF;

constexpr std::uint32_t kCallbackFailed = 0xFFFFFFFFu;
constexpr std::size_t kCabPathMax = 256;  // FDI's path buffer for NEXT_CABINET
// The decoders' input buffer. libmspack fills it across block boundaries, so a
// larger one reads ahead into blocks that later entries need: a damaged block
// would then fail entries that lie wholly before it. The blocks themselves are
// read whole (up to 32 KB per read callback) whatever this size is.
constexpr int kDecoderInputBuffer = 4096;

struct FdiContext;

// The context of the FDI call running on this thread. libmspack hands its
// decoders copies of the system table, so the table pointer cannot lead back to
// the context; every slot that has no file at hand finds it here.
thread_local FdiContext* runningContext = nullptr;

class RunningContext {
 public:
  explicit RunningContext(FdiContext* ctx) : previous_(runningContext) { runningContext = ctx; }
  ~RunningContext() { runningContext = previous_; }
  RunningContext(const RunningContext&) = delete;
  RunningContext& operator=(const RunningContext&) = delete;

 private:
  FdiContext* previous_;
};

// A file as libmspack sees it: a handle from the caller's open callback, or the
// entry handle that the COPY_FILE handler returned (the handler closes that one).
struct MspackFile {
  FdiContext* ctx;
  std::intptr_t hf;
  bool entry;
};

struct FdiContext {
  PfnAlloc alloc;
  PfnFree free;
  PfnOpen open;
  PfnRead read;
  PfnWrite write;
  PfnClose close;
  PfnSeek seek;
  Erf* erf;
  mspack_system system;
  std::intptr_t entryHandle;  // the output of the extract in progress, else -1
};

MspackFile* FileOf(mspack_file* file) { return reinterpret_cast<MspackFile*>(file); }

void SetError(FdiContext* ctx, FdiError e) {
  if (!ctx->erf) return;
  ctx->erf->erfOper = e;
  ctx->erf->erfType = 0;
  ctx->erf->fError = e != FDIERROR_NONE;
}

// ---- the mspack_system slots ----

mspack_file* SysOpen(mspack_system*, const char* filename, int mode) {
  FdiContext* ctx = runningContext;
  if (!ctx) return nullptr;
  std::intptr_t hf;
  bool entry = false;
  if (mode == MSPACK_SYS_OPEN_READ) {
    std::string name(filename);  // the open callback takes a modifiable text
    hf = ctx->open(name.data(), kFdiOpenBinary | kFdiOpenReadOnly, kFdiPermRead | kFdiPermWrite);
    if (hf == -1) return nullptr;
  } else {
    // libmspack writes nothing but the entry being extracted.
    if (ctx->entryHandle == -1) return nullptr;
    hf = ctx->entryHandle;
    entry = true;
  }
  auto* f = new (std::nothrow) MspackFile{ctx, hf, entry};
  if (!f && !entry) ctx->close(hf);
  return reinterpret_cast<mspack_file*>(f);
}

void SysClose(mspack_file* file) {
  MspackFile* f = FileOf(file);
  if (!f->entry) f->ctx->close(f->hf);
  delete f;
}

// libmspack expects a short count only at the end of the file, so a short read
// of the callback is continued.
int SysRead(mspack_file* file, void* buffer, int bytes) {
  MspackFile* f = FileOf(file);
  if (bytes < 0) return -1;
  int total = 0;
  while (total < bytes) {
    std::uint32_t n = f->ctx->read(f->hf, static_cast<char*>(buffer) + total, static_cast<std::uint32_t>(bytes - total));
    if (n == kCallbackFailed) return -1;
    if (n == 0) break;
    total += static_cast<int>(n);
  }
  return total;
}

int SysWrite(mspack_file* file, void* buffer, int bytes) {
  MspackFile* f = FileOf(file);
  if (bytes < 0) return -1;
  std::uint32_t n = f->ctx->write(f->hf, buffer, static_cast<std::uint32_t>(bytes));
  return n == kCallbackFailed ? -1 : static_cast<int>(n);
}

int SysSeek(mspack_file* file, off_t offset, int mode) {
  MspackFile* f = FileOf(file);
  if (offset < INT32_MIN || offset > INT32_MAX) return -1;  // a cabinet is smaller than 2 GB
  int origin = mode == MSPACK_SYS_SEEK_START ? 0 : mode == MSPACK_SYS_SEEK_CUR ? 1 : 2;
  return f->ctx->seek(f->hf, static_cast<std::int32_t>(offset), origin) == -1 ? -1 : 0;
}

off_t SysTell(mspack_file* file) {
  MspackFile* f = FileOf(file);
  return f->ctx->seek(f->hf, 0, 1);
}

// FDI says nothing of its own; failures reach the caller as results.
void SysMessage(mspack_file*, const char*, ...) {}

// Memory comes from the alloc callback. libmspack's free slot has no context, so
// each block starts with a header that names its context (16 bytes keep the
// allocator's alignment).
constexpr std::size_t kBlockHeader = 16;

void* SysAlloc(mspack_system*, std::size_t bytes) {
  FdiContext* ctx = runningContext;
  if (!ctx || bytes > 0xFFFFFFFFu - kBlockHeader) return nullptr;
  auto* p = static_cast<unsigned char*>(ctx->alloc(static_cast<std::uint32_t>(bytes + kBlockHeader)));
  if (!p) return nullptr;
  std::memcpy(p, &ctx, sizeof ctx);
  return p + kBlockHeader;
}

void SysFree(void* ptr) {
  if (!ptr) return;
  unsigned char* p = static_cast<unsigned char*>(ptr) - kBlockHeader;
  FdiContext* ctx;
  std::memcpy(&ctx, p, sizeof ctx);
  ctx->free(p);
}

void SysCopy(void* src, void* dest, std::size_t bytes) { std::memmove(dest, src, bytes); }

// ---- raw entry records ----

// What libmspack does not tell: how an entry's folder index marks it as
// continued from or into another cabinet. That decides between COPY_FILE and
// PARTIAL_FILE and whether the next cabinet is needed.
struct RawEntry {
  std::string name;
  std::uint32_t length;
  std::uint32_t offset;
  std::uint16_t folder;
};

// Reads a file through the callbacks in blocks.
class CallbackReader {
 public:
  CallbackReader(FdiContext* ctx, std::intptr_t hf) : ctx_(ctx), hf_(hf) {}
  bool Byte(unsigned char* b) {
    if (pos_ == end_) {
      std::uint32_t n = ctx_->read(hf_, buf_, sizeof buf_);
      if (n == kCallbackFailed || n == 0) return false;
      pos_ = 0;
      end_ = n;
    }
    *b = buf_[pos_++];
    return true;
  }
  bool Bytes(unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      if (!Byte(out + i)) return false;
    return true;
  }
  bool Skip(std::size_t n) {
    unsigned char b;
    for (std::size_t i = 0; i < n; ++i)
      if (!Byte(&b)) return false;
    return true;
  }
  bool Text(std::string* s) {
    s->clear();
    unsigned char b;
    for (;;) {
      if (!Byte(&b)) return false;
      if (b == 0) return true;
      if (s->size() >= 1024) return false;
      s->push_back(static_cast<char>(b));
    }
  }

 private:
  FdiContext* ctx_;
  std::intptr_t hf_;
  unsigned char buf_[4096];
  std::uint32_t pos_ = 0;
  std::uint32_t end_ = 0;
};

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The entry records as libmspack reads them: one after the other behind the
// folder records. Stops quietly at the first damaged record: libmspack has
// already judged the cabinet, this only adds the folder marks.
std::vector<RawEntry> ReadRawEntries(FdiContext* ctx, const std::string& path) {
  std::vector<RawEntry> entries;
  std::string name = path;
  std::intptr_t hf = ctx->open(name.data(), kFdiOpenBinary | kFdiOpenReadOnly, kFdiPermRead | kFdiPermWrite);
  if (hf == -1) return entries;
  CallbackReader in(ctx, hf);
  unsigned char h[36];
  if (in.Bytes(h, sizeof h) && std::memcmp(h, "MSCF", 4) == 0) {
    const std::uint16_t folders = U16(h + 26), files = U16(h + 28), flags = U16(h + 30);
    std::size_t folderReserve = 0;
    bool ok = true;
    if (flags & 0x0004) {
      unsigned char r[4];
      ok = in.Bytes(r, 4) && in.Skip(U16(r));
      folderReserve = r[2];
    }
    std::string skipped;
    if (ok && (flags & 0x0001)) ok = in.Text(&skipped) && in.Text(&skipped);
    if (ok && (flags & 0x0002)) ok = in.Text(&skipped) && in.Text(&skipped);
    if (ok) ok = in.Skip(folders * (8 + folderReserve));
    for (std::uint16_t i = 0; ok && i < files; ++i) {
      unsigned char f[16];
      RawEntry e;
      if (!in.Bytes(f, sizeof f) || !in.Text(&e.name)) break;
      e.length = U32(f);
      e.offset = U32(f + 4);
      e.folder = U16(f + 8);
      entries.push_back(std::move(e));
    }
  }
  ctx->close(hf);
  return entries;
}

FdiError ErrorFromMspack(int e) {
  switch (e) {
    case MSPACK_ERR_OK: return FDIERROR_NONE;
    case MSPACK_ERR_OPEN: return FDIERROR_CABINET_NOT_FOUND;
    case MSPACK_ERR_SIGNATURE: return FDIERROR_NOT_A_CABINET;
    case MSPACK_ERR_NOMEMORY: return FDIERROR_ALLOC_FAIL;
    case MSPACK_ERR_WRITE: return FDIERROR_TARGET_FILE;
    case MSPACK_ERR_DECRUNCH: return FDIERROR_MDI_FAIL;
    default: return FDIERROR_CORRUPT_CABINET;  // read, seek, format and checksum failures
  }
}

// ---- one FDICopy ----

// One cabinet file of the set being copied. Heap-held: libmspack keeps a pointer
// to the path until the cabinet is closed.
struct OpenCabinet {
  std::string path;
  mscabd_cabinet* cab = nullptr;
  std::vector<RawEntry> raw;
};

// An entry of the named cabinet, taken before further cabinets are appended
// (libmspack then joins their entries to the same list).
struct Entry {
  mscabd_file* file;
  std::uint16_t date;
  std::uint16_t time;
  std::uint16_t folderIndex;  // position of its folder in the cabinet
  std::uint16_t mark;         // raw folder index: tells continuation
};

class CopyRun {
 public:
  CopyRun(FdiContext* ctx, PfnFdiNotify notify, void* pvUser) : ctx_(ctx), notify_(notify), pvUser_(pvUser) {}

  ~CopyRun() {
    ctx_->entryHandle = -1;
    if (cabd_) {
      if (!chain_.empty()) cabd_->close(cabd_, chain_.front()->cab);  // closes every appended one too
      mspack_destroy_cab_decompressor(cabd_);
    }
  }

  bool Run(const char* pszCabinet, const char* pszCabPath) {
    cabd_ = mspack_create_cab_decompressor(&ctx_->system);
    if (!cabd_) return Fail(FDIERROR_ALLOC_FAIL);
    cabd_->set_param(cabd_, MSCABD_PARAM_DECOMPBUF, kDecoderInputBuffer);

    std::snprintf(cabPath_, sizeof cabPath_, "%s", pszCabPath ? pszCabPath : "");
    auto first = std::make_unique<OpenCabinet>();
    first->path = std::string(cabPath_) + (pszCabinet ? pszCabinet : "");
    first->cab = cabd_->open(cabd_, first->path.c_str());
    if (!first->cab) return Fail(ErrorFromMspack(cabd_->last_error(cabd_)));
    first->raw = ReadRawEntries(ctx_, first->path);
    chain_.push_back(std::move(first));
    mscabd_cabinet* cab = chain_.front()->cab;

    std::string next = cab->nextname ? cab->nextname : "", disk = cab->nextinfo ? cab->nextinfo : "";
    FdiNotification n = Note(cab);
    n.psz1 = next.data();
    n.psz2 = disk.data();
    n.psz3 = cabPath_;
    if (notify_(fdintCABINET_INFO, &n) == -1) return Fail(FDIERROR_USER_ABORT);

    std::vector<Entry> entries = TakeEntries(cab, chain_.front()->raw);
    for (const Entry& e : entries)
      if (!CopyEntry(cab, e)) return false;
    return true;
  }

 private:
  bool Fail(FdiError e) {
    SetError(ctx_, e);
    return false;
  }

  FdiNotification Note(const mscabd_cabinet* cab) const {
    FdiNotification n{};
    n.pv = pvUser_;
    n.hf = 0;
    n.setID = cab->set_id;
    n.iCabinet = cab->set_index;
    n.fdie = FDIERROR_NONE;
    return n;
  }

  static std::vector<Entry> TakeEntries(const mscabd_cabinet* cab, const std::vector<RawEntry>& raw) {
    std::vector<Entry> entries;
    std::size_t cursor = 0;
    for (mscabd_file* f = cab->files; f; f = f->next) {
      Entry e{};
      e.file = f;
      e.date = static_cast<std::uint16_t>(((f->date_y - 1980) << 9) | (f->date_m << 5) | f->date_d);
      e.time = static_cast<std::uint16_t>((f->time_h << 11) | (f->time_m << 5) | (f->time_s >> 1));
      std::uint16_t index = 0;
      for (const mscabd_folder* fol = cab->folders; fol && fol != f->folder; fol = fol->next) ++index;
      e.folderIndex = index;
      e.mark = index;
      // The records come in the same order; skip any that libmspack passed over.
      for (std::size_t i = cursor; i < raw.size(); ++i) {
        if (raw[i].name == f->filename && raw[i].length == f->length &&
            raw[i].offset == static_cast<std::uint32_t>(f->offset)) {
          e.mark = raw[i].folder;
          cursor = i + 1;
          break;
        }
      }
      entries.push_back(e);
    }
    return entries;
  }

  bool CopyEntry(const mscabd_cabinet* cab, const Entry& e) {
    FdiNotification n = Note(cab);
    n.psz1 = e.file->filename;
    n.cb = static_cast<std::int32_t>(e.file->length);
    n.date = e.date;
    n.time = e.time;
    n.attribs = static_cast<std::uint16_t>(e.file->attribs);
    n.iFolder = e.mark >= kContinuedFromPrev ? e.mark : e.folderIndex;

    if (e.mark == kContinuedFromPrev || e.mark == kContinuedPrevAndNext) {
      // Begun in an earlier cabinet: that cabinet's copy writes it.
      std::string prev = cab->prevname ? cab->prevname : "", disk = cab->previnfo ? cab->previnfo : "";
      n.psz2 = prev.data();
      n.psz3 = disk.data();
      return notify_(fdintPARTIAL_FILE, &n) == -1 ? Fail(FDIERROR_USER_ABORT) : true;
    }

    std::intptr_t hf = notify_(fdintCOPY_FILE, &n);
    if (hf == -1) return Fail(FDIERROR_USER_ABORT);
    if (hf == 0) return true;  // skipped

    FdiError failure = FDIERROR_NONE;
    if (e.mark == kContinuedToNext && !HaveContinuation(e)) failure = error_;
    if (failure == FDIERROR_NONE) {
      ctx_->entryHandle = hf;
      int r = cabd_->extract(cabd_, e.file, e.file->filename);
      ctx_->entryHandle = -1;
      if (r != MSPACK_ERR_OK) {
        failure = ErrorFromMspack(r);
        if (r == MSPACK_ERR_DATAFORMAT && e.file->folder && MSCABD_COMP_METHOD(e.file->folder->comp_type) > 3)
          failure = FDIERROR_BAD_COMPR_TYPE;
      }
    }
    if (failure != FDIERROR_NONE) {
      ctx_->close(hf);  // the handler never sees CLOSE_FILE_INFO for it
      return Fail(failure);
    }

    FdiNotification c = Note(cab);
    c.psz1 = e.file->filename;
    c.hf = hf;
    c.date = e.date;
    c.time = e.time;
    c.attribs = static_cast<std::uint16_t>(e.file->attribs & ~kFdiAttribExec);
    c.cb = (e.file->attribs & kFdiAttribExec) ? 1 : 0;
    c.iFolder = n.iFolder;
    std::intptr_t r = notify_(fdintCLOSE_FILE_INFO, &c);
    if (r == 0 || r == -1) return Fail(FDIERROR_TARGET_FILE);
    return true;
  }

  // Makes sure that every cabinet an entry continues into is joined to the set.
  // Each further cabinet lists the entry again, marked as continued from before
  // and, when it goes on, into the next one too.
  bool HaveContinuation(const Entry& e) {
    std::size_t k = 0;
    std::uint16_t mark = e.mark;
    while (mark == kContinuedToNext || mark == kContinuedPrevAndNext) {
      if (k + 1 >= chain_.size() && !AppendNext()) return false;
      ++k;
      const RawEntry* again = nullptr;
      for (const RawEntry& r : chain_[k]->raw)
        if ((r.folder == kContinuedFromPrev || r.folder == kContinuedPrevAndNext) && r.name == e.file->filename &&
            r.offset == static_cast<std::uint32_t>(e.file->offset) && r.length == e.file->length) {
          again = &r;
          break;
        }
      if (!again) break;  // not listed there: the decoder judges what it has
      mark = again->folder;
    }
    return true;
  }

  // Asks for the cabinet that follows the last one of the set and joins it. The
  // handler may correct the path and is asked once more when the first try fails;
  // a second failure ends the copy, so a missing cabinet is never asked for
  // without end.
  bool AppendNext() {
    OpenCabinet& last = *chain_.back();
    if (!(last.cab->flags & MSCAB_HDR_NEXTCAB) || !last.cab->nextname) {
      error_ = FDIERROR_CORRUPT_CABINET;  // an entry goes on, but no cabinet follows
      return false;
    }
    std::string name = last.cab->nextname, disk = last.cab->nextinfo ? last.cab->nextinfo : "";
    FdiError why = FDIERROR_NONE;
    for (int attempt = 0; attempt < 2; ++attempt) {
      FdiNotification n = Note(last.cab);
      std::string shownName = name;
      n.psz1 = shownName.data();
      n.psz2 = disk.data();
      n.psz3 = cabPath_;
      n.fdie = why;
      if (notify_(fdintNEXT_CABINET, &n) == -1) {
        error_ = FDIERROR_USER_ABORT;
        return false;
      }
      cabPath_[kCabPathMax - 1] = '\0';
      auto next = std::make_unique<OpenCabinet>();
      next->path = std::string(cabPath_) + name;
      next->cab = cabd_->open(cabd_, next->path.c_str());
      if (!next->cab && cabd_->last_error(cabd_) == MSPACK_ERR_OPEN) {
        // Cabinets are named on Windows, where case does not matter.
        std::string found = FindIgnoringCase(cabPath_, name);
        if (!found.empty()) {
          next->path = std::string(cabPath_) + found;
          next->cab = cabd_->open(cabd_, next->path.c_str());
        }
      }
      if (!next->cab) {
        why = cabd_->last_error(cabd_) == MSPACK_ERR_OPEN ? FDIERROR_CABINET_NOT_FOUND : FDIERROR_WRONG_CABINET;
        continue;
      }
      if (next->cab->set_id != last.cab->set_id || next->cab->set_index != last.cab->set_index + 1 ||
          cabd_->append(cabd_, last.cab, next->cab) != MSPACK_ERR_OK) {
        cabd_->close(cabd_, next->cab);
        why = FDIERROR_WRONG_CABINET;
        continue;
      }
      next->raw = ReadRawEntries(ctx_, next->path);
      chain_.push_back(std::move(next));
      return true;
    }
    error_ = why;
    return false;
  }

  static std::string FindIgnoringCase(const std::string& dir, const std::string& name) {
    std::string found;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return found;
    while (dirent* ent = ::readdir(d)) {
      if (::strcasecmp(ent->d_name, name.c_str()) == 0) {
        found = ent->d_name;
        break;
      }
    }
    ::closedir(d);
    return found;
  }

  FdiContext* ctx_;
  PfnFdiNotify notify_;
  void* pvUser_;
  mscab_decompressor* cabd_ = nullptr;
  std::vector<std::unique_ptr<OpenCabinet>> chain_;
  char cabPath_[kCabPathMax] = {};
  FdiError error_ = FDIERROR_NONE;
};

// ---- the four entry points ----

HFDI FdiCreate(PfnAlloc pfnalloc, PfnFree pfnfree, PfnOpen pfnopen, PfnRead pfnread, PfnWrite pfnwrite,
               PfnClose pfnclose, PfnSeek pfnseek, int, Erf* perf) {
  if (perf) *perf = Erf{};
  if (!pfnalloc || !pfnfree || !pfnopen || !pfnread || !pfnwrite || !pfnclose || !pfnseek) return nullptr;
  void* mem = pfnalloc(sizeof(FdiContext));
  if (!mem) {
    if (perf) *perf = Erf{FDIERROR_ALLOC_FAIL, 0, 1};
    return nullptr;
  }
  auto* ctx = new (mem) FdiContext{pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, perf, {}, -1};
  mspack_system& s = ctx->system;
  s.open = SysOpen;
  s.close = SysClose;
  s.read = SysRead;
  s.write = SysWrite;
  s.seek = SysSeek;
  s.tell = SysTell;
  s.message = SysMessage;
  s.alloc = SysAlloc;
  s.free = SysFree;
  s.copy = SysCopy;
  s.null_ptr = nullptr;
  return ctx;
}

int FdiIsCabinet(HFDI hfdi, std::intptr_t hf, FdiCabinetInfo* pfdici) {
  auto* ctx = static_cast<FdiContext*>(hfdi);
  if (!ctx) return 0;
  unsigned char h[36];
  std::uint32_t got = 0;
  while (got < sizeof h) {
    std::uint32_t n = ctx->read(hf, h + got, static_cast<std::uint32_t>(sizeof h - got));
    if (n == kCallbackFailed || n == 0) break;
    got += n;
  }
  if (got < sizeof h || std::memcmp(h, "MSCF", 4) != 0) {
    SetError(ctx, FDIERROR_NOT_A_CABINET);
    return 0;
  }
  if (pfdici) {
    const std::uint16_t flags = U16(h + 30);
    pfdici->cbCabinet = static_cast<std::int32_t>(U32(h + 8));
    pfdici->cFolders = U16(h + 26);
    pfdici->cFiles = U16(h + 28);
    pfdici->setID = U16(h + 32);
    pfdici->iCabinet = U16(h + 34);
    pfdici->fReserve = (flags & 0x0004) != 0;
    pfdici->hasprev = (flags & 0x0001) != 0;
    pfdici->hasnext = (flags & 0x0002) != 0;
  }
  SetError(ctx, FDIERROR_NONE);
  return 1;
}

int FdiCopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int, PfnFdiNotify pfnfdin, PfnFdiDecrypt, void* pvUser) {
  auto* ctx = static_cast<FdiContext*>(hfdi);
  if (!ctx || !pfnfdin) return 0;
  SetError(ctx, FDIERROR_NONE);
  RunningContext running(ctx);
  CopyRun run(ctx, pfnfdin, pvUser);
  return run.Run(pszCabinet, pszCabPath) ? 1 : 0;
}

int FdiDestroy(HFDI hfdi) {
  auto* ctx = static_cast<FdiContext*>(hfdi);
  if (!ctx) return 0;
  PfnFree release = ctx->free;
  ctx->~FdiContext();
  release(ctx);
  return 1;
}

// ---- the library ----

class PosixCabinetLibrary final : public CabinetLibrary {
 public:
  HModule LoadLibraryA(const std::string& name) override {
    if (!IsCabinetLibrary(name)) return nullptr;
    ++loads_;
    return Module();
  }

  HModule GetModuleHandleA(const std::string& name) override {
    return IsCabinetLibrary(name) && loads_ > 0 ? Module() : nullptr;
  }

  FarProc GetProcAddress(HModule module, const std::string& name) override {
    if (module != Module() || loads_ == 0) return nullptr;
    if (name == "FDICreate") return reinterpret_cast<FarProc>(&FdiCreate);
    if (name == "FDIIsCabinet") return reinterpret_cast<FarProc>(&FdiIsCabinet);
    if (name == "FDICopy") return reinterpret_cast<FarProc>(&FdiCopy);
    if (name == "FDIDestroy") return reinterpret_cast<FarProc>(&FdiDestroy);
    return nullptr;
  }

  bool FreeLibrary(HModule module) override {
    if (module != Module()) return false;
    int n = loads_.load();
    while (n > 0 && !loads_.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
  }

 private:
  static bool IsCabinetLibrary(const std::string& name) { return ::strcasecmp(name.c_str(), "cabinet.dll") == 0; }
  HModule Module() { return this; }

  std::atomic<int> loads_{0};
};

}  // namespace

template <> CabinetLibrary& SystemInstance<CabinetLibrary>() {
  static PosixCabinetLibrary* instance = new PosixCabinetLibrary;
  return *instance;
}

}  // namespace plat
