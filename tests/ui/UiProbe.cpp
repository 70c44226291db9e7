// Shows a window for drive_ui.py to type or click into, and reports what came back.
//
//   ui_probe login CAPTION   the login form; prints "at X Y" (screen position of the
//                            user name field), then "result=R user=HEX password=HEX"
//   ui_probe cancel          a transfer that runs until cancelled; prints "at X Y" (the
//                            Cancel button), "noticed" when the routine sees the cancel
//                            (then waits for a line on standard input), and at the end
//                            "fired=N sender=S cancelled=C hidden=H"
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/Ui.h"
#include "tests/platform/NativeWindow.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/Login.h"
#include "webcopy/WebCopy.h"

namespace {

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out.empty() ? "-" : out;
}

// Screen position of a point of a window's client area.
void SayAt(const std::string& caption, int x, int y) {
  const nolt::test::NativeWindow w = nolt::test::InspectWindow(caption);
  if (!w.found) {
    Say("error window not found: " + caption);
    return;
  }
  Say("at " + std::to_string(w.clientLeft + x) + " " + std::to_string(w.clientTop + y));
}

class EndlessCopy : public nolt::TWebCopy {
 public:
  bool hiddenWhenNoticed = false;

 protected:
  bool FileCopy(int, const std::string&, const std::string&, const std::string&, std::int32_t, const std::string&,
                const std::string&, const std::string&, bool, nolt::TDateTime&, bool&) override {
    nolt::TWcProgressDialog* d = Dialog();
    d->SetFileLine(DlgFileLabel + " endless.dat");
    bool announced = false;
    for (int block = 0; !Cancelled; ++block) {
      d->SetProgressPosition(block % 101);
      d->SetProgressLine(DlgProgressLabel + " " + std::to_string(block * 4096) + " bytes");
      d->Sync();
      PumpMessages();
      if (!announced) {
        announced = true;
        // The Cancel button's centre: left 215, top 140 (defaults), 75 x 25.
        SayAt(DlgCopying + " ...", 215 + 37, 140 + 12);
      }
      plat::ui().WaitForMessage(20);
      PumpMessages();
    }
    hiddenWhenNoticed = !Dialog()->Visible();
    Say("noticed");
    // The driver looks at the screen meanwhile; then the run goes on.
    std::string line;
    std::getline(std::cin, line);
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!plat::ui().HasDisplay()) {
    Say("skip no display");
    return 77;
  }
  if (mode == "login" && argc > 2) {
    const std::string caption = argv[2];
    // From inside the modal loop, once the form is up: where the user name field is.
    plat::ui().PostToMainThread([caption] { SayAt(caption, 104 + 40, 80 + 10); });
    std::string user = "old-user", password = "old-password";
    const bool ok = nolt::ShowLoginDialog(caption, user, password);
    Say("result=" + std::to_string(ok ? 1 : 0) + " user=" + Hex(user) + " password=" + Hex(password));
    return 0;
  }
  if (mode == "cancel") {
    EndlessCopy copy;
    copy.DlgCaption = "CancelProbe";
    copy.DlgCopying = "CancelProbe";
    int fired = 0;
    bool senderIsComponent = false;
    copy.OnCopyCancel = [&](nolt::TObject* sender) {
      ++fired;
      senderIsComponent = sender == &copy;
    };
    nolt::TWebCopyItem& item = copy.Items.Add();
    item.Protocol = nolt::wpFile;
    item.URL = "endless.dat";
    item.TargetFilename = "endless.dat";
    copy.Execute();
    Say("fired=" + std::to_string(fired) + " sender=" + std::to_string(senderIsComponent) +
        " cancelled=" + std::to_string(copy.Cancelled) + " hidden=" + std::to_string(copy.hiddenWhenNoticed));
    return 0;
  }
  std::fprintf(stderr, "usage: ui_probe login CAPTION | ui_probe cancel\n");
  return 2;
}
