// The libmspack I/O table of the POSIX cabinet library: an FDI context (the
// callbacks given to FDICreate) and the mspack_system table through which libmspack
// reaches files and memory. Every slot of the table maps onto those
// callbacks, so the cabinet and the entries pass through the caller's open, read,
// write, seek and close exactly as they do with the Windows library. Only
// Linux-specific code lives here.
#pragma once

#include <mspack.h>

#include <cstdint>

#include "platform/Cabinet.h"

namespace plat::fdi {

inline constexpr std::uint32_t kCallbackFailed = 0xFFFFFFFFu;

// An FDI context: the caller's callbacks, its error record and the table built on them.
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

// Sets the context's error record, when it has one.
void SetError(FdiContext* ctx, FdiError e);

// Fills the table with the slots that map onto the context's callbacks.
void InitSystem(mspack_system* system);

// Makes ctx the context of the FDI call running on this thread for its own
// lifetime. libmspack hands its decoders copies of the table, so the table pointer
// cannot lead back to the context; every slot that has no file at hand finds it here.
class RunningContext {
 public:
  explicit RunningContext(FdiContext* ctx);
  ~RunningContext();
  RunningContext(const RunningContext&) = delete;
  RunningContext& operator=(const RunningContext&) = delete;

 private:
  FdiContext* previous_;
};

}  // namespace plat::fdi
