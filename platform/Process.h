// Process seam: find the program for a file, shorten a path, create a process with a
// priority, window placement, show state and environment, wait for it to end or to
// become ready for input, and read its exit code and times. Shaped like the Win32
// calls it mirrors (FindExecutableA, GetShortPathNameA, CreateProcessA,
// WaitForSingleObject, WaitForInputIdle, GetExitCodeProcess, GetProcessTimes,
// CloseHandle, GetVersionExA, FormatMessageA); Linux provides the same operations
// with posix_spawn, xdg-open and /proc.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Seam.h"

namespace plat {

// A process or thread handle: the Win32 HANDLE on Windows; on Linux a number that
// names a started child in this seam's own table. Values are never reused there, so
// a closed handle stays invalid.
using ProcessHandle = std::intptr_t;
inline constexpr ProcessHandle kNoProcess = 0;

// CreateProcessA's record of the new process.
struct ProcessInformation {
  ProcessHandle hProcess = kNoProcess;
  ProcessHandle hThread = kNoProcess;
  std::uint32_t dwProcessId = 0;
  std::uint32_t dwThreadId = 0;
};

// The fields of STARTUPINFO that a start hands over; the rest stay zero.
inline constexpr std::uint32_t kStartfUseShowWindow = 0x01;
inline constexpr std::uint32_t kStartfUseSize = 0x02;
inline constexpr std::uint32_t kStartfUsePosition = 0x04;

struct StartupInfo {
  std::uint32_t dwFlags = 0;
  std::int32_t dwX = 0;
  std::int32_t dwY = 0;
  std::int32_t dwXSize = 0;
  std::int32_t dwYSize = 0;
  std::uint16_t wShowWindow = 0;
};

// Priority classes, as CreateProcessA's creation flags.
inline constexpr std::uint32_t kIdlePriorityClass = 0x40;
inline constexpr std::uint32_t kNormalPriorityClass = 0x20;
inline constexpr std::uint32_t kHighPriorityClass = 0x80;
inline constexpr std::uint32_t kRealtimePriorityClass = 0x100;

// FindExecutableA's failure results (a success is any value above 32).
inline constexpr std::uintptr_t kSeOutOfMemory = 0;
inline constexpr std::uintptr_t kSeFileNotFound = 2;
inline constexpr std::uintptr_t kSePathNotFound = 3;
inline constexpr std::uintptr_t kSeAccessDenied = 5;
inline constexpr std::uintptr_t kSeBadFormat = 11;
inline constexpr std::uintptr_t kSeNoAssoc = 31;

// Wait results and the endless timeout.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// GetExitCodeProcess's answer while the process runs.
inline constexpr std::uint32_t kStillActive = 259;

// GetVersionExA's platform of the NT family.
inline constexpr std::uint32_t kVerPlatformWin32Nt = 2;

// A command line in its parts. Windows receives them joined into one text (Text());
// Linux builds the new program's arguments from them: the program, the document as
// one argument, then the parameters split into words as a shell would (quotes
// respected, nothing expanded).
struct CommandLine {
  std::string program;     // the program to run
  std::string document;    // the document it opens; empty when the program runs by itself
  std::string parameters;  // further arguments as one text; empty when there are none

  // "program document parameters", single spaces, no quotes, empty parts left out.
  std::string Text() const {
    std::string text = program;
    if (!document.empty()) text += " " + document;
    if (!parameters.empty()) text += " " + parameters;
    return text;
  }
};

// How RunElevated went.
enum class ElevatedRun {
  Ended,        // the program ran with administrator rights and has ended
  Declined,     // the user refused the system's consent prompt
  Unavailable,  // the system has no elevation of its own (Linux)
  Failed,       // it could not be started (GetLastError tells why)
};

// A path or a part of a command line that holds a NUL byte fails (kSeFileNotFound,
// 0 or false; the error is ERROR_INVALID_NAME on Windows, EINVAL on Linux): the
// system would read it only up to the NUL. An environment block is made of NULs.
class Process {
 public:
  virtual ~Process() = default;

