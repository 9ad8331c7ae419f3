// Parsing a 99-track cue sheet and a descriptor of just under 128 KiB (a short sheet padded with
// a remark), against reading the same file whole. Run: <build>/bin/descriptor_bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "manager/inspect/disc_layout.h"

namespace {

std::filesystem::path g_dir;

void Parse(benchmark::State& state, const char* name) {
  const std::string path = (g_dir / name).string();
  for (auto _ : state) {
    auto layout = kv::ParseCueSheet(path);
    if (!layout) state.SkipWithError("the sheet does not parse");
    benchmark::DoNotOptimize(layout.get());
  }
}

void ReadWhole(benchmark::State& state, const char* name) {
  const std::string path = (g_dir / name).string();
  for (auto _ : state) {
    std::vector<uint8_t> bytes;
    if (!kv::ReadDescriptorFile(path, &bytes)) state.SkipWithError("cannot read");
    benchmark::DoNotOptimize(bytes.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  g_dir = std::filesystem::path(tmp ? tmp : "/tmp") / "kv_descriptor_bench";
  std::filesystem::create_directories(g_dir);
  {
    const int fd = open((g_dir / "a.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t{2352} * 99 * 1000) != 0) return 1;
    close(fd);
  }
  std::string sheet = "FILE \"a.bin\" BINARY\n";
  for (int t = 1; t <= 99; ++t) {
    char line[160];
    const int at = (t - 1) * 1000;
    std::snprintf(
        line, sizeof line,
        "  TRACK %02d AUDIO\n    TITLE \"Track %d\"\n    INDEX 00 %02d:%02d:%02d\n    INDEX 01 %02d:%02d:%02d\n", t, t,
        at / 4500, at / 75 % 60, at % 75, (at + 200) / 4500, (at + 200) / 75 % 60, (at + 200) % 75);
    sheet += t == 1 ? std::string(line).replace(std::string(line).find("    INDEX 00"), 21, "") : line;
  }
  std::ofstream(g_dir / "99.cue") << sheet;
  std::string padded = "FILE \"a.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\nREM ";
  padded.resize(131071, 'x');
  std::ofstream(g_dir / "128k.cue") << padded;
  benchmark::RegisterBenchmark("ParseCueSheet/99tracks", Parse, "99.cue");
  benchmark::RegisterBenchmark("ReadWhole/99tracks", ReadWhole, "99.cue");
  benchmark::RegisterBenchmark("ParseCueSheet/128KiB", Parse, "128k.cue");
  benchmark::RegisterBenchmark("ReadWhole/128KiB", ReadWhole, "128k.cue");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
