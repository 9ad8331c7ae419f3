// Raw 2352-byte sectors: building Mode 1 and Mode 2 Form 1 sectors (EDC + P/Q parity) against
// memcpy of 2352 bytes, and raw reads of a stored 2352-byte track and of a 2048-byte track
// (sectors built on the fly) through ImageSource against ReadSectors of the same files, all
// from the page cache. Prints the ratios after the table.
// Run: <build>/bin/raw_sector_bench [benchmark options].
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "formats/raw/raw_sector.h"

namespace {

using namespace kv;

constexpr uint32_t kTrackSectors = 16384;  // 36 MiB raw, 32 MiB cooked
constexpr uint32_t kBatch = 64;
std::map<std::string, double> g_rates;

void Memcpy2352(benchmark::State& state) {
  std::vector<uint8_t> from(kRawSectorSize * 64, 1), to(kRawSectorSize * 64);
  uint32_t i = 0;
  for (auto _ : state) {
    std::memcpy(to.data() + (i % 64) * kRawSectorSize, from.data() + (i % 64) * kRawSectorSize, kRawSectorSize);
    benchmark::DoNotOptimize(to.data());
    ++i;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRawSectorSize);
}

template <void (*Build)(int64_t, const uint8_t*, uint8_t*)>
void BuildSector(benchmark::State& state) {
  std::vector<uint8_t> user(kSectorSize);
  for (size_t i = 0; i < user.size(); ++i) user[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> sector(kRawSectorSize);
  int64_t address = 0;
  for (auto _ : state) {
    Build(address++, user.data(), sector.data());
    benchmark::DoNotOptimize(sector.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRawSectorSize);
}

std::filesystem::path g_dir;
std::unique_ptr<ImageSource> g_raw, g_cooked;

// One data track of `size`-byte sectors (user data at `dataOffset`) holding pseudo-random bytes
// and the ISO 9660 descriptors the file-system probe needs, opened as the plain format with the
// track as its layout, so that ReadSectors and ReadRawSectors read the same file.
std::unique_ptr<ImageSource> OpenTrack(const std::filesystem::path& path, int32_t size, uint8_t mode) {
  const uint32_t dataOffset = size == 2352 ? 16 : 0;
  if (!std::filesystem::exists(path)) {
    std::vector<uint8_t> bytes(uint64_t{kTrackSectors} * static_cast<uint32_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    uint8_t* pvd = bytes.data() + 16 * size + dataOffset;
    uint8_t* terminator = pvd + size;
    std::memset(pvd, 0, 2048);
    std::memset(terminator, 0, 2048);
    pvd[0] = 1;
    std::memcpy(pvd + 1, "CD001", 5);
    pvd[128] = 0x00;
    pvd[129] = 0x08;  // logical block size 2048
    pvd[158] = 17;    // root directory at sector 17, which exists
    terminator[0] = 255;
    std::memcpy(terminator + 1, "CD001", 5);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  auto r = std::make_unique<MountRequest>();
  std::memset(r.get(), 0, sizeof *r);
  r->Format = size == 2352 ? kFormatBin : kFormatIso;
  r->SectorSize = static_cast<uint32_t>(size);
  r->DataOffset = dataOffset;
  r->TrackCount = 1;
  r->TrackMode[0] = mode;
  r->TrackLength[0] = kTrackSectors;
  r->TrackSectorSize[0] = size;
  r->TrackFileEnd[0] = int64_t{kTrackSectors} * size;
  r->TrackStart[1] = kTrackSectors;
  int error = 0;
  std::unique_ptr<ImageSource> source;
  if (ImageSource::Open(*r, u"bench", OpenPosixFile(path.string(), &error), &source) != kMountOk) return nullptr;
  return source;
}

void RawReads(benchmark::State& state, ImageSource* source) {
  std::vector<uint8_t> buf(uint64_t{kBatch} * kRawSectorSize);
  uint32_t at = 0;
  for (auto _ : state) {
    if (source->ReadRawSectors(at, kBatch, buf.data()) != kBatch) state.SkipWithError("raw read failed");
    at = (at + kBatch) % kTrackSectors;
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kRawSectorSize);
  state.counters["sectors/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
}

void RawReadsStored2352(benchmark::State& state) {
  RawReads(state, g_raw.get());
}
void RawReadsBuiltFrom2048(benchmark::State& state) {
  RawReads(state, g_cooked.get());
}

// The user data of the same 2352-byte file through ReadSectors.
void ReadSectorsSameFile(benchmark::State& state) {
  std::vector<uint8_t> buf(uint64_t{kBatch} * kSectorSize);
  uint32_t at = 0;
  for (auto _ : state) {
    if (g_raw->ReadSectors(at, kBatch, buf.data()) != kBatch) state.SkipWithError("read failed");
    at = (at + kBatch) % kTrackSectors;
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kSectorSize);
  state.counters["sectors/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) g_rates[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  g_dir = std::filesystem::path(tmp ? tmp : "/tmp") / "kv_raw_sector_bench";
  std::filesystem::create_directories(g_dir);
  g_raw = OpenTrack(g_dir / "track2352.bin", 2352, TRACK_MODE1_RAW);
  g_cooked = OpenTrack(g_dir / "track2048.iso", 2048, TRACK_MODE1_2048);
  if (!g_raw || !g_cooked) {
    std::fprintf(stderr, "raw_sector_bench: cannot open the track files in %s\n", g_dir.c_str());
    return 1;
  }
  benchmark::RegisterBenchmark("Memcpy2352", Memcpy2352);
  benchmark::RegisterBenchmark("BuildMode1", BuildSector<BuildMode1Sector>);
  benchmark::RegisterBenchmark("BuildMode2Form1", BuildSector<BuildMode2Form1Sector>);
  benchmark::RegisterBenchmark("RawReadsStored2352", RawReadsStored2352);
  benchmark::RegisterBenchmark("RawReadsBuiltFrom2048", RawReadsBuiltFrom2048);
  benchmark::RegisterBenchmark("ReadSectorsSameFile", ReadSectorsSameFile);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [](const char* a, const char* b) {
    if (g_rates.count(a) && g_rates.count(b) && g_rates[b] > 0)
      std::printf("%-22s / %-22s = %.3f\n", a, b, g_rates[a] / g_rates[b]);
  };
  std::printf("\n");
  ratio("BuildMode1", "Memcpy2352");
  ratio("BuildMode2Form1", "Memcpy2352");
  ratio("RawReadsStored2352", "ReadSectorsSameFile");
  ratio("RawReadsBuiltFrom2048", "RawReadsStored2352");
  if (g_rates.count("BuildMode1"))
    std::printf("BuildMode1: %.0f MB/s of raw sectors, %.0f sectors/s\n", g_rates["BuildMode1"] / 1e6,
                g_rates["BuildMode1"] / kRawSectorSize);
  benchmark::Shutdown();
  return 0;
}
