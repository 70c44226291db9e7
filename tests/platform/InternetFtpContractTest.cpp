// Contract of the internet seam's FTP operations, against the FTP test server on
// loopback: the same cases run on Linux (libcurl) and on Windows (WinINet, under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "platform/Clock.h"
#include "platform/Internet.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TestSupport.h"

using namespace plat;
using nolt::test::FtpServer;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 257) & 0xFF);
  return s;
}

bool Sent(const std::vector<std::string>& commands, const std::string& prefix) {
  return std::any_of(commands.begin(), commands.end(), [&](const std::string& c) { return c.starts_with(prefix); });
}

class InternetFtp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new FtpServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->ClearRules();
    server_->ClearLog();
    session_ = internet().InternetOpenA("WebCopy", kInternetOpenTypePreconfig, "", "", 0);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    if (connection_) internet().InternetCloseHandle(connection_);
    internet().InternetCloseHandle(session_);
  }

  HInternet Connect(const std::string& user, const std::string& password, bool passive, int port = 0) {
    connection_ = internet().InternetConnectA(session_, "127.0.0.1",
                                              static_cast<std::uint16_t>(port ? port : server_->Port()), user,
                                              password, kInternetServiceFtp, passive ? kInternetFlagPassive : 0, 0);
    return connection_;
  }
  // Reads a whole file in blocks of 4096 bytes; false when a read fails.
  bool ReadAll(const std::string& name, std::string& out) {
    HInternet f = internet().FtpOpenFileA(connection_, name, kGenericRead, kInternetFlagTransferBinary, 0);
    EXPECT_NE(f, nullptr) << name << ": " << internet().GetLastError();
    if (!f) return false;
    char block[4096];
    std::uint32_t n = 0;
    bool ok = true;
    do {
      ok = internet().InternetReadFile(f, block, sizeof block, &n);
      if (ok) out.append(block, n);
    } while (ok && n != 0);
    internet().InternetCloseHandle(f);
    return ok;
  }
  bool WriteAll(const std::string& name, const std::string& bytes) {
    HInternet f = internet().FtpOpenFileA(connection_, name, kGenericWrite, kInternetFlagTransferBinary, 0);
    EXPECT_NE(f, nullptr) << name << ": " << internet().GetLastError();
    if (!f) return false;
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes.size(); at += 4096) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(4096, bytes.size() - at));
      std::uint32_t written = 0;
      ok = internet().InternetWriteFile(f, bytes.data() + at, n, &written) && written == n;
    }
    return internet().InternetCloseHandle(f) && ok;
  }

  static FtpServer* server_;
  HInternet session_ = nullptr;
  HInternet connection_ = nullptr;
};

FtpServer* InternetFtp::server_ = nullptr;

