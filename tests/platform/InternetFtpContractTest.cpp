// Contract of the internet seam's FTP operations, against the FTP test server on
// loopback: the same cases run on Linux (libcurl) and on Windows (WinINet, under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

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
