// What the test servers of this folder share: /usr/bin/python3 started with a server
// script, natively or from a Windows test program under Wine (which starts the Linux
// python3 directly); the lease connection that ends a server with the test that
// started it; and the JSON of their logs and rules.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nolt::test {

// A parsed JSON value.
struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json* Get(const std::string& key) const {
    for (const auto& m : members)
      if (m.first == key) return &m.second;
    return nullptr;
  }
};

// Parses one JSON text; throws std::runtime_error when it is none.
Json ParseJson(const std::string& text);
// A JSON string literal of s.
std::string JsonQuote(const std::string& s);
// {"key": {"option": "value"}, ...}: the rules file of a test server.
using ServerRules = std::map<std::string, std::map<std::string, std::string>>;
std::string RulesJson(const ServerRules& rules);

// The path of a script of tests/support (from NOLT_SOURCE_DIR), for python3.
std::string SupportScript(const std::string& name);
// A path of this program's file system as the Linux python3 names it.
std::string UnixPath(const std::filesystem::path& p);
// Starts /usr/bin/python3 with args, its output going to the file output. The
// process to give EndProcess (0 when the target gives none back).
long long SpawnPython(const std::vector<std::string>& args, const std::filesystem::path& output);
// Waits a little for the process to end, then kills it.
void EndProcess(long long process);
// Connects to a server's lease port on loopback and sends greeting (may be empty);
// the server ends when the connection closes. -1 when it cannot connect.
long long OpenLease(int port, const std::string& greeting);
void CloseLease(long long lease);

}  // namespace nolt::test
