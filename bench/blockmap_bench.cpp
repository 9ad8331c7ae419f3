// ISZ reads through the block map against the reference on the same blocks in the same run:
//   decode:  ImageSource reads of a zlib ISZ (file read + inflate + copy) / zlib uncompress()
//            alone over the same compressed blocks held in memory (goal >= 0.85);
//   aes:     the same reads of an AES-256 ISZ / the plain ISZ (goal: less than 10 % slower);
//   drive:   sequential 64 KiB reads through a drive's queue and worker / `kvimage iso` of the
//            same ISZ to a file.
// Run: <build>/bin/blockmap_bench [--size-mib N] [benchmark options]; images are made once in /tmp.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "driver/driver.h"
#include "formats/blockmap/block_map_reader.h"
#include "formats/image_source.h"
#include "platform/kernel/kernel.h"
#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/test_support.h"

namespace {

using namespace kv;

constexpr uint32_t kBlockSize = 64 * 1024;
constexpr uint32_t kBlockSectors = kBlockSize / kSectorSize;
constexpr char kPassword[] = "benchmark password";
uint64_t g_mib = 64;
std::string g_iso, g_plain, g_aes;
uint32_t g_sectors = 0;
std::vector<std::vector<uint8_t>> g_blocks;  // the plain ISZ's compressed blocks
std::unique_ptr<ImageSource> g_plainSource, g_aesSource;
kernel::DeviceObject* g_drive = nullptr;

// Text-like data (words from a small vocabulary) that zlib shrinks about threefold, as disc
// contents often do; random bytes would make inflate a copy.
bool MakeImagesOnce() {
  const std::string base = "/tmp/kv_blockmap_bench_" + std::to_string(g_mib);
  g_iso = base + ".iso";
  g_plain = base + ".isz";
  g_aes = base + ".aes.isz";
  if (!std::filesystem::exists(g_iso)) {
    const std::string src = base + ".src";
    std::filesystem::create_directories(src);
    {
      std::ofstream f(src + "/data.txt", std::ios::binary);
      std::mt19937 rng(1);
      std::vector<std::string> words;
      for (int i = 0; i < 2000; ++i) {
        std::string w;
        for (int n = 3 + static_cast<int>(rng() % 8); n > 0; --n) w += static_cast<char>('a' + rng() % 26);
        words.push_back(w);
      }
      std::string text;
      while (text.size() < (g_mib - 1) << 20) text += words[rng() % words.size()] + (rng() % 12 ? " " : "\n");
      f << text;
    }
    const std::string cmd = "genisoimage -quiet -J -R -o '" + g_iso + ".part' '" + src + "'";
    const bool ok = std::system(cmd.c_str()) == 0 && std::rename((g_iso + ".part").c_str(), g_iso.c_str()) == 0;
    std::filesystem::remove_all(src);
    if (!ok) return false;
  }
  const std::vector<uint8_t> iso = test::ReadFileBytes(g_iso);
  g_sectors = static_cast<uint32_t>(iso.size() / kSectorSize);
  test::IszOptions o;
  o.blockSize = kBlockSize;
  o.types = {2};
  if (!std::filesystem::exists(g_plain)) test::WriteFileBytes(g_plain, test::WriteIsz(iso, o));
  o.encryption = 4;
  o.password = kPassword;
  if (!std::filesystem::exists(g_aes)) test::WriteFileBytes(g_aes, test::WriteIsz(iso, o));
  return true;
}

std::unique_ptr<ImageSource> Open(const std::string& path, const char* password) {
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = kFormatIsz;
  std::strncpy(request->Password, password, sizeof request->Password - 1);
  int error = 0;
  std::unique_ptr<ImageSource> source;
  if (ImageSource::Open(*request, u"bench", OpenPosixFile(path, &error), &source) != kMountOk) return nullptr;
  return source;
}

// The compressed blocks of the plain ISZ, as its block map places them.
bool LoadBlocks() {
  int error = 0;
  ImageFile file(OpenPosixFile(g_plain, &error));
  const uint64_t size = std::filesystem::file_size(g_plain);
  BlockMap map(kSectorSize, 0);
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  const char* reason = nullptr;
  if (!BuildIszMap(file, size, *request, &map, &reason)) return false;
  for (const Extent& e : map.extents()) {
    if (e.kind != ExtentKind::kZlib) continue;
    g_blocks.emplace_back(e.storedSize);
    if (!file.ReadAt(e.fileOffset, e.storedSize, g_blocks.back().data())) return false;
  }
  return !g_blocks.empty();
}

void ZlibUncompress(benchmark::State& state) {
  std::vector<uint8_t> out(kBlockSize);
  size_t i = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& in = g_blocks[i++ % g_blocks.size()];
    uLongf n = kBlockSize;
    if (uncompress(out.data(), &n, in.data(), in.size()) != Z_OK) state.SkipWithError("uncompress failed");
    bytes += static_cast<int64_t>(n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(bytes);
}

// One block per iteration, every block a cache miss (the map holds four of them).
void Sequential(benchmark::State& state, ImageSource* source) {
  std::vector<uint8_t> out(kBlockSize);
  const uint32_t blocks = g_sectors / kBlockSectors;
  uint64_t i = 0;
  for (auto _ : state) {
    if (source->ReadSectors((i++ % blocks) * kBlockSectors, kBlockSectors, out.data()) != kBlockSectors)
      state.SkipWithError("ReadSectors failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
}
void PlainIsz(benchmark::State& state) {
  Sequential(state, g_plainSource.get());
}
void AesIsz(benchmark::State& state) {
  Sequential(state, g_aesSource.get());
}

NTSTATUS Call(kernel::DeviceObject* drive, std::unique_ptr<kernel::Irp> irp) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  NTSTATUS status = 0;
  irp->onComplete = [&](kernel::Irp& finished) {
    std::lock_guard<std::mutex> g(m);
    status = finished.status;
    done = true;
    cv.notify_one();
  };
  kernel::IoCallDriver(drive, std::move(irp));
  std::unique_lock<std::mutex> g(m);
  cv.wait(g, [&] { return done; });
  return status;
}

std::unique_ptr<kernel::Irp> NewIrp() {
  auto irp = std::make_unique<kernel::Irp>();
  irp->requestor.uid = geteuid();
  irp->requestor.gid = getegid();
  return irp;
}

// The whole medium, 64 KiB at a time, as a copy program would read the drive.
void DriveSequential(benchmark::State& state) {
  for (auto _ : state) {
    for (uint32_t at = 0; at + kBlockSectors <= g_sectors; at += kBlockSectors) {
      auto irp = NewIrp();
      irp->major = kernel::MajorFunction::Read;
      irp->byteOffset = uint64_t{at} * kSectorSize;
      irp->length = kBlockSize;
      irp->output.resize(kBlockSize);
      if (Call(g_drive, std::move(irp)) != STATUS_SUCCESS) state.SkipWithError("drive read failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (g_sectors / kBlockSectors) * kBlockSize);
}

void KvimageIso(benchmark::State& state) {
  const std::string out = g_plain + ".out.iso";
  const std::string cmd = "'" + test::ProgramPath("kvimage") + "' iso '" + g_plain + "' -o '" + out + "' 2>/dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("kvimage iso failed");
  }
  std::filesystem::remove(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g_sectors * kSectorSize);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (r.run_type == Run::RT_Iteration && !r.error_occurred && it != r.counters.end())
        rate[r.benchmark_name()] = it->second;
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
  if (!MakeImagesOnce() || !LoadBlocks()) {
    std::fprintf(stderr, "blockmap_bench: cannot make the images in /tmp (genisoimage)\n");
    return 1;
  }
  g_plainSource = Open(g_plain, "");
  g_aesSource = Open(g_aes, kPassword);
  if (!g_plainSource || !g_aesSource) {
    std::fprintf(stderr, "blockmap_bench: cannot open the ISZ images\n");
    return 1;
  }

  kernel::DriverObject driver;
  if (!NT_SUCCESS(driver::DriverEntry(&driver))) return 1;
  g_drive = kernel::ObLookupDevice("\\DosDevices\\KVEmuDev0");
  kernel::KernelFileUseDirectIo(false);  // both sides read the ISZ from the page cache
  std::u16string name = u"\\??\\C:";
  for (char c : g_plain) name.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  auto mount = NewIrp();
  mount->ioControlCode = IOCTL_CDEMU_MOUNT_IMAGE;
  mount->input.assign(kMountRequestFixedSize + name.size() * 2 + 2, 0);
  auto* r = reinterpret_cast<MountRequest*>(mount->input.data());
  r->Flags = 1;
  r->Format = kFormatIsz;
  r->SectorSize = kSectorSize;
  r->NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(mount->input.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  mount->output.resize(4);
  if (Call(g_drive, std::move(mount)) != STATUS_SUCCESS) return 1;

  std::printf("ISO %u sectors (%llu MiB), ISZ %llu MiB in %zu zlib blocks of 64 KiB\n", g_sectors,
              static_cast<unsigned long long>(g_mib),
              static_cast<unsigned long long>(std::filesystem::file_size(g_plain) >> 20), g_blocks.size());
  benchmark::RegisterBenchmark("decode/zlib_uncompress", ZlibUncompress);
  benchmark::RegisterBenchmark("decode/isz_reads", PlainIsz);
  benchmark::RegisterBenchmark("aes/isz_aes256_reads", AesIsz);
  benchmark::RegisterBenchmark("drive/kvimage_iso", KvimageIso)->Iterations(3)->UseRealTime();
  benchmark::RegisterBenchmark("drive/sequential_64KiB", DriveSequential)->Iterations(3)->UseRealTime();
  int restc = static_cast<int>(rest.size());
  benchmark::Initialize(&restc, rest.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ratio = [&](const std::string& ours, const std::string& base) {
    for (const auto& [name, rate] : reporter.rate) {
      if (name.rfind(ours, 0) != 0) continue;
      for (const auto& [other, baseRate] : reporter.rate) {
        if (other.rfind(base, 0) == 0 && baseRate > 0)
          std::printf("%-26s %8.1f MiB/s / %-24s %8.1f MiB/s = %.3f\n", ours.c_str(), rate / 1048576.0, base.c_str(),
                      baseRate / 1048576.0, rate / baseRate);
      }
    }
  };
  ratio("decode/isz_reads", "decode/zlib_uncompress");
  ratio("aes/isz_aes256_reads", "decode/isz_reads");
  ratio("drive/sequential_64KiB", "drive/kvimage_iso");
  driver.driverUnload(&driver);
  return 0;
}
