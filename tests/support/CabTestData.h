// The cabinets written at build time by make_cabs.py, and what their entries hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nolt::test {

struct CabEntry {
  std::string name;  // as stored
  std::uint32_t size = 0;
  std::uint16_t dosDate = 0;
  std::uint16_t dosTime = 0;
  std::string content;
};

// Path of a test cabinet (or of any file in the data directory).
std::string CabPath(const std::string& name);
// The entries of a cabinet in cabinet order, as the manifest lists them.
std::vector<CabEntry> CabEntries(const std::string& cab);
bool HaveCab(const std::string& name);
// An entry name as a relative local path: backslashes separate on Linux too.
std::string LocalPath(const std::string& stored);
// Every regular file below dir, as relative paths with '/' separators, sorted.
std::vector<std::string> FilesBelow(const std::string& dir);

}  // namespace nolt::test
