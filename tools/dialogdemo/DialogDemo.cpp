// Shows the progress dialog of a TWebCopy run with a scripted transfer, or the login
// form, and holds still in the middle so that a screenshot can be taken.
//
// Usage: dialogdemo [--german] [--open-buttons] [--hold SECONDS] [--login CAPTION] [--ready-file PATH]
// Prints READY on standard output (and into the ready file) when the picture stands still.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Ui.h"
#include "webcopy/WcDialog.h"
#include "webcopy/WcLogin.h"
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

}  // namespace

int main(int argc, char** argv) {
  bool german = false, openButtons = false;
  double hold = 30;
  const char* loginCaption = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--german")) german = true;
    else if (!std::strcmp(argv[i], "--open-buttons")) openButtons = true;
    else if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) hold = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--login") && i + 1 < argc) loginCaption = argv[++i];
    else if (!std::strcmp(argv[i], "--ready-file") && i + 1 < argc) g_readyFile = argv[++i];
    else {
      std::fprintf(stderr, "usage: dialogdemo [--german] [--open-buttons] [--hold SECONDS] [--login CAPTION] [--ready-file PATH]\n");
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

  DemoCopy copy;
  copy.holdSeconds = hold;
  if (german) {
    // The updater's package downloads.
    copy.DlgCaption = "Aktualisiere";
    copy.DlgCompleted = "fertig";
    copy.DlgFileLabel = "Datei :";
    copy.DlgFileOfLabel = "/";
    copy.DlgFromServerLabel = "von";
    copy.DlgProgressLabel = "Fortschritt :";
    copy.DlgCopying = "Kopiere";
    copy.DlgDwnload = "Downloade";
    copy.ShowTime = true;
  }
  copy.ShowOpenFile = openButtons;
  copy.ShowOpenFolder = openButtons;
  for (const char* name : {"nolt.dll.cab", "pomr.exe.cab", "data\\forms.dat.cab"}) {
    nolt::TWebCopyItem& item = copy.Items.Add();
    item.URL = std::string("http://127.0.0.1/downloads/") + name;
    item.TargetDir = ".";
    item.TargetFilename = name;
  }
  copy.Execute();
  return 0;
}
