// Tars compressed as one stream, in one run (medians of --runs, processor time of this process
// and its children, which is the steadier figure on a shared machine):
//  1. open + build of a .tar.gz, and open + build + read of its whole image, vs `gzip -dc >/dev/null` (goal <= 1.2)
//  2. after the open, one 1 MiB item near the end (3 MiB before it) of the .tar.gz, .tar.xz, .tar.zst, .tar.bz2  vs the
//  same
//     item of the plain .tar (goal: at most 5 ms more, one seek point's worth of decoding)
// Run: <build>/bin/compressed_bench [--size-mib N (default 128)] [--runs N (default 3)]
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/mounted_archive.h"
#include "service/image_builder.h"
#include "tests/fixtures/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path g_dir;

class NoMessages : public kv::archive::MessageSink {
 public:
  void Post(const kv::archive::ArchiveMessage&) override {}
};
NoMessages g_messages;

double Seconds(const struct timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double CpuSeconds() {
  struct rusage self, children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return Seconds(self.ru_utime) + Seconds(self.ru_stime) + Seconds(children.ru_utime) + Seconds(children.ru_stime);
}

struct Timing {
  double wall = 0, cpu = 0;
};

Timing TimeIt(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  const double c0 = CpuSeconds();
  f();
  return Timing{std::chrono::duration<double>(Clock::now() - t0).count(), CpuSeconds() - c0};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "command failed: %s\n", command.c_str());
}

std::unique_ptr<kv::archive::MountedArchive> Open(const fs::path& file) {
  kv::archive::OpenRequest r;
  r.path = file.string();
  r.installDir = KV_INSTALL_DIR;
  r.storeFolder = (g_dir / "store").string();
  r.messages = &g_messages;
  auto a = kv::archive::MountedArchive::Open(r, nullptr);
  if (!a) {
    std::fprintf(stderr, "cannot open %s\n", file.c_str());
    std::exit(1);
  }
  return a;
}

// Compressible bytes: words from a small vocabulary with random numbers.
std::vector<uint8_t> TextBytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"sector ", "drive ", "archive ", "image ", "volume ", "the ", "of ", "\n"};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n + 32);
  while (s.size() < n) {
    s += kWords[rng() % 8];
    if (rng() % 4 == 0) s += std::to_string(rng() % 100000) + " ";
  }
  s.resize(n);
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Open and lay out the image, as a mount does; with `read`, also read every sector of it, as
// `kvimage build` does.
void OpenBuildRead(const fs::path& file, bool read) {
  auto a = Open(file);
  kv::service::ImageBuilder b(a.get());
  a->AddItemsTo(b);
  if (b.Build() != kv::service::BuildError::kNone) std::exit(1);
  if (!read) return;
  std::vector<uint8_t> buffer(256 * 2048);
  for (uint32_t s = 0; s < b.SectorCount(); s += 256) {
    const uint32_t n = std::min<uint32_t>(256, b.SectorCount() - s);
    if (b.ReadSectors(s, n, buffer.data()) != n) std::exit(1);
  }
}

// Seconds (processor) to read the item before the last of an archive opened beforehand.
Timing ReadLastItem(const fs::path& file) {
  auto a = Open(file);
  const uint32_t last = a->itemCount() - 2;
  std::vector<uint8_t> out(a->items()[last].size);
  return TimeIt([&] {
    if (a->ReadItemBytes(last, out.data(), 0, out.size()) != out.size()) std::exit(1);
  });
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  size_t sizeMib = 128;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--size-mib") == 0) sizeMib = static_cast<size_t>(std::max(8, std::atoi(argv[i + 1])));
  }
  kv::test::TempDir temp;
  g_dir = temp.path();
  setenv("KV_PLATFORM_ROOT", (g_dir / "platform").c_str(), 1);
  fs::create_directories(g_dir / "store");
  const fs::path src = g_dir / "src";
  fs::create_directories(src);
  for (size_t i = 0; i < sizeMib / 4; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "part%04zu.txt", i);
    kv::test::WriteFileBytes(src / name, TextBytes(4u << 20, static_cast<uint32_t>(i)));
  }
  kv::test::WriteFileBytes(src / "zy-near-end.txt", TextBytes(1u << 20, 999));
  // Past the 1 MiB of the stream's end that the index keeps decoded.
  kv::test::WriteFileBytes(src / "zz-tail.txt", TextBytes(3u << 20, 1000));
  const std::string tar = (g_dir / "t.tar").string();
  Shell("cd '" + src.string() + "' && tar cf '" + tar + "' *");
  Shell("gzip -c '" + tar + "' > '" + tar + ".gz'");
  Shell("xz -T1 -0 -c '" + tar + "' > '" + tar + ".xz'");
  Shell("zstd -q -c '" + tar + "' > '" + tar + ".zst'");
  Shell("bzip2 -c '" + tar + "' > '" + tar + ".bz2'");
  // As xz -T0 and parallel compressors write it: independent blocks.
  Shell("xz -T2 -0 --block-size=4MiB -c '" + tar + "' > '" + (g_dir / "blocks.tar.xz").string() + "'");

  std::printf("%zu MiB tar of text, %d runs, medians; seconds wall | processor\n", sizeMib, runs);
  for (const bool read : {false, true}) {
    std::vector<double> oursWall, oursCpu, refWall, refCpu;
    for (int r = 0; r < runs; ++r) {
      const Timing o = TimeIt([&] { OpenBuildRead(tar + ".gz", read); });
      const Timing g = TimeIt([&] { Shell("gzip -dc '" + tar + ".gz' > /dev/null"); });
      oursWall.push_back(o.wall);
      oursCpu.push_back(o.cpu);
      refWall.push_back(g.wall);
      refCpu.push_back(g.cpu);
    }
    std::printf("open+build%s .tar.gz vs gzip -dc %8.3f %8.3f %5.2fx | %8.3f %8.3f %5.2fx  (goal <= 1.2)\n",
                read ? "+read" : "     ", Median(oursWall), Median(refWall), Median(oursWall) / Median(refWall),
                Median(oursCpu), Median(refCpu), Median(oursCpu) / Median(refCpu));
  }
  std::vector<double> plain;
  for (int r = 0; r < runs; ++r) plain.push_back(ReadLastItem(tar).cpu);
  for (const std::string& file :
       {tar + ".gz", tar + ".xz", (g_dir / "blocks.tar.xz").string(), tar + ".zst", tar + ".bz2"}) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) t.push_back(ReadLastItem(file).cpu);
    std::printf("1 MiB item near the end of %-14s vs .tar %8.2f ms %8.2f ms  %+8.2f ms  (goal <= +5 ms)\n",
                fs::path(file).filename().c_str(), Median(t) * 1000, Median(plain) * 1000,
                (Median(t) - Median(plain)) * 1000);
  }
  return 0;
}
