// The file copy from a real share: Samba's smbd on loopback through libsmbclient
// (Linux; skipped where no smbd can run, as under Wine, which has no share client).
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Files.h"
#include "platform/Share.h"
#include "tests/support/SmbServer.h"
#include "tests/support/TestSupport.h"
#include "tests/webcopy/HttpTestKit.h"

using namespace nolt;
using namespace nolt::test;

namespace {

TEST(FileCopyFromShare, CopiesExactBytesWithTheRightAccountAndDisconnects) {
  SmbServer server;
  if (!server.Available()) GTEST_SKIP() << server.Why();
  std::filesystem::create_directories(server.LocalPath("dir"));
  std::string body(200000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 13) ^ (i >> 9));
  WriteFile(server.LocalPath("dir/a.txt"), body);

  TempDir out;
  TestWebCopy wc;
  wc.ShowDialog = false;
  EventLog events;
  events.Attach(wc);
  wc.OnConnectError = [&](TObject*) { events.Add("ConnectError"); };
  const std::string source = server.RemoteName() + "\\dir\\a.txt";
  for (const char* password : {"wrong", SmbServer::kPassword}) {
    SCOPED_TRACE(password);
    const bool right = std::string(password) == SmbServer::kPassword;
    events.lines.clear();
    wc.Items.Clear();
    TWebCopyItem& item = wc.Items.Add();
    item.Protocol = wpFile;
    item.FTPHost = server.RemoteName();
    item.FTPUserID = SmbServer::kUser;
    item.FTPPassword = password;
    item.URL = "dir\\a.txt";
    item.TargetDir = out.Dir();
    wc.Execute();
    EXPECT_EQ(item.Success, right);
    if (right) {
      EXPECT_EQ(events.Text(), "FileStart 0\nFileDone 0\nCopyDone\n");
      EXPECT_EQ(ReadFile(out.File("a.txt")), body);
    } else {
      // The connect fails, and so does the disconnect that follows it.
      EXPECT_EQ(events.Text(), "FileStart 0\nConnectError\nConnectError\nFileDone 0\nCopyDone\n");
      EXPECT_FALSE(FileExists(out.File("a.txt")));
    }
    // Nothing stays connected after the item.
    EXPECT_FALSE(plat::files().IsRegularFile(source));
    EXPECT_EQ(plat::share().WNetCancelConnection2A(server.RemoteName(), 0, true), plat::kErrorNotConnected);
  }
}

TEST(FileCopyFromShare, AServerThatDiesInTheMiddleIsAReadErrorAndInstallsNothing) {
  SmbServer server;
  if (!server.Available()) GTEST_SKIP() << server.Why();
  WriteFile(server.LocalPath("big.bin"), std::string(16 << 20, 'b'));
  TempDir out;
  WriteFile(out.File("big.bin"), "previous");
  TestWebCopy wc;
  wc.ShowDialog = false;
  EventLog events;
  events.Attach(wc);
  wc.OnConnectError = [&](TObject*) { events.Add("ConnectError"); };
  wc.OnCopyProgress = [&](TObject*, int, std::uint32_t done, std::uint32_t) {
    if (done == 16384) server.Kill();
  };
  TWebCopyItem& item = wc.Items.Add();
  item.Protocol = wpFile;
  item.FTPHost = server.RemoteName();
  item.FTPUserID = SmbServer::kUser;
  item.FTPPassword = SmbServer::kPassword;
  item.URL = "big.bin";
  item.TargetDir = out.Dir();
  wc.Execute();
  EXPECT_FALSE(item.Success);
  EXPECT_TRUE(events.Has("Error 4")) << events.Text();
  EXPECT_EQ(ReadFile(out.File("big.bin")), "previous");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), std::filesystem::directory_iterator()), 1);
  // The forced disconnect still removes the connection.
  EXPECT_EQ(plat::share().WNetCancelConnection2A(server.RemoteName(), 0, true), plat::kErrorNotConnected);
}

}  // namespace
