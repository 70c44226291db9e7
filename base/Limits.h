// The limits that the transfers of both targets share, each stated once.
#pragma once

#include <cstdint>

namespace nolt {

// The longest wait for a server: to connect, for the next bytes of an answer or
// the next reply. A transfer or a share connection that waits longer fails.
inline constexpr std::uint32_t kStallLimitMs = 30000;
// The block a transfer reads and writes at a time, and so the step of its progress.
inline constexpr std::uint32_t kTransferBlockSize = 4096;

}  // namespace nolt
