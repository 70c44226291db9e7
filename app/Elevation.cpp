#include "app/Elevation.h"

#include <cstring>
#include <string>

#include "install/LocalFiles.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Ui.h"

namespace nolt {

const char* const kElevatedRunArgument = "--elevated-run";

namespace {

int EndWith(const std::string& text) {
  plat::ui().MessageBoxA(text + " Nothing was updated.", plat::ui().ApplicationTitle(),
                         plat::kMbOk | plat::kMbIconError);
  return 1;
}

}  // namespace

bool IsElevatedRun(int argc, const char* const* argv) {
  return argc == 2 && std::strcmp(argv[1], kElevatedRunArgument) == 0;
}

std::optional<int> RunElevatedWhereNeeded(bool elevatedRun) {
  plat::Files& files = plat::files();
  const std::string program = files.ExecutablePath();
  const std::string dir = DirectoryOf(program);
  if (files.CanCreateFileIn(dir)) return std::nullopt;
  const std::uint32_t error = files.GetLastError();
  // Rights are what an administrator can add. Any other failure (read-only media, a
  // full disk) is the run's to meet and report, as it always was.
  if (error != plat::kErrorAccessDenied) return std::nullopt;

  const std::string cannot = "The installation directory \"" + dir + "\" cannot be written (" +
                             files.ErrorText(error) + ")";
  if (elevatedRun) return EndWith(cannot + ", even with administrator rights.");
  plat::Process& process = plat::process();
  std::uint32_t status = 1;
  switch (process.RunElevated(program, kElevatedRunArgument, &status)) {
    case plat::ElevatedRun::Ended: return static_cast<int>(status);
    case plat::ElevatedRun::Declined:
      return EndWith(cannot + " without administrator rights, and they were not given.");
    case plat::ElevatedRun::Unavailable:
      return EndWith(cannot + ". Start " + plat::ui().ApplicationTitle() + " as a user who may write there.");
    case plat::ElevatedRun::Failed: break;
  }
  return EndWith(cannot + ", and starting with administrator rights failed: " +
                 process.ErrorText(process.GetLastError()) + ".");
}

}  // namespace nolt