  // The program that opens file (directory: where to look for a relative file; empty
  // for the current directory). Returns a value above 32 and sets *program on success,
  // else one of the kSe* results. Windows asks the shell's associations (a program
  // file answers itself); Linux answers a file with the execute permission with
  // itself and any other existing file with the full path of xdg-open.
  virtual std::uintptr_t FindExecutableA(const std::string& file, const std::string& directory,
                                         std::string* program) = 0;
  // Whether the system starts this file by itself whatever its name: on Linux a file
  // with the execute permission; never on Windows, where only the extension tells.
  virtual bool StartsByItself(const std::string& path) = 0;
  // The short (8.3) form of an existing path in *shortPath; returns its length, or 0
  // on failure (GetLastError tells why). A form of any length is returned whole.
  // Linux has no short forms: an existing path is returned as it is.
  virtual std::uint32_t GetShortPathNameA(const std::string& path, std::string* shortPath) = 0;

  // Starts a process: creationFlags is a priority class (Linux: a nice value of 19,
  // 0, -10 or -20, applied when permitted, right after the start); environment is a
  // block of NAME=value texts each ending in a NUL, one more NUL after the last, or
  // null to pass the caller's own on. Handles are not inherited; the new process
  // starts in the caller's current directory. Linux ignores window placement and show
  // state, which an arbitrary X program cannot be given. False on failure.
  virtual bool CreateProcessA(const CommandLine& commandLine, std::uint32_t creationFlags,
                              const std::string* environment, const StartupInfo& startup,
                              ProcessInformation* info) = 0;

  // Waits up to timeoutMs (kInfinite: without limit) for the process to end; returns
  // kWaitObject0, kWaitTimeout, or kWaitFailed (for a handle that is not open).
  virtual std::uint32_t WaitForSingleObject(ProcessHandle h, std::uint32_t timeoutMs) = 0;
  // Waits until the process is ready for input; returns 0, kWaitTimeout or kWaitFailed.
  // Windows: until it waits for input in its message loop; it fails at once for a
  // program without a message queue (a console program or a batch file). Linux: a
  // started process is ready at once (its program has been loaded when CreateProcessA
  // returns).
  virtual std::uint32_t WaitForInputIdle(ProcessHandle h, std::uint32_t timeoutMs) = 0;
  // The exit code, or kStillActive while the process runs. On Linux a process ended by
  // a signal gives 128 plus the signal number, as a shell reports it.
  virtual bool GetExitCodeProcess(ProcessHandle h, std::uint32_t* exitCode) = 0;
  // Creation and exit time as FILETIME values (100 ns units since 1601-01-01, UTC; the
  // exit time is 0 while the process runs), kernel and user time in 100 ns units.
  virtual bool GetProcessTimes(ProcessHandle h, std::uint64_t* creation, std::uint64_t* exit,
                               std::uint64_t* kernel, std::uint64_t* user) = 0;
  virtual bool CloseHandle(ProcessHandle h) = 0;

  // Starts program with administrator rights, with parameters as its command line
  // after the program, and waits for it to end; *exitCode is then its exit code.
  // Windows: ShellExecuteExA with the verb "runas", which shows the system's consent
  // prompt, once; the program starts in the caller's current directory where the
  // system allows it. Linux has no elevation of its own: Unavailable, at once.
  virtual ElevatedRun RunElevated(const std::string& program, const std::string& parameters,
                                  std::uint32_t* exitCode) = 0;

  // The platform id of the system (kVerPlatformWin32Nt on every system that runs us).
  virtual bool GetVersionExA(std::uint32_t* platformId) = 0;

  // The error code of the last failed call of this seam on this thread: a Win32 error
  // number on Windows, an errno value on Linux.
  virtual std::uint32_t GetLastError() = 0;
  // The system's text for such a code (FormatMessageA, strerror), as the system gives it.
  virtual std::string ErrorText(std::uint32_t code) = 0;
};

inline Process& process() { return Use<Process>(); }

}  // namespace plat
