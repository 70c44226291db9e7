// Win32 implementation of the clock seam. Must contain only Win32-specific code.
#include "platform/Clock.h"

#include <windows.h>

namespace plat {
namespace {

SystemTime FromNative(const SYSTEMTIME& s) {
  SystemTime st;
  st.wYear = s.wYear;
  st.wMonth = s.wMonth;
  st.wDayOfWeek = s.wDayOfWeek;
  st.wDay = s.wDay;
  st.wHour = s.wHour;
  st.wMinute = s.wMinute;
  st.wSecond = s.wSecond;
  st.wMilliseconds = s.wMilliseconds;
  return st;
}

FILETIME ToFt(std::uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

std::uint64_t FromFt(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

class Win32Clock final : public Clock {
 public:
  std::uint32_t GetTickCount() override { return ::GetTickCount(); }
  SystemTime GetLocalTime() override {
    SYSTEMTIME s;
    ::GetLocalTime(&s);
    return FromNative(s);
  }
  SystemTime GetSystemTime() override {
    SYSTEMTIME s;
    ::GetSystemTime(&s);
    return FromNative(s);
  }
  bool FileTimeToLocalFileTime(std::uint64_t utc, std::uint64_t* local) override {
    FILETIME in = ToFt(utc), out;
    if (!::FileTimeToLocalFileTime(&in, &out)) return false;
    *local = FromFt(out);
    return true;
  }
  bool LocalFileTimeToFileTime(std::uint64_t local, std::uint64_t* utc) override {
    FILETIME in = ToFt(local), out;
    if (!::LocalFileTimeToFileTime(&in, &out)) return false;
    *utc = FromFt(out);
    return true;
  }
};

}  // namespace

template <> Clock& SystemInstance<Clock>() {
  static Win32Clock* instance = new Win32Clock;
  return *instance;
}

}  // namespace plat
