// The cabinet header parser of the POSIX cabinet library: what FDIIsCabinet reports,
// and the entry records with the folder marks that libmspack does not pass on. Both
// read through the caller's callbacks. Only Linux-specific code lives here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Cabinet.h"
#include "platform/posix/cabinet/CabinetIo.h"

namespace plat::fdi {

// Folder index values of an entry that spans cabinets.
inline constexpr std::uint16_t kContinuedFromPrev = 0xFFFD;
inline constexpr std::uint16_t kContinuedToNext = 0xFFFE;
inline constexpr std::uint16_t kContinuedPrevAndNext = 0xFFFF;

// What libmspack does not tell: how an entry's folder index marks it as
// continued from or into another cabinet. That decides between COPY_FILE and
// PARTIAL_FILE and whether the next cabinet is needed.
struct RawEntry {
  std::string name;
  std::uint32_t length;
  std::uint32_t offset;
  std::uint16_t folder;
};

// Reads the header from the file open in hf at its current position. False when it
// is no cabinet header; info (when given) is filled otherwise.
bool ReadCabinetInfo(FdiContext* ctx, std::intptr_t hf, FdiCabinetInfo* info);

// The entry records as libmspack reads them: one after the other behind the
// folder records. Stops quietly at the first damaged record: libmspack has
// already judged the cabinet, this only adds the folder marks.
std::vector<RawEntry> ReadRawEntries(FdiContext* ctx, const std::string& path);

}  // namespace plat::fdi
