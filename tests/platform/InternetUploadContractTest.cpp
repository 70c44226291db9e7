// Contract of the internet seam's HTTP upload operations, against the HTTP test
// server on loopback: the same cases run on Linux (libcurl) and on Windows (WinINet,
// under Wine).
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Internet.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSupport.h"

using namespace plat;
using nolt::test::HttpServer;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 257) & 0xFF);
  return s;
}

class InternetUpload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new HttpServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearLog();
    session_ = internet().InternetOpenA("WebCopy", kInternetOpenTypePreconfig, "", "", 0);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    if (request_) internet().InternetCloseHandle(request_);
    if (connection_) internet().InternetCloseHandle(connection_);
    internet().InternetCloseHandle(session_);
  }

  // Opens a request to the test server (or to another port) and starts it with the
  // announced length.
  bool Start(const std::string& verb, const std::string& object, std::uint32_t total, int port = 0,
             std::uint32_t flags = kInternetFlagNoCacheWrite) {
    connection_ = internet().InternetConnectA(session_, "127.0.0.1",
                                              static_cast<std::uint16_t>(port ? port : server_->Port()), "", "",
                                              kInternetServiceHttp, 0, 0);
    EXPECT_NE(connection_, nullptr);
    request_ = internet().HttpOpenRequestA(connection_, verb, object, "", "", nullptr, flags, 0);
    EXPECT_NE(request_, nullptr);
    InternetBuffers b;
    b.structSize = kInternetBuffersSize;
    b.bufferTotal = total;
    return internet().HttpSendRequestExA(request_, &b, kHsrInitiate, 0);
  }
  // Writes body in blocks of `block` bytes; false at the first failed write.
  bool Write(const std::string& body, std::size_t block = 4096) {
    for (std::size_t at = 0; at < body.size(); at += block) {
      const auto n = static_cast<std::uint32_t>(std::min(block, body.size() - at));
      std::uint32_t written = 0xDEAD;
      if (!internet().InternetWriteFile(request_, body.data() + at, n, &written)) return false;
      EXPECT_EQ(written, n);
    }
    return true;
  }
  bool End() { return internet().HttpEndRequestA(request_, 0, 0); }

  static HttpServer* server_;
  HInternet session_ = nullptr;
  HInternet connection_ = nullptr;
  HInternet request_ = nullptr;
};

HttpServer* InternetUpload::server_ = nullptr;

TEST_F(InternetUpload, TheBodyArrivesWholeWithItsAnnouncedLength) {
  struct Case {
    const char* verb;
    std::size_t size;
    std::size_t block;
  };
  const Case cases[] = {{"PUT", 0, 4096},      {"POST", 1, 4096},         {"PUT", 8192, 4096},
                        {"POST", 100000, 1000}, {"PUT", 3 * 1024 * 1024 + 7, 4096}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + std::to_string(c.size));
    const std::string name = "up" + std::to_string(n++) + ".bin";
    const std::string body = Pattern(c.size);
    ASSERT_TRUE(Start(c.verb, "/" + name, static_cast<std::uint32_t>(c.size))) << internet().GetLastError();
    EXPECT_TRUE(Write(body, c.block)) << internet().GetLastError();
    // A write of 0 bytes does nothing.
    std::uint32_t written = 7;
    EXPECT_TRUE(internet().InternetWriteFile(request_, body.data(), 0, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(End()) << internet().GetLastError();
    internet().InternetCloseHandle(request_);
    internet().InternetCloseHandle(connection_);
    request_ = connection_ = nullptr;

    EXPECT_EQ(nolt::test::ReadFile(server_->LocalPath(name)), body);
    auto log = server_->Requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, c.verb);
    EXPECT_EQ(log[0].target, "/" + name);
    EXPECT_EQ(log[0].Header("Content-Length"), std::to_string(c.size));
    EXPECT_EQ(log[0].HeaderCount("Transfer-Encoding"), 0);
    EXPECT_EQ(log[0].HeaderCount("Expect"), 0);
    EXPECT_EQ(log[0].bodyLength, static_cast<long long>(c.size));
    server_->ClearLog();
  }
}

// A redirect is the upload's answer: the request ends with it, its status and
// Location can be read, and nothing is sent again.
TEST_F(InternetUpload, ARedirectIsTheAnswerAndIsNotFollowed) {
  server_->SetRule("/moved.bin", "redirect", "/new.bin");
  server_->SetRule("/moved.bin", "redirect_status", "307");
  const std::string body = Pattern(5000);
  ASSERT_TRUE(Start("PUT", "/moved.bin", static_cast<std::uint32_t>(body.size()), 0,
                    kInternetFlagNoCacheWrite | kInternetFlagNoAutoRedirect));
  EXPECT_TRUE(Write(body));
  EXPECT_TRUE(End()) << internet().GetLastError();
  std::uint32_t status = 0;
  std::uint32_t length = sizeof status;
  std::uint32_t index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(request_, kHttpQueryStatusCode | kHttpQueryFlagNumber, &status, &length,
                                        &index));
  EXPECT_EQ(status, 307u);
  char location[64] = {};
  length = sizeof location;
  index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(request_, kHttpQueryLocation, location, &length, &index));
  EXPECT_EQ(std::string(location, length), "/new.bin");
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(server_->LocalPath("new.bin")));
  server_->ClearRules("/moved.bin");
}

