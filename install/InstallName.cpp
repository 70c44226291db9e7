#include "install/InstallName.h"

#include "base/Text.h"

namespace nolt {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsControl(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}

// A component that Windows reads as "..": only dots and blanks, two dots among them.
bool ClimbsOut(const std::string& part) {
  return part.find("..") != std::string::npos && part.find_first_not_of(". ") == std::string::npos;
}

// A component Windows reads as the directory it is in: empty, or dots and blanks
// without two dots in a row ("." and ". ").
bool NamesItsDirectory(const std::string& part) {
  return part.find_first_not_of(". ") == std::string::npos && part.find("..") == std::string::npos;
}

}  // namespace

bool IsKeptName(const std::string& name) {
  bool first = true;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::string part = name.substr(start, end - start);
    if (!NamesItsDirectory(part)) {
      if (StartsWithNoCase(part, ".nolt-")) return true;
      if (first && StartsWithNoCase(part, "nolt-patch-updater.")) return true;
      first = false;
    }
    if (end == name.size()) return false;
    start = end + 1;
  }
}

bool StaysInside(const std::string& name, NameUse use) {
  if (name.size() > kMaxInstallNameLength) return false;
  // A control byte, NUL included: no such name ever reaches a system call.
  for (char c : name)
    if (IsControl(c)) return false;
  if (use == NameUse::CabinetEntry && (name.empty() || IsSeparator(name.back()))) return false;
  if (!name.empty() && IsSeparator(name.front())) return false;
  if (name.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (ClimbsOut(name.substr(start, end - start))) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

}  // namespace nolt
