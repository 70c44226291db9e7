// POSIX implementation of the clock seam.
#include "platform/Clock.h"
#include "base/Time.h"

#include <time.h>

namespace plat {
namespace {

constexpr auto kEpochDiff = static_cast<std::int64_t>(nolt::kUnixEpochFileTime);

SystemTime FromTm(const struct tm& tm, long nsec) {
  SystemTime st;
  st.wYear = static_cast<std::uint16_t>(tm.tm_year + 1900);
  st.wMonth = static_cast<std::uint16_t>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
  st.wDay = static_cast<std::uint16_t>(tm.tm_mday);
  st.wHour = static_cast<std::uint16_t>(tm.tm_hour);
  st.wMinute = static_cast<std::uint16_t>(tm.tm_min);
  st.wSecond = static_cast<std::uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  st.wMilliseconds = static_cast<std::uint16_t>(nsec / 1000000);
  return st;
}

// Offset of local time from UTC, in seconds, at UTC instant t.
long OffsetAt(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  return tm.tm_gmtoff;
}

class PosixClock final : public Clock {
 public:
  std::uint32_t GetTickCount() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
  }

  SystemTime GetLocalTime() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
  }

  SystemTime GetSystemTime() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
  }

  bool FileTimeToLocalFileTime(std::uint64_t utc, std::uint64_t* local) override {
    time_t t = static_cast<time_t>((static_cast<std::int64_t>(utc) - kEpochDiff) / 10000000LL);
    *local = utc + static_cast<std::uint64_t>(static_cast<std::int64_t>(OffsetAt(t)) * 10000000LL);
    return true;
  }

  bool LocalFileTimeToFileTime(std::uint64_t local, std::uint64_t* utc) override {
    // The offset is taken at the local instant read as UTC, then corrected once,
    // which settles it except inside the hour a clock change skips.
    time_t guess = static_cast<time_t>((static_cast<std::int64_t>(local) - kEpochDiff) / 10000000LL);
    long off = OffsetAt(guess - OffsetAt(guess));
    *utc = local - static_cast<std::uint64_t>(static_cast<std::int64_t>(off) * 10000000LL);
    return true;
  }
};

}  // namespace

template <> Clock& SystemInstance<Clock>() {
  static PosixClock* instance = new PosixClock;
  return *instance;
}

}  // namespace plat
