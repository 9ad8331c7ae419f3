// What inspecting a descriptor costs before a mount: a 99-track cue sheet over one data file and
// a media descriptor padded to just under 128 KiB, each against opening and reading the same file
// (the floor any parser pays).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "manager/inspect/disc_layout.h"
#include "platform/wide_text.h"
#include "tests/fixtures/descriptor_writers.h"

namespace {

struct Files {
  Files() {
    char tmpl[] = "/tmp/kvinspectbench.XXXXXX";
    dir = mkdtemp(tmpl);
    std::filesystem::resize_file(Write("disc.bin", {}), 99ull * 4500 * 2352);
    std::string cue = "CATALOG 0123456789012\nTITLE \"Bench\"\nFILE \"disc.bin\" BINARY\n";
    for (int t = 1; t <= 99; ++t) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "  TRACK %02d AUDIO\n    TITLE \"Track %d\"\n    ISRC USAB1%07d\n    INDEX 00 %02d:00:00\n"
                    "    INDEX 01 %02d:02:00\n",
                    t, t, t, t - 1, t - 1);
      cue += line;
    }
    cuePath = Write("disc.cue", std::vector<uint8_t>(cue.begin(), cue.end()));
    std::vector<kv::test::MdsTrack> tracks;
    for (int t = 0; t < 99; ++t) tracks.push_back({0xA9, 0, t * 4500, 2352, true, 150, 4350});
    auto mds = kv::test::BuildMds(tracks, "*.mdf");
    mds.resize(131071, 0);
    std::filesystem::resize_file(Write("disc.mdf", {}), 99ull * 4500 * 2352);
    mdsPath = Write("disc.mds", mds);
  }
  ~Files() { std::filesystem::remove_all(dir); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string dir, cuePath, mdsPath;
};

Files& TheFiles() {
  static Files f;
  return f;
}

void ReadWhole(const std::string& path, benchmark::State& state) {
  std::vector<char> buffer(131072 + 16);
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(n);
    close(fd);
  }
}

void BM_ReadCueFile(benchmark::State& state) {
  ReadWhole(TheFiles().cuePath, state);
}
void BM_ParseCue99Tracks(benchmark::State& state) {
  const std::u16string path = kv::platform::Utf8ToUtf16(TheFiles().cuePath);
  for (auto _ : state) {
    auto layout = kv::inspect::ParseCueSheet(path);
    if (!layout || layout->trackCount != 99) state.SkipWithError("the sheet did not parse");
  }
}
void BM_ReadMdsFile(benchmark::State& state) {
  ReadWhole(TheFiles().mdsPath, state);
}
void BM_ParseMds128KiB(benchmark::State& state) {
  const std::u16string path = kv::platform::Utf8ToUtf16(TheFiles().mdsPath);
  for (auto _ : state) {
    auto layout = kv::inspect::ParseMediaDescriptor(path);
    if (!layout || layout->trackCount != 99) state.SkipWithError("the descriptor did not parse");
  }
}

BENCHMARK(BM_ReadCueFile);
BENCHMARK(BM_ParseCue99Tracks);
BENCHMARK(BM_ReadMdsFile);
BENCHMARK(BM_ParseMds128KiB);

}  // namespace

BENCHMARK_MAIN();