// One logon serves every operation of a connection; names resolve against the
// directory the seam changed to, as on the server.
TEST_F(InternetFtp, OneLogonCarriesDirectoriesListingsReadsAndWrites) {
  const std::string data = Pattern(300000);
  server_->AddFile("pub/a.bin", data);
  // A listing gives the minute of a file of the last months (the year alone for an
  // older one), so the date is a recent whole minute.
  const std::time_t when = (std::time(nullptr) - 10 * 86400) / 60 * 60;
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", std::gmtime(&when));
  server_->SetRule("/pub/a.bin", "mtime", stamp);
  ASSERT_NE(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr) << internet().GetLastError();

  EXPECT_TRUE(internet().FtpSetCurrentDirectoryA(connection_, "/pub/"));
  FtpFindData found;
  HInternet search = internet().FtpFindFirstFileA(connection_, "a.bin", &found, 0, 0);
  ASSERT_NE(search, nullptr) << internet().GetLastError();
  internet().InternetCloseHandle(search);
  EXPECT_EQ(found.sizeLow, data.size());
  EXPECT_EQ(found.lastWriteTime, (static_cast<std::uint64_t>(when) + 11644473600ull) * 10000000ull);
  std::string got;
  EXPECT_TRUE(ReadAll("a.bin", got));
  EXPECT_TRUE(got == data);

  // A missing directory is refused with the server's answer; the current one stays.
  EXPECT_FALSE(internet().FtpSetCurrentDirectoryA(connection_, "missing"));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetExtendedError);
  // One level is created, below the current directory; a missing parent is refused.
  EXPECT_TRUE(internet().FtpCreateDirectoryA(connection_, "up"));
  EXPECT_FALSE(internet().FtpCreateDirectoryA(connection_, "no/such"));
  EXPECT_TRUE(internet().FtpSetCurrentDirectoryA(connection_, "up"));
  const std::string sent = Pattern(4096 * 3);
  EXPECT_TRUE(WriteAll("b.bin", sent));
  EXPECT_TRUE(nolt::test::ReadFile(server_->LocalPath("pub/up/b.bin")) == sent);
  EXPECT_TRUE(WriteAll("empty.bin", ""));
  EXPECT_EQ(nolt::test::ReadFile(server_->LocalPath("pub/up/empty.bin")), "");

  const auto commands = server_->Commands();
  EXPECT_EQ(server_->Count("USER"), 1) << ::testing::PrintToString(commands);
  EXPECT_EQ(server_->Count("PASS"), 1);
  EXPECT_TRUE(Sent(commands, "USER nolt"));
  EXPECT_TRUE(Sent(commands, "PASV"));
  EXPECT_FALSE(Sent(commands, "PORT"));
  internet().InternetCloseHandle(connection_);
  connection_ = nullptr;
  EXPECT_TRUE(server_->WaitForLog([](const std::vector<nolt::test::FtpLogRecord>& log) {
    return std::any_of(log.begin(), log.end(), [](const auto& r) { return r.event == "disconnect"; });
  }));
}

TEST_F(InternetFtp, AnonymousInActiveMode) {
  const std::string data = Pattern(10000);
  server_->AddFile("anon.bin", data);
  ASSERT_NE(Connect("", "", false), nullptr) << internet().GetLastError();
  std::string got;
  EXPECT_TRUE(ReadAll("anon.bin", got));
  EXPECT_TRUE(got == data);
  const auto commands = server_->Commands();
  EXPECT_TRUE(Sent(commands, "USER anonymous"));
  EXPECT_TRUE(Sent(commands, "PORT"));
  EXPECT_FALSE(Sent(commands, "PASV"));
}

// What fails, and with which number.
TEST_F(InternetFtp, FailuresComeBackAsWinInetNumbers) {
  server_->AddFile("hidden.bin", "abc");
  server_->SetRule("/hidden.bin", "hide", "1");
  ASSERT_NE(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr);
  // Not listed, yet it can be read.
  FtpFindData found;
  EXPECT_EQ(internet().FtpFindFirstFileA(connection_, "hidden.bin", &found, 0, 0), nullptr);
  std::string got;
  EXPECT_TRUE(ReadAll("hidden.bin", got));
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(internet().FtpOpenFileA(connection_, "/nothing.bin", kGenericRead, kInternetFlagTransferBinary, 0),
            nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetExtendedError);
  // A line break would add a command of its own: the name never reaches the server.
  EXPECT_FALSE(internet().FtpCreateDirectoryA(connection_, "x\r\nDELE hidden.bin"));
  EXPECT_EQ(internet().GetLastError(), kErrorInvalidName);
  EXPECT_EQ(internet().FtpOpenFileA(connection_, std::string("a\0b", 3), kGenericRead, 2, 0), nullptr);
  EXPECT_FALSE(Sent(server_->Commands(), "DELE"));
  internet().InternetCloseHandle(connection_);
  connection_ = nullptr;

  server_->SetRule("*", "refuse_logon", "1");
  EXPECT_EQ(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetLoginFailure);
  // A port where nothing listens: the server's own port once it is gone is not
  // known, so the lease port's neighbour below 1024 stands in (nothing listens there).
  EXPECT_EQ(Connect("", "", true, 9), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetCannotConnect);
}

