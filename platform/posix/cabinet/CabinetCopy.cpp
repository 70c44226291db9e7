// The copy state machine of the POSIX cabinet library (CabinetCopy.h).
#include "platform/posix/cabinet/CabinetCopy.h"

#include <dirent.h>
#include <strings.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/cabinet/CabinetHeader.h"

namespace plat::fdi {
namespace {

constexpr std::size_t kCabPathMax = 256;  // FDI's path buffer for NEXT_CABINET
// The decoders' input buffer. libmspack fills it across block boundaries, so a
// larger one reads ahead into blocks that later entries need: a damaged block
// would then fail entries that lie wholly before it. The blocks themselves are
// read whole (up to 32 KB per read callback) whatever this size is.
constexpr int kDecoderInputBuffer = 4096;

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

}  // namespace

bool CopyCabinet(FdiContext* ctx, const char* pszCabinet, const char* pszCabPath, PfnFdiNotify notify, void* pvUser) {
  CopyRun run(ctx, notify, pvUser);
  return run.Run(pszCabinet, pszCabPath);
}

}  // namespace plat::fdi
