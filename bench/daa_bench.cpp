// DAA/GBI decoding against the libraries alone, on the same 64 KiB chunks of one source ISO in
// one run: our inflater and the whole chunk decode (read, CRC, inflate) against zlib's inflate on
// deflate variant 0; the LZMA chunk decode against liblzma's raw decoder alone (LZMA1 + x86); and
// sequential 64 KiB reads of the DAA image through a drive against the path `kvimage iso` takes
// (ImageSource reads). Prints the ratios after the table.
// Run: <build>/bin/daa_bench [--size-mib N] [benchmark options]; the source ISO (program and text
// files of this machine, so it compresses like a real disc) is made once in /tmp and reused.
#include <benchmark/benchmark.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "driver/driver.h"
#include "formats/daa/daa_image.h"
#include "formats/daa/lzma_chunk.h"
#include "formats/daa/variant_inflate.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"
#include "platform/kernel/kernel.h"
#include "tests/fixtures/daa_image_writer.h"

namespace {

using namespace kv;
namespace fs = std::filesystem;

constexpr uint32_t kChunk = 64 * 1024;
uint64_t g_mib = 32;
std::vector<uint8_t> g_iso;
std::vector<std::vector<uint8_t>> g_deflated;  // raw deflate of each chunk
std::vector<std::vector<uint8_t>> g_lzma;      // 14-byte header + LZMA1 (x86) stream of each chunk
std::vector<uint8_t> g_daaDeflate, g_daaLzma;  // whole images
std::string g_daaPath;
kernel::DeviceObject* g_drive = nullptr;          // the image opened as the driver does (O_DIRECT)
kernel::DeviceObject* g_bufferedDrive = nullptr;  // the same image through the page cache

// Program and text files of this machine, then genisoimage.
bool MakeSourceIsoOnce(const std::string& iso, uint64_t mib) {
  if (fs::exists(iso)) return true;
  const std::string src = iso + ".src";
  fs::create_directories(src);
  uint64_t total = 0;
  const uint64_t want = (mib - 1) << 20;
  int n = 0;
  std::error_code ec;
  for (const char* root : {"/usr/bin", "/usr/share/doc", "/usr/lib/x86_64-linux-gnu"}) {
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator() && total < want; it.increment(ec)) {
      if (ec || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const uint64_t size = it->file_size(ec);
      if (ec || size == 0 || size > (8u << 20) || total + size > want) continue;
      fs::copy_file(it->path(), src + "/f" + std::to_string(n++), ec);
      if (!ec) total += size;
    }
  }
  const std::string tmp = iso + ".part";
  const std::string cmd = "genisoimage -quiet -J -R -o '" + tmp + "' '" + src + "'";
  const bool ok = std::system(cmd.c_str()) == 0 && std::rename(tmp.c_str(), iso.c_str()) == 0;
  fs::remove_all(src);
  return ok;
}

std::vector<uint8_t> Deflate(const uint8_t* data, size_t length) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(length)));
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(length);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<uint8_t> LzmaChunk(const uint8_t* data, size_t length) {
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, 6);
  lzma.dict_size = 1 << 20;
  lzma_filter filters[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::vector<uint8_t> out(14 + length + length / 2 + 1024);
  size_t position = 14;
  lzma_raw_buffer_encode(filters, nullptr, data, length, out.data(), &position, out.size());
  out.resize(position);
  out[0] = 1;
  lzma_filter f{LZMA_FILTER_LZMA1, &lzma};
  lzma_properties_encode(&f, out.data() + 1);
  const uint64_t size = length;
  std::memcpy(out.data() + 6, &size, 8);
  return out;
}

