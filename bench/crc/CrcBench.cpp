// Throughput of FileCRC32 on a 256 MiB file that sits in the page cache, measured
// in one run beside two references on the same file: reading it with read() alone
// (the floor no checksum can beat) and reading it with the plain one-lookup-per-byte
// table. In-memory rates of each CRC form are shown as well. The ratios are printed
// at the end.
//
//   crc_bench [--benchmark_repetitions=N] [google benchmark flags]
//   NOLT_BENCH_FILE=/path/file  uses that file instead of a generated one (kept).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "crc/FileCRC32.h"
#include "crc/Crc32.h"

namespace {

constexpr std::size_t kFileSize = 256u << 20;
constexpr std::size_t kBlock = 65521;  // the block size of FileCRC32, for a fair comparison
std::string filePath;
std::uint64_t fileBytes = 0;

void MakeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::vector<std::uint64_t> chunk(1 << 17);  // 1 MiB
  std::uint64_t s = 0x9E3779B97F4A7C15u;
  for (std::size_t done = 0; done < kFileSize; done += chunk.size() * 8) {
    for (auto& w : chunk) {  // xorshift64: incompressible enough, and fast
      s ^= s << 13;
      s ^= s >> 7;
      s ^= s << 17;
      w = s;
    }
    std::fwrite(chunk.data(), 8, chunk.size(), f);
  }
  std::fclose(f);
}

// Reads the whole file with read() in FileCRC32's block size, handing every block
// to consume. Returns the bytes read.
template <class Consume> std::uint64_t ReadAll(Consume consume) {
  static std::vector<unsigned char> buffer(kBlock);
  int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    consume(buffer.data(), static_cast<std::size_t>(n));
    total += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return total;
}

void BM_ReadOnly(benchmark::State& state) {
  for (auto _ : state) {
    std::uint64_t n = ReadAll([](const unsigned char* p, std::size_t) { benchmark::DoNotOptimize(p); });
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileBytes));
}

void BM_FileCRC32(benchmark::State& state) {
  for (auto _ : state) {
    std::uint32_t crc = 0;
    std::string text = nolt::FileCRC32(filePath, crc);
    benchmark::DoNotOptimize(text);
    if (text == "0") state.SkipWithError("FileCRC32 could not read the file");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileBytes));
}

void BM_FileBytewise(benchmark::State& state) {
  for (auto _ : state) {
    std::uint32_t reg = 0xFFFFFFFFu;
    ReadAll([&](const unsigned char* p, std::size_t n) { reg = nolt::crc::UpdateBytewise(reg, p, n); });
    benchmark::DoNotOptimize(reg);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileBytes));
}

// The CRC forms alone over 1 MiB in the processor cache: 0 byte-wise, 1 slicing, 2 clmul.
void BM_Memory(benchmark::State& state) {
  using Form = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);
  const Form forms[] = {nolt::crc::UpdateBytewise, nolt::crc::UpdateSlicing16, nolt::crc::UpdateClmul};
  if (state.range(0) == 2 && !nolt::crc::ClmulAvailable()) {
    state.SkipWithError("no PCLMULQDQ on this processor");
    return;
  }
  std::vector<unsigned char> data(1 << 20, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(forms[state.range(0)](0xFFFFFFFFu, data.data(), data.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_FileCRC32)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_FileBytewise)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Memory)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// Console output plus the mean wall and processor seconds per iteration of every
// benchmark, for the ratios. Both are kept: on a shared machine the wall time also
// counts the time that other programs held the processor.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0, cpu = 0;
    int runs = 0;
  };
  std::map<std::string, Times> times;

  RatioReporter() : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const double unit = benchmark::GetTimeUnitMultiplier(r.time_unit);
      Times& t = times[r.run_name.function_name];
      t.real += r.GetAdjustedRealTime() / unit;
      t.cpu += r.GetAdjustedCPUTime() / unit;
      ++t.runs;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  Times Mean(const std::string& name) const {
    auto it = times.find(name);
    if (it == times.end() || it->second.runs == 0) return {};
    return {it->second.real / it->second.runs, it->second.cpu / it->second.runs, it->second.runs};
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bool generated = false;
  if (const char* given = std::getenv("NOLT_BENCH_FILE")) {
    filePath = given;
  } else {
    filePath = (std::filesystem::temp_directory_path() / ("nolt-crc-bench-" + std::to_string(::getpid()) + ".bin"))
                   .string();
    MakeFile(filePath);
    generated = true;
  }
  fileBytes = ReadAll([](const unsigned char*, std::size_t) {});  // also warms the page cache
  std::printf("file %s, %llu bytes; carry-less multiplication %s\n", filePath.c_str(),
              static_cast<unsigned long long>(fileBytes), nolt::crc::ClmulAvailable() ? "in use" : "not available");

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (generated) std::filesystem::remove(filePath);

  const auto read = reporter.Mean("BM_ReadOnly"), crc = reporter.Mean("BM_FileCRC32"),
             bytewise = reporter.Mean("BM_FileBytewise");
  if (read.runs > 0 && crc.runs > 0 && bytewise.runs > 0) {
    const double mib = static_cast<double>(fileBytes) / (1 << 20);
    std::printf("\nMiB/s             wall time   processor time\n");
    std::printf("read() alone      %9.0f   %9.0f\n", mib / read.real, mib / read.cpu);
    std::printf("FileCRC32         %9.0f   %9.0f\n", mib / crc.real, mib / crc.cpu);
    std::printf("byte-wise table   %9.0f   %9.0f\n", mib / bytewise.real, mib / bytewise.cpu);
    std::printf("FileCRC32 / read-only throughput: %.2f (wall), %.2f (processor)\n", read.real / crc.real,
                read.cpu / crc.cpu);
    std::printf("FileCRC32 / byte-wise throughput: %.2f (wall), %.2f (processor)\n", bytewise.real / crc.real,
                bytewise.cpu / crc.cpu);
  }
  return 0;
}
