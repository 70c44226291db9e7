// The demo application of the updater's demo release: it says that it started,
// from where, and leaves a note beside itself so that scripts can check the launch.
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/Files.h"

#ifndef POMR_DEMO_VERSION
#define POMR_DEMO_VERSION "2.0"
#endif

int main() {
  const std::string exe = plat::files().ExecutablePath();
  const std::string dir = exe.substr(0, exe.find_last_of(plat::kPathDelim) + 1);
  std::printf("pomr %s started from %s\n", POMR_DEMO_VERSION, dir.c_str());
  std::ofstream note(dir + "pomr-started.txt", std::ios::app);
  note << "pomr " << POMR_DEMO_VERSION << " started at " << std::time(nullptr) << "\n";
  return 0;
}
