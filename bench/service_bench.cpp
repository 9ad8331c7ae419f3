// Bridge image builds of synthetic trees (no data I/O): time, metadata memory per item and peak
// resident memory. Run: <build>/bin/service_bench [--million]; figures in docs/performance.md.
// `bench/service_kvimage_vs_genisoimage.sh` compares `kvimage build` with genisoimage on folders.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "service/image_builder.h"

namespace {

using kv::service::BuildError;
using kv::service::ImageBuilder;

class NoData : public kv::service::ItemDataSource {
 public:
  bool ReadItem(uint32_t, uint64_t, void*, size_t) override { return true; }
};

// Peak resident memory of the process so far (VmHWM), in MiB.
double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// One folder per 100 entries, two levels deep; files of a few KiB each (never read).
void BuildSyntheticTree(benchmark::State& state) {
  const int64_t items = state.range(0);
  NoData source;
  size_t memory = 0;
  uint32_t sectors = 0;
  for (auto _ : state) {
    ImageBuilder b(&source, [] { return kv::service::BuildClock{1700000000, 1}; });
    b.SetVolumeIdentifier(u"BENCH");
    char16_t path[128];
    for (int64_t i = 0; i < items; ++i) {
      char text[128];
      if (i % 100 == 0) {
        std::snprintf(text, sizeof text, "group%04lld/folder%06lld", static_cast<long long>(i / 10000),
                      static_cast<long long>(i / 100));
        const size_t n = std::strlen(text);
        for (size_t k = 0; k < n; ++k) path[k] = static_cast<char16_t>(text[k]);
        b.AddItem(std::u16string_view(path, n), true, 0, 133000000000000000ull, static_cast<uint32_t>(i));
        continue;
      }
      std::snprintf(text, sizeof text, "group%04lld/folder%06lld/file %08lld.dat", static_cast<long long>(i / 10000),
                    static_cast<long long>(i / 100), static_cast<long long>(i));
      const size_t n = std::strlen(text);
      for (size_t k = 0; k < n; ++k) path[k] = static_cast<char16_t>(text[k]);
      b.AddItem(std::u16string_view(path, n), false, 1000 + static_cast<uint64_t>(i % 7) * 3000, 133000000000000000ull,
                static_cast<uint32_t>(i));
    }
    if (b.Build() != BuildError::kNone) state.SkipWithError("build failed");
    memory = b.MemoryUsed();
    sectors = b.SectorCount();
  }
  state.counters["items"] = static_cast<double>(items);
  state.counters["image_sectors"] = sectors;
  state.counters["bytes_per_item"] = static_cast<double>(memory) / static_cast<double>(items);
  state.counters["peak_rss_MiB"] = PeakResidentMiB();
}

BENCHMARK(BuildSyntheticTree)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// All items in one directory, the naming's worst case for memory (every name of the directory is
// known to the naming at once).
void BuildFlatDirectory(benchmark::State& state) {
  const int64_t items = state.range(0);
  NoData source;
  size_t memory = 0;
  for (auto _ : state) {
    ImageBuilder b(&source, [] { return kv::service::BuildClock{1700000000, 1}; });
    char16_t path[64];
    for (int64_t i = 0; i < items; ++i) {
      char text[64];
      std::snprintf(text, sizeof text, "flat/file %08lld.dat", static_cast<long long>(i));
      const size_t n = std::strlen(text);
      for (size_t k = 0; k < n; ++k) path[k] = static_cast<char16_t>(text[k]);
      b.AddItem(std::u16string_view(path, n), false, 1000, 133000000000000000ull, static_cast<uint32_t>(i));
    }
    if (b.Build() != BuildError::kNone) state.SkipWithError("build failed");
    memory = b.MemoryUsed();
  }
  state.counters["bytes_per_item"] = static_cast<double>(memory) / static_cast<double>(items);
  state.counters["peak_rss_MiB"] = PeakResidentMiB();
}

}  // namespace

// --million adds the 1,000,000-item build (about 0.2 GiB and a few seconds); --flat-million runs only
// the 1,000,000-item single directory (its own process, so that its peak is its own).
int main(int argc, char** argv) {
  std::vector<char*> args;
  bool million = false, flat = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--million") == 0)
      million = true;
    else if (std::strcmp(argv[i], "--flat-million") == 0)
      flat = true;
    else
      args.push_back(argv[i]);
  }
  static std::string filter = "--benchmark_filter=BuildFlatDirectory";
  if (flat) {
    benchmark::RegisterBenchmark("BuildFlatDirectory/1000000", BuildFlatDirectory)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    args.push_back(filter.data());
  }
  if (million)
    benchmark::RegisterBenchmark("BuildSyntheticTree/1000000", BuildSyntheticTree)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
