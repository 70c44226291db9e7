#include "tests/support/child/RunnerChild.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
extern char** environ;
#endif

namespace nolt::test {
namespace {

constexpr auto kLongest = std::chrono::seconds(60);

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// Waits for the file quit without a window.
void WaitFor(const std::string& quit) {
  auto end = std::chrono::steady_clock::now() + kLongest;
  while (!Exists(quit) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Keeps the processor busy for ms milliseconds, so that the process's times show
// work whatever the granularity of the system's accounting.
void Busy(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  volatile std::uint64_t n = 0;
  while (std::chrono::steady_clock::now() < end) n = n + 1;
}

#ifdef _WIN32
std::string quitFile;

LRESULT CALLBACK ChildWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  static auto end = std::chrono::steady_clock::now() + kLongest;
  if (msg == WM_TIMER) {
    if (Exists(quitFile) || std::chrono::steady_clock::now() > end) DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// A window with a message loop: the process becomes idle for input once it waits here.
void RunWindow(const std::string& quit) {
  quitFile = quit;
  WNDCLASSA wc = {};
  wc.lpfnWndProc = ChildWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "NoltRunnerChild";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "runner child", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              200, 100, nullptr, nullptr, wc.hInstance, nullptr);
  ShowWindow(hwnd, SW_SHOWNORMAL);
  SetTimer(hwnd, 1, 50, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}
#endif

void WriteReport(const std::string& path, int argc, char** argv) {
  std::ostringstream out;
#ifdef _WIN32
  out << "cmdline=" << GetCommandLineA() << "\n";
#else
  out << "cmdline=";
  for (int i = 0; i < argc; ++i) out << (i ? " " : "") << argv[i];
  out << "\n";
#endif
  for (int i = 0; i < argc; ++i) out << "arg=" << argv[i] << "\n";
  out << "cwd=" << std::filesystem::current_path().string() << "\n";
#ifdef _WIN32
  char* block = GetEnvironmentStringsA();
  for (char* p = block; *p; p += std::strlen(p) + 1) out << "env=" << p << "\n";
  FreeEnvironmentStringsA(block);
  out << "priority=" << GetPriorityClass(GetCurrentProcess()) << "\n";
  STARTUPINFOA si;
  GetStartupInfoA(&si);
  out << "startup=" << si.dwFlags << " " << si.wShowWindow << " " << si.dwX << " " << si.dwY << " " << si.dwXSize
      << " " << si.dwYSize << "\n";
#else
  for (char** e = environ; *e; ++e) out << "env=" << *e << "\n";
  out << "priority=" << getpriority(PRIO_PROCESS, 0) << "\n";
#endif
  // Written beside and renamed, so that a reader never sees half a report.
  std::string temp = path + ".part";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f << out.str();
  }
  std::filesystem::rename(temp, path);
}

}  // namespace

bool RunAsChild(int argc, char** argv, int* exitCode) {
  if (argc >= 4 && std::strcmp(argv[1], kChildSwitch) == 0) {
    WriteReport(argv[2], argc, argv);
    for (int i = 4; i + 1 < argc; ++i) {
      if (std::strcmp(argv[i], "--window") == 0) {
#ifdef _WIN32
        RunWindow(argv[i + 1]);
#else
        WaitFor(argv[i + 1]);
#endif
      } else if (std::strcmp(argv[i], "--wait") == 0) {
        WaitFor(argv[i + 1]);
      } else if (std::strcmp(argv[i], "--busy") == 0) {
        Busy(std::atoi(argv[i + 1]));
      }
    }
    *exitCode = std::atoi(argv[3]);
    return true;
  }
  if (argc == 1) {
    if (const char* report = std::getenv(kChildVariable)) {
      WriteReport(report, argc, argv);
      *exitCode = 0;
      return true;
    }
  }
  return false;
}

bool ChildReport::Has(const std::string& entry) const {
  for (const auto& e : env)
    if (e == entry) return true;
  return false;
}

ChildReport ReadChildReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("no child report at " + path);
  ChildReport r;
  for (std::string line; std::getline(in, line);) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "cmdline") r.commandLine = value;
    else if (key == "arg") r.args.push_back(value);
    else if (key == "env") r.env.push_back(value);
    else if (key == "cwd") r.cwd = value;
    else if (key == "priority") r.priority = std::atol(value.c_str());
    else if (key == "startup") r.startup = value;
  }
  return r;
}

std::string SelfPath() { return plat::files().ExecutablePath(); }

std::string WindowChildPath() {
  auto dir = std::filesystem::path(SelfPath()).parent_path();
#ifdef _WIN32
  return (dir / "runner_window_child.exe").string();
#else
  return (dir / "runner_window_child").string();
#endif
}

bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::vector<std::string> OwnVariables(const std::vector<std::string>& env) {
#ifdef _WIN32
  if (!UnderWine()) return env;
  std::vector<std::string> own;
  for (const auto& e : env)
    if (e.rfind("WINE", 0) != 0 && e.rfind("SystemDrive=", 0) != 0 && e.rfind("SystemRoot=", 0) != 0)
      own.push_back(e);
  return own;
#else
  return env;
#endif
}

}  // namespace nolt::test
