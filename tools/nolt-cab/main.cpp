// nolt-cab: lists or unpacks a cabinet archive with the cabinet component.
//   nolt-cab list CABINET          one line per entry: SIZE<TAB>YYYY-MM-DD HH:MM:SS<TAB>NAME
//                                  (the name as stored, the entry's DOS date and time)
//   nolt-cab extract CABINET DIR   writes every entry below DIR, replacing existing files
// Exit status 0 only on success. Errors go to standard error, never to a window.
#include <cstdint>
#include <cstdio>
#include <string>

#include "cabfiles/CABFile.h"
#include "core/DateTime.h"
#include "platform/HeadlessUi.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: nolt-cab list CABINET\n"
               "       nolt-cab extract CABINET DIR\n");
  return 2;
}

// "YYYY-MM-DD HH:MM:SS" of a date-time value.
std::string FormatDateTime(nolt::TDateTime value) {
  plat::SystemTime st;
  if (!nolt::DateTimeToSystemTime(value, &st)) return "0000-00-00 00:00:00";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                st.wSecond);
  return text;
}

int List(const std::string& cabinet) {
  nolt::TCABFile cab;
  cab.CABFile = cabinet;
  cab.ReadContents();
  if (cab.LastRunResult != 0) {
    std::fprintf(stderr, "nolt-cab: %s: cannot read the cabinet\n", cabinet.c_str());
    return 1;
  }
  for (int i = 0; i < cab.CABFileContents.Count(); ++i) {
    const nolt::TCABFileEntry& e = cab.CABFileContents[i];
    std::printf("%u\t%s\t%s\n", static_cast<unsigned>(static_cast<std::uint32_t>(e.FileSize)),
                FormatDateTime(e.FileDate).c_str(), e.Name.c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Extract(const std::string& cabinet, const std::string& dir) {
  nolt::TCABFile cab;
  cab.CABFile = cabinet;
  cab.TargetPath = dir;  // without an overwrite handler every existing file is replaced
  if (!cab.ExtractAll()) {
    std::fprintf(stderr, "nolt-cab: %s: extraction failed\n", cabinet.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Message boxes of the component go to standard error.
  plat::HeadlessUi ui;
  plat::ScopedSeam<plat::Ui> useUi(ui);

  if (argc < 2) return Usage();
  const std::string command = argv[1];
  try {
    if (command == "list" && argc == 3) return List(argv[2]);
    if (command == "extract" && argc == 4) return Extract(argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nolt-cab: %s\n", e.what());
    return 1;
  }
  return Usage();
}
