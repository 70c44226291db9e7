// Shows the progress dialog of a TWebCopy run with a scripted transfer (run, as in the
// updater, from the show handler of the main form), the main form alone, or the login
// form, and holds still in the middle so that a screenshot can be taken.
//
// Usage: dialogdemo [--german] [--open-buttons] [--main-form] [--hold SECONDS] [--login CAPTION] [--ready-file PATH]
// Prints READY on standard output (and into the ready file) when the picture stands still.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Login.h"
#include "webcopy/WebCopy.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* g_readyFile = nullptr;

void Ready() {
  std::printf("READY\n");
  std::fflush(stdout);
  if (g_readyFile)
    if (std::FILE* f = std::fopen(g_readyFile, "w")) {
      std::fputs("READY\n", f);
      std::fclose(f);
    }
}

// The display texts of the demo's numbers (1000-based units, two decimals).
std::string Amount(double value, const char* bytes, const char* kilo, const char* mega) {
  char buf[64];
  if (value < 1000) std::snprintf(buf, sizeof buf, "%.0f %s", value, bytes);
  else if (value < 1000000) std::snprintf(buf, sizeof buf, "%.2f %s", value / 1000, kilo);
  else std::snprintf(buf, sizeof buf, "%.2f %s", value / 1000000, mega);
  return buf;
}

// A transfer that writes nothing: it feeds the dialog with the lines of a download
// of `size` bytes at a steady rate, pumping messages after every block as the real
// routines do. The second item stops at 45 % for the screenshot.
class DemoCopy : public nolt::TWebCopy {
 public:
  double holdSeconds = 30;

 protected:
  bool HttpDownload(int idx, const std::string&, const std::string&, const std::string& TargetFilename, bool,
                    nolt::TDateTime&, bool& NoNewFile, nolt::TWebCopyAuthentication, const std::string&,
                    const std::string&) override {
    NoNewFile = false;
    nolt::TWcProgressDialog* d = Dialog();
    const std::string counter =
        Items.Count() < 2
            ? ""
            : std::to_string(FileNumber) + " " + DlgFileOfLabel + " " + std::to_string(Items.ActiveCount()) + " : ";
    d->SetFileLine(DlgFileLabel + " " + counter + TargetFilename + " " + DlgFromServerLabel + " 127.0.0.1");
    const double total = 3276800 + idx * 1048576.0;
    const double rate = 262144;  // bytes per second shown
    const double block = 65536;
    for (double done = 0; done <= total; done += block) {
      const int position = static_cast<int>(done * 100 / total + 0.5);
      d->SetProgressPosition(position);
      d->SetProgressLine(DlgProgressLabel + " " + Amount(done, "bytes", "Kb", "Mb") + " " + DlgFileOfLabel + " " +
                         Amount(total, "bytes", "Kb", "Mb"));
      d->SetRateLine(DlgRateLabel + " " + Amount(rate, "bytes/sec", "Kb/sec", "Mb/sec"));
      const long left = static_cast<long>((total - done) / rate + 0.5);
      d->SetTimeLine(DlgTimeLabel + " " + std::to_string(left) + " sec.");
      if (ShowCompletion) d->SetCaption(DlgDwnload + " : " + std::to_string(d->ProgressPosition()) + "% " + DlgCompleted);
      d->Sync();
      PumpMessages();
      if (Cancelled) return false;
      if (idx == 1 && position >= 45 && !held_) {
        held_ = true;
        Ready();
        const auto until = Clock::now() + std::chrono::duration<double>(holdSeconds);
        while (Clock::now() < until && !Cancelled) {
          plat::ui().WaitForMessage(50);
          PumpMessages();
        }
        if (Cancelled) return false;
      }
      plat::ui().WaitForMessage(15);
      PumpMessages();
    }
    return true;
  }

 private:
  bool held_ = false;
};

void RunDialog(bool german, bool openButtons, double hold) {
  DemoCopy copy;
  copy.holdSeconds = hold;
  if (german) {
    // The updater's package downloads. (Moved in from temporaries: GCC 12 at -O3 warns
    // falsely about assigning these literals to the initialised members.)
    copy.DlgCaption = std::string("Aktualisiere");
    copy.DlgCompleted = std::string("fertig");
    copy.DlgFileLabel = std::string("Datei :");
    copy.DlgFileOfLabel = std::string("/");
    copy.DlgFromServerLabel = std::string("von");
    copy.DlgProgressLabel = std::string("Fortschritt :");
    copy.DlgCopying = std::string("Kopiere");
    copy.DlgDwnload = std::string("Downloade");
    copy.ShowTime = true;
  }
  copy.ShowOpenFile = openButtons;
  copy.ShowOpenFolder = openButtons;
  const std::vector<std::string> names{"nolt.dll.cab", "pomr.exe.cab", "data\\forms.dat.cab"};
  for (const std::string& name : names) {
    nolt::TWebCopyItem& item = copy.Items.Add();
    item.URL = std::string("http://127.0.0.1/downloads/").append(name);
    item.TargetDir = std::string(".");
    item.TargetFilename = std::string(name);
  }
  copy.Execute();
}

}  // namespace

int main(int argc, char** argv) {
  bool german = false, openButtons = false, formOnly = false;
  double hold = 30;
  const char* loginCaption = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--german")) german = true;
    else if (!std::strcmp(argv[i], "--open-buttons")) openButtons = true;
    else if (!std::strcmp(argv[i], "--main-form")) formOnly = true;
    else if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) hold = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--login") && i + 1 < argc) loginCaption = argv[++i];
    else if (!std::strcmp(argv[i], "--ready-file") && i + 1 < argc) g_readyFile = argv[++i];
    else {
      std::fprintf(stderr, "usage: dialogdemo [--german] [--open-buttons] [--main-form] [--hold SECONDS] [--login CAPTION] [--ready-file PATH]\n");
      return 2;
    }
  }
  plat::ui().InitializeApplication();
  plat::ui().SetApplicationTitle("NOLT-Patch-Setup");

  if (loginCaption) {
    // READY comes from inside the modal loop, once the form is up.
    plat::ui().PostToMainThread([] { Ready(); });
    std::string user = "unchanged", password = "unchanged";
    const bool ok = nolt::ShowLoginDialog(loginCaption, user, password);
    std::printf("result=%d user=%s password=%s\n", ok ? 1 : 0, user.c_str(), password.c_str());
    return 0;
  }

  // The updater's main form: the run happens inside its show handler, in the loop.
  plat::WindowModel form;
  form.name = "MainForm";
  form.caption = "NOLT-Patch-Setup";
  form.clientWidth = 214;
  form.clientHeight = 29;
  form.border = plat::BorderStyle::Single;
  form.centred = true;
  form.visible = true;
  plat::WindowEvents events;
  events.onShow = [&] {
    if (formOnly) {
      Ready();
      const auto until = Clock::now() + std::chrono::duration<double>(hold);
      while (Clock::now() < until && !plat::ui().Terminated()) {
        plat::ui().WaitForMessage(50);
        plat::ui().ProcessMessages();
      }
    } else {
      RunDialog(german, openButtons, hold);
    }
    plat::ui().Terminate();
  };
  events.onClose = [] { plat::ui().Terminate(); };
  const plat::WindowId id = plat::ui().CreateWindowFromModel(&form, events);
  plat::ui().RunMessageLoop();
  plat::ui().DestroyWindow(id);
  return 0;
}
