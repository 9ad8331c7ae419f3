// Reading a mounted ISO through the kvemu host socket and through kvexport (FUSE), against pread
// of the same file in the same run; and the round-trip latency of a 2 KiB read.
// KV_BENCH_ISO_MIB sets the image size (default 256).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/devio.h"
#include "platform/ntpath.h"

namespace {

using namespace kv::platform;
namespace fs = std::filesystem;

constexpr uint32_t kBlock = 64 * 1024;

struct Setup {
  fs::path dir;
  std::string iso;
  uint64_t size = 0;
  pid_t host = -1;
  pid_t exporter = -1;
  pid_t cachedExporter = -1;
  pid_t testHost = -1;
  std::string testRoot;
  pid_t cachedHost = -1;
  std::string cachedRoot;
  std::string exported;        // MOUNTPOINT/E, empty without FUSE
  std::string cachedExported;  // the same through the page-cache host
};
Setup g;

pid_t Spawn(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Starts a kvemu in `root` with the image mounted on drive 0 as E:; -1 on failure.
pid_t StartHost(const std::vector<std::string>& command, const std::string& root) {
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  const pid_t pid = Spawn(command);
  Handle h;
  for (int i = 0; i < 500 && !h; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h = CreateFile("\\\\.\\KVEmuDev0");
  }
  std::u16string name;
  LinuxPathToNt(g.iso, &name);
  std::vector<uint8_t> req(kv::kMountRequestMinSize + name.size() * 2, 0);
  auto* r = reinterpret_cast<kv::MountRequest*>(req.data());
  r->Flags = 1;
  r->SectorSize = kv::kSectorSize;
  r->NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(req.data() + kv::kMountRequestFixedSize, name.data(), name.size() * 2);
  uint32_t error = 0, n = 0;
  const char16_t letter = u'E';
  uint8_t out[4];
  if (!h ||
      !DeviceIoControl(h, kv::IOCTL_CDEMU_MOUNT_IMAGE, req.data(), static_cast<uint32_t>(req.size()), &error, 4, &n) ||
      error != 0 || !DeviceIoControl(h, kv::IOCTL_CDEMU_CREATE_DRIVE_LETTER, &letter, 2, out, 4, &n)) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

// Starts kvexport on DIR/<folder> for the host of KV_PLATFORM_ROOT; MOUNTPOINT/E or empty.
std::string Export(const std::string& bin, const std::string& folder, pid_t* pid) {
  fs::create_directories(g.dir / folder);
  *pid = Spawn({bin + "/kvexport", (g.dir / folder).string()});
  const std::string e = (g.dir / folder / "E").string();
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (fs::file_size(e, ec) == g.size) return e;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

bool Prepare() {
  const char* mib = std::getenv("KV_BENCH_ISO_MIB");
  const uint64_t megabytes = mib ? std::strtoull(mib, nullptr, 10) : 256;
  char tmpl[] = "/tmp/kvbench.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  g.dir = tmpl;
  fs::create_directories(g.dir / "src");
  {
    std::vector<uint8_t> block(1 << 20);
    std::mt19937 rng(1);
    for (auto& b : block) b = static_cast<uint8_t>(rng());
    FILE* f = std::fopen((g.dir / "src" / "data.bin").c_str(), "wb");
    for (uint64_t i = 0; i < megabytes; ++i) {
      block[0] = static_cast<uint8_t>(i);
      std::fwrite(block.data(), 1, block.size(), f);
    }
    std::fclose(f);
  }
  g.iso = (g.dir / "big.iso").string();
  const std::string cmd = "genisoimage -quiet -o '" + g.iso + "' '" + (g.dir / "src").string() + "'";
  if (std::system(cmd.c_str()) != 0) return false;
  fs::remove_all(g.dir / "src");
  g.size = fs::file_size(g.iso);

  const std::string bin = fs::path(KV_BENCH_BIN_DIR).string();
  const std::string root = (g.dir / "root").string();
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  g.host = StartHost({bin + "/kvemu"}, root);
  if (g.host <= 0) return false;
  g.cachedRoot = (g.dir / "cachedroot").string();
  g.cachedHost = StartHost({bin + "/kvemu", "--page-cache"}, g.cachedRoot);
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);

  // The host with the tests' pattern driver: the transport alone, without image reads.
  const std::string testHost = bin + "/kvemu_test_host";
  if (access(testHost.c_str(), X_OK) == 0) {
    g.testRoot = (g.dir / "testroot").string();
    setenv("KV_PLATFORM_ROOT", g.testRoot.c_str(), 1);
    g.testHost = Spawn({testHost});
    for (int i = 0; i < 500 && !CreateFile("\\\\.\\TestDev0"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  }

  if (access("/dev/fuse", R_OK | W_OK) == 0) {
    g.exported = Export(bin, "mnt", &g.exporter);
    if (g.cachedHost > 0) {
      setenv("KV_PLATFORM_ROOT", g.cachedRoot.c_str(), 1);
      g.cachedExported = Export(bin, "cachedmnt", &g.cachedExporter);
      setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
    }
  }
  return true;
}

void Finish() {
  for (pid_t* p : {&g.exporter, &g.cachedExporter, &g.host, &g.testHost, &g.cachedHost}) {
    if (*p <= 0) continue;
    kill(*p, SIGTERM);
    waitpid(*p, nullptr, 0);
  }
  std::error_code ec;
  fs::remove_all(g.dir, ec);
}

// Sequential reads of the whole image in 64 KiB blocks, dropping the page cache's advantage for
// none of them: the image file is in the cache for all three after the first pass.
void BM_PreadFile(benchmark::State& state) {
  const int fd = open(g.iso.c_str(), O_RDONLY);
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buf(block);
  for (auto _ : state) {
    for (uint64_t at = 0; at < g.size; at += block)
      benchmark::DoNotOptimize(pread(fd, buf.data(), block, static_cast<off_t>(at)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g.size));
  close(fd);
}

// What the unbuffered image reader can get from the file: direct reads in its 32 KiB chunks;
// and direct reads of the request size.
void BM_PreadDirect(benchmark::State& state) {
  const int fd = open(g.iso.c_str(), O_RDONLY | O_DIRECT);
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  void* buf = nullptr;
  if (fd < 0 || posix_memalign(&buf, 4096, block) != 0) {
    state.SkipWithError("no O_DIRECT here");
    if (fd >= 0) close(fd);
    return;
  }
  for (auto _ : state) {
    for (uint64_t at = 0; at < g.size; at += block)
      benchmark::DoNotOptimize(pread(fd, buf, block, static_cast<off_t>(at)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g.size));
  free(buf);
  close(fd);
}

// Whole passes of 64 KiB ReadFile requests to `device` of the host in `root` (empty: the
// benchmark's main host).
void ReadThroughHost(benchmark::State& state, const std::string& root, const std::string& device) {
  if (!root.empty()) setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  Handle h = CreateFile(device);
  setenv("KV_PLATFORM_ROOT", (g.dir / "root").c_str(), 1);
  // Up to 64 KiB: ReadFile into the caller's buffer; larger: the bytes left where the drive put
  // them, as `kvctl dev read` takes them.
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buf(block);
  SharedRead lease;
  for (auto _ : state) {
    for (uint64_t at = 0; at < g.size; at += block) {
      uint32_t n = 0;
      const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(block, g.size - at));
      if (block > kBlock ? !ReadFileShared(h, at, now, &lease) : !ReadFile(h, at, buf.data(), now, &n)) {
        state.SkipWithError(("read through " + device + " failed").c_str());
        return;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g.size));
}

// The same 64 KiB requests to a device whose reads cost nothing: the host's own share.
void BM_HostTransportOnly(benchmark::State& state) {
  if (g.testHost <= 0) {
    state.SkipWithError("kvemu_test_host is not built");
    return;
  }
  ReadThroughHost(state, g.testRoot, "\\\\.\\TestDev0");
}

void BM_HostSocket(benchmark::State& state) {
  ReadThroughHost(state, "", "\\\\.\\E:");
}

// The same through a host whose driver reads the image via the page cache, like pread does.
void BM_HostSocketPageCache(benchmark::State& state) {
  if (g.cachedHost <= 0) {
    state.SkipWithError("the page-cache host did not start");
    return;
  }
  ReadThroughHost(state, g.cachedRoot, "\\\\.\\E:");
}

// Each pass opens the file again: kvexport lets the kernel drop the pages cached by an earlier
// open, so every pass goes through FUSE and the host rather than the pages of the one before.
void ReadExported(benchmark::State& state, const std::string& path) {
  if (path.empty()) {
    state.SkipWithError("kvexport is not available (no /dev/fuse)");
    return;
  }
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buf(block);
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    // Pages kept by kvexport for an unchanged medium would answer the pass without it.
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    for (uint64_t at = 0; at < g.size; at += block)
      benchmark::DoNotOptimize(pread(fd, buf.data(), block, static_cast<off_t>(at)));
    close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g.size));
}

void BM_Kvexport(benchmark::State& state) {
  ReadExported(state, g.exported);
}

// The same through a page-cache host: FUSE and the host's own share.
void BM_KvexportPageCache(benchmark::State& state) {
  ReadExported(state, g.cachedExported);
}

// A reader that takes 2 KiB at a time, as file-system readers do, over the first 64 MiB: the
// plain ISO against the exported file, both after a first pass (the second and later passes).
void Read2K(benchmark::State& state, const std::string& path) {
  if (path.empty()) {
    state.SkipWithError("kvexport is not available (no /dev/fuse)");
    return;
  }
  const uint64_t span = std::min<uint64_t>(g.size, 64u << 20);
  char buf[2048];
  auto pass = [&] {
    const int fd = open(path.c_str(), O_RDONLY);
    for (uint64_t at = 0; at < span; at += sizeof buf)
      benchmark::DoNotOptimize(pread(fd, buf, sizeof buf, static_cast<off_t>(at)));
    close(fd);
  };
  pass();
  for (auto _ : state) pass();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * span));
}

void BM_Reader2KPlain(benchmark::State& state) {
  Read2K(state, g.iso);
}
void BM_Reader2KExported(benchmark::State& state) {
  Read2K(state, g.exported);
}

void Timed2K(benchmark::State& state, const std::function<bool(uint64_t)>& read) {
  std::vector<double> micros;
  std::mt19937_64 rng(7);
  const uint64_t sectors = g.size / 2048;
  for (auto _ : state) {
    const uint64_t at = (rng() % sectors) * 2048;
    const auto t0 = std::chrono::steady_clock::now();
    if (!read(at)) {
      state.SkipWithError("2 KiB read failed");
      return;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
}

void LatencyDirect2K(benchmark::State& state) {
  const int fd = open(g.iso.c_str(), O_RDONLY | O_DIRECT);
  void* buf = nullptr;
  if (fd < 0 || posix_memalign(&buf, 4096, 2048) != 0) {
    state.SkipWithError("no O_DIRECT here");
    if (fd >= 0) close(fd);
    return;
  }
  Timed2K(state, [&](uint64_t at) { return pread(fd, buf, 2048, static_cast<off_t>(at)) == 2048; });
  free(buf);
  close(fd);
}

// 2 KiB reads at random sectors, each timed: through the default host (unbuffered reads from the
// disk), the page-cache host, the pattern driver (the transport alone), and, as the reference for
// the first, O_DIRECT pread of the image in this process.
void BM_Latency2K(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  if (which == 3) return LatencyDirect2K(state);
  const std::string root = which == 1 ? g.cachedRoot : which == 2 ? g.testRoot : (g.dir / "root").string();
  if ((which == 1 && g.cachedHost <= 0) || (which == 2 && g.testHost <= 0)) {
    state.SkipWithError("that host did not start");
    return;
  }
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  Handle h = CreateFile(which == 2 ? "\\\\.\\TestDev0" : "\\\\.\\E:");
  setenv("KV_PLATFORM_ROOT", (g.dir / "root").c_str(), 1);
  std::vector<uint8_t> buf(2048);
  Timed2K(state, [&](uint64_t at) {
    uint32_t n = 0;
    return ReadFile(h, at, buf.data(), 2048, &n) && n == 2048;
  });
}

constexpr int64_t k1M = 1 << 20;
BENCHMARK(BM_PreadFile)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PreadDirect)->Arg(32768)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HostTransportOnly)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HostSocket)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HostSocketPageCache)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Kvexport)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_KvexportPageCache)->Arg(kBlock)->Arg(k1M)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Reader2KPlain)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Reader2KExported)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Latency2K)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20000)
    ->UseRealTime();

