// The mspack_system table of the POSIX cabinet library (CabinetIo.h).
#include "platform/posix/cabinet/CabinetIo.h"

#include <climits>
#include <cstring>
#include <new>
#include <string>

namespace plat::fdi {
namespace {

thread_local FdiContext* runningContext = nullptr;

// A file as libmspack sees it: a handle from the caller's open callback, or the
// entry handle that the COPY_FILE handler returned (the handler closes that one).
struct MspackFile {
  FdiContext* ctx;
  std::intptr_t hf;
  bool entry;
};

MspackFile* FileOf(mspack_file* file) { return reinterpret_cast<MspackFile*>(file); }

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

}  // namespace

RunningContext::RunningContext(FdiContext* ctx) : previous_(runningContext) { runningContext = ctx; }
RunningContext::~RunningContext() { runningContext = previous_; }

void SetError(FdiContext* ctx, FdiError e) {
  if (!ctx->erf) return;
  ctx->erf->erfOper = e;
  ctx->erf->erfType = 0;
  ctx->erf->fError = e != FDIERROR_NONE;
}

void InitSystem(mspack_system* s) {
  s->open = SysOpen;
  s->close = SysClose;
  s->read = SysRead;
  s->write = SysWrite;
  s->seek = SysSeek;
  s->tell = SysTell;
  s->message = SysMessage;
  s->alloc = SysAlloc;
  s->free = SysFree;
  s->copy = SysCopy;
  s->null_ptr = nullptr;
}

}  // namespace plat::fdi
