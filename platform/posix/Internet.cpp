// Linux implementation of the internet seam over libcurl. Handles are objects of
// ours; the internet handle owns the curl share of one run. Only code specific to
// the libcurl stand-in for WinINet lives here.
#include "platform/Internet.h"
#include "platform/posix/InternetErrors.h"

#include <curl/curl.h>

#include <memory>

namespace plat {
namespace {

thread_local std::uint32_t lastError = 0;

enum class Kind { Session };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Kind kind;
};

// The internet handle: agent, proxy settings and the connection cache of one run.
struct Session final : Handle {
  Session() : Handle(Kind::Session) {}
  ~Session() override {
    if (share) curl_share_cleanup(share);
  }
  std::string agent;
  std::uint32_t accessType = kInternetOpenTypePreconfig;
  std::string proxy;
  CURLSH* share = nullptr;
};

bool Fail(std::uint32_t code) {
  lastError = code;
  return false;
}

class CurlInternet final : public Internet {
 public:
  CurlInternet() { curl_global_init(CURL_GLOBAL_DEFAULT); }

  HInternet InternetOpenA(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                          const std::string&, std::uint32_t) override {
    auto s = std::make_unique<Session>();
    s->agent = agent;
    s->accessType = accessType;
    s->proxy = proxy;
    s->share = curl_share_init();
    if (!s->share) {
      Fail(kErrorInternetInternalError);
      return nullptr;
    }
    // Connections and name lookups are reused between the requests of one run.
    curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    return static_cast<Handle*>(s.release());
  }

  bool InternetCloseHandle(HInternet h) override {
    if (!h) return Fail(kErrorInvalidHandleValue);
    delete static_cast<Handle*>(h);
    return true;
  }

  // The transfer operations come with the HTTP and FTP routines.
  HInternet InternetOpenUrlA(HInternet, const std::string&, const char*, std::uint32_t, std::uint32_t,
                             std::uintptr_t) override {
    return NotBuilt();
  }
  bool HttpQueryInfoA(HInternet, std::uint32_t, void*, std::uint32_t*, std::uint32_t*) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool InternetReadFile(HInternet, void*, std::uint32_t, std::uint32_t* read) override {
    *read = 0;
    return Fail(kErrorInternetIncorrectHandleType);
  }
  HInternet InternetConnectA(HInternet, const std::string&, std::uint16_t, const std::string&, const std::string&,
                             std::uint32_t, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  HInternet HttpOpenRequestA(HInternet, const std::string&, const std::string&, const std::string&,
                             const std::string&, const char* const*, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  bool HttpSendRequestExA(HInternet, const InternetBuffers*, std::uint32_t, std::uintptr_t) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool InternetWriteFile(HInternet, const void*, std::uint32_t, std::uint32_t* written) override {
    *written = 0;
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool HttpEndRequestA(HInternet, std::uint32_t, std::uintptr_t) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool FtpSetCurrentDirectoryA(HInternet, const std::string&) override {
    return Fail(kErrorInternetIncorrectHandleType);
  }
  bool FtpCreateDirectoryA(HInternet, const std::string&) override { return Fail(kErrorInternetIncorrectHandleType); }
  HInternet FtpFindFirstFileA(HInternet, const std::string&, FtpFindData*, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }
  HInternet FtpOpenFileA(HInternet, const std::string&, std::uint32_t, std::uint32_t, std::uintptr_t) override {
    return NotBuilt();
  }

  std::uint32_t GetLastError() override { return lastError; }
  std::string FormatMessageText(std::uint32_t code) override { return InternetErrorMessage(code); }

 private:
  static constexpr std::uint32_t kErrorInvalidHandleValue = 6;

  HInternet NotBuilt() {
    Fail(kErrorInternetIncorrectHandleType);
    return nullptr;
  }
};

}  // namespace

template <> Internet& SystemInstance<Internet>() {
  static CurlInternet instance;
  return instance;
}

}  // namespace plat
