// The display formatters of the progress dialog's lines.
#pragma once

#include <cstdint>
#include <string>

namespace nolt {

std::string FormatSize(std::int32_t bytes);
std::string FormatRate(std::int32_t bytesPerSecond);
std::string FormatTimeLeft(std::int32_t elapsedMs, std::int32_t done, std::int32_t total);

}  // namespace nolt
