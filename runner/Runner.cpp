#include "runner/Runner.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "core/DateTime.h"
#include "base/Text.h"
#include "platform/Files.h"

namespace nolt {
namespace {

// Priority class of each TProcessPriority, by ordinal.
constexpr std::uint32_t kPriorityClass[] = {plat::kIdlePriorityClass, plat::kNormalPriorityClass,
                                            plat::kHighPriorityClass, plat::kRealtimePriorityClass};

std::atomic<int> threadsRunning{0};

// The extension from the last '.' after the last path delimiter, with the dot, in
// upper case (A-Z only); empty when there is none.   "C:\DIR.X\FILE.Bat" -> ".BAT"
std::string UpperExtension(const std::string& path) {
  const std::string delimiters = std::string("\\:") + plat::kPathDelim;
  std::size_t dot = path.find_last_of("." + delimiters);
  if (dot == std::string::npos || path[dot] != '.') return {};
  return UpperCaseAscii(path.substr(dot));
}

// The system's text for an OS error code: at most 255 characters, without trailing
// blanks, control characters and full stops.
std::string SystemErrorText(plat::Process& sys, std::uint32_t code) {
  std::string text = sys.ErrorText(code).substr(0, 255);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '.')) text.pop_back();
  return text;
}

[[noreturn]] void RaiseLastError(plat::Process& sys) { throw ERunnerError(SystemErrorText(sys, sys.GetLastError())); }

// The message for a failed program lookup.
std::string LookupFailureText(std::uintptr_t result) {
  switch (result) {
    case plat::kSeOutOfMemory: return "The system is out of memory or resources";
    case plat::kSeFileNotFound: return "The specified file was not found";
    case plat::kSePathNotFound: return "The specified path was not found";
    case plat::kSeBadFormat: return "The .EXE file is invalid (non-Win32 .EXE or error in .EXE image)";
    case plat::kSeNoAssoc: return "There is no association for the specified file type";
    default: return {};
  }
}

// The short form of an existing path; raises ERunnerError with the system's text.
std::string ShortPath(plat::Process& sys, const std::string& path) {
  std::string result;
  if (sys.GetShortPathNameA(path, &result) == 0) RaiseLastError(sys);
  return result;
}

// A UTC FILETIME as a local TDateTime.
bool FileTimeToLocalDateTime(plat::Clock& clock, std::uint64_t utc, TDateTime* result) {
  std::uint64_t local;
  return clock.FileTimeToLocalFileTime(utc, &local) && FileTimeToDateTime(local, result);
}

bool IsWinNT(plat::Process& sys) {
  std::uint32_t platform = 0;
  return sys.GetVersionExA(&platform) && platform == plat::kVerPlatformWin32Nt;
}

bool QueryProcessTimes(plat::Process& sys, plat::Clock& clock, plat::ProcessHandle h, TAppInfo& App,
                       bool WithExitTime) {
  if (!IsWinNT(sys)) {
    App.StartTime = App.EndTime = 0;
    App.KernelTime = App.UserTime = 0;
    return true;
  }
  std::uint64_t creation, exit, kernel, user;
  if (!sys.GetProcessTimes(h, &creation, &exit, &kernel, &user)) return false;
  if (!FileTimeToLocalDateTime(clock, creation, &App.StartTime)) return false;
  App.EndTime = 0;
  if (WithExitTime && !FileTimeToLocalDateTime(clock, exit, &App.EndTime)) return false;
  App.KernelTime = kernel;
  App.UserTime = user;
  return true;
}

// Runs body on a new thread that nobody joins, counted in threadsRunning. An exception
// that leaves body ends the thread silently.
void Launch(std::function<void()> body) {
  ++threadsRunning;
  try {
    std::thread([body = std::move(body)] {
      try {
        body();
      } catch (...) {
      }
      --threadsRunning;
    }).detach();
  } catch (const std::system_error& e) {
    --threadsRunning;
    throw ERunnerError(e.what());
  }
}

}  // namespace

