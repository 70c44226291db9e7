// The cabinet header parser of the POSIX cabinet library (CabinetHeader.h).
#include "platform/posix/cabinet/CabinetHeader.h"

#include <cstring>

namespace plat::fdi {
namespace {

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

}  // namespace

bool ReadCabinetInfo(FdiContext* ctx, std::intptr_t hf, FdiCabinetInfo* pfdici) {
  unsigned char h[36];
  std::uint32_t got = 0;
  while (got < sizeof h) {
    std::uint32_t n = ctx->read(hf, h + got, static_cast<std::uint32_t>(sizeof h - got));
    if (n == kCallbackFailed || n == 0) break;
    got += n;
  }
  if (got < sizeof h || std::memcmp(h, "MSCF", 4) != 0) return false;
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
  return true;
}

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

}  // namespace plat::fdi
