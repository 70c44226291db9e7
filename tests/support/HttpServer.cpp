#include "tests/support/HttpServer.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ServerProcess.h"

namespace nolt::test {
namespace {

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string HttpRequestRecord::Header(const std::string& name) const {
  for (const auto& h : headers)
    if (IEquals(h.first, name)) return h.second;
  return {};
}

int HttpRequestRecord::HeaderCount(const std::string& name) const {
  int n = 0;
  for (const auto& h : headers)
    if (IEquals(h.first, name)) ++n;
  return n;
}

HttpServer::HttpServer(int port, bool tls, int tlsPort) {
  std::filesystem::create_directory(dir_.path() / "www");
  WriteFile((dir_.path() / "rules.json").string(), "{}");
  // A fixed port may still be held by a server of another test that is ending:
  // try again for a while before giving up.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(port || tlsPort ? 120 : 0);
  for (;;) {
    try {
      Start(port, tls, tlsPort);
      return;
    } catch (const std::runtime_error&) {
      if (std::chrono::steady_clock::now() > deadline) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Start(int port, bool tls, int tlsPort) {
  const auto portFile = dir_.path() / "port.txt";
  const auto tlsPortFile = dir_.path() / "tls-port.txt";
  const std::string script = SupportScript("nolt_http_server.py");
  std::vector<std::string> args = {script, "--root", UnixPath(dir_.path() / "www"), "--log",
                                   UnixPath(dir_.path() / "log.jsonl"), "--rules", UnixPath(dir_.path() / "rules.json"),
                                   "--port-file", UnixPath(portFile), "--lease", "--port", std::to_string(port)};
  if (tls) {
    // The server writes the TLS port before the plain one, so both are known together.
    const std::string certs = script.substr(0, script.rfind('/')) + "/tls/";  // a Linux path
    args.insert(args.end(), {"--tls-cert", certs + "server-cert.pem", "--tls-key", certs + "server-key.pem",
                             "--tls-port-file", UnixPath(tlsPortFile), "--tls-port", std::to_string(tlsPort)});
  }
  process_ = SpawnPython(args, dir_.path() / "server.out");
  // A loaded machine can take a few seconds to start python.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (std::filesystem::exists(portFile, ec)) {
      port_ = std::atoi(ReadFile(portFile.string()).c_str());
      if (port_ > 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (port_ > 0 && tls) tlsPort_ = std::atoi(ReadFile(tlsPortFile.string()).c_str());
  if (port_ > 0) lease_ = OpenLease(port_, "GET /_lease HTTP/1.1\r\nHost: lease\r\n\r\n");
  if (lease_ < 0) {
    std::string out;
    try {
      out = ReadFile((dir_.path() / "server.out").string());
    } catch (...) {
    }
    EndProcess(process_);
    throw std::runtime_error("the HTTP test server did not start: " + out);
  }
}

void HttpServer::Stop() {
  if (lease_ >= 0) CloseLease(lease_);
  lease_ = -1;
  // The server removes its port file as its last act.
  const auto portFile = dir_.path() / "port.txt";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (!std::filesystem::exists(portFile, ec)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EndProcess(process_);
  process_ = 0;
}

std::string HttpServer::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string HttpServer::Url(const std::string& path) const { return "http://" + HostPort() + path; }

std::string HttpServer::TlsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(tlsPort_) + path;
}

void HttpServer::AddFile(const std::string& relPath, const std::string& bytes) { WriteFile(LocalPath(relPath), bytes); }

std::string HttpServer::LocalPath(const std::string& relPath) const {
  return (dir_.path() / "www" / std::filesystem::path(relPath).make_preferred()).string();
}

void HttpServer::SetRule(const std::string& path, const std::string& option, const std::string& value) {
  rules_[path][option] = value;
  WriteRules();
}

void HttpServer::ClearRules(const std::string& path) {
  rules_.erase(path);
  WriteRules();
}

void HttpServer::WriteRules() {
  const std::string json = RulesJson(rules_);
  // Written beside and renamed, so the server never reads half a file.
  const auto rules = dir_.path() / "rules.json";
  const auto side = dir_.path() / "rules.json.new";
  WriteFile(side.string(), json);
  std::filesystem::rename(side, rules);
}

std::vector<HttpRequestRecord> HttpServer::Requests() const {
  std::vector<HttpRequestRecord> out;
  const auto log = dir_.path() / "log.jsonl";
  std::error_code ec;
  if (!std::filesystem::exists(log, ec)) return out;
  std::istringstream in(ReadFile(log.string()));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.back() != '}') continue;  // a line still being written
    Json v = ParseJson(line);
    HttpRequestRecord r;
    if (const Json* j = v.Get("method")) r.method = j->text;
    if (const Json* j = v.Get("target")) r.target = j->text;
    if (const Json* j = v.Get("path")) r.path = j->text;
    if (const Json* j = v.Get("absolute")) r.absolute = j->boolean;
    if (const Json* j = v.Get("client_port")) r.clientPort = static_cast<int>(j->number);
    if (const Json* j = v.Get("body_length")) r.bodyLength = static_cast<long long>(j->number);
    if (const Json* j = v.Get("headers"))
      for (const Json& h : j->items)
        if (h.items.size() == 2) r.headers.emplace_back(h.items[0].text, h.items[1].text);
    out.push_back(std::move(r));
  }
  return out;
}

void HttpServer::ClearLog() {
  std::error_code ec;
  std::filesystem::remove(dir_.path() / "log.jsonl", ec);
}

}  // namespace nolt::test
