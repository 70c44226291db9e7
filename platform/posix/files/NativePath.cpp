// Linux: path text is the file system's own bytes.
#include "platform/NativePath.h"

namespace plat {

std::filesystem::path ToPath(const std::string& text) { return std::filesystem::path(text); }

std::string FromPath(const std::filesystem::path& path) { return path.native(); }

}  // namespace plat
