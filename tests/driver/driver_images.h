// Images for the driver tests, made at test time.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/test_support.h"

namespace kv::test {

// An ISO 9660 + Joliet image made by genisoimage from a folder of pseudo-random files.
inline std::filesystem::path MakeIso(const TempDir& dir, const std::string& name = "disc.iso",
                                     size_t bytes = 3 * 1024 * 1024 + 777) {
  const auto tree = dir / (name + ".d");
  std::filesystem::create_directories(tree / "sub");
  WriteFileBytes(tree / "big.bin", PatternBytes(bytes, 7));
  WriteFileBytes(tree / "sub" / "small.txt", PatternBytes(5000, 8));
  const auto iso = dir / name;
  const auto r = Run("genisoimage -quiet -J -R -V KVTEST -o " + Quote(iso.string()) + " " + Quote(tree.string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return iso;
}

// The same sectors as raw 2352-byte Mode 1 sectors (sync, header, data, zeroed EDC/ECC).
inline std::filesystem::path MakeRawFromIso(const TempDir& dir, const std::filesystem::path& iso) {
  const std::vector<uint8_t> data = ReadFileBytes(iso);
  std::vector<uint8_t> raw;
  const size_t sectors = data.size() / 2048;
  raw.reserve(sectors * 2352);
  for (size_t s = 0; s < sectors; ++s) {
    uint8_t header[16] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    const size_t lba = s + 150;
    header[12] = static_cast<uint8_t>(lba / 4500);
    header[13] = static_cast<uint8_t>((lba / 75) % 60);
    header[14] = static_cast<uint8_t>(lba % 75);
    header[15] = 1;
    raw.insert(raw.end(), header, header + 16);
    raw.insert(raw.end(), data.begin() + static_cast<long>(s * 2048), data.begin() + static_cast<long>((s + 1) * 2048));
    raw.insert(raw.end(), 288, uint8_t{0x5A});
  }
  const auto out = dir / (iso.filename().string() + ".bin");
  WriteFileBytes(out, raw);
  return out;
}

}  // namespace kv::test