TEST_F(InternetUpload, AServerThatCannotBeReachedFailsTheStart) {
  // Nothing listens on port 1; the connection handle itself is no network call.
  EXPECT_FALSE(Start("PUT", "/a.bin", 10, 1));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetCannotConnect);
  internet().InternetCloseHandle(request_);
  internet().InternetCloseHandle(connection_);
  request_ = connection_ = nullptr;
  // A secure request to a plain HTTP server fails its handshake.
  EXPECT_FALSE(Start("PUT", "/a.bin", 10, 0, kInternetFlagNoCacheWrite | kInternetFlagSecure) && Write("0123456789") &&
               End());
  EXPECT_NE(internet().GetLastError(), 0u);
}

TEST_F(InternetUpload, ABodyShorterThanAnnouncedEndsAtOnceWithoutSuccess) {
  // A connection kept from an earlier request is taken, as it would be in a run.
  ASSERT_TRUE(Start("PUT", "/before.bin", 10));
  EXPECT_TRUE(Write(Pattern(10)));
  EXPECT_TRUE(End());
  internet().InternetCloseHandle(request_);
  internet().InternetCloseHandle(connection_);
  // The server waits for the rest and would never answer; ending must not wait for it.
  ASSERT_TRUE(Start("PUT", "/short.bin", 100000));
  EXPECT_TRUE(Write(Pattern(40000)));
  EXPECT_FALSE(End());
  EXPECT_EQ(internet().GetLastError(), kErrorInternetConnectionAborted);
  EXPECT_FALSE(nolt::test::FileExists(server_->LocalPath("short.bin")));
  // The connection it leaves is not taken for the next request of the session.
  internet().InternetCloseHandle(request_);
  internet().InternetCloseHandle(connection_);
  ASSERT_TRUE(Start("PUT", "/next.bin", 5000));
  EXPECT_TRUE(Write(Pattern(5000)));
  EXPECT_TRUE(End());
  EXPECT_EQ(nolt::test::ReadFile(server_->LocalPath("next.bin")), Pattern(5000));
}

TEST_F(InternetUpload, WritingPastTheAnnouncedLengthIsRefused) {
  ASSERT_TRUE(Start("PUT", "/long.bin", 5000));
  EXPECT_TRUE(Write(Pattern(4096)));
  std::uint32_t written = 7;
  EXPECT_FALSE(internet().InternetWriteFile(request_, Pattern(4096).data(), 4096, &written));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetIncorrectHandleState);
  EXPECT_EQ(written, 0u);
}

TEST_F(InternetUpload, AServerThatHangsUpFailsAWriteOrTheEnd) {
  // Early in a large body (a write fails), and after the whole body without an answer.
  for (const auto& [query, size] : {std::pair<std::string, std::size_t>{"?hangup=100000", 16 * 1024 * 1024},
                                    std::pair<std::string, std::size_t>{"?hangup=999999", 10000}}) {
    SCOPED_TRACE(query);
    ASSERT_TRUE(Start("PUT", "/gone.bin" + query, static_cast<std::uint32_t>(size)));
    const bool wrote = Write(Pattern(size));
    const bool ended = End();
    EXPECT_FALSE(wrote && ended);
    EXPECT_NE(internet().GetLastError(), 0u);
    internet().InternetCloseHandle(request_);
    internet().InternetCloseHandle(connection_);
    request_ = connection_ = nullptr;
  }
}

TEST_F(InternetUpload, AServerThatStopsReadingTimesOut) {
  // It holds the connection for 90 s, longer than the request waits.
  ASSERT_TRUE(Start("PUT", "/stalled.bin?stall=100000", 64 * 1024 * 1024));
  const bool wrote = Write(Pattern(64 * 1024 * 1024), 1024 * 1024);
  const std::uint32_t code = internet().GetLastError();
  EXPECT_FALSE(wrote);
  // WinINet (Wine's) passes the socket's own number on.
  constexpr std::uint32_t kWsaETimedOut = 10060;
  EXPECT_TRUE(code == kErrorInternetTimeout || code == kWsaETimedOut) << code;
  EXPECT_FALSE(End());
}

TEST_F(InternetUpload, TheObjectIsSentBelowTheRootAndEscaped) {
  ASSERT_TRUE(Start("POST", "no slash.bin", 3));
  EXPECT_TRUE(Write("abc"));
  EXPECT_TRUE(End());
  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].target, "/no%20slash.bin");
}

}  // namespace
