// TRunner: a non-visual component that starts a program, or opens a document with the
// program associated with its type, with a priority class, window placement, show
// state, parameters and environment, and reports through events when the program has
// become ready for input and when it has ended. Two wait threads per start watch the
// program and deliver the events on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Component.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Ui.h"

namespace nolt {

// Stored as one byte; the ordinal values are fixed.
enum TProcessPriority : std::uint8_t { ppIdle = 0, ppNormal = 1, ppHigh = 2, ppRealTime = 3 };

// The ordinal is the new window's show command (SW_HIDE ... SW_SHOWDEFAULT).
enum TWindowShowState : std::uint8_t {
  wssHide = 0,
  wssNormal = 1,
  wssShowMinimized = 2,
  wssShowMaximized = 3,
  wssShowNoActivate = 4,
  wssShow = 5,
  wssMinimize = 6,
  wssShowMinNoActive = 7,
  wssShowNA = 8,
  wssRestore = 9,
  wssShowDefault = 10,
};

// A list of text lines.
using TStringList = std::vector<std::string>;

// The launcher's failures; a message text only.
class ERunnerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The runtime's assignment error: an object refused as the source of a copy.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where and how large the new program's window is, in screen pixels. All four 0: the
// system places and sizes the window itself.
class TWindowPosition : public TObject {
 public:
  TWindowPosition() = default;
  // Copies the four values from another TWindowPosition; any other source (or none)
  // raises EConvertError.
  virtual void Assign(const TObject* Source);

  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
};

// What the events learn about a started program.
struct TAppInfo {
  std::string FileName;         // FileToRun when the wait thread was set up
  std::uint32_t ExitCode = 0;   // 0 until known
  TDateTime StartTime = 0;      // creation time, local
  TDateTime EndTime = 0;        // exit time, local; 0 until known
  std::uint64_t KernelTime = 0; // 100 ns units
  std::uint64_t UserTime = 0;   // 100 ns units
};

// Receives the record by reference for the length of the call; no Sender.
using TAppNotifyEvent = std::function<void(TAppInfo& App)>;

class TRunner : public TComponent {
 public:
  explicit TRunner(TComponent* AOwner = nullptr);
  ~TRunner() override;
  TRunner(const TRunner&) = delete;
  TRunner& operator=(const TRunner&) = delete;

  // Starts FileToRun (a program, or a document with its program) and returns at once;
  // raises ERunnerError when nothing could be started. Parameters is left trimmed
  // once the start has got as far as the command line.
  void Execute();

  // Published properties, in declaration order.
  std::string FileToRun;
  TProcessPriority Priority = ppNormal;
  // One NAME=value line per variable, passed as it stands; empty: the new program
  // inherits the caller's environment.
  TStringList Environment;
  TWindowPosition Position;
  TWindowShowState ShowState = wssShow;
  std::string Parameters;
  TAppNotifyEvent OnAppTerminate;
  TAppNotifyEvent OnAppIdle;

  // The setters of the owned objects copy; an absent list raises EConvertError, an
  // absent position is ignored.
  void SetEnvironment(const TStringList* Value);
  void SetPosition(const TWindowPosition* Value);

  // The last started process as the system returned it. Its handles belong to the
  // termination wait thread, which closes them when the program has ended.
  plat::ProcessInformation ProcessInfo;

 private:
  friend class TRunnerLink;
  // The wait threads reach the runner only through this, on the main thread; it is
  // emptied when the runner goes, so a late notification finds no runner.
  std::shared_ptr<TRunner*> self_ = std::make_shared<TRunner*>(this);
};

// Each line followed by a NUL, then one more NUL: "A=1\0B=2\0\0"; an empty list gives "\0".
std::string BuildEnvironmentBlock(const TStringList& List);

// True when the system is of the NT family.
bool IsWinNT();

// Fills StartTime, EndTime (0 unless WithExitTime), KernelTime and UserTime of App from
// the process's times; leaves FileName and ExitCode alone. Outside the NT family the
// four stay 0. False when the times cannot be read or converted.
bool QueryProcessTimes(plat::ProcessHandle ProcessHandle, TAppInfo& App, bool WithExitTime);

// A runner as the wait threads hold it: a plain reference that becomes empty when the
// runner is destroyed. Read only on the main thread.
class TRunnerLink {
 public:
  TRunnerLink() = default;
  explicit TRunnerLink(TRunner* Runner) {
    if (Runner) link_ = Runner->self_;
  }
  TRunner* Get() const {
    auto p = link_.lock();
    return p ? *p : nullptr;
  }

 private:
  std::weak_ptr<TRunner*> link_;
};

// Waits until the process has ended, gathers its exit code and times, closes its
// process and thread handles and fires the runner's OnAppTerminate on the main thread.
// Created by Start; the thread frees itself when done.
class TWaitTerminateThread final {
 public:
  // Raises ERunnerError (and starts nothing) when the start time cannot be read.
  // IdleEnded, when valid, becomes ready when the idle thread of the same start no
  // longer uses the process handle; the handles are closed, and OnAppTerminate fired,
  // only after that.
  static void Start(plat::ProcessHandle ProcessHandle, plat::ProcessHandle ThreadHandle, TRunner* Runner,
                    std::shared_future<void> IdleEnded = {});

 private:
  TWaitTerminateThread(plat::ProcessHandle ProcessHandle, plat::ProcessHandle ThreadHandle, TRunner* Runner,
                       std::shared_future<void> IdleEnded);
  void Execute();
  void NotifyTerminate();

  plat::ProcessHandle ProcessHandle;
  plat::ProcessHandle ThreadHandle;
  TRunnerLink Runner;
  TAppInfo AppInfo;
  std::shared_future<void> idleEnded_;
  plat::Process& sys_;
  plat::Clock& clock_;
  plat::Ui& ui_;
};

// Waits until the process is ready for input and fires the runner's OnAppIdle on the
// main thread with a record that holds only FileName. The process handle is borrowed:
// the termination thread closes it after Ended has been set. Created by Start; the
// thread frees itself when done.
class TWaitIdleThread final {
 public:
  static void Start(plat::ProcessHandle ProcessHandle, TRunner* Runner, std::promise<void> Ended = {});

 private:
  TWaitIdleThread(plat::ProcessHandle ProcessHandle, TRunner* Runner, std::promise<void> Ended);
  void Execute();
  void NotifyIdle();

  plat::ProcessHandle ProcessHandle;
  TRunnerLink Runner;
  TAppInfo AppInfo;
  std::promise<void> ended_;
  plat::Process& sys_;
  plat::Ui& ui_;
};

// How many wait threads have not yet finished (for tests and orderly shutdowns).
int WaitThreadsRunning();

}  // namespace nolt