// ---- TWindowPosition

void TWindowPosition::Assign(const TObject* Source) {
  auto* other = dynamic_cast<const TWindowPosition*>(Source);
  if (!other) throw EConvertError(Source ? "Cannot assign this object to a TWindowPosition"
                                         : "Cannot assign a nil to a TWindowPosition");
  Left = other->Left;
  Top = other->Top;
  Width = other->Width;
  Height = other->Height;
}

// ---- TRunner

TRunner::TRunner(TComponent* AOwner) : TComponent(AOwner) {}

TRunner::~TRunner() {
  // Notifications still on their way find no runner from now on.
  *self_ = nullptr;
}

void TRunner::SetEnvironment(const TStringList* Value) {
  if (!Value) throw EConvertError("Cannot assign a nil to a TStringList");
  Environment = *Value;
}

void TRunner::SetPosition(const TWindowPosition* Value) {
  if (Value) Position.Assign(Value);
}

void TRunner::Execute() {
  plat::Process& sys = plat::process();

  // The program that opens FileToRun; a program file answers itself.
  std::string found;
  std::uintptr_t result = sys.FindExecutableA(FileToRun, "", &found);
  if (result <= 32) throw ERunnerError(LookupFailureText(result));

  plat::CommandLine commandLine;
  commandLine.program = ShortPath(sys, found);
  const std::string shortFile = ShortPath(sys, FileToRun);

  // A program runs by itself; a document goes to its program as the first argument.
  const std::string ext = UpperExtension(shortFile);
  if (ext != ".EXE" && ext != ".BAT" && ext != ".COM" && !sys.StartsByItself(shortFile))
    commandLine.document = shortFile;

  Parameters = Trim(Parameters);
  commandLine.parameters = Parameters;

  // Window placement goes over only when set: all four values then, as they stand.
  plat::StartupInfo startup;
  if (Position.Left != 0 || Position.Top != 0 || Position.Width != 0 || Position.Height != 0) {
    startup.dwFlags = plat::kStartfUsePosition | plat::kStartfUseSize;
    startup.dwX = Position.Left;
    startup.dwY = Position.Top;
    startup.dwXSize = Position.Width;
    startup.dwYSize = Position.Height;
  }
  startup.dwFlags |= plat::kStartfUseShowWindow;
  startup.wShowWindow = ShowState;

  // An empty list gives the one-NUL block: the caller's environment is passed on.
  const std::string block = BuildEnvironmentBlock(Environment);
  const std::string* environment = block.size() < 2 ? nullptr : &block;

  if (!sys.CreateProcessA(commandLine, kPriorityClass[Priority], environment, startup, &ProcessInfo))
    RaiseLastError(sys);

  // The idle thread's end tells the termination thread when the process handle they
  // share may be closed.
  std::promise<void> idleEnded;
  TWaitTerminateThread::Start(ProcessInfo.hProcess, ProcessInfo.hThread, this, idleEnded.get_future().share());
  TWaitIdleThread::Start(ProcessInfo.hProcess, this, std::move(idleEnded));
}

std::string BuildEnvironmentBlock(const TStringList& List) {
  std::string block;
  for (const std::string& line : List) {
    block += line;
    block += '\0';
  }
  block += '\0';
  return block;
}

bool IsWinNT() { return IsWinNT(plat::process()); }

bool QueryProcessTimes(plat::ProcessHandle ProcessHandle, TAppInfo& App, bool WithExitTime) {
  return QueryProcessTimes(plat::process(), plat::sysClock(), ProcessHandle, App, WithExitTime);
}

int WaitThreadsRunning() { return threadsRunning; }

// ---- TWaitTerminateThread

