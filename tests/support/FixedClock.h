// A clock seam that tells a fixed local time and counts how often it was asked, for
// the tests of the time conversions.
#pragma once

#include <cstdint>

#include "platform/Clock.h"

namespace nolt::test {

// Never supposed to convert anything: its conversions are an hour off, so that any
// use would show in a result.
class FixedClock final : public plat::Clock {
 public:
  plat::SystemTime local{2010, 5, 4, 6, 7, 8, 9, 10};
  int localReads = 0;
  std::uint32_t GetTickCount() override { return 0; }
  plat::SystemTime GetLocalTime() override {
    ++localReads;
    return local;
  }
  plat::SystemTime GetSystemTime() override { return {}; }
  bool FileTimeToLocalFileTime(std::uint64_t utc, std::uint64_t* l) override {
    *l = utc + 36000000000ULL;
    return true;
  }
  bool LocalFileTimeToFileTime(std::uint64_t l, std::uint64_t* utc) override {
    *utc = l - 36000000000ULL;
    return true;
  }
};

}  // namespace nolt::test
