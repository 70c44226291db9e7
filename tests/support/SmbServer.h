// Samba's smbd on loopback for the share tests of the Linux build
// (tests/support/nolt_smb_server.py): one share of a temporary directory, one user
// with a password, a port of its own. Wine has no client for shares, so the
// Windows build has no such server.
#pragma once

#include <string>

#include "tests/support/TestSupport.h"

namespace nolt::test {

class SmbServer {
 public:
  static constexpr const char* kShare = "nolt";
  static constexpr const char* kUser = "nolt-smb-test";
  static constexpr const char* kPassword = "s3cret pw";

  // Starts smbd; Available() is false (with Why()) when it cannot run here: not
  // root, smbd missing, or the Windows build.
  SmbServer();
  ~SmbServer();
  SmbServer(const SmbServer&) = delete;
  SmbServer& operator=(const SmbServer&) = delete;

  bool Available() const { return port_ > 0; }
  const std::string& Why() const { return why_; }
  int Port() const { return port_; }
  // "\\127.0.0.1:PORT\nolt", the share as a remote name.
  std::string RemoteName() const;
  // The local path of a file of the share ('/'-separated relPath).
  std::string LocalPath(const std::string& relPath) const;
  // Ends smbd and every worker at once, as a crash would.
  void Kill();

 private:
  TempDir dir_;
  int port_ = 0;
  std::string why_;
  long long process_ = 0;
  long long group_ = 0;  // smbd's process group
  int lease_ = -1;
};

}  // namespace nolt::test
