// Path text <-> std::filesystem paths. The programs work with 8-bit path text (the
// ANSI code page on Windows, UTF-8 on Linux), as the files seam does; a program that
// walks directories with std::filesystem converts here, and nowhere else.
#pragma once

#include <filesystem>
#include <string>

namespace plat {

// Throws std::runtime_error when the text cannot be converted.
std::filesystem::path ToPath(const std::string& text);
// Throws std::runtime_error when a name has no 8-bit form (on Windows: a character
// outside the ANSI code page, which the 8-bit file calls could not open).
std::string FromPath(const std::filesystem::path& path);

}  // namespace plat