// The server's last word counts: closing a file reads its final reply, and a
// transfer it did not confirm fails the close with its reply; SIZE is 64 bits wide;
// a silent data connection or a reply without end fails within the receive limit.
TEST_F(InternetFtp, TheServersLastWordAndTheLimitsCount) {
  const std::string data = Pattern(50000);
  server_->AddFile("big.bin", data);
  server_->SetRule("/big.bin", "size", std::to_string((1ull << 32) + 10));
  server_->AddFile("refused.bin", data);
  server_->SetRule("/refused.bin", "hide", "1");
  server_->SetRule("/refused.bin", "reply", "451");
  server_->SetRule("/stored.bin", "reply", "550");
  server_->SetRule("/silent.bin", "stall", "0");
  server_->AddFile("silent.bin", data);
  const std::uint32_t limit = 1500;
  internet().InternetSetOptionA(session_, kInternetOptionReceiveTimeout, &limit, sizeof limit);
  internet().InternetSetOptionA(session_, kInternetOptionConnectTimeout, &limit, sizeof limit);
  ASSERT_NE(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr) << internet().GetLastError();

  FtpFindData found;
  HInternet search = internet().FtpFindFirstFileA(connection_, "big.bin", &found, 0, 0);
  ASSERT_NE(search, nullptr) << internet().GetLastError();
  internet().InternetCloseHandle(search);
  EXPECT_TRUE(found.sizeKnown);
  EXPECT_EQ(found.sizeHigh, 1u);
  EXPECT_EQ(found.sizeLow, 10u);

  // All the data, then 451: the close tells, with the server's reply.
  std::string reply;
  HInternet f = internet().FtpOpenFileA(connection_, "refused.bin", kGenericRead, kInternetFlagTransferBinary, 0);
  ASSERT_NE(f, nullptr) << internet().GetLastError();
  char block[4096];
  std::uint32_t n = 0;
  std::size_t got = 0;
  while (internet().InternetReadFile(f, block, sizeof block, &n) && n != 0) got += n;
  EXPECT_EQ(got, data.size());
  EXPECT_FALSE(internet().InternetCloseHandle(f));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetExtendedError);
  EXPECT_TRUE(internet().InternetGetLastResponseInfoA(&reply));
  EXPECT_TRUE(reply.starts_with("451")) << reply;

  EXPECT_FALSE(WriteAll("stored.bin", data));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetExtendedError);
  EXPECT_TRUE(internet().InternetGetLastResponseInfoA(&reply));
  EXPECT_TRUE(reply.starts_with("550")) << reply;

  // A data connection that stays open and silent.
  f = internet().FtpOpenFileA(connection_, "silent.bin", kGenericRead, kInternetFlagTransferBinary, 0);
  ASSERT_NE(f, nullptr) << internet().GetLastError();
  const std::uint32_t start = plat::sysClock().GetTickCount();
  EXPECT_FALSE(internet().InternetReadFile(f, block, sizeof block, &n));
  EXPECT_EQ(internet().GetLastError(), kErrorInternetTimeout);
  EXPECT_LT(plat::sysClock().GetTickCount() - start, 20000u);
  internet().InternetCloseHandle(f);
  internet().InternetCloseHandle(connection_);
  connection_ = nullptr;

  // A logon reply whose lines never end.
  server_->SetRule("*", "endless_logon", "1");
  EXPECT_EQ(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr);
  EXPECT_EQ(internet().GetLastError(), kErrorInternetTimeout);
}

// A data connection that drops in the middle never passes for the whole file: the
// bytes that came are delivered, and no more.
TEST_F(InternetFtp, DroppedDataConnectionDeliversOnlyWhatCame) {
  server_->AddFile("drop.bin", Pattern(200000));
  server_->SetRule("/drop.bin", "drop", "50000");
  ASSERT_NE(Connect(FtpServer::User(), FtpServer::Password(), true), nullptr);
  std::string got;
  const bool ok = ReadAll("drop.bin", got);
  EXPECT_EQ(got.size(), 50000u);
  if (!ok) {
    EXPECT_EQ(internet().GetLastError(), kErrorInternetConnectionAborted);
  }
}

}  // namespace
