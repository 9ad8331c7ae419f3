// MZP containers: serving a mounted container's whole bridge image (the service's path: the
// MARFS tree in a builder, every file sector read through the container) against `cat` of its
// folder in the same run; and `kvimage pack` of the folder against `7z a -t7z -mx=5` (time and
// size, for the record).
// Run: <build>/bin/mzp_bench [--size-mib N] [benchmark options]; the folder (program and text files
// of this machine) and its containers are made once in /tmp and reused.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "service/image_builder.h"
#include "service/marfs_volume.h"
#include "tools/mzppack/mzp_writer.h"

namespace {

namespace fs = std::filesystem;
uint64_t g_mib = 32;
std::string g_src, g_kvimage;
uint64_t g_srcBytes = 0;

bool MakeFolderOnce(const std::string& src, uint64_t mib) {
  if (fs::exists(src)) return true;
  fs::create_directories(src);
  uint64_t total = 0;
  int n = 0;
  std::error_code ec;
  for (const char* root : {"/usr/bin", "/usr/share/doc", "/usr/lib/x86_64-linux-gnu"}) {
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator() && total < (mib << 20); it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const uint64_t size = it->file_size(ec);
      if (ec || size == 0 || size > (4u << 20)) continue;
      const fs::path to =
          fs::path(src) / ("d" + std::to_string(n % 16)) / (std::to_string(n) + "_" + it->path().filename().string());
      fs::create_directories(to.parent_path());
      fs::copy_file(it->path(), to, ec);
      if (!ec) total += size, ++n;
    }
  }
  return total > 0;
}

std::string Container(const char* method) {
  const std::string path = g_src + "." + method + ".mzp";
  if (fs::exists(path)) return path;
  kv::mzp::MarfsVolumeWriter volume;
  std::vector<std::string> skipped;
  std::string error;
  kv::mzp::PackOptions o;
  o.method = std::strcmp(method, "lzma") == 0 ? kv::mzp::PackMethod::kLzma : kv::mzp::PackMethod::kDeflate;
  kv::mzp::PackResult result;
  if (!volume.Layout(g_src, u"", &skipped, &error) || !kv::mzp::WriteMzp(volume, path, o, &result, &error)) {
    std::fprintf(stderr, "mzp_bench: %s\n", error.c_str());
    std::exit(1);
  }
  return path;
}

void CatFolder(benchmark::State& state) {
  const std::string command = "find '" + g_src + "' -type f -exec cat {} + > /dev/null";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_srcBytes));
}

void ServeWholeMedium(benchmark::State& state, const char* method) {
  const std::string path = Container(method);
  kv::service::ImageBuilder builder(nullptr);
  kv::service::MzpOpenResult result;
  auto source = kv::service::MzpVolumeSource::Open(path, "", builder, nullptr, &result);
  if (!source || builder.Build() != kv::service::BuildError::kNone) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<uint8_t> buffer(16 * 2048);
  const uint32_t total = builder.SectorCount();
  for (auto _ : state) {
    for (uint32_t s = 0; s < total; s += 16) {
      const uint32_t n = std::min<uint32_t>(16, total - s);
      if (builder.ReadSectors(s, n, buffer.data()) != n) state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_srcBytes));
  state.counters["medium_MiB"] = static_cast<double>(total) * 2048 / (1 << 20);
}

void Pack(benchmark::State& state, bool sevenZip) {
  const std::string out = g_src + (sevenZip ? ".bench.7z" : ".bench.mzp");
  const std::string command = sevenZip ? "cd '" + g_src + "' && 7z a -t7z -mx=5 '" + out + "' . > /dev/null"
                                       : "'" + g_kvimage + "' pack '" + g_src + "' -o '" + out + "' > /dev/null 2>&1";
  for (auto _ : state) {
    state.PauseTiming();
    std::error_code ec;
    fs::remove(out, ec);
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) state.SkipWithError("pack failed");
  }
  std::error_code ec;
  state.counters["size_MiB"] = static_cast<double>(fs::file_size(out, ec)) / (1 << 20);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_srcBytes));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc)
      g_mib = std::strtoull(argv[++i], nullptr, 10);
    else
      rest.push_back(argv[i]);
  }
  g_src = "/tmp/kv_mzp_bench_" + std::to_string(g_mib) + "MiB";
  g_kvimage = (fs::path(argv[0]).parent_path() / "kvimage").string();
  if (!MakeFolderOnce(g_src, g_mib)) return 1;
  for (auto& e : fs::recursive_directory_iterator(g_src))
    if (e.is_regular_file()) g_srcBytes += e.file_size();
  benchmark::RegisterBenchmark("CatFolder", CatFolder)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ServeWholeMedium/lzma", ServeWholeMedium, "lzma")
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ServeWholeMedium/deflate", ServeWholeMedium, "deflate")
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("KvimagePack", Pack, false)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("SevenZipA_mx5", Pack, true)
      ->UseRealTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
