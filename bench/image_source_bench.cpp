// ImageSource reads (aligned 32 KiB pieces through the transfer buffer, the plain 2048 reader)
// against plain pread of the same file, both from the page cache: sequential 64 KiB and random
// 2 KiB. Prints the ratios after the table.
// Run: <build>/bin/image_source_bench [--size-mib N] [benchmark options]; the ISO is made once in
// $TMPDIR (or /tmp) and reused.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_iso.h"
#include "common/mount_request.h"
#include "formats/image_source.h"

namespace {

using namespace kv;

constexpr uint32_t kSequentialChunk = 64 * 1024;
uint64_t g_mib = 256;
std::string g_iso;
uint64_t g_sectors = 0;
int g_fd = -1;
std::unique_ptr<ImageSource> g_source;

using kv::bench::MakeIsoOnce;

void WarmPageCache(int fd) {
  std::vector<uint8_t> buf(1 << 20);
  for (off_t at = 0; pread(fd, buf.data(), buf.size(), at) > 0; at += static_cast<off_t>(buf.size())) {
  }
}

void SequentialPread(benchmark::State& state) {
  std::vector<uint8_t> buf(kSequentialChunk);
  const uint64_t chunks = g_sectors * kSectorSize / kSequentialChunk;
  uint64_t i = 0;
  for (auto _ : state) {
    if (pread(g_fd, buf.data(), kSequentialChunk, static_cast<off_t>((i++ % chunks) * kSequentialChunk)) !=
        kSequentialChunk)
      state.SkipWithError("pread failed");
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSequentialChunk);
}

void SequentialImageSource(benchmark::State& state) {
  std::vector<uint8_t> buf(kSequentialChunk);
  constexpr uint32_t kPerChunk = kSequentialChunk / kSectorSize;
  const uint64_t chunks = g_sectors / kPerChunk;
  uint64_t i = 0;
  for (auto _ : state) {
    if (g_source->ReadSectors((i++ % chunks) * kPerChunk, kPerChunk, buf.data()) != kPerChunk)
      state.SkipWithError("ReadSectors failed");
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSequentialChunk);
}

void RandomPread(benchmark::State& state) {
  std::vector<uint8_t> buf(kSectorSize);
  std::mt19937_64 rng(7);
  for (auto _ : state) {
    if (pread(g_fd, buf.data(), kSectorSize, static_cast<off_t>(rng() % g_sectors * kSectorSize)) != kSectorSize)
      state.SkipWithError("pread failed");
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void RandomImageSource(benchmark::State& state) {
  std::vector<uint8_t> buf(kSectorSize);
  std::mt19937_64 rng(7);
  for (auto _ : state) {
    if (g_source->ReadSectors(rng() % g_sectors, 1, buf.data()) != 1) state.SkipWithError("ReadSectors failed");
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Keeps the per-second rates so that the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      for (const char* key : {"bytes_per_second", "items_per_second"}) {
        auto it = r.counters.find(key);
        if (it != r.counters.end()) rate[r.benchmark_name()] = it->second;
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc)
      g_mib = std::strtoull(argv[++i], nullptr, 10);
    else
      rest.push_back(argv[i]);
  }
  if (g_mib < 4) g_mib = 4;
  const char* tmp = std::getenv("TMPDIR");
  g_iso = std::string(tmp && *tmp ? tmp : "/tmp") + "/kv_image_source_bench_" + std::to_string(g_mib) + ".iso";
  if (!MakeIsoOnce(g_iso, g_mib)) {
    std::fprintf(stderr, "image_source_bench: cannot make %s (genisoimage)\n", g_iso.c_str());
    return 1;
  }
  g_fd = open(g_iso.c_str(), O_RDONLY | O_CLOEXEC);
  int error = 0;
  auto file = OpenPosixFile(g_iso, &error);
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = kFormatIso;
  request->SectorSize = kSectorSize;
  if (g_fd < 0 || !file || ImageSource::Open(*request, u"bench", std::move(file), &g_source) != kMountOk) {
    std::fprintf(stderr, "image_source_bench: cannot open %s\n", g_iso.c_str());
    return 1;
  }
  g_sectors = g_source->sectorCount();
  WarmPageCache(g_fd);
  std::printf("image: %s, %llu sectors (%llu MiB), in the page cache\n", g_iso.c_str(),
              static_cast<unsigned long long>(g_sectors), static_cast<unsigned long long>(g_sectors / 512));

  benchmark::RegisterBenchmark("sequential_64KiB/pread", SequentialPread);
  benchmark::RegisterBenchmark("sequential_64KiB/ImageSource", SequentialImageSource);
  benchmark::RegisterBenchmark("random_2KiB/pread", RandomPread);
  benchmark::RegisterBenchmark("random_2KiB/ImageSource", RandomImageSource);
  int restc = static_cast<int>(rest.size());
  benchmark::Initialize(&restc, rest.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ratio = [&](const char* name, const char* unit, double scale) {
    const std::string base = std::string(name) + "/pread";
    const std::string ours = std::string(name) + "/ImageSource";
    if (!reporter.rate.count(base) || !reporter.rate.count(ours)) return;
    std::printf("%-18s pread %10.1f %s  ImageSource %10.1f %s  ratio %.3f\n", name, reporter.rate[base] / scale, unit,
                reporter.rate[ours] / scale, unit, reporter.rate[ours] / reporter.rate[base]);
  };
  ratio("sequential_64KiB", "MiB/s", 1024.0 * 1024.0);
  ratio("random_2KiB", "req/s", 1.0);
  close(g_fd);
  return 0;
}
