// Base64 (RFC 4648, basic alphabet, "=" padding, one line) of the bytes of a text.
#pragma once

#include <string>

namespace nolt {

std::string Base64Encode(const std::string& text);

}  // namespace nolt
