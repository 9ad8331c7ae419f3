// Without libFuzzer: feeds every file of the corpus folders given as arguments, mutated copies of
// them and deterministic random inputs to the target, so CTest (and the sanitizer run) exercise it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_directory(argv[i], ec)) continue;
    for (const auto& e : std::filesystem::directory_iterator(argv[i], ec)) {
      std::ifstream f(e.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
  }
  std::mt19937 rng(12345);
  size_t runs = 0;
  for (const auto& s : seeds) {
    LLVMFuzzerTestOneInput(s.data(), s.size());
    ++runs;
    for (int m = 0; m < 200; ++m) {
      std::vector<uint8_t> v = s;
      if (!v.empty()) {
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < flips; ++k) v[rng() % v.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        if (rng() % 4 == 0) v.resize(rng() % (v.size() + 1));
      }
      LLVMFuzzerTestOneInput(v.data(), v.size());
      ++runs;
    }
  }
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> v(rng() % (i % 10 == 0 ? 70000 : 600));
    for (auto& b : v) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
    LLVMFuzzerTestOneInput(v.data(), v.size());
    ++runs;
  }
  std::printf("fuzz smoke: %zu inputs, no failure\n", runs);
  return 0;
}