TWaitTerminateThread::TWaitTerminateThread(plat::ProcessHandle ProcessHandle, plat::ProcessHandle ThreadHandle,
                                           TRunner* Runner, std::shared_future<void> IdleEnded)
    : ProcessHandle(ProcessHandle),
      ThreadHandle(ThreadHandle),
      Runner(Runner),
      idleEnded_(std::move(IdleEnded)),
      sys_(plat::process()),
      clock_(plat::sysClock()),
      ui_(plat::ui()) {
  if (!QueryProcessTimes(sys_, clock_, ProcessHandle, AppInfo, false)) RaiseLastError(sys_);
  if (Runner) AppInfo.FileName = Runner->FileToRun;
}

void TWaitTerminateThread::Start(plat::ProcessHandle ProcessHandle, plat::ProcessHandle ThreadHandle,
                                 TRunner* Runner, std::shared_future<void> IdleEnded) {
  std::unique_ptr<TWaitTerminateThread> thread(
      new TWaitTerminateThread(ProcessHandle, ThreadHandle, Runner, std::move(IdleEnded)));
  Launch([t = thread.get()] {
    std::unique_ptr<TWaitTerminateThread> self(t);
    self->Execute();
  });
  thread.release();  // the thread frees it
}

void TWaitTerminateThread::Execute() {
  // A wait that fails (a handle that is not open) would fail again at once; the
  // thread ends without notification rather than spin.
  bool ended = sys_.WaitForSingleObject(ProcessHandle, plat::kInfinite) == plat::kWaitObject0;
  bool gathered = ended && QueryProcessTimes(sys_, clock_, ProcessHandle, AppInfo, true) &&
                  sys_.GetExitCodeProcess(ProcessHandle, &AppInfo.ExitCode);
  // The idle thread may still wait on the process handle: close it only after that.
  if (idleEnded_.valid()) idleEnded_.wait();
  // The handles are closed even when gathering failed, so that none leaks.
  bool closed = sys_.CloseHandle(ProcessHandle);
  closed = sys_.CloseHandle(ThreadHandle) && closed;
  if (gathered && closed) NotifyTerminate();
}

void TWaitTerminateThread::NotifyTerminate() {
  // The record travels as a copy; the event is looked up when the call runs on the
  // main thread, so one assigned after Execute is used, and a destroyed runner is not.
  ui_.PostToMainThread([runner = Runner, info = AppInfo]() mutable {
    TRunner* r = runner.Get();
    if (!r || !r->OnAppTerminate) return;
    TAppNotifyEvent handler = r->OnAppTerminate;  // the handler may free the runner
    handler(info);
  });
}

// ---- TWaitIdleThread

TWaitIdleThread::TWaitIdleThread(plat::ProcessHandle ProcessHandle, TRunner* Runner, std::promise<void> Ended)
    : ProcessHandle(ProcessHandle), Runner(Runner), ended_(std::move(Ended)), sys_(plat::process()), ui_(plat::ui()) {
  if (Runner) AppInfo.FileName = Runner->FileToRun;
}

void TWaitIdleThread::Start(plat::ProcessHandle ProcessHandle, TRunner* Runner, std::promise<void> Ended) {
  std::unique_ptr<TWaitIdleThread> thread(new TWaitIdleThread(ProcessHandle, Runner, std::move(Ended)));
  Launch([t = thread.get()] {
    std::unique_ptr<TWaitIdleThread> self(t);
    self->Execute();
  });
  thread.release();  // the thread frees it
}

void TWaitIdleThread::Execute() {
  // A program without a message queue (a console program, a batch file) is never idle
  // for input, and its wait fails at once each time: the thread then ends without
  // notification rather than spin.
  if (sys_.WaitForInputIdle(ProcessHandle, plat::kInfinite) == 0) NotifyIdle();
  ended_.set_value();
}

void TWaitIdleThread::NotifyIdle() {
  ui_.PostToMainThread([runner = Runner, info = AppInfo]() mutable {
    TRunner* r = runner.Get();
    if (!r || !r->OnAppIdle) return;
    TAppNotifyEvent handler = r->OnAppIdle;
    handler(info);
  });
}

}  // namespace nolt