// Prints the ratios against pread after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    // Against pread of the same request size, and O_DIRECT pread in 32 KiB and in the same size.
    auto rate = [&](const std::string& bench, const std::string& size) {
      auto it = rates_.find(bench + "/" + size + "/min_time:2.000/real_time");
      return it == rates_.end() ? 0.0 : it->second;
    };
    for (const auto& [name, r] : rates_) {
      const size_t slash = name.find('/');
      const std::string size = name.substr(slash + 1, name.find('/', slash + 1) - slash - 1);
      const double cached = rate("BM_PreadFile", size);
      const double direct32 = rate("BM_PreadDirect", "32768");
      const double direct = rate("BM_PreadDirect", size);
      if (cached <= 0) continue;
      std::printf("%-48s %8.0f MiB/s  %.3f of pread", name.c_str(), r / 1048576, r / cached);
      if (direct32 > 0) std::printf("  %.3f of direct 32 KiB", r / direct32);
      if (direct > 0) std::printf("  %.3f of direct same size", r / direct);
      std::printf("\n");
    }
    const auto plain = rates_.find("BM_Reader2KPlain/min_time:1.000/real_time");
    const auto exported = rates_.find("BM_Reader2KExported/min_time:1.000/real_time");
    if (plain != rates_.end() && exported != rates_.end() && exported->second > 0)
      std::printf("2 KiB reader, exported file / plain ISO (time): %.2f\n", plain->second / exported->second);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) {
    std::fprintf(stderr, "host_bench: could not set up kvemu with a mounted image\n");
    Finish();
    return 1;
  }
  std::printf("image: %llu MiB\n", static_cast<unsigned long long>(g.size >> 20));
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  Finish();
  return 0;
}
