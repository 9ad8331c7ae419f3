// The ISO the read benchmarks share: one file of pseudo-random data, made by genisoimage once and
// kept for later runs.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kv::bench {

inline bool MakeIsoOnce(const std::string& iso, uint64_t mib) {
  if (std::filesystem::exists(iso)) return true;
  const std::string src = iso + ".src";
  std::filesystem::create_directories(src);
  {
    std::ofstream f(src + "/data.bin", std::ios::binary);
    std::mt19937_64 rng(1);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t written = 0; written + (1 << 20) <= (mib - 1) * (1 << 20); written += 1 << 20) {
      for (auto& v : block) v = rng();
      f.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
    }
  }
  const std::string tmp = iso + ".part";
  const std::string cmd = "genisoimage -quiet -J -R -o '" + tmp + "' '" + src + "'";
  const bool ok = std::system(cmd.c_str()) == 0 && std::rename(tmp.c_str(), iso.c_str()) == 0;
  std::filesystem::remove_all(src);
  return ok;
}

}  // namespace kv::bench
