// Win32 implementation of the process seam. Must contain only Win32-specific code.
#include "platform/Process.h"

#include "platform/win32/system/SystemMessage.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <initializer_list>
#include <vector>

namespace plat {
namespace {

HANDLE H(ProcessHandle h) { return reinterpret_cast<HANDLE>(h); }

std::uint64_t U64(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// True when every text may go to the system, which would read it only up to a NUL.
bool Passable(std::initializer_list<const std::string*> texts) {
  for (const std::string* t : texts)
    if (HoldsNul(*t)) {
      ::SetLastError(ERROR_INVALID_NAME);
      return false;
    }
  return true;
}

class Win32Process final : public Process {
 public:
  std::uintptr_t FindExecutableA(const std::string& file, const std::string& directory,
                                 std::string* program) override {
    if (!Passable({&file, &directory})) return kSeFileNotFound;
    char buffer[MAX_PATH + 1] = {};
    HINSTANCE r = ::FindExecutableA(file.c_str(), directory.empty() ? nullptr : directory.c_str(), buffer);
    auto result = reinterpret_cast<std::uintptr_t>(r);
    if (result > 32) *program = buffer;
    return result;
  }

  bool StartsByItself(const std::string&) override { return false; }

  std::uint32_t GetShortPathNameA(const std::string& path, std::string* shortPath) override {
    if (!Passable({&path})) return 0;
    // The answer is the length, or the size needed (with its NUL) when the buffer is
    // too small; a path that grows between two calls is asked for again.
    std::vector<char> buffer(256);
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD n = ::GetShortPathNameA(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return 0;
      if (n < buffer.size()) {
        shortPath->assign(buffer.data(), n);
        return n;
      }
      buffer.assign(n + 1, '\0');
    }
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }

  bool CreateProcessA(const CommandLine& commandLine, std::uint32_t creationFlags, const std::string* environment,
                      const StartupInfo& startup, ProcessInformation* info) override {
    if (!Passable({&commandLine.program, &commandLine.document, &commandLine.parameters})) return false;
    // CreateProcessA may write into its command line, so it gets a copy.
    std::string text = commandLine.Text();
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = startup.dwFlags;
    si.dwX = static_cast<DWORD>(startup.dwX);
    si.dwY = static_cast<DWORD>(startup.dwY);
    si.dwXSize = static_cast<DWORD>(startup.dwXSize);
    si.dwYSize = static_cast<DWORD>(startup.dwYSize);
    si.wShowWindow = startup.wShowWindow;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    void* env = environment ? const_cast<char*>(environment->data()) : nullptr;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, creationFlags, env, nullptr, &si, &pi))
      return false;
    info->hProcess = reinterpret_cast<ProcessHandle>(pi.hProcess);
    info->hThread = reinterpret_cast<ProcessHandle>(pi.hThread);
    info->dwProcessId = pi.dwProcessId;
    info->dwThreadId = pi.dwThreadId;
    return true;
  }

  std::uint32_t WaitForSingleObject(ProcessHandle h, std::uint32_t timeoutMs) override {
    return ::WaitForSingleObject(H(h), timeoutMs);
  }

  std::uint32_t WaitForInputIdle(ProcessHandle h, std::uint32_t timeoutMs) override {
    return ::WaitForInputIdle(H(h), timeoutMs);
  }

  bool GetExitCodeProcess(ProcessHandle h, std::uint32_t* exitCode) override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(H(h), &code)) return false;
    *exitCode = code;
    return true;
  }

  bool GetProcessTimes(ProcessHandle h, std::uint64_t* creation, std::uint64_t* exit, std::uint64_t* kernel,
                       std::uint64_t* user) override {
    FILETIME c, e, k, u;
    if (!::GetProcessTimes(H(h), &c, &e, &k, &u)) return false;
    *creation = U64(c);
    *exit = U64(e);
    *kernel = U64(k);
    *user = U64(u);
    return true;
  }

  bool CloseHandle(ProcessHandle h) override { return ::CloseHandle(H(h)) != FALSE; }

  ElevatedRun RunElevated(const std::string& program, const std::string& parameters,
                          std::uint32_t* exitCode) override {
    if (!Passable({&program, &parameters})) return ElevatedRun::Failed;
    std::string cwd(::GetCurrentDirectoryA(0, nullptr), '\0');
    cwd.resize(::GetCurrentDirectoryA(static_cast<DWORD>(cwd.size()), cwd.data()));
    // The shell may hand the start to COM; it asks for an apartment on this thread.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOA sei;
    ZeroMemory(&sei, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = "runas";
    sei.lpFile = program.c_str();
    sei.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    sei.lpDirectory = cwd.empty() ? nullptr : cwd.c_str();
    sei.nShow = SW_SHOWNORMAL;
    const BOOL started = ::ShellExecuteExA(&sei);
    const DWORD error = ::GetLastError();
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (!started || !sei.hProcess) {
      ::SetLastError(started ? ERROR_INVALID_HANDLE : error);
      return started || error != ERROR_CANCELLED ? ElevatedRun::Failed : ElevatedRun::Declined;
    }
    DWORD code = 1;
    const bool ended = ::WaitForSingleObject(sei.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                       ::GetExitCodeProcess(sei.hProcess, &code);
    const DWORD waitError = ::GetLastError();
    ::CloseHandle(sei.hProcess);
    if (!ended) {
      ::SetLastError(waitError);
      return ElevatedRun::Failed;
    }
    *exitCode = code;
    return ElevatedRun::Ended;
  }

  bool GetVersionExA(std::uint32_t* platformId) override {
    OSVERSIONINFOA vi;
    ZeroMemory(&vi, sizeof vi);
    vi.dwOSVersionInfoSize = sizeof vi;
    if (!::GetVersionExA(&vi)) return false;
    *platformId = vi.dwPlatformId;
    return true;
  }

  std::uint32_t GetLastError() override { return ::GetLastError(); }

  std::string ErrorText(std::uint32_t code) override {
    return win32::SystemMessage(code);
  }
};

}  // namespace

template <> Process& SystemInstance<Process>() {
  static Win32Process* instance = new Win32Process;
  return *instance;
}

}  // namespace plat
