// The FTP test server of tests/support/nolt_ftp_server.py, started and stopped by a
// test, the same way for the Linux tests and for the Windows tests under Wine (see
// ServerProcess.h). It serves a directory of its own to the account User() with
// Password() and to anonymous logons, and logs every command it receives.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/ServerProcess.h"
#include "tests/support/TestSupport.h"

namespace nolt::test {

// One line of the server's log: a command (cmd and arg as received) or an event
// ("connect", "disconnect", "transfer" with its path, bytes and completeness).
struct FtpLogRecord {
  int session = 0;
  std::string cmd;
  std::string arg;
  std::string event;
  std::string path;
  long long bytes = 0;
  bool complete = false;
};

class FtpServer {
 public:
  // Starts the server on a free loopback port; throws std::runtime_error when it
  // does not come up.
  FtpServer();
  // Stops the server and waits for it to end.
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  int Port() const { return port_; }
  static const char* User() { return "nolt"; }
  static const char* Password() { return "s3cret"; }

  // Writes a file that the server serves at "/" + relPath ('/'-separated).
  void AddFile(const std::string& relPath, const std::string& bytes);
  // The local path of a served file or directory, in the test program's own notation.
  std::string LocalPath(const std::string& relPath) const;
  // Sets an option of a served file ("/pub/a.zip") or of the server ("*"); see the
  // server's documentation. ClearRules removes them all.
  void SetRule(const std::string& key, const std::string& option, const std::string& value);
  void ClearRules();

  // Every line logged since the start (or the last ClearLog), in order.
  std::vector<FtpLogRecord> Log() const;
  // The commands received, "CMD arg" each ("USER nolt", "CWD /pub/").
  std::vector<std::string> Commands() const;
  // How many commands of this name were received.
  int Count(const std::string& cmd) const;
  // Waits up to timeoutMs for the log to satisfy done (events such as a disconnect
  // are logged a moment after the client has moved on); true when it did.
  bool WaitForLog(const std::function<bool(const std::vector<FtpLogRecord>&)>& done, int timeoutMs = 5000) const;
  void ClearLog();

 private:
  void WriteRules();

  TempDir dir_;
  int port_ = 0;
  ServerRules rules_;
  long long process_ = 0;
  long long lease_ = -1;
};

}  // namespace nolt::test
