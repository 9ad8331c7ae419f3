// Reads through a drive's queue and worker (IoCallDriver + wait for the completion) against plain
// pread of the same file in the same run: sequential 64 KiB and random 2 KiB.
// Run: <build>/bin/driver_bench [--size-mib N] [benchmark options]; the ISO is made once in /tmp.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

#include "bench/bench_iso.h"
#include "common/ioctl.h"
#include "common/mount_request.h"
#include "driver/driver.h"
#include "platform/kernel/kernel.h"

namespace {

using namespace kv;

constexpr uint32_t kSequentialChunk = 64 * 1024;
uint64_t g_mib = 256;
std::string g_iso;
uint64_t g_sectors = 0;
kernel::DeviceObject* g_drive = nullptr;          // image opened with O_DIRECT (the default)
kernel::DeviceObject* g_bufferedDrive = nullptr;  // the same image through the page cache

using kv::bench::MakeIsoOnce;

void WarmPageCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  std::vector<uint8_t> buf(1 << 20);
  while (read(fd, buf.data(), buf.size()) > 0) {
  }
  close(fd);
}

// Processor time of the whole process (the worker thread included), in seconds.
double ProcessCpuSeconds() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Adds the process's processor time per operation, steadier than wall time on a shared machine.
class CpuMeter {
 public:
  explicit CpuMeter(benchmark::State& state) : state_(state), start_(ProcessCpuSeconds()) {}
  ~CpuMeter() {
    if (state_.iterations() > 0) {
      state_.counters["cpu_us_per_op"] =
          (ProcessCpuSeconds() - start_) * 1e6 / static_cast<double>(state_.iterations());
    }
  }

 private:
  benchmark::State& state_;
  double start_;
};

struct Waiter {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  NTSTATUS status = 0;
};

NTSTATUS Call(kernel::DeviceObject* drive, std::unique_ptr<kernel::Irp> irp) {
  Waiter w;
  irp->onComplete = [&w](kernel::Irp& done) {
    std::lock_guard<std::mutex> g(w.m);
    w.status = done.status;
    w.done = true;
    w.cv.notify_one();
  };
  kernel::IoCallDriver(drive, std::move(irp));
  std::unique_lock<std::mutex> g(w.m);
  w.cv.wait(g, [&] { return w.done; });
  return w.status;
}

NTSTATUS DriverRead(kernel::DeviceObject* drive, uint64_t offset, uint32_t length) {
  auto irp = std::make_unique<kernel::Irp>();
  irp->major = kernel::MajorFunction::Read;
  irp->byteOffset = offset;
  irp->length = length;
  irp->output.resize(length);
  irp->requestor.uid = geteuid();
  irp->requestor.gid = getegid();
  return Call(drive, std::move(irp));
}

