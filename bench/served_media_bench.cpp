// Archive media read through a drive, against references in the same run:
//  1. the whole medium of a served archive (kvctl dev serve), second pass (all items already
//     extracted), in 64 KiB ReadFile requests on \\.\KVEmuDev0  vs  the same bytes as an ISO file
//     mounted on a drive of a default host (unbuffered image reads) and of a `--page-cache` host.
//     Goal: served / plain throughput >= 0.5.
//  2. the first read of a 10 MiB item through a freshly served archive  vs  `7z e` of that item.
// Medians of several runs. The split: processor time of the reader, the host and the server per
// pass, and the same 16-sector runs produced in this process without any drive.
// Run: <build>/bin/served_media_bench [--runs N (15)] [--size-mib M (128)]
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/mounted_archive.h"
#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/devio.h"
#include "service/image_builder.h"
#include "tests/fixtures/archive_fixtures.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kv::platform::Handle;

constexpr uint32_t kBlock = 64 * 1024;
// Large requests: the host's per-request cost shrinks eightfold, the channel's per-run cost stays.
constexpr uint32_t kLargeBlock = 512 * 1024;
constexpr uint32_t kSector = 2048;
constexpr const char* kItemName = "big.bin";
constexpr size_t kItemSize = 10 << 20;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Processor time (user + system) of a running process, from /proc; 0 when it is gone.
double ProcessCpu(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3..13 precede utime (14) and stime (15).
  for (int i = 3; i <= 13 && rest >> field; ++i) {
  }
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double SelfCpu() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

std::string LoadAverage() {
  double l[3] = {0, 0, 0};
  getloadavg(l, 3);
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", l[0], l[1], l[2]);
  return text;
}

// Size of drive N's medium in bytes; 0 when the drive is empty or does not answer.
uint64_t MediumSize(int drive) {
  const Handle h = kv::platform::CreateFile("\\\\.\\KVEmuDev" + std::to_string(drive));
  std::vector<uint8_t> out(kv::kDriveStatusQuerySizeLarge, 0);
  uint32_t n = 0;
  const uint32_t zero = 0;
  if (!h ||
      !DeviceIoControl(h, kv::IOCTL_CDEMU_QUERY_MOUNT, &zero, 4, out.data(), static_cast<uint32_t>(out.size()), &n) ||
      n < kv::kDriveStatusFixedSize)
    return 0;
  const auto* status = reinterpret_cast<const kv::DriveStatus*>(out.data());
  return status->NameLength != 0 ? status->SizeBytes : 0;
}

// `kvctl dev serve DRIVE ARCHIVE` in the background, its messages in a log file.
class Server {
 public:
  Server(int drive, const fs::path& archive, const fs::path& log) : log_(log) {
    const std::string program = kv::test::ProgramPath("kvctl");
    const std::string number = std::to_string(drive);
    const char* argv[] = {program.c_str(), "dev",           "serve",        number.c_str(),
                          archive.c_str(), "--install-dir", KV_INSTALL_DIR, nullptr};
    const int logFile = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
      if (logFile >= 0) dup2(logFile, 2);
      execv(argv[0], const_cast<char**>(argv));
      _exit(127);
    }
    if (logFile >= 0) close(logFile);
  }
  ~Server() { Stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Waits until the server says it serves the drive (it starts answering reads then).
  bool WaitServing() {
    if (pid_ <= 0) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      std::ifstream f(log_);
      std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      if (text.find("serves") != std::string::npos) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        std::fprintf(stderr, "kvctl dev serve exited: %s\n", text.c_str());
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

// Reads [offset, offset + size) of a drive in requests of `block` bytes; `sink` sees every block.
bool ReadDrive(int drive, uint64_t offset, uint64_t size, const std::function<void(const uint8_t*, uint32_t)>& sink,
               uint32_t block = kBlock) {
  const Handle h = kv::platform::CreateFile("\\\\.\\KVEmuDev" + std::to_string(drive));
  if (!h) return false;
  std::vector<uint8_t> buf(block);
  for (uint64_t at = offset; at < offset + size; at += block) {
    const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(block, offset + size - at));
    uint32_t n = 0;
    if (!ReadFile(h, at, buf.data(), now, &n) || n != now) {
      std::fprintf(stderr, "read of drive %d at %llu failed (error %u)\n", drive, static_cast<unsigned long long>(at),
                   static_cast<unsigned>(kv::platform::GetLastError()));
      return false;
    }
    if (sink) sink(buf.data(), now);
  }
  return true;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Finds a file of the root directory in the ISO 9660 tree of an image: its first sector and
// size. The image is our own output here, yet every field is checked before use.
bool FindRootFile(const fs::path& iso, const std::string& name, uint32_t* sector, uint32_t* size) {
  std::ifstream f(iso, std::ios::binary);
  auto readAt = [&f](uint64_t at, uint8_t* to, size_t n) {
    f.seekg(static_cast<std::streamoff>(at));
    return static_cast<bool>(f.read(reinterpret_cast<char*>(to), static_cast<std::streamsize>(n)));
  };
  std::vector<uint8_t> pvd(kSector);
  if (!readAt(16ull * kSector, pvd.data(), kSector) || pvd[0] != 1 || std::memcmp(pvd.data() + 1, "CD001", 5) != 0)
    return false;
  const uint8_t* root = pvd.data() + 156;
  const uint32_t dirSector = Le32(root + 2), dirSize = Le32(root + 10);
  if (dirSize == 0 || dirSize > (64u << 20)) return false;
  std::vector<uint8_t> dir(dirSize);
  if (!readAt(uint64_t(dirSector) * kSector, dir.data(), dirSize)) return false;
  for (size_t at = 0; at < dir.size();) {
    const uint8_t length = dir[at];
    if (length == 0) {  // the rest of this sector is padding
      at = (at / kSector + 1) * kSector;
      continue;
    }
    if (length < 34 || at + length > dir.size()) return false;
    const uint8_t nameLength = dir[at + 32];
    if (33u + nameLength > length) return false;
    std::string found(reinterpret_cast<const char*>(&dir[at + 33]), nameLength);
    found = found.substr(0, found.find(';'));
    std::transform(found.begin(), found.end(), found.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    if (found == name) {
      *sector = Le32(&dir[at + 2]);
      *size = Le32(&dir[at + 10]);
      return true;
    }
    at += length;
  }
  return false;
}

bool MakeArchive(const fs::path& dir, uint64_t megabytes) {
  const fs::path src = dir / "src";
  fs::create_directories(src);
  kv::test::WriteFileBytes(src / kItemName, kv::test::PatternBytes(kItemSize, 1));
  // The rest in files of a few sizes, largest first: each size takes two fifths of what is left
  // (the archive ends near 90 % of the size asked for), and small 3000-byte files 1 MiB.
  const size_t sizes[] = {4 << 20, 1 << 20, 256 << 10, 64 << 10, 3000};
  const uint64_t total = megabytes << 20;
  uint64_t written = kItemSize;
  uint32_t seed = 2;
  for (size_t k = 0; k < std::size(sizes); ++k) {
    const fs::path sub = src / ("s" + std::to_string(k));
    fs::create_directories(sub);
    const uint64_t share = k + 1 < std::size(sizes) ? (total - written) * 2 / 5 : std::min<uint64_t>(1 << 20, total);
    for (uint64_t used = 0; used + sizes[k] <= share; used += sizes[k], written += sizes[k], ++seed)
      kv::test::WriteFileBytes(sub / ("f" + std::to_string(seed) + ".dat"), kv::test::PatternBytes(sizes[k], seed));
  }
  if (kv::test::SevenZipAdd(src, (dir / "media.zip").string(), "-tzip -mx=0", "*")) return true;
  std::fprintf(stderr, "7z a failed\n");
  return false;
}

struct Pass {
  double wall = 0, self = 0, host = 0, server = 0;
};

// What the server does for the drive, without the drive: the archive opened and its image built in
// this process, every item extracted once, then timed passes of 16-sector runs (the channel's
// run size) straight from the builder. Empty on failure.
std::vector<Pass> ProducerPasses(const fs::path& archive, const fs::path& store, int runs) {
  kv::archive::OpenRequest request;
  request.path = archive.string();
  request.installDir = KV_INSTALL_DIR;
  request.storeFolder = store.string();
  fs::create_directories(store);
  auto opened = kv::archive::MountedArchive::Open(request, nullptr);
  if (!opened) return {};
  kv::service::ImageBuilder builder(opened.get());
  opened->AddItemsTo(builder);
  if (builder.Build() != kv::service::BuildError::kNone) return {};
  std::vector<uint8_t> run(16 * kSector);
  auto pass = [&] {
    for (uint32_t s = 0; s < builder.SectorCount(); s += 16)
      builder.ReadSectors(s, std::min(16u, builder.SectorCount() - s), run.data());
  };
  pass();
  std::vector<Pass> out;
  for (int r = 0; r < runs; ++r) {
    const double c0 = SelfCpu();
    const auto t0 = Clock::now();
    pass();
    out.push_back(Pass{Since(t0), SelfCpu() - c0, 0, 0});
  }
  return out;
}

// One timed pass over a whole drive, with the processor time of each process taking part.
std::optional<Pass> TimedPass(int drive, uint64_t size, pid_t host, pid_t server, uint32_t block = kBlock) {
  Pass p;
  const double h0 = ProcessCpu(host), s0 = server > 0 ? ProcessCpu(server) : 0, c0 = SelfCpu();
  const auto t0 = Clock::now();
  if (!ReadDrive(drive, 0, size, nullptr, block)) return std::nullopt;
  p.wall = Since(t0);
  p.self = SelfCpu() - c0;
  p.host = ProcessCpu(host) - h0;
  p.server = server > 0 ? ProcessCpu(server) - s0 : 0;
  return p;
}

// The two hosts of a run: drive 0 of the first serves the archive, drive 1 holds the plain image
// read unbuffered (kvemu's default); drive 0 of the second holds it read through the page cache,
// like the served side's store and archive files are.
struct Hosts {
  kv::test::HostProcess* main;
  std::string mainRoot;
  kv::test::HostProcess* cached;
  std::string cachedRoot;
};

// Device names resolve in the platform root of the process's environment when opened.
void Use(const std::string& root) {
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
}

bool MountPlain(const std::string& root, int drive, const fs::path& image, uint64_t size) {
  Use(root);
  const auto r = kv::test::Run(kv::test::Quote(kv::test::ProgramPath("kvctl")) + " dev mount " + std::to_string(drive) +
                               " " + kv::test::Quote(image.string()));
  if (r.exitCode == 0 && MediumSize(drive) == size) return true;
  std::fprintf(stderr, "kvctl dev mount: %s\n", r.output.c_str());
  return false;
}

int Measure(int argc, char** argv, const fs::path& dir, const Hosts& hosts) {
  int runs = 15;
  uint64_t megabytes = 128;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--size-mib") == 0) megabytes = std::max(16, std::atoi(argv[i + 1]));
  }
  for (const auto& [h, root] : {std::pair{hosts.main, hosts.mainRoot}, std::pair{hosts.cached, hosts.cachedRoot}}) {
    Use(root);
    if (!h->WaitReady()) {
      std::fprintf(stderr, "kvemu did not come up: %s\n", h->Log().c_str());
      return 1;
    }
  }
  if (!MakeArchive(dir, megabytes)) return 1;
  const fs::path archive = dir / "media.zip";
  std::printf("archive: %llu MiB, stored entries\n", static_cast<unsigned long long>(fs::file_size(archive) >> 20));

  // 1. The served medium, once to extract everything and to keep its bytes as a plain image.
  Use(hosts.mainRoot);
  Server server(0, archive, dir / "serve.log");
  if (!server.WaitServing()) return 1;
  const uint64_t size = MediumSize(0);
  if (size == 0) return 1;
  const fs::path plain = dir / "plain.iso";
  double firstPass = 0;
  {
    std::ofstream out(plain, std::ios::binary);
    const auto t0 = Clock::now();
    if (!ReadDrive(0, 0, size,
                   [&out](const uint8_t* p, uint32_t n) { out.write(reinterpret_cast<const char*>(p), n); }))
      return 1;
    firstPass = Since(t0);
  }
  if (!MountPlain(hosts.cachedRoot, 0, plain, size) || !MountPlain(hosts.mainRoot, 1, plain, size)) return 1;
  uint32_t itemSector = 0, itemSize = 0;
  if (!FindRootFile(plain, kItemName, &itemSector, &itemSize) || itemSize != kItemSize) {
    std::fprintf(stderr, "%s not found in the image's root directory\n", kItemName);
    return 1;
  }
  std::printf("medium: %llu MiB (%llu sectors); %s at sector %u\n", static_cast<unsigned long long>(size >> 20),
              static_cast<unsigned long long>(size / kSector), kItemName, itemSector);
  std::printf("first pass of the served medium (extracting everything): %.3f s, %.0f MiB/s\n\n", firstPass,
              size / firstPass / 1048576);

  // Passes in turns, so that a change of the machine's load falls on all of them alike.
  std::vector<Pass> served, unbuffered, cached, servedLarge, cachedLarge;
  for (int r = 0; r < runs; ++r) {
    Use(hosts.mainRoot);
    const auto s = TimedPass(0, size, hosts.main->pid(), server.pid());
    const auto u = TimedPass(1, size, hosts.main->pid(), -1);
    const auto sl = TimedPass(0, size, hosts.main->pid(), server.pid(), kLargeBlock);
    Use(hosts.cachedRoot);
    const auto c = TimedPass(0, size, hosts.cached->pid(), -1);
    const auto cl = TimedPass(0, size, hosts.cached->pid(), -1, kLargeBlock);
    if (!s || !u || !c || !sl || !cl) return 1;
    served.push_back(*s);
    unbuffered.push_back(*u);
    cached.push_back(*c);
    servedLarge.push_back(*sl);
    cachedLarge.push_back(*cl);
  }
  Use(hosts.mainRoot);
  server.Stop();
  auto column = [](const std::vector<Pass>& v, double Pass::*field) {
    std::vector<double> x;
    for (const auto& p : v) x.push_back(p.*field);
    return Median(x);
  };
  auto line = [&](const char* what, const std::vector<Pass>& v) {
    double lo = v[0].wall, hi = v[0].wall;
    for (const auto& p : v) lo = std::min(lo, p.wall), hi = std::max(hi, p.wall);
    const double wall = column(v, &Pass::wall);
    std::printf("%-44s %7.3f %6.0f %7.3f %7.3f %7.3f  %.3f-%.3f\n", what, wall, size / wall / 1048576,
                column(v, &Pass::self), column(v, &Pass::host), column(v, &Pass::server), lo, hi);
  };
  std::printf("%-44s %7s %6s %7s %7s %7s  %s\n", "whole medium, 64 KiB reads unless said, median", "wall s", "MiB/s",
              "reader", "kvemu", "server", "wall range");
  line("served archive, second pass", served);
  line("plain ISO, unbuffered host (default)", unbuffered);
  line("plain ISO, page-cache host", cached);
  line("served archive, 512 KiB reads", servedLarge);
  line("plain ISO, page-cache host, 512 KiB reads", cachedLarge);
  // Kept apart from the passes above: this process's own extraction and store would compete.
  const std::vector<Pass> producer = ProducerPasses(archive, dir / "store", runs);
  if (producer.empty()) {
    std::fprintf(stderr, "the archive cannot be opened in this process\n");
    return 1;
  }
  line("16-sector runs from the builder, no drive", producer);
  std::printf("(reader, kvemu, server: processor seconds of the reading program, the host, kvctl dev serve)\n");
  // The best pass too: on a shared machine it is the one least disturbed by others.
  auto best = [](const std::vector<Pass>& v) {
    double lo = v[0].wall;
    for (const auto& p : v) lo = std::min(lo, p.wall);
    return lo;
  };
  for (const auto& [what, v] : {std::pair{"unbuffered", &unbuffered}, std::pair{"page-cache", &cached}}) {
    const double ratio = column(*v, &Pass::wall) / column(served, &Pass::wall);
    std::printf("throughput served / plain %-10s: median %.3f, best %.3f  (goal >= 0.5 on the median: %s)\n", what,
                ratio, best(*v) / best(served), ratio >= 0.5 ? "met" : "NOT met");
  }
  // Where a served request's time goes: the extra over the page-cache host per channel run, against
  // what producing a run costs without the drive.
  const double requests = static_cast<double>((size + kBlock - 1) / kBlock);
  const double channelRuns = static_cast<double>((size / kSector + 15) / 16);
  std::printf(
      "per 64 KiB request: served %.1f us, page-cache plain %.1f us; per 16-sector run: %.1f us more than "
      "plain, of which producing it %.1f us\n",
      column(served, &Pass::wall) / requests * 1e6, column(cached, &Pass::wall) / requests * 1e6,
      (column(served, &Pass::wall) - column(cached, &Pass::wall)) / channelRuns * 1e6,
      column(producer, &Pass::wall) / channelRuns * 1e6);
  std::printf("with 512 KiB requests: served / plain page-cache %.3f; per 16-sector run %.1f us more than plain\n",
              column(cachedLarge, &Pass::wall) / column(servedLarge, &Pass::wall),
              (column(servedLarge, &Pass::wall) - column(cachedLarge, &Pass::wall)) / channelRuns * 1e6);
  // Processor time is the steadier figure on a shared machine (in clock ticks of 10 ms).
  auto cpu = [&](const std::vector<Pass>& v) {
    return column(v, &Pass::self) + column(v, &Pass::host) + column(v, &Pass::server);
  };
  std::printf("processor seconds per pass, all processes: served %.3f, unbuffered %.3f, page-cache %.3f\n\n",
              cpu(served), cpu(unbuffered), cpu(cached));

  // 2. First read of the 10 MiB item: a fresh server each time, nothing extracted yet.
  const std::vector<uint8_t> expected = kv::test::ReadFileBytes(dir / "src" / kItemName);
  std::vector<double> ready, firstBlock, wholeItem, sevenZip;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = Clock::now();
    Server fresh(0, archive, dir / ("fresh" + std::to_string(r) + ".log"));
    if (!fresh.WaitServing()) return 1;
    ready.push_back(Since(t0));
    std::vector<uint8_t> got;
    got.reserve(kItemSize);
    const auto t1 = Clock::now();
    if (!ReadDrive(0, uint64_t(itemSector) * kSector, kItemSize, [&](const uint8_t* p, uint32_t n) {
          if (got.empty()) firstBlock.push_back(Since(t1));
          got.insert(got.end(), p, p + n);
        }))
      return 1;
    wholeItem.push_back(Since(t1));
    if (got != expected) {
      std::fprintf(stderr, "the item read through the drive differs from its source\n");
      return 1;
    }
    fresh.Stop();

    const fs::path out = dir / "7z-out";
    const auto t2 = Clock::now();
    const auto x = kv::test::Run("7z e -bd -y -o" + kv::test::Quote(out.string()) + " " +
                                 kv::test::Quote(archive.string()) + " " + kItemName);
    sevenZip.push_back(Since(t2));
    if (x.exitCode != 0) {
      std::fprintf(stderr, "7z e failed: %s\n", x.output.c_str());
      return 1;
    }
    fs::remove_all(out);
  }
  const double rd = Median(ready), fb = Median(firstBlock), wi = Median(wholeItem), sz = Median(sevenZip);
  std::printf("%-50s %8s %8s\n", "10 MiB item, fresh server, median", "s", "/ 7z e");
  std::printf("%-50s %8.3f %8.2f\n", "server start to serving (open, build, mount)", rd, rd / sz);
  std::printf("%-50s %8.3f %8.2f\n", "first 64 KiB of the item through the drive", fb, fb / sz);
  std::printf("%-50s %8.3f %8.2f\n", "all of the item through the drive", wi, wi / sz);
  std::printf("%-50s %8.3f %8.2f\n", "server start + all of the item", rd + wi, (rd + wi) / sz);
  std::printf("%-50s %8.3f %8.2f\n", "7z e of the item to a folder", sz, 1.0);
  std::printf("\nload average at end: %s\n", LoadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("load average at start: %s, %u processors\n", LoadAverage().c_str(), std::thread::hardware_concurrency());
  kv::test::TempDir temp;
  Hosts hosts{nullptr, (temp.path() / "platform").string(), nullptr, (temp.path() / "cached").string()};
  kv::test::HostProcess cached(kv::test::ProgramPath("kvemu"), hosts.cachedRoot, {"--page-cache"});
  kv::test::HostProcess main(kv::test::ProgramPath("kvemu"), hosts.mainRoot);
  hosts.main = &main;
  hosts.cached = &cached;
  const int exitCode = Measure(argc, argv, temp.path(), hosts);
  main.Stop(SIGTERM);
  cached.Stop(SIGTERM);
  return exitCode;
}
