#include "tests/support/CabTestData.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace nolt::test {
namespace {

std::string DataDir() { return (std::filesystem::path(BinDir()) / ".." / "cabdata").string(); }

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace

std::string CabPath(const std::string& name) { return (std::filesystem::path(DataDir()) / name).string(); }

bool HaveCab(const std::string& name) { return FileExists(CabPath(name)); }

std::vector<CabEntry> CabEntries(const std::string& cab) {
  std::ifstream in(CabPath("manifest.tsv"), std::ios::binary);
  if (!in) throw std::runtime_error("no manifest: the test cabinets were not written");
  std::vector<CabEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string field; std::getline(s, field, '\t');) f.push_back(field);
    if (f.size() != 7 || f[0] != cab) continue;
    CabEntry e;
    e.name = FromHex(f[2]);
    e.size = static_cast<std::uint32_t>(std::stoul(f[3]));
    e.dosDate = static_cast<std::uint16_t>(std::stoul(f[4], nullptr, 16));
    e.dosTime = static_cast<std::uint16_t>(std::stoul(f[5], nullptr, 16));
    if (f[6] != "-") e.content = ReadFile(CabPath(f[6]));
    entries.push_back(e);
  }
  return entries;
}

std::string LocalPath(const std::string& stored) {
  std::string s = stored;
#ifndef _WIN32
  std::replace(s.begin(), s.end(), '\\', '/');
#endif
  return s;
}

std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(std::filesystem::relative(e.path(), dir).generic_string());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace nolt::test
