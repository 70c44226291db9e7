// The HTTP test server of tests/support/nolt_http_server.py, started and stopped by a
// test. Works the same for the Linux tests and for the Windows tests under Wine: a
// Windows program there can start the Linux python3, which then serves on loopback.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"

namespace nolt::test {

// One request as the server logged it.
struct HttpRequestRecord {
  std::string method;
  std::string target;  // as received, query included; absolute form when sent to a proxy
  std::string path;
  bool absolute = false;
  std::vector<std::pair<std::string, std::string>> headers;
  int clientPort = 0;
  long long bodyLength = 0;

  // The value of the first header of that name (case-insensitive), or "" when absent.
  std::string Header(const std::string& name) const;
  int HeaderCount(const std::string& name) const;
};

class HttpServer {
 public:
  // Starts the server on a free loopback port, or on the given one; throws
  // std::runtime_error when it does not come up.
  // With tls, the server also serves the same files over HTTPS on a second port
  // (TlsPort: tlsPort, or a free one), with a certificate for 127.0.0.1 and localhost
  // from the test authority of tests/support/tls, which only a test that asks for it
  // trusts.
  explicit HttpServer(int port = 0, bool tls = false, int tlsPort = 0);
  // Stops the server and waits for it to end.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int Port() const { return port_; }
  // "127.0.0.1:<port>"
  std::string HostPort() const;
  // "http://127.0.0.1:<port>" + path
  std::string Url(const std::string& path) const;
  int TlsPort() const { return tlsPort_; }
  // "https://127.0.0.1:<TLS port>" + path
  std::string TlsUrl(const std::string& path) const;

  // Writes a file that the server serves at "/" + relPath ('/'-separated).
  void AddFile(const std::string& relPath, const std::string& bytes);
  // The local path of a served file, in the test program's own notation.
  std::string LocalPath(const std::string& relPath) const;
  // Sets a behaviour option for a path (see the server's documentation), e.g.
  // SetRule("/a.cab", "lastmod", "omit").
  void SetRule(const std::string& path, const std::string& option, const std::string& value);
  // Removes every option of a path.
  void ClearRules(const std::string& path);

  // Every request received since the start (or the last ClearLog), in order.
  std::vector<HttpRequestRecord> Requests() const;
  void ClearLog();

 private:
  void Start(int port, bool tls, int tlsPort);
  void Stop();
  void WriteRules();

  TempDir dir_;
  int port_ = 0;
  int tlsPort_ = 0;
  std::map<std::string, std::map<std::string, std::string>> rules_;
  long long process_ = 0;  // Linux: the server's pid
  long long lease_ = -1;   // the socket that keeps the server alive
};

}  // namespace nolt::test
