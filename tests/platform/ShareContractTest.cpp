// The network-share seam against the system's implementation. Linux: libsmbclient
// against Samba's smbd on loopback (tests/support/SmbServer.h): the error numbers of
// the Windows calls, the files below a connected share, counted and forced
// disconnects. Windows under Wine, which has no client for shares: the numbers of
// a connect and of a disconnect that cannot succeed.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Files.h"
#include "platform/Share.h"
#include "tests/support/SmbServer.h"
#include "tests/support/TestSupport.h"

using namespace nolt::test;

namespace {

std::uint32_t Connect(const std::string& name, const char* user, const char* password, const char* local = "") {
  plat::NetResource r;
  r.dwType = plat::kResourceTypeDisk;
  r.lpLocalName = local;
  r.lpRemoteName = name.c_str();
  r.lpProvider = "";
  return plat::share().WNetAddConnection2A(r, password, user, 0);
}

std::uint32_t Disconnect(const std::string& name) {
  return plat::share().WNetCancelConnection2A(name, plat::kConnectUpdateProfile, true);
}

TEST(ShareContract, NoConnectionWithoutAServerAndNoneToRemove) {
  // Nothing listens for shares on loopback here; Wine has no client at all.
  const std::uint32_t rc = Connect("\\\\127.0.0.1\\nolt-none", "u", "p");
  EXPECT_TRUE(rc == plat::kErrorBadNetPath || rc == plat::kErrorNoNetwork) << rc;
  EXPECT_EQ(plat::share().GetLastError(), rc);
  EXPECT_FALSE(plat::share().ErrorText(rc).empty());
  const std::uint32_t gone = Disconnect("\\\\127.0.0.1\\nolt-none");
  EXPECT_TRUE(gone == plat::kErrorNotConnected || gone == plat::kErrorNoNetwork) << gone;
}

class ShareWithServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new SmbServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->Available()) GTEST_SKIP() << server_->Why();
  }
  static SmbServer* server_;
};
SmbServer* ShareWithServer::server_ = nullptr;

TEST_F(ShareWithServer, ConnectAnswersWithTheNumbersOfTheWindowsCall) {
  const std::string name = server_->RemoteName();
  const std::string port = std::to_string(server_->Port());
  struct Case {
    std::string name;
    const char* user;
    const char* password;
    const char* local;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {name, SmbServer::kUser, "wrong", "", plat::kErrorInvalidPassword},
      {name, "nobody-here", SmbServer::kPassword, "", plat::kErrorInvalidPassword},
      {"\\\\127.0.0.1:" + port + "\\no-such-share", SmbServer::kUser, SmbServer::kPassword, "", plat::kErrorBadNetName},
      {"\\\\127.0.0.1:1\\nolt", SmbServer::kUser, SmbServer::kPassword, "", plat::kErrorBadNetPath},
      {"\\\\127.0.0.1:" + port, SmbServer::kUser, SmbServer::kPassword, "", plat::kErrorBadNetName},
      {name, SmbServer::kUser, SmbServer::kPassword, "Z:", plat::kErrorBadDevice},
      // Either separator, and a connection that works.
      {"//127.0.0.1:" + port + "/nolt", SmbServer::kUser, SmbServer::kPassword, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + c.user + " " + c.password);
    EXPECT_EQ(Connect(c.name, c.user, c.password, c.local), c.expected);
    if (c.expected == 0) {
      EXPECT_EQ(Disconnect(c.name), 0u);
    }
    EXPECT_EQ(Disconnect(c.name), plat::kErrorNotConnected);
  }
}

TEST_F(ShareWithServer, FilesBelowAConnectedShareGoThroughIt) {
  std::filesystem::create_directories(server_->LocalPath("dir"));
  std::string body(100000, 'x');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  WriteFile(server_->LocalPath("dir/a.bin"), body);
  const std::string name = server_->RemoteName();
  const std::string path = name + "\\dir\\a.bin";
  auto& fs = plat::files();

  EXPECT_FALSE(fs.IsRegularFile(path));
  ASSERT_EQ(Connect(name, SmbServer::kUser, SmbServer::kPassword), 0u);
  EXPECT_TRUE(fs.IsRegularFile(path));
  EXPECT_EQ(fs.GetFileAttributesA(name + "\\dir") & plat::kFileAttributeDirectory, plat::kFileAttributeDirectory);
  const plat::FileHandle h =
      fs.CreateFileWithShareMode(path, plat::FileAccess::Read, plat::kFileShareNone, plat::FileCreate::OpenExisting);
  ASSERT_NE(h, plat::kInvalidFile);
  EXPECT_EQ(fs.SetFilePointer(h, 0, plat::SeekOrigin::End), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(fs.SetFilePointer(h, 0, plat::SeekOrigin::Begin), 0);
  std::string got(body.size() + 10, '\0');
  std::uint32_t n = 0, total = 0;
  while (fs.ReadFile(h, got.data() + total, 16384, &n) && n != 0) total += n;
  got.resize(total);
  EXPECT_EQ(got, body);
  // The last-write time is the file's, in UTC, as the local seam gives it.
  std::uint64_t remote = 0, local = 0;
  EXPECT_TRUE(fs.GetFileTime(h, &remote));
  const plat::FileHandle l = fs.CreateFileA(server_->LocalPath("dir/a.bin"), plat::FileAccess::Read,
                                            plat::FileCreate::OpenExisting);
  fs.GetFileTime(l, &local);
  fs.CloseHandle(l);
  EXPECT_LT(remote > local ? remote - local : local - remote, 10000000u);  // within a second
  EXPECT_EQ(fs.CreateFileA(name + "\\dir\\none.bin", plat::FileAccess::Read, plat::FileCreate::OpenExisting),
            plat::kInvalidFile);
  EXPECT_EQ(fs.GetLastError(), plat::kErrorFileNotFound);

  // A second connect with the same account counts; another account conflicts.
  EXPECT_EQ(Connect(name, SmbServer::kUser, SmbServer::kPassword), 0u);
  EXPECT_EQ(Connect(name, "other", "pw"), plat::kErrorSessionCredentialConflict);
  EXPECT_EQ(Disconnect(name), 0u);
  EXPECT_TRUE(fs.IsRegularFile(path));
  // Forced, the last disconnect closes the open file: its handle fails from then on.
  EXPECT_EQ(Disconnect(name), 0u);
  EXPECT_FALSE(fs.ReadFile(h, got.data(), 10, &n));
  EXPECT_FALSE(fs.IsRegularFile(path));
  EXPECT_EQ(Disconnect(name), plat::kErrorNotConnected);
}

}  // namespace