void DriverSequential(benchmark::State& state, kernel::DeviceObject* drive) {
  CpuMeter meter(state);
  const uint64_t chunks = g_sectors * 2048 / kSequentialChunk;
  uint64_t i = 0;
  for (auto _ : state) {
    const NTSTATUS status = DriverRead(drive, (i++ % chunks) * kSequentialChunk, kSequentialChunk);
    if (status != STATUS_SUCCESS) {
      std::fprintf(stderr, "read at chunk %llu: status %08x\n", static_cast<unsigned long long>(i - 1),
                   static_cast<unsigned>(status));
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSequentialChunk);
}

void BM_DriverSequential64K(benchmark::State& state) {
  DriverSequential(state, g_drive);
}
void BM_DriverBufferedSequential64K(benchmark::State& state) {
  DriverSequential(state, g_bufferedDrive);
}

void PreadSequential(benchmark::State& state, int flags) {
  CpuMeter meter(state);
  const int fd = open(g_iso.c_str(), O_RDONLY | flags);
  const uint64_t chunks = g_sectors * 2048 / kSequentialChunk;
  void* buf = nullptr;
  if (posix_memalign(&buf, 4096, kSequentialChunk) != 0) return;
  uint64_t i = 0;
  for (auto _ : state) {
    if (pread(fd, buf, kSequentialChunk, static_cast<off_t>((i++ % chunks) * kSequentialChunk)) != kSequentialChunk) {
      state.SkipWithError("pread failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSequentialChunk);
  free(buf);
  close(fd);
}

void BM_PreadSequential64K(benchmark::State& state) {
  PreadSequential(state, 0);
}
void BM_PreadDirectSequential64K(benchmark::State& state) {
  PreadSequential(state, O_DIRECT);
}

void DriverRandom(benchmark::State& state, kernel::DeviceObject* drive) {
  CpuMeter meter(state);
  std::mt19937_64 rng(5);
  for (auto _ : state) {
    if (DriverRead(drive, rng() % g_sectors * 2048, 2048) != STATUS_SUCCESS) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_DriverRandom2K(benchmark::State& state) {
  DriverRandom(state, g_drive);
}
void BM_DriverBufferedRandom2K(benchmark::State& state) {
  DriverRandom(state, g_bufferedDrive);
}

void PreadRandom(benchmark::State& state, int flags) {
  CpuMeter meter(state);
  const int fd = open(g_iso.c_str(), O_RDONLY | flags);
  void* buf = nullptr;
  if (posix_memalign(&buf, 4096, 2048) != 0) return;
  std::mt19937_64 rng(5);
  for (auto _ : state) {
    if (pread(fd, buf, 2048, static_cast<off_t>(rng() % g_sectors * 2048)) != 2048) {
      state.SkipWithError("pread failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  free(buf);
  close(fd);
}

void BM_PreadRandom2K(benchmark::State& state) {
  PreadRandom(state, 0);
}
void BM_PreadDirectRandom2K(benchmark::State& state) {
  PreadRandom(state, O_DIRECT);
}

BENCHMARK(BM_DriverSequential64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DriverBufferedSequential64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PreadSequential64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PreadDirectSequential64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DriverRandom2K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DriverBufferedRandom2K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PreadRandom2K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PreadDirectRandom2K)->MinTime(2.0)->UseRealTime();

// Keeps each benchmark's rate so the ratios can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      for (const char* key : {"bytes_per_second", "items_per_second"}) {
        auto it = r.counters.find(key);
        if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
      }
      auto cpu = r.counters.find("cpu_us_per_op");
      if (cpu != r.counters.end()) cpuPerOp[r.benchmark_name()] = cpu->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
  std::map<std::string, double> cpuPerOp;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc) {
      g_mib = std::strtoull(argv[++i], nullptr, 10);
    } else {
      args.push_back(argv[i]);
    }
  }
  if (g_mib < 4) g_mib = 4;
  g_iso = "/tmp/kv_driver_bench_" + std::to_string(g_mib) + "MiB.iso";
  if (!MakeIsoOnce(g_iso, g_mib)) {
    std::fprintf(stderr, "driver_bench: cannot make %s (genisoimage)\n", g_iso.c_str());
    return 1;
  }
  WarmPageCache(g_iso);

  kernel::DriverObject driver;
  if (!NT_SUCCESS(driver::DriverEntry(&driver))) return 1;
  g_drive = kernel::ObLookupDevice("\\DosDevices\\KVEmuDev0");
  std::u16string name = u"\\??\\C:";
  for (char c : g_iso) name.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  std::vector<uint8_t> request(kMountRequestFixedSize + name.size() * 2 + 2, 0);
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.Flags = 1;
  r.Format = kFormatIso;
  r.SectorSize = 2048;
  r.NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(request.data(), &r, kMountRequestFixedSize);
  std::memcpy(request.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  g_bufferedDrive = kernel::ObLookupDevice("\\DosDevices\\KVEmuDev1");
  for (kernel::DeviceObject* drive : {g_drive, g_bufferedDrive}) {
    kernel::KernelFileUseDirectIo(drive == g_drive);
    auto irp = std::make_unique<kernel::Irp>();
    irp->ioControlCode = IOCTL_CDEMU_MOUNT_IMAGE;
    irp->input = request;
    irp->output.resize(4);
    irp->requestor.uid = geteuid();
    irp->requestor.gid = getegid();
    // A failed mount still succeeds as a request; a read tells.
    if (Call(drive, std::move(irp)) != STATUS_SUCCESS || DriverRead(drive, 16 * 2048, 2048) != STATUS_SUCCESS) {
      std::fprintf(stderr, "driver_bench: cannot mount %s\n", g_iso.c_str());
      return 1;
    }
  }
  kernel::KernelFileUseDirectIo(true);
  g_sectors = std::filesystem::file_size(g_iso) / 2048;

  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const std::string& a, const std::string& b) {
    const std::string suffix = "/min_time:2.000/real_time";
    const double x = reporter.rates[a + suffix], y = reporter.rates[b + suffix];
    const double cx = reporter.cpuPerOp[a + suffix], cy = reporter.cpuPerOp[b + suffix];
    if (x > 0 && y > 0 && cx > 0) {
      std::printf("%-32s / %-28s = %.3f wall, %.3f by process cpu\n", a.c_str(), b.c_str(), x / y, cy / cx);
    }
  };
  std::printf("\nISO %llu MiB in the page cache\n", static_cast<unsigned long long>(g_mib));
  ratio("BM_DriverBufferedSequential64K", "BM_PreadSequential64K");
  ratio("BM_DriverSequential64K", "BM_PreadSequential64K");
  ratio("BM_DriverSequential64K", "BM_PreadDirectSequential64K");
  ratio("BM_DriverBufferedRandom2K", "BM_PreadRandom2K");
  ratio("BM_DriverRandom2K", "BM_PreadRandom2K");
  ratio("BM_DriverRandom2K", "BM_PreadDirectRandom2K");
  driver.driverUnload(&driver);
  return 0;
}
