// Cabinet writer seam: packs one file into a new cabinet of one MSZIP folder with
// one entry (cabinet.dll's FCI on Windows, libgcab on Linux). Only the vendor's
// packaging tool writes cabinets; the updater itself only reads them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Seam.h"

namespace plat {

// The largest file one cabinet folder can hold: a folder counts its data blocks in
// 16 bits, and a block carries at most 32768 bytes, so 65535 * 32768 bytes.
inline constexpr std::uint64_t kCabinetMaxFileSize = 0x7FFF8000u;
// The longest entry name the format stores (its field holds 256 bytes with the NUL).
inline constexpr std::size_t kCabinetMaxNameLength = 255;
// The attributes every written entry carries: archive only. A read-only bit copied
// from the release would make the installed file refuse the next update.
inline constexpr std::uint16_t kCabinetEntryAttributes = 0x20;

class CabinetWriter {
 public:
  virtual ~CabinetWriter() = default;

  // Writes the cabinet cabPath holding exactly one entry: the bytes of the regular
  // file sourcePath, stored under entryName exactly as given (a name with a
  // directory part keeps its backslashes: "sub\file.dll"), MSZIP-compressed in one
  // folder, dated with the source's last-write time as local time in MS-DOS format
  // (two-second resolution; times before 1980 or after 2107 are clamped to the
  // nearest date the format holds), with kCabinetEntryAttributes.
  //
  // - cabPath's directory must exist; an existing file at cabPath is replaced.
  // - The source is read in blocks, never held in memory whole. Temporary files the
  //   library needs lie beside cabPath and are removed before the call returns.
  // - Fails, without reading the source or touching cabPath, when a path or the
  //   entry name holds a NUL, entryName is empty or longer than
  //   kCabinetMaxNameLength, or the source is missing, not a regular file, or
  //   larger than kCabinetMaxFileSize.
  // Returns true on success. On failure returns false and sets *error to a one-line
  // description of the cause; a cabinet begun at cabPath is removed.
  virtual bool WriteSingleFileCabinet(const std::string& cabPath, const std::string& sourcePath,
                                      const std::string& entryName, std::string* error) = 0;
};

inline CabinetWriter& cabinetWriter() { return Use<CabinetWriter>(); }

}  // namespace plat
