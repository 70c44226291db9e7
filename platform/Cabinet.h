// Cabinet library seam: the system cabinet library and its four FDI operations
// (create a context with the caller's callbacks, test a file, copy with
// notifications, destroy). A component loads the library by name, looks the four
// entry points up and calls them with its own callbacks, as it would on Windows.
// Windows hands out the real cabinet.dll; Linux offers the same four operations and
// notifications over libmspack, with every file access going through the callbacks.
//
// The types below are laid out exactly like those of the published FDI header, so
// that the Windows implementation passes the component's callbacks straight through.
// All FDI functions and callbacks use the C calling convention (the default).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Seam.h"

namespace plat {

using HModule = void*;
// A looked-up entry point; cast to its real type (below) before the call.
using FarProc = void (*)();
using HFDI = void*;

// Error record filled by the FDI operations; erfOper holds an FdiError on failure.
struct Erf {
  int erfOper;
  int erfType;
  int fError;
};

enum FdiError : int {
  FDIERROR_NONE,
  FDIERROR_CABINET_NOT_FOUND,
  FDIERROR_NOT_A_CABINET,
  FDIERROR_UNKNOWN_CABINET_VERSION,
  FDIERROR_CORRUPT_CABINET,
  FDIERROR_ALLOC_FAIL,
  FDIERROR_BAD_COMPR_TYPE,
  FDIERROR_MDI_FAIL,
  FDIERROR_TARGET_FILE,
  FDIERROR_RESERVE_MISMATCH,
  FDIERROR_WRONG_CABINET,
  FDIERROR_USER_ABORT,
};

// What FDIIsCabinet reports about a cabinet header.
struct FdiCabinetInfo {
  std::int32_t cbCabinet;
  std::uint16_t cFolders;
  std::uint16_t cFiles;
  std::uint16_t setID;
  std::uint16_t iCabinet;
  int fReserve;
  int hasprev;
  int hasnext;
};

enum FdiNotificationType : int {
  fdintCABINET_INFO,     // general cabinet information; psz1 next cabinet, psz2 next disk, psz3 cabinet path
  fdintPARTIAL_FILE,     // an entry that began in an earlier cabinet; it is not extracted here
  fdintCOPY_FILE,        // an entry: return 0 to skip it, -1 to abort, or an open handle to receive it
  fdintCLOSE_FILE_INFO,  // an entry is complete in handle hf: close it; TRUE continues, FALSE aborts
  fdintNEXT_CABINET,     // the entry continues in cabinet psz1 (path psz3): -1 aborts, else it is opened
  fdintENUMERATE,
};

// The notification record. Which fields are set depends on the type:
//   COPY_FILE:       psz1 entry name as stored, cb uncompressed size, date, time, attribs, iFolder
//   CLOSE_FILE_INFO: psz1, hf (the handle the handler returned), date, time, attribs
//                    (without the run-after-extraction bit), cb 1 when that bit was set
//   NEXT_CABINET:    psz1 next cabinet name, psz2 its disk, psz3 the path buffer (256
//                    bytes, the handler may change it), fdie why it is asked (NONE at
//                    first, CABINET_NOT_FOUND or WRONG_CABINET when the last try failed)
// pv is always the user value given to FDICopy. The DOS date and time are the raw
// 16-bit fields of the cabinet.
struct FdiNotification {
  std::int32_t cb;
  char* psz1;
  char* psz2;
  char* psz3;
  void* pv;
  std::intptr_t hf;
  std::uint16_t date;
  std::uint16_t time;
  std::uint16_t attribs;
  std::uint16_t setID;
  std::uint16_t iCabinet;
  std::uint16_t iFolder;
  FdiError fdie;
};

// Entry attribute bits of interest.
inline constexpr std::uint16_t kFdiAttribExec = 0x40;      // run after extraction
inline constexpr std::uint16_t kFdiAttribNameIsUtf = 0x80;  // name is UTF-8

// FDI opens cabinets read-only in binary mode; these are the open-flag and
// permission values it passes to the open callback (the C runtime's _O_ and _S_ values).
inline constexpr int kFdiOpenReadOnly = 0x0000;  // _O_RDONLY; the access mode is flag & 3
inline constexpr int kFdiOpenBinary = 0x8000;    // _O_BINARY
inline constexpr int kFdiPermRead = 0x0100;      // _S_IREAD
inline constexpr int kFdiPermWrite = 0x0080;     // _S_IWRITE

inline constexpr int cpu80386 = 1;

// The callbacks, in FDI's prescribed forms.
//   alloc/free: memory for FDI's own state.
//   open: returns a handle, or -1. read: bytes read (0 at the end), or (UINT)-1.
//   write: bytes written, or (UINT)-1; a count short of cb is a failure.
//   close: 0, or -1. seek: origin 0 start, 1 current, 2 end; new position or -1.
using PfnAlloc = void* (*)(std::uint32_t cb);
using PfnFree = void (*)(void* pv);
using PfnOpen = std::intptr_t (*)(char* pszFile, int oflag, int pmode);
using PfnRead = std::uint32_t (*)(std::intptr_t hf, void* pv, std::uint32_t cb);
using PfnWrite = std::uint32_t (*)(std::intptr_t hf, void* pv, std::uint32_t cb);
using PfnClose = int (*)(std::intptr_t hf);
using PfnSeek = std::int32_t (*)(std::intptr_t hf, std::int32_t dist, int seektype);
using PfnFdiNotify = std::intptr_t (*)(FdiNotificationType fdint, FdiNotification* pfdin);
using PfnFdiDecrypt = int (*)(void* pfdid);

// The four entry points ("FDICreate", "FDIIsCabinet", "FDICopy", "FDIDestroy").
//   FDICreate: a context that uses the callbacks, or null (perf tells why).
//   FDIIsCabinet: TRUE when the file open in hf, read from its current position,
//     starts with a cabinet header; fills the info record.
//   FDICopy: opens pszCabPath + pszCabinet (the path ends in a separator) through
//     the open callback, sends CABINET_INFO, then for each entry that begins in this
//     cabinet COPY_FILE (or PARTIAL_FILE for one that began earlier), writes an
//     accepted entry through the write callback and sends CLOSE_FILE_INFO. An entry
//     that continues beyond this cabinet makes it ask NEXT_CABINET and go on in the
//     next one. TRUE when every step succeeded; FALSE after a failure or an abort by
//     the handler, with the reason in the context's error record. When it fails
//     while an accepted entry is open, it closes that handle through the close
//     callback (Linux) or sends CLOSE_FILE_INFO for it with the bytes decoded so far
//     (Wine's library): a handler must not take an entry of the wrong size as done.
//     Wine's library may also ask to close a handle it never opened after a failed
//     NEXT_CABINET; a close callback refuses handles that are not its own.
//   FDIDestroy: frees the context; TRUE on success.
using PfnFDICreate = HFDI (*)(PfnAlloc pfnalloc, PfnFree pfnfree, PfnOpen pfnopen, PfnRead pfnread,
                              PfnWrite pfnwrite, PfnClose pfnclose, PfnSeek pfnseek, int cpuType, Erf* perf);
using PfnFDIIsCabinet = int (*)(HFDI hfdi, std::intptr_t hf, FdiCabinetInfo* pfdici);
using PfnFDICopy = int (*)(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PfnFdiNotify pfnfdin,
                           PfnFdiDecrypt pfnfdid, void* pvUser);
using PfnFDIDestroy = int (*)(HFDI hfdi);

// The library: loaded by name, entry points looked up by name, released again.
class CabinetLibrary {
 public:
  virtual ~CabinetLibrary() = default;
  // Loads "cabinet.dll" (the name is compared without regard to case on Linux,
  // where no other library can be loaded). Null on failure.
  virtual HModule LoadLibraryA(const std::string& name) = 0;
  // The handle of an already loaded library, or null.
  virtual HModule GetModuleHandleA(const std::string& name) = 0;
  // An entry point of a loaded library, or null.
  virtual FarProc GetProcAddress(HModule module, const std::string& name) = 0;
  virtual bool FreeLibrary(HModule module) = 0;
};

inline CabinetLibrary& cabinetLibrary() { return Use<CabinetLibrary>(); }

}  // namespace plat
