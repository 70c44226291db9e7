// The main form, the package dialog and the login form as the programs show them with
// the display at 96 and at 144 dpi: at 144 every client area, control and line of
// text is 1.5 times its 96-dpi size. The display's DPI (LogPixels) is read by each
// program when it starts, so each size is measured in a program started afresh: the
// updater itself against a release whose package comes slowly (its main form and its
// package dialog), and the test probe's login form, which carries the same manifest.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/HttpServer.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TestSupport.h"

using namespace nolt;

namespace {

const char kDesktopKey[] = "Control Panel\\Desktop";

// Sets the display's DPI for the programs started from now on; the previous setting
// comes back with the object (and scripts/wine-session mends a run killed meanwhile).
class DisplayDpi {
 public:
  explicit DisplayDpi(DWORD dpi) {
    ::RegCreateKeyExA(HKEY_CURRENT_USER, kDesktopKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                      nullptr);
    DWORD size = sizeof previous_;
    had_ = ::RegQueryValueExA(key_, "LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&previous_), &size) ==
           ERROR_SUCCESS;
    Set(dpi);
  }
  ~DisplayDpi() {
    if (had_) Set(previous_);
    else ::RegDeleteValueA(key_, "LogPixels");
    ::RegCloseKey(key_);
  }

 private:
  void Set(DWORD dpi) {
    ::RegSetValueExA(key_, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
  }
  HKEY key_ = nullptr;
  DWORD previous_ = 96;
  bool had_ = false;
};

struct Search {
  DWORD pid;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND h, LPARAM data) {
  auto* s = reinterpret_cast<Search*>(data);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(h, &pid);
  char title[256] = {};
  ::GetWindowTextA(h, title, sizeof title);
  if (pid != s->pid || std::string(title) != s->caption || !::IsWindowVisible(h)) return TRUE;
  s->found = h;
  return FALSE;
}

// A visible top-level window of the process, by caption; waits up to a minute.
HWND AwaitWindow(DWORD pid, const char* caption) {
  for (int i = 0; i < 3000; ++i) {
    Search s{pid, caption, nullptr};
    ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
    ::Sleep(20);
  }
  return nullptr;
}

struct ChildSearch {
  const char* text;  // the start of the control's text
  HWND found;
};

BOOL CALLBACK MatchChild(HWND h, LPARAM data) {
  auto* s = reinterpret_cast<ChildSearch*>(data);
  char text[256] = {};
  ::GetWindowTextA(h, text, sizeof text);
  if (std::string(text).rfind(s->text, 0) != 0) return TRUE;
  s->found = h;
  return FALSE;
}

// A control's rectangle in its window's client area, by the start of its text.
RECT ControlRect(HWND window, const char* text) {
  ChildSearch s{text, nullptr};
  ::EnumChildWindows(window, &MatchChild, reinterpret_cast<LPARAM>(&s));
  RECT r{};
  if (!s.found) return r;
  ::GetWindowRect(s.found, &r);
  ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct Measured {
  SIZE mainForm{}, dialog{}, login{};
  RECT cancel{};    // the package dialog's Cancel button
  RECT progress{};  // its progress line, a label sized to its text
  RECT userName{};  // the login form's user name label
};

SIZE ClientSize(HWND h) {
  RECT r{};
  ::GetClientRect(h, &r);
  return SIZE{r.right, r.bottom};
}

class Process {
 public:
  Process(const std::string& commandLine, const std::string& dir) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string cmd = commandLine;
    started_ = ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                dir.empty() ? nullptr : dir.c_str(), &si, &pi_);
  }
  ~Process() {
    if (!started_) return;
    if (::WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(pi_.hProcess, 9);
    ::WaitForSingleObject(pi_.hProcess, 30000);
    ::CloseHandle(pi_.hThread);
    ::CloseHandle(pi_.hProcess);
  }
  bool Started() const { return started_; }
  DWORD Id() const { return pi_.dwProcessId; }
  bool Ended(DWORD ms) const { return ::WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0; }

 private:
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
};

int BaseUrlPort() {
  const std::string url = NOLT_DOWNLOAD_BASE_URL;
  const auto colon = url.find(':', 7);
  return std::stoi(url.substr(colon + 1));
}

Measured Measure(DWORD dpi) {
  DisplayDpi display(dpi);
  Measured m;
  {
    // A manifest that names one missing file, whose package trickles in: the main
    // form and the package dialog stay on screen while they are measured.
    test::HttpServer server(BaseUrlPort());
    server.AddFile("downloads/nolt-patch-updater.txt", "slow.dll:1A2B3C\r\n");
    server.AddFile("downloads/slow.dll.cab", std::string(64 * 1024, 'x'));
    server.SetRule("/downloads/slow.dll.cab", "trickle", "1");
    test::TempDir dir;
    const std::string exe = test::ProgramPath("nolt-patch-setup");
    const std::string copy = dir.File(std::filesystem::path(exe).filename().string());
    std::filesystem::copy_file(exe, copy);
    Process updater("\"" + copy + "\"", dir.Dir());
    EXPECT_TRUE(updater.Started());
    HWND form = AwaitWindow(updater.Id(), "NOLT-Patch-Setup");
    HWND dialog = AwaitWindow(updater.Id(), "Downloade ...");
    EXPECT_TRUE(form && dialog) << "the updater's windows at " << dpi << " dpi";
    if (form) m.mainForm = ClientSize(form);
    if (dialog) {
      m.dialog = ClientSize(dialog);
      m.cancel = ControlRect(dialog, "Cancel");
      m.progress = ControlRect(dialog, "Fortschritt :");
    }
  }
  {
    const std::string caption = "Connect to dpi.example";
    Process probe("\"" + test::ProgramPath("ui_probe") + "\" login \"" + caption + "\"", "");
    EXPECT_TRUE(probe.Started());
    HWND login = AwaitWindow(probe.Id(), caption.c_str());
    EXPECT_TRUE(login) << "the login form at " << dpi << " dpi";
    if (login) {
      m.login = ClientSize(login);
      m.userName = ControlRect(login, "&User name:");
      ::PostMessageA(login, WM_CLOSE, 0, 0);
      EXPECT_TRUE(probe.Ended(30000));
    }
  }
  return m;
}

// Within one pixel of 1.5 times the 96-dpi length (each length is rounded on its own).
void ExpectOneAndAHalf(int at96, int at144, const char* what) {
  EXPECT_GT(at96, 0) << what;
  EXPECT_LE(std::abs(2 * at144 - 3 * at96), 2) << what << ": " << at96 << " at 96 dpi, " << at144 << " at 144 dpi";
}

TEST(DpiScaling, AtOneHundredFortyFourDpiEverythingIsOneAndAHalfTimesItsSize) {
  const Measured a = Measure(96);
  const Measured b = Measure(144);
  for (const Measured* m : {&a, &b})
    std::printf("%s dpi: main form %ldx%ld, package dialog %ldx%ld (Cancel at %ld,%ld), login form %ldx%ld\n",
                m == &a ? "96" : "144", m->mainForm.cx, m->mainForm.cy, m->dialog.cx, m->dialog.cy, m->cancel.left,
                m->cancel.top, m->login.cx, m->login.cy);

  // At 96 dpi the sizes are those of the form descriptions.
  EXPECT_EQ(a.mainForm.cx, 214);
  EXPECT_EQ(a.mainForm.cy, 29);
  EXPECT_EQ(a.cancel.left, 215);
  EXPECT_EQ(a.cancel.top, 160);
  EXPECT_EQ(a.login.cx, 320);

  ExpectOneAndAHalf(a.mainForm.cx, b.mainForm.cx, "main form width");
  ExpectOneAndAHalf(a.mainForm.cy, b.mainForm.cy, "main form height");
  ExpectOneAndAHalf(a.dialog.cx, b.dialog.cx, "package dialog width");
  ExpectOneAndAHalf(a.dialog.cy, b.dialog.cy, "package dialog height");
  ExpectOneAndAHalf(a.login.cx, b.login.cx, "login form width");
  ExpectOneAndAHalf(a.login.cy, b.login.cy, "login form height");
  ExpectOneAndAHalf(a.cancel.left, b.cancel.left, "Cancel button left");
  ExpectOneAndAHalf(a.cancel.top, b.cancel.top, "Cancel button top");
  ExpectOneAndAHalf(a.cancel.right - a.cancel.left, b.cancel.right - b.cancel.left, "Cancel button width");
  ExpectOneAndAHalf(a.cancel.bottom - a.cancel.top, b.cancel.bottom - b.cancel.top, "Cancel button height");
  ExpectOneAndAHalf(a.progress.top, b.progress.top, "progress line top");
  ExpectOneAndAHalf(a.userName.top, b.userName.top, "user name label top");
  // Labels sized to their text grow with the font; glyphs do not scale exactly.
  const double lineGrowth = double(b.progress.bottom - b.progress.top) / (a.progress.bottom - a.progress.top);
  EXPECT_GE(lineGrowth, 1.3) << "the font is scaled with the window";
  EXPECT_LE(lineGrowth, 1.7);
}

}  // namespace
