#include "tests/support/ServerProcess.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace nolt::test {
namespace {

class JsonReader {
 public:
  explicit JsonReader(const std::string& s) : s_(s) {}

  Json Value() {
    Skip();
    if (pos_ >= s_.size()) throw std::runtime_error("JSON: unexpected end");
    char c = s_[pos_];
    Json v;
    if (c == '{') {
      v.type = Json::Object;
      ++pos_;
      Skip();
      if (Peek('}')) return ++pos_, v;
      for (;;) {
        Skip();
        std::string key = StringValue();
        Skip();
        Expect(':');
        v.members.emplace_back(key, Value());
        Skip();
        if (Peek(',')) { ++pos_; continue; }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.type = Json::Array;
      ++pos_;
      Skip();
      if (Peek(']')) return ++pos_, v;
      for (;;) {
        v.items.push_back(Value());
        Skip();
        if (Peek(',')) { ++pos_; continue; }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.type = Json::String;
      v.text = StringValue();
      return v;
    }
    if (s_.compare(pos_, 4, "true") == 0) return pos_ += 4, v.type = Json::Bool, v.boolean = true, v;
    if (s_.compare(pos_, 5, "false") == 0) return pos_ += 5, v.type = Json::Bool, v;
    if (s_.compare(pos_, 4, "null") == 0) return pos_ += 4, v;
    std::size_t used = 0;
    v.type = Json::Number;
    v.number = std::stod(s_.substr(pos_), &used);
    pos_ += used;
    return v;
  }

 private:
  void Skip() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) ++pos_;
  }
  bool Peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void Expect(char c) {
    if (!Peek(c)) throw std::runtime_error(std::string("JSON: expected ") + c);
    ++pos_;
  }
  std::string StringValue() {
    Expect('"');
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      char e = s_.at(pos_++);
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(pos_, 4), nullptr, 16));
          pos_ += 4;
          // The server reads header bytes as Latin-1: a code point below 256 is the byte received.
          if (cp < 0x100) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: out += e; break;
      }
    }
    Expect('"');
    return out;
  }

  const std::string& s_;
  std::size_t pos_ = 0;
};

}  // namespace

Json ParseJson(const std::string& text) { return JsonReader(text).Value(); }

std::string JsonQuote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string RulesJson(const ServerRules& rules) {
  std::string json = "{";
  bool firstKey = true;
  for (const auto& [key, options] : rules) {
    if (!firstKey) json += ", ";
    firstKey = false;
    json += JsonQuote(key) + ": {";
    bool first = true;
    for (const auto& [k, v] : options) {
      if (!first) json += ", ";
      first = false;
      json += JsonQuote(k) + ": " + JsonQuote(v);
    }
    json += "}";
  }
  return json + "}";
}

std::string SupportScript(const std::string& name) {
  const char* src = std::getenv("NOLT_SOURCE_DIR");
  if (!src) throw std::runtime_error("NOLT_SOURCE_DIR is not set");
  return std::string(src) + "/tests/support/" + name;
}

#ifdef _WIN32
// The Linux path of a file of the Wine prefix, for the Linux server.
std::string UnixPath(const std::filesystem::path& p) {
  using Convert = char*(__cdecl*)(const wchar_t*);
  auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) throw std::runtime_error("not running under Wine: cannot start the Linux test server");
  char* unix = convert(p.wstring().c_str());
  if (!unix) throw std::runtime_error("no Linux path for " + p.string());
  std::string s = unix;
  ::HeapFree(::GetProcessHeap(), 0, unix);
  return s;
}

long long SpawnPython(const std::vector<std::string>& args, const std::filesystem::path& output) {
  // Under Wine, CreateProcess of a Linux executable starts it directly; no
  // process handle comes back, so the lease connection ends the server.
  std::string cmd = "Z:\\usr\\bin\\python3";
  for (const auto& a : args) cmd += " \"" + a + "\"";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = ::CreateFileW(output.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  BOOL ok = ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  if (!ok) throw std::runtime_error("cannot start " + cmd);
  if (pi.hThread) ::CloseHandle(pi.hThread);
  if (pi.hProcess) ::CloseHandle(pi.hProcess);
  return 0;
}

void EndProcess(long long) {}

long long OpenLease(int port, const std::string& greeting) {
  static bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  addr.sin_addr.s_addr = htonl(0x7F000001);
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (!greeting.empty() &&
       ::send(s, greeting.data(), static_cast<int>(greeting.size()), 0) != static_cast<int>(greeting.size()))) {
    ::closesocket(s);
    return -1;
  }
  return static_cast<long long>(s);
}

void CloseLease(long long s) { ::closesocket(static_cast<SOCKET>(s)); }
#else
std::string UnixPath(const std::filesystem::path& p) { return p.string(); }

long long SpawnPython(const std::vector<std::string>& args, const std::filesystem::path& output) {
  std::vector<std::string> all = {"/usr/bin/python3"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start /usr/bin/python3");
  return pid;
}

void EndProcess(long long process) {
  if (process <= 0) return;
  const pid_t pid = static_cast<pid_t>(process);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

long long OpenLease(int port, const std::string& greeting) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (!greeting.empty() &&
       ::send(s, greeting.data(), greeting.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(greeting.size()))) {
    ::close(s);
    return -1;
  }
  return s;
}

void CloseLease(long long s) { ::close(static_cast<int>(s)); }
#endif


}  // namespace nolt::test
