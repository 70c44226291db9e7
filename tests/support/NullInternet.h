// An internet seam on which every operation fails as with no network; test fakes
// derive from it and script only the calls they care about.
#pragma once

#include "platform/Internet.h"

namespace nolt::test {

class NullInternet : public plat::Internet {
 public:
  plat::HInternet InternetOpenA(const std::string&, std::uint32_t, const std::string&, const std::string&,
                                std::uint32_t) override {
    return nullptr;
  }
  bool InternetCloseHandle(plat::HInternet) override { return false; }
  plat::HInternet InternetOpenUrlA(plat::HInternet, const std::string&, const char*, std::uint32_t, std::uint32_t,
                                   std::uintptr_t) override {
    return nullptr;
  }
  bool HttpQueryInfoA(plat::HInternet, std::uint32_t, void*, std::uint32_t*, std::uint32_t*) override { return false; }
  bool InternetReadFile(plat::HInternet, void*, std::uint32_t, std::uint32_t* read) override {
    *read = 0;
    return false;
  }
  bool InternetQueryDataAvailable(plat::HInternet, std::uint32_t* available, std::uint32_t, std::uintptr_t) override {
    *available = 0;
    return false;
  }
  bool InternetSetOptionA(plat::HInternet, std::uint32_t, const void*, std::uint32_t) override { return false; }
  plat::HInternet InternetConnectA(plat::HInternet, const std::string&, std::uint16_t, const std::string&,
                                   const std::string&, std::uint32_t, std::uint32_t, std::uintptr_t) override {
    return nullptr;
  }
  plat::HInternet HttpOpenRequestA(plat::HInternet, const std::string&, const std::string&, const std::string&,
                                   const std::string&, const char* const*, std::uint32_t, std::uintptr_t) override {
    return nullptr;
  }
  bool HttpSendRequestExA(plat::HInternet, const plat::InternetBuffers*, std::uint32_t, std::uintptr_t) override {
    return false;
  }
  bool InternetWriteFile(plat::HInternet, const void*, std::uint32_t, std::uint32_t* written) override {
    *written = 0;
    return false;
  }
  bool HttpEndRequestA(plat::HInternet, std::uint32_t, std::uintptr_t) override { return false; }
  bool FtpSetCurrentDirectoryA(plat::HInternet, const std::string&) override { return false; }
  bool FtpCreateDirectoryA(plat::HInternet, const std::string&) override { return false; }
  plat::HInternet FtpFindFirstFileA(plat::HInternet, const std::string&, plat::FtpFindData*, std::uint32_t,
                                    std::uintptr_t) override {
    return nullptr;
  }
  plat::HInternet FtpOpenFileA(plat::HInternet, const std::string&, std::uint32_t, std::uint32_t,
                               std::uintptr_t) override {
    return nullptr;
  }
  bool InternetGetLastResponseInfoA(std::string*) override { return false; }
  std::uint32_t GetLastError() override { return plat::kErrorInternetCannotConnect; }
  std::string FormatMessageText(std::uint32_t) override { return {}; }
};

}  // namespace nolt::test