void BM_ZlibInflateChunks(benchmark::State& state) {
  std::vector<uint8_t> out(kChunk);
  z_stream z{};
  inflateInit2(&z, -15);
  size_t i = 0;
  for (auto _ : state) {
    const auto& in = g_deflated[i++ % g_deflated.size()];
    inflateReset(&z);
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = kChunk;
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("zlib inflate failed");
  }
  inflateEnd(&z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_OurInflateChunks(benchmark::State& state) {
  std::vector<uint8_t> out(kChunk + 64 * 1024);
  size_t i = 0, written = 0;
  for (auto _ : state) {
    const auto& in = g_deflated[i++ % g_deflated.size()];
    if (daa::InflateVariant(in.data(), in.size(), out.data(), out.size(), 0, &written) != daa::InflateStatus::kOk)
      state.SkipWithError("inflate failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_LiblzmaChunks(benchmark::State& state) {
  std::vector<uint8_t> out(kChunk);
  size_t i = 0;
  for (auto _ : state) {
    const auto& in = g_lzma[i++ % g_lzma.size()];
    lzma_options_lzma options{};
    lzma_filter props{LZMA_FILTER_LZMA1, nullptr};
    lzma_properties_decode(&props, nullptr, in.data() + 1, 5);
    options = *static_cast<lzma_options_lzma*>(props.options);
    free(props.options);
    lzma_filter filters[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    size_t inPos = 14, outPos = 0;
    lzma_raw_buffer_decode(filters, nullptr, in.data(), &inPos, in.size(), out.data(), &outPos, out.size());
    if (outPos != kChunk) state.SkipWithError("liblzma decode failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_OurLzmaChunks(benchmark::State& state) {
  std::vector<uint8_t> out(kChunk + 64 * 1024);
  size_t i = 0, written = 0;
  for (auto _ : state) {
    const auto& in = g_lzma[i++ % g_lzma.size()];
    if (!daa::DecodeLzmaChunk(in.data(), in.size(), out.data(), out.size(), &written))
      state.SkipWithError("LZMA chunk failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

// Whole chunk decode (read from memory, CRC, decode, cache) of every chunk in turn.
void DaaChunks(benchmark::State& state, const std::vector<uint8_t>& image) {
  ImageFile file(OpenMemoryFile(image));
  auto daa = std::make_unique<daa::DaaImage>();
  if (daa->Open(&file, static_cast<int64_t>(image.size()), u"bench.daa", {}) != kMountOk) {
    state.SkipWithError("open failed");
    return;
  }
  // Only full chunks, so every iteration yields 64 KiB.
  const uint32_t chunks = static_cast<uint32_t>(g_iso.size() / kChunk);
  uint32_t i = 0;
  for (auto _ : state) {
    if (!daa->Chunk(i++ % chunks)) state.SkipWithError("chunk decode failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_DaaDeflateChunkDecode(benchmark::State& state) {
  DaaChunks(state, g_daaDeflate);
}
void BM_DaaLzmaChunkDecode(benchmark::State& state) {
  DaaChunks(state, g_daaLzma);
}

// What `kvimage iso` does: ImageSource over the file, sequential runs of sectors.
void BM_KvimageIsoPath64K(benchmark::State& state) {
  int error = 0;
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = kFormatDaa;
  std::unique_ptr<ImageSource> source;
  if (ImageSource::Open(*request, u"bench.daa", OpenPosixFile(g_daaPath, &error), &source) != kMountOk) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<uint8_t> out(kChunk);
  const uint64_t runs = source->sectorCount() / 32;
  uint64_t i = 0;
  for (auto _ : state) {
    if (source->ReadSectors((i++ % runs) * 32, 32, out.data()) != 32) state.SkipWithError("read failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

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
  irp->requestor.uid = geteuid();
  irp->requestor.gid = getegid();
  kernel::IoCallDriver(drive, std::move(irp));
  std::unique_lock<std::mutex> g(w.m);
  w.cv.wait(g, [&] { return w.done; });
  return w.status;
}

NTSTATUS DriveRead(kernel::DeviceObject* drive, uint64_t offset, uint32_t length) {
  auto irp = std::make_unique<kernel::Irp>();
  irp->major = kernel::MajorFunction::Read;
  irp->byteOffset = offset;
  irp->length = length;
  irp->output.resize(length);
  return Call(drive, std::move(irp));
}

void DriveSequential(benchmark::State& state, kernel::DeviceObject* drive) {
  const uint64_t runs = g_iso.size() / kChunk;
  uint64_t i = 0;
  for (auto _ : state) {
    if (DriveRead(drive, (i++ % runs) * kChunk, kChunk) != STATUS_SUCCESS) state.SkipWithError("drive read failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_DriveSequential64K(benchmark::State& state) {
  DriveSequential(state, g_drive);
}
void BM_DriveBufferedSequential64K(benchmark::State& state) {
  DriveSequential(state, g_bufferedDrive);
}

bool MountDrive() {
  kernel::DriverObject* driver = new kernel::DriverObject();  // lives for the process
  if (!NT_SUCCESS(driver::DriverEntry(driver))) return false;
  g_drive = kernel::ObLookupDevice("\\DosDevices\\KVEmuDev0");
  g_bufferedDrive = kernel::ObLookupDevice("\\DosDevices\\KVEmuDev1");
  if (!g_drive || !g_bufferedDrive) return false;
  std::u16string name = u"\\??\\C:";
  for (char c : g_daaPath) name.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  std::vector<uint8_t> input(kMountRequestFixedSize + name.size() * 2 + 2, 0);
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.Flags = 1;
  r.Format = kFormatDaa;
  r.NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(input.data(), &r, kMountRequestFixedSize);
  std::memcpy(input.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  for (kernel::DeviceObject* drive : {g_drive, g_bufferedDrive}) {
    kernel::KernelFileUseDirectIo(drive == g_drive);
    auto irp = std::make_unique<kernel::Irp>();
    irp->ioControlCode = IOCTL_CDEMU_MOUNT_IMAGE;
    irp->input = input;
    irp->output.resize(4);
    // A failed mount still succeeds as a request; a read tells.
    if (Call(drive, std::move(irp)) != STATUS_SUCCESS || DriveRead(drive, 16 * 2048, 2048) != STATUS_SUCCESS)
      return false;
  }
  return true;
}

BENCHMARK(BM_ZlibInflateChunks)->MinTime(2.0);
BENCHMARK(BM_OurInflateChunks)->MinTime(2.0);
BENCHMARK(BM_DaaDeflateChunkDecode)->MinTime(2.0);
BENCHMARK(BM_LiblzmaChunks)->MinTime(2.0);
BENCHMARK(BM_OurLzmaChunks)->MinTime(2.0);
BENCHMARK(BM_DaaLzmaChunkDecode)->MinTime(2.0);
BENCHMARK(BM_KvimageIsoPath64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DriveSequential64K)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DriveBufferedSequential64K)->MinTime(2.0)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      // Keyed by the plain name: "BM_X/min_time:2.000/real_time" -> "BM_X".
      const std::string name = r.benchmark_name();
      rates[name.substr(0, name.find('/'))] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc)
      g_mib = std::strtoull(argv[++i], nullptr, 10);
    else
      args.push_back(argv[i]);
  }
  if (g_mib < 4) g_mib = 4;
  const std::string isoPath = "/tmp/kv_daa_bench_" + std::to_string(g_mib) + "MiB.iso";
  if (!MakeSourceIsoOnce(isoPath, g_mib)) {
    std::fprintf(stderr, "daa_bench: cannot make %s (genisoimage)\n", isoPath.c_str());
    return 1;
  }
  std::ifstream in(isoPath, std::ios::binary);
  g_iso.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  for (size_t at = 0; at + kChunk <= g_iso.size(); at += kChunk) {
    g_deflated.push_back(Deflate(g_iso.data() + at, kChunk));
    g_lzma.push_back(LzmaChunk(g_iso.data() + at, kChunk));
  }
  test::DaaWriterOptions o;
  g_daaDeflate = test::WriteDaaImage(g_iso, o, "bench")[0].bytes;
  o.method = test::DaaWriterOptions::Method::kLzma;
  o.x86Filter = true;
  g_daaLzma = test::WriteDaaImage(g_iso, o, "bench")[0].bytes;
  g_daaPath = "/tmp/kv_daa_bench_" + std::to_string(g_mib) + "MiB.daa";
  std::ofstream(g_daaPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(g_daaDeflate.data()), static_cast<std::streamsize>(g_daaDeflate.size()));
  if (!MountDrive()) {
    std::fprintf(stderr, "daa_bench: cannot mount %s\n", g_daaPath.c_str());
    return 1;
  }
  std::printf("source %s: %zu bytes, %zu chunks; deflate image %zu bytes, LZMA image %zu bytes\n", isoPath.c_str(),
              g_iso.size(), g_deflated.size(), g_daaDeflate.size(), g_daaLzma.size());

  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto ratio = [&](const char* a, const char* b) {
    if (reporter.rates.count(a) && reporter.rates.count(b) && reporter.rates[b] > 0)
      std::printf("%-28s / %-24s = %.2f\n", a, b, reporter.rates[a] / reporter.rates[b]);
  };
  ratio("BM_OurInflateChunks", "BM_ZlibInflateChunks");
  ratio("BM_DaaDeflateChunkDecode", "BM_ZlibInflateChunks");
  ratio("BM_OurLzmaChunks", "BM_LiblzmaChunks");
  ratio("BM_DaaLzmaChunkDecode", "BM_LiblzmaChunks");
  ratio("BM_DriveSequential64K", "BM_KvimageIsoPath64K");
  ratio("BM_DriveBufferedSequential64K", "BM_KvimageIsoPath64K");
  std::fflush(stdout);
  std::_Exit(0);  // the drive's worker thread stays; the process ends here
}
