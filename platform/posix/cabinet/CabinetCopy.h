// The copy state machine of the POSIX cabinet library: one FDICopy over libmspack,
// with the notifications of the Windows library in its order (CABINET_INFO, then
// COPY_FILE or PARTIAL_FILE and CLOSE_FILE_INFO per entry, NEXT_CABINET for an entry
// that runs on into the next cabinet of a set). Only Linux-specific code lives here.
#pragma once

#include "platform/Cabinet.h"
#include "platform/posix/cabinet/CabinetIo.h"

namespace plat::fdi {

// Runs FDICopy for the context that RunningContext made current. False after a
// failure or an abort by the handler, with the reason in the context's error record.
bool CopyCabinet(FdiContext* ctx, const char* pszCabinet, const char* pszCabPath, PfnFdiNotify notify, void* pvUser);

}  // namespace plat::fdi
