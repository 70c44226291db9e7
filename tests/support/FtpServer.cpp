#include "tests/support/FtpServer.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace nolt::test {

FtpServer::FtpServer() {
  std::filesystem::create_directory(dir_.path() / "root");
  WriteRules();
  const auto portFile = dir_.path() / "port.txt";
  process_ = SpawnPython({SupportScript("nolt_ftp_server.py"), "--root", UnixPath(dir_.path() / "root"), "--user",
                          User(), "--password", Password(), "--log", UnixPath(dir_.path() / "log.jsonl"), "--rules",
                          UnixPath(dir_.path() / "rules.json"), "--port-file", UnixPath(portFile), "--lease"},
                         dir_.path() / "server.out");
  // A loaded machine can take a few seconds to start python.
  int leasePort = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (std::filesystem::exists(portFile, ec)) {
      std::sscanf(ReadFile(portFile.string()).c_str(), "%d %d", &port_, &leasePort);
      if (port_ > 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (leasePort > 0) lease_ = OpenLease(leasePort, "");
  if (lease_ < 0) {
    std::string out;
    try {
      out = ReadFile((dir_.path() / "server.out").string());
    } catch (...) {
    }
    EndProcess(process_);
    throw std::runtime_error("the FTP test server did not start: " + out);
  }
}

FtpServer::~FtpServer() {
  CloseLease(lease_);
  // The server removes its port file as its last act.
  const auto portFile = dir_.path() / "port.txt";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (!std::filesystem::exists(portFile, ec)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EndProcess(process_);
}

void FtpServer::AddFile(const std::string& relPath, const std::string& bytes) { WriteFile(LocalPath(relPath), bytes); }

std::string FtpServer::LocalPath(const std::string& relPath) const {
  return (dir_.path() / "root" / std::filesystem::path(relPath).make_preferred()).string();
}

void FtpServer::SetRule(const std::string& key, const std::string& option, const std::string& value) {
  rules_[key][option] = value;
  WriteRules();
}

void FtpServer::ClearRules() {
  rules_.clear();
  WriteRules();
}

void FtpServer::WriteRules() {
  // Written beside and renamed, so the server never reads half a file.
  const auto side = dir_.path() / "rules.json.new";
  WriteFile(side.string(), RulesJson(rules_));
  std::filesystem::rename(side, dir_.path() / "rules.json");
}

std::vector<FtpLogRecord> FtpServer::Log() const {
  std::vector<FtpLogRecord> out;
  const auto log = dir_.path() / "log.jsonl";
  std::error_code ec;
  if (!std::filesystem::exists(log, ec)) return out;
  std::istringstream in(ReadFile(log.string()));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.back() != '}') continue;  // a line still being written
    const Json v = ParseJson(line);
    FtpLogRecord r;
    if (const Json* j = v.Get("session")) r.session = static_cast<int>(j->number);
    if (const Json* j = v.Get("cmd")) r.cmd = j->text;
    if (const Json* j = v.Get("arg")) r.arg = j->text;
    if (const Json* j = v.Get("event")) r.event = j->text;
    if (const Json* j = v.Get("path")) r.path = j->text;
    if (const Json* j = v.Get("bytes")) r.bytes = static_cast<long long>(j->number);
    if (const Json* j = v.Get("complete")) r.complete = j->boolean;
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::string> FtpServer::Commands() const {
  std::vector<std::string> out;
  for (const FtpLogRecord& r : Log())
    if (r.event.empty()) out.push_back(r.arg.empty() ? r.cmd : r.cmd + " " + r.arg);
  return out;
}

int FtpServer::Count(const std::string& cmd) const {
  int n = 0;
  for (const FtpLogRecord& r : Log())
    if (r.event.empty() && r.cmd == cmd) ++n;
  return n;
}

bool FtpServer::WaitForLog(const std::function<bool(const std::vector<FtpLogRecord>&)>& done, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done(Log())) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void FtpServer::ClearLog() {
  std::error_code ec;
  std::filesystem::remove(dir_.path() / "log.jsonl", ec);
}

}  // namespace nolt::test
