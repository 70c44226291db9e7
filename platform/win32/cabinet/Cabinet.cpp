// Win32 implementation of the cabinet library seam: the system's cabinet.dll, a
// thin pass-through to the loader. Must contain only Win32-specific code.
#include "platform/Cabinet.h"

#include <windows.h>
// After our header: fdi.h defines cpu80386 as a macro.
#include <fdi.h>

#include <cstddef>

namespace plat {
namespace {

// The component's callbacks and records go to cabinet.dll unchanged, so our
// declarations must match the published ones byte for byte.
static_assert(sizeof(Erf) == sizeof(ERF));
static_assert(sizeof(FdiCabinetInfo) == sizeof(FDICABINETINFO));
static_assert(offsetof(FdiCabinetInfo, fReserve) == offsetof(FDICABINETINFO, fReserve));
static_assert(offsetof(FdiCabinetInfo, hasnext) == offsetof(FDICABINETINFO, hasnext));
static_assert(sizeof(FdiNotification) == sizeof(FDINOTIFICATION));
static_assert(offsetof(FdiNotification, psz1) == offsetof(FDINOTIFICATION, psz1));
static_assert(offsetof(FdiNotification, psz3) == offsetof(FDINOTIFICATION, psz3));
static_assert(offsetof(FdiNotification, pv) == offsetof(FDINOTIFICATION, pv));
static_assert(offsetof(FdiNotification, hf) == offsetof(FDINOTIFICATION, hf));
static_assert(offsetof(FdiNotification, date) == offsetof(FDINOTIFICATION, date));
static_assert(offsetof(FdiNotification, attribs) == offsetof(FDINOTIFICATION, attribs));
static_assert(offsetof(FdiNotification, iFolder) == offsetof(FDINOTIFICATION, iFolder));
static_assert(offsetof(FdiNotification, fdie) == offsetof(FDINOTIFICATION, fdie));
static_assert(sizeof(FdiError) == sizeof(FDIERROR));
static_assert(static_cast<int>(plat::FDIERROR_USER_ABORT) == static_cast<int>(::FDIERROR_USER_ABORT));
static_assert(static_cast<int>(plat::fdintENUMERATE) == static_cast<int>(::fdintENUMERATE));
static_assert(sizeof(std::int32_t) == sizeof(LONG) && sizeof(std::uint32_t) == sizeof(UINT));

// The loader would read a name only up to a NUL.
bool Passable(const std::string& name) {
  if (!HoldsNul(name)) return true;
  ::SetLastError(ERROR_INVALID_NAME);
  return false;
}

class Win32CabinetLibrary final : public CabinetLibrary {
 public:
  HModule LoadLibraryA(const std::string& name) override {
    return Passable(name) ? ::LoadLibraryA(name.c_str()) : nullptr;
  }
  HModule GetModuleHandleA(const std::string& name) override {
    return Passable(name) ? ::GetModuleHandleA(name.c_str()) : nullptr;
  }
  FarProc GetProcAddress(HModule module, const std::string& name) override {
    if (!Passable(name)) return nullptr;
    return reinterpret_cast<FarProc>(::GetProcAddress(static_cast<HMODULE>(module), name.c_str()));
  }

  bool FreeLibrary(HModule module) override { return ::FreeLibrary(static_cast<HMODULE>(module)) != 0; }
};

}  // namespace

template <> CabinetLibrary& SystemInstance<CabinetLibrary>() {
  static Win32CabinetLibrary* instance = new Win32CabinetLibrary;
  return *instance;
}

}  // namespace plat
