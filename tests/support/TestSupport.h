// Helpers for the tests of both targets: temporary directories and whole-file I/O.
#pragma once

#include <filesystem>
#include <string>

namespace nolt::test {

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The directory as the components spell it: with a trailing separator.
  std::string Dir() const;
  // Path of a file inside, as a string.
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Directory of the built programs (the test programs' own directory).
std::string BinDir();
// The project's source directory.
std::string SourceDir();

}  // namespace nolt::test
