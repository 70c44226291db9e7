// Paths of the packaging tool: the program works with 8-bit path text like the rest
// of the project (the ANSI code page on Windows, UTF-8 on Linux) and converts to
// std::filesystem paths only to walk and compare directories.
#pragma once

#include <filesystem>
#include <string>

namespace mkpatch {

// Throws std::runtime_error when the text cannot be converted.
std::filesystem::path ToPath(const std::string& text);
// Throws std::runtime_error when a name has no 8-bit form (on Windows: a character
// outside the ANSI code page, which the 8-bit file calls could not open).
std::string FromPath(const std::filesystem::path& path);

}  // namespace mkpatch
