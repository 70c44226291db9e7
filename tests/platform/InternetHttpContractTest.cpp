// Contract of the internet seam's HTTP download operations, against the HTTP test
// server on loopback: the same cases run on Linux (libcurl) and on Windows (WinINet,
// under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/Internet.h"
#include "tests/support/HttpServer.h"

using namespace plat;
using nolt::test::HttpServer;

namespace {

constexpr std::uint32_t kFlags = kInternetFlagReload | kInternetFlagNoCacheWrite;  // 0x84000000
constexpr std::uint32_t kQueryStatus = kHttpQueryStatusCode | kHttpQueryFlagNumber;
constexpr std::uint32_t kQueryLength = kHttpQueryContentLength | kHttpQueryFlagNumber;
constexpr std::uint32_t kQueryDate = kHttpQueryLastModified | kHttpQueryFlagSystemTime;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

class InternetHttp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpServer();
    server_->AddFile("a.bin", Pattern(10000));
    server_->AddFile("big.bin", Pattern(2 * 1024 * 1024 + 123));
    server_->AddFile("mid.bin", Pattern(100000));
    server_->AddFile("empty.bin", "");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearLog();
    session_ = internet().InternetOpenA("WebCopy", kInternetOpenTypePreconfig, "", "", 0);
    ASSERT_NE(session_, nullptr);
    // Every case runs with time limits, as the transfers do.
    SetLimit(kInternetOptionConnectTimeout, 20000);
    SetLimit(kInternetOptionReceiveTimeout, 20000);
  }
  void TearDown() override {
    if (session_) internet().InternetCloseHandle(session_);
  }

  HInternet Open(const std::string& url, const std::string& headers = "") {
    return internet().InternetOpenUrlA(session_, url, headers.empty() ? nullptr : headers.c_str(),
                                       static_cast<std::uint32_t>(headers.size()), kFlags, 0);
  }
  // A header's text as the server sent it, or "(none)".
  static std::string Text(HInternet r, std::uint32_t level) {
    char buf[256];
    std::uint32_t size = sizeof buf, index = 0;
    if (!internet().HttpQueryInfoA(r, level, buf, &size, &index)) return "(none)";
    return std::string(buf, size);
  }
  void SetLimit(std::uint32_t option, std::uint32_t ms) {
    EXPECT_TRUE(internet().InternetSetOptionA(session_, option, &ms, sizeof ms)) << internet().GetLastError();
  }
  static std::uint32_t Status(HInternet r) {
    std::uint32_t status = 0, length = 4, index = 0;
    EXPECT_TRUE(internet().HttpQueryInfoA(r, kQueryStatus, &status, &length, &index));
    return status;
  }
  // Reads the body in blocks of `block` bytes. A read fills the whole block unless
  // the body ends first, so only the last read before the end may be short.
  static std::string ReadAll(HInternet r, std::uint32_t block = 4096, bool* ended = nullptr) {
    std::string body;
    std::vector<char> buf(block);
    std::uint32_t previous = block;
    for (;;) {
      std::uint32_t n = 0xDEAD;
      const bool ok = internet().InternetReadFile(r, buf.data(), block, &n);
      if (!ok) {
        if (ended) *ended = false;
        return body;
      }
      EXPECT_LE(n, block);
      if (n > 0) {
        EXPECT_EQ(previous, block) << "a short read before the end, at " << body.size();
      }
      previous = n;
      if (n == 0) break;
      body.append(buf.data(), n);
    }
    if (ended) *ended = true;
    return body;
  }

  static HttpServer* server_;
  HInternet session_ = nullptr;
};

HttpServer* InternetHttp::server_ = nullptr;

