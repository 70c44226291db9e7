// The update decision: which manifest entries need their package, and whether an
// entry's file matches the manifest. Everything is asked through the files seam.
#pragma once

#include <string>

namespace nolt {

enum class EntryState {
  Current,  // a regular file is there and its checksum text is the entry's
  Queued,   // missing, not a regular file, or different: its package is fetched
  Refused,  // the name may not be installed (StaysInside): nothing is done for it
};

// The decision for one entry of the manifest, the file being appDir + name.
EntryState DecideEntry(const std::string& appDir, const std::string& name, const std::string& checksum);

// Whether the entry's file is a regular file whose checksum text equals checksum,
// the letters A to Z compared without case. Only a regular file is ever read.
bool EntryMatches(const std::string& appDir, const std::string& name, const std::string& checksum);

// The URL of an entry's package, which keeps the name as written, backslashes included.
std::string PackageURL(const std::string& baseURL, const std::string& name);

}  // namespace nolt
