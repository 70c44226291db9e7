// The programs' icon, drawn at every size Windows picks from (16 to 64 pixels, for
// small and large icons at 100 % to 200 %), written as one .ico file.
#pragma once

#include <cstdint>
#include <vector>

namespace clipgen {

// The sizes the icon file holds, smallest first.
inline constexpr int kIconSizes[] = {16, 20, 24, 32, 40, 48, 64};

// An .ico file with one 32-bit image (straight alpha, and the AND mask set where
// the picture is fully transparent) for each of kIconSizes.
std::vector<std::uint8_t> WriteIcon();

}  // namespace clipgen
