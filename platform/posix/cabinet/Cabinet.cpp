// POSIX implementation of the cabinet library seam: "cabinet.dll" is this file, a
// stand-in for the loader that hands out the four FDI operations, which decode with
// libmspack. Only Linux-specific code lives here and in the three parts beside it:
//   CabinetIo      the mspack_system table over the caller's callbacks
//   CabinetHeader  the cabinet header and the entry records
//   CabinetCopy    the copy state machine of FDICopy
#include "platform/Cabinet.h"

#include <strings.h>

#include <atomic>
#include <new>
#include <string>

#include "platform/posix/cabinet/CabinetCopy.h"
#include "platform/posix/cabinet/CabinetHeader.h"
#include "platform/posix/cabinet/CabinetIo.h"

namespace plat {
namespace {

using fdi::FdiContext;

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
  fdi::InitSystem(&ctx->system);
  return ctx;
}

int FdiIsCabinet(HFDI hfdi, std::intptr_t hf, FdiCabinetInfo* pfdici) {
  auto* ctx = static_cast<FdiContext*>(hfdi);
  if (!ctx) return 0;
  const bool cabinet = fdi::ReadCabinetInfo(ctx, hf, pfdici);
  fdi::SetError(ctx, cabinet ? FDIERROR_NONE : FDIERROR_NOT_A_CABINET);
  return cabinet ? 1 : 0;
}

int FdiCopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int, PfnFdiNotify pfnfdin, PfnFdiDecrypt, void* pvUser) {
  auto* ctx = static_cast<FdiContext*>(hfdi);
  if (!ctx || !pfnfdin) return 0;
  fdi::SetError(ctx, FDIERROR_NONE);
  fdi::RunningContext running(ctx);
  return fdi::CopyCabinet(ctx, pszCabinet, pszCabPath, pfnfdin, pvUser) ? 1 : 0;
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
  static bool IsCabinetLibrary(const std::string& name) {
    return !HoldsNul(name) && ::strcasecmp(name.c_str(), "cabinet.dll") == 0;
  }
  HModule Module() { return this; }

  std::atomic<int> loads_{0};
};

}  // namespace

template <> CabinetLibrary& SystemInstance<CabinetLibrary>() {
  static PosixCabinetLibrary* instance = new PosixCabinetLibrary;
  return *instance;
}

}  // namespace plat
