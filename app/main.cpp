// NOLT-Patch-Setup: brings the installation it lies in up to date, then starts the
// application and ends.
#include <cstdio>
#include <exception>

#include "app/Elevation.h"
#include "app/MainForm.h"
#include "platform/Ui.h"

#ifndef NOLT_RELEASE_PUBLIC_KEY
#error "NOLT_RELEASE_PUBLIC_KEY must be defined by the build (empty for unsigned releases)"
#endif

extern const char* const kMainFormDescription;

int main(int argc, char** argv) {
  plat::Ui& ui = plat::ui();
  ui.InitializeApplication();
  ui.SetApplicationTitle(nolt::kApplicationTitle);
  // An installation this user may not write is updated by an elevated run of this program.
  if (const auto status = nolt::RunElevatedWhereNeeded(nolt::IsElevatedRun(argc, argv))) return *status;
  try {
    nolt::TMainForm form(kMainFormDescription, NOLT_RELEASE_PUBLIC_KEY);
    form.Show();
    ui.RunMessageLoop();
    // 0 only when the installation matches the manifest at the end of the run.
    return form.ExitStatus();
  } catch (const std::exception& e) {
    ui.MessageBoxA(e.what(), nolt::kApplicationTitle, plat::kMbOk | plat::kMbIconError);
    return 1;
  }
}
