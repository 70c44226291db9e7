// Downloads one URL with a TWebCopy run (one wpHttp item, the updater's settings)
// and prints the bytes, the seconds and the throughput. run.sh compares it with curl.
// Usage: http_bench URL TARGETDIR [--show]   (--show: the progress dialog is shown)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "webcopy/WebCopy.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: http_bench URL TARGETDIR [--show]\n");
    return 2;
  }
  nolt::TWebCopy wc;
  wc.ShowDialog = argc > 3 && std::strcmp(argv[3], "--show") == 0;
  wc.ShowTime = true;
  nolt::TWebCopyItem& item = wc.Items.Add();
  item.URL = argv[1];
  item.TargetDir = argv[2];
  std::uint64_t blocks = 0;
  wc.OnCopyProgress = [&](nolt::TObject*, int, std::uint32_t, std::uint32_t) { ++blocks; };
  std::string error;
  wc.OnErrorInfo = [&](nolt::TObject*, int code, const std::string& text) {
    error = std::to_string(code) + " " + text;
  };

  const auto start = std::chrono::steady_clock::now();
  wc.Execute();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!item.Success) {
    std::fprintf(stderr, "download failed: %s\n", error.c_str());
    return 1;
  }
  const auto bytes = std::filesystem::file_size(wc.LastTargetFile);
  std::printf("%.3f s, %.1f MB/s, %llu progress events\n", seconds, bytes / seconds / 1e6,
              static_cast<unsigned long long>(blocks));
  return 0;
}