TEST_F(InternetHttp, DeliversStatusLengthDateAndTheBodyInBlocks) {
  server_->SetRule("/dated.bin", "body", std::string(5000, 'x'));
  server_->SetRule("/dated.bin", "lastmod", "Sat, 01 Jan 2000 12:34:56 GMT");
  HInternet r = Open(server_->Url("/dated.bin"));
  ASSERT_NE(r, nullptr) << internet().GetLastError();
  EXPECT_EQ(Status(r), 200u);

  std::uint32_t status = 0, size = 4, index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(r, kQueryStatus, &status, &size, &index));
  EXPECT_EQ(index, 0u);
  std::uint32_t length = 0;
  size = 4;
  index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(r, kQueryLength, &length, &size, &index));
  EXPECT_EQ(length, 5000u);
  // A header query moves the index to the next header of that name; there is none.
  EXPECT_EQ(index, 1u);
  EXPECT_FALSE(internet().HttpQueryInfoA(r, kQueryLength, &length, &size, &index));
  EXPECT_EQ(internet().GetLastError(), 12150u);  // ERROR_HTTP_HEADER_NOT_FOUND

  SystemTime st;
  size = sizeof st;
  index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(r, kQueryDate, &st, &size, &index));
  EXPECT_EQ(st.wYear, 2000);
  EXPECT_EQ(st.wMonth, 1);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wDayOfWeek, 6);
  EXPECT_EQ(st.wHour, 12);
  EXPECT_EQ(st.wMinute, 34);
  EXPECT_EQ(st.wSecond, 56);

  bool ended = false;
  EXPECT_EQ(ReadAll(r, 4096, &ended), std::string(5000, 'x'));
  EXPECT_TRUE(ended);
  // After the end every read gives 0 bytes.
  char c;
  std::uint32_t n = 1;
  EXPECT_TRUE(internet().InternetReadFile(r, &c, 1, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(internet().InternetCloseHandle(r));
}

TEST_F(InternetHttp, LargeBodiesArriveWholeWhateverTheReadSize) {
  HInternet r = Open(server_->Url("/big.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ReadAll(r, 4096), Pattern(2 * 1024 * 1024 + 123));
  internet().InternetCloseHandle(r);

  r = Open(server_->Url("/a.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ReadAll(r, 100), Pattern(10000));
  internet().InternetCloseHandle(r);

  r = Open(server_->Url("/empty.bin"));
  ASSERT_NE(r, nullptr);
  bool ended = false;
  EXPECT_EQ(ReadAll(r, 4096, &ended), "");
  EXPECT_TRUE(ended);
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, AbsentValuesFailAndLeaveTheCallersVariable) {
  HInternet r = Open(server_->Url("/a.bin?lastmod=omit&length=omit"));
  ASSERT_NE(r, nullptr);
  std::uint32_t length = 0x12345678, size = 4, index = 0;
  EXPECT_FALSE(internet().HttpQueryInfoA(r, kQueryLength, &length, &size, &index));
  EXPECT_EQ(length, 0x12345678u);
  SystemTime st;
  st.wYear = 1999;
  size = sizeof st;
  EXPECT_FALSE(internet().HttpQueryInfoA(r, kQueryDate, &st, &size, &index));
  EXPECT_EQ(st.wYear, 1999);
  // Without a length the body ends when the server closes the connection.
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, AnErrorStatusStillOpensTheRequest) {
  HInternet r = Open(server_->Url("/missing.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 404u);
  internet().InternetCloseHandle(r);

  r = Open(server_->Url("/a.bin?status=500"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 500u);
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, ExtraHeadersReachTheServerAsGiven) {
  const std::string header = "Authorization: Basic dXNlcjpwYXNz\r\n\r\n";  // user:pass
  HInternet r = Open(server_->Url("/a.bin?auth=user:pass"), header);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 200u);
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  internet().InternetCloseHandle(r);

  r = Open(server_->Url("/a.bin?auth=user:pass"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 401u);
  internet().InternetCloseHandle(r);

  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].HeaderCount("Authorization"), 1);
  EXPECT_EQ(log[0].Header("Authorization"), "Basic dXNlcjpwYXNz");
  EXPECT_EQ(log[1].HeaderCount("Authorization"), 0);
  for (const auto& [name, value] : log[0].headers) EXPECT_FALSE(name.empty()) << value;
}

TEST_F(InternetHttp, RedirectsAreFollowed) {
  HInternet r = Open(server_->Url("/old.bin?redirect=/a.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 200u);
  std::uint32_t length = 0, size = 4, index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(r, kQueryLength, &length, &size, &index));
  EXPECT_EQ(length, 10000u);
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  internet().InternetCloseHandle(r);
  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].path, "/old.bin");
  EXPECT_EQ(log[1].path, "/a.bin");
}

TEST_F(InternetHttp, FailuresToOpenGiveNoRequestAndTheirErrorNumber) {
  EXPECT_EQ(Open("http://nolt-test.invalid/a.bin"), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetNameNotResolved);
  // Nothing listens on port 1.
  EXPECT_EQ(Open("http://127.0.0.1:1/a.bin"), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetCannotConnect);
  EXPECT_EQ(internet().InternetOpenUrlA(nullptr, server_->Url("/a.bin"), nullptr, 0, kFlags, 0), nullptr);
}

TEST_F(InternetHttp, ADroppedConnectionEndsTheBodyEarly) {
  HInternet r = Open(server_->Url("/a.bin?drop=5000"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 200u);
  bool ended = true;
  const std::string body = ReadAll(r, 4096, &ended);
  EXPECT_EQ(body, Pattern(10000).substr(0, 5000));
#ifndef _WIN32
  // libcurl reports the missing bytes; WinINet (Wine's at least) ends with a read of
  // 0 bytes instead, which the download detects against the announced length.
  EXPECT_FALSE(ended);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetConnectionAborted);
#endif
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, SlowAnswersAreWaitedFor) {
  HInternet r = Open(server_->Url("/mid.bin?delay=0.3&slow=0.05"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ReadAll(r), Pattern(100000));
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, ChunkedBodiesAreDecoded) {
  HInternet r = Open(server_->Url("/big.bin?chunked=1"));
  ASSERT_NE(r, nullptr);
  std::uint32_t length = 7, size = 4, index = 0;
  EXPECT_FALSE(internet().HttpQueryInfoA(r, kQueryLength, &length, &size, &index));
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(ReadAll(r), Pattern(2 * 1024 * 1024 + 123));
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, UserInformationInTheUrlWorks) {
  HInternet r = Open("http://user:pass@" + server_->HostPort() + "/a.bin?auth=user:pass");
  ASSERT_NE(r, nullptr) << internet().GetLastError();
  EXPECT_EQ(Status(r), 200u);
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, ConnectionsAreReusedWithinOneInternetHandle) {
  for (int i = 0; i < 3; ++i) {
    HInternet r = Open(server_->Url("/a.bin"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ReadAll(r), Pattern(10000));
    internet().InternetCloseHandle(r);
  }
  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].clientPort, log[1].clientPort);
  EXPECT_EQ(log[1].clientPort, log[2].clientPort);
}

TEST_F(InternetHttp, ANamedProxyCarriesTheRequest) {
  HInternet viaProxy = internet().InternetOpenA("WebCopy", kInternetOpenTypeProxy, server_->HostPort(), "", 0);
  ASSERT_NE(viaProxy, nullptr);
  HInternet r = internet().InternetOpenUrlA(viaProxy, "http://nolt-origin.invalid/a.bin", nullptr, 0, kFlags, 0);
  ASSERT_NE(r, nullptr) << internet().GetLastError();
  EXPECT_EQ(Status(r), 200u);
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  internet().InternetCloseHandle(r);
  internet().InternetCloseHandle(viaProxy);
  auto log = server_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].absolute);
  // WinINet names the port in the target ("http://nolt-origin.invalid:80/a.bin").
  EXPECT_EQ(log[0].target.rfind("http://nolt-origin.invalid", 0), 0u) << log[0].target;
  EXPECT_EQ(log[0].path, "/a.bin");
}

TEST_F(InternetHttp, RangesAreAskedWithExtraHeadersAndAnsweredWithTheirValidators) {
  server_->SetRule("/a.bin", "etag", "\"v1\"");
  HInternet r = Open(server_->Url("/a.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Text(r, kHttpQueryETag), "\"v1\"");
  EXPECT_EQ(Text(r, kHttpQueryContentLength), "10000");
  EXPECT_EQ(Text(r, kHttpQueryContentRange), "(none)");
  const std::string date = Text(r, kHttpQueryLastModified);
  EXPECT_NE(date.find(" GMT"), std::string::npos) << date;
  internet().InternetCloseHandle(r);

  // A range on the ETag or on the date continues; a validator that no longer
  // matches gets the whole file.
  struct Case {
    std::string ifRange;
    std::uint32_t status;
    std::string contentRange;
    std::string body;
  } cases[] = {
      {"\"v1\"", 206, "bytes 9000-9999/10000", Pattern(10000).substr(9000)},
      {"\"v0\"", 200, "(none)", Pattern(10000)},
  };
  for (const Case& c : cases) {
    r = Open(server_->Url("/a.bin"), "Range: bytes=9000-\r\nIf-Range: " + c.ifRange + "\r\n\r\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Status(r), c.status) << c.ifRange;
    EXPECT_EQ(Text(r, kHttpQueryContentRange), c.contentRange);
    EXPECT_EQ(ReadAll(r), c.body) << c.ifRange;
    internet().InternetCloseHandle(r);
  }
  r = Open(server_->Url("/mid.bin"), "Range: bytes=99000-\r\nIf-Range: " + [&] {
    HInternet q = Open(server_->Url("/mid.bin"));
    std::string d = Text(q, kHttpQueryLastModified);
    internet().InternetCloseHandle(q);
    return d;
  }() + "\r\n\r\n");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Status(r), 206u);
  EXPECT_EQ(ReadAll(r), Pattern(100000).substr(99000));
  internet().InternetCloseHandle(r);
  auto log = server_->Requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().Header("Range"), "bytes=99000-");
}

TEST_F(InternetHttp, AvailableDataIsWhatHasArrivedWithoutWaitingForMore) {
  // One byte every 20 ms: a read of 4096 would wait for minutes, the query does not.
  HInternet r = Open(server_->Url("/a.bin?trickle=0.02"));
  ASSERT_NE(r, nullptr);
  std::string body;
  int queries = 0;
  for (;;) {
    std::uint32_t available = 0;
    ASSERT_TRUE(internet().InternetQueryDataAvailable(r, &available, 0, 0)) << internet().GetLastError();
    ++queries;
    if (available == 0) break;
    char buf[4096];
    std::uint32_t n = 0;
    const std::uint32_t want = available < sizeof buf ? available : sizeof buf;
    ASSERT_TRUE(internet().InternetReadFile(r, buf, want, &n));
    EXPECT_EQ(n, want);
    body.append(buf, n);
    if (body.size() >= 40) break;
  }
  EXPECT_EQ(body, Pattern(10000).substr(0, body.size()));
  EXPECT_GE(queries, 2);
  internet().InternetCloseHandle(r);

  r = Open(server_->Url("/a.bin"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ReadAll(r), Pattern(10000));
  std::uint32_t available = 99;
  EXPECT_TRUE(internet().InternetQueryDataAvailable(r, &available, 0, 0));
  EXPECT_EQ(available, 0u) << "at the end of the body";
  internet().InternetCloseHandle(r);
}

// A server that accepts and never answers, or stops in the middle of a body, ends
// the wait with a timeout once the receive limit has passed without a byte.
TEST_F(InternetHttp, TheReceiveLimitEndsStalledAnswers) {
  // The connect limit (20 s) does not lengthen the wait once connected.
  constexpr std::uint32_t kLimitMs = 1500;
  SetLimit(kInternetOptionReceiveTimeout, kLimitMs);
  std::uint32_t bogus = 1;
  EXPECT_FALSE(internet().InternetSetOptionA(session_, 9999, &bogus, sizeof bogus));

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Open(server_->Url("/a.bin?hang=1")), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetTimeout);
  double waited = Seconds(start);
  EXPECT_GE(waited, kLimitMs / 1000.0 * 0.9);
  EXPECT_LT(waited, kLimitMs / 1000.0 + 10) << "the open waited far beyond the limit";

  HInternet r = Open(server_->Url("/mid.bin?stall=20000"));
  ASSERT_NE(r, nullptr);
  start = std::chrono::steady_clock::now();
  std::string body;
  std::uint32_t available = 0;
  std::uint32_t error = 0;
  for (;;) {
    if (!internet().InternetQueryDataAvailable(r, &available, 0, 0)) {
      error = internet().GetLastError();
      break;
    }
    if (available == 0) break;
    char buf[4096];
    std::uint32_t n = 0;
    if (!internet().InternetReadFile(r, buf, available < 4096 ? available : 4096, &n)) {
      error = internet().GetLastError();
      break;
    }
    body.append(buf, n);
  }
  EXPECT_EQ(error, kErrorInternetTimeout);
  EXPECT_EQ(body, Pattern(100000).substr(0, 20000));
  waited = Seconds(start);
  EXPECT_LT(waited, kLimitMs / 1000.0 + 10) << "the body waited far beyond the limit";
  internet().InternetCloseHandle(r);
}

TEST_F(InternetHttp, HandlesAreCheckedAndClosedOnce) {
  HInternet r = Open(server_->Url("/a.bin"));
  ASSERT_NE(r, nullptr);
  char buf[16];
  std::uint32_t n = 99;
  // A read on the internet handle is refused.
  EXPECT_FALSE(internet().InternetReadFile(session_, buf, sizeof buf, &n));
  EXPECT_TRUE(internet().InternetCloseHandle(r));
  EXPECT_FALSE(internet().InternetCloseHandle(nullptr));
}

}  // namespace
