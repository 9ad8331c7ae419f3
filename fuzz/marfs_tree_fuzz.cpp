// The input is a MARFS volume (its sectors, the last one zero-filled). The service's walk enters
// its tree into a builder, which then lays out the image and reads it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "service/image_builder.h"
#include "service/marfs_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  std::vector<uint8_t> volume(data, data + size);
  volume.resize((size + 2047) / 2048 * 2048);
  const auto sectors = static_cast<uint32_t>(volume.size() / 2048);
  const kv::service::MarfsSectorReader read = [&](uint32_t sector, uint8_t* out) {
    if (sector >= sectors) return false;
    std::memcpy(out, volume.data() + size_t{sector} * 2048, 2048);
    return true;
  };
  struct Source final : kv::service::ItemDataSource {
    const kv::service::MarfsSectorReader* read;
    bool ReadItem(uint32_t, uint64_t, void*, size_t) override { return false; }
    bool ReadSourceSectors(uint32_t first, uint32_t count, void* dst) override {
      for (uint32_t i = 0; i < count; ++i)
        if (!(*read)(first + i, static_cast<uint8_t*>(dst) + size_t{i} * 2048)) return false;
      return true;
    }
  } source;
  source.read = &read;
  kv::service::ImageBuilder builder(&source, [] { return kv::service::BuildClock{1600000000, 1}; });
  kv::service::MarfsLimits limits;
  limits.maxEntries = 20000;
  limits.maxDepth = 200;
  kv::service::MarfsWalk walk;
  if (!kv::service::ReadMarfsVolume(read, sectors, builder, nullptr, "fuzz", limits, &walk)) return 0;
  if (builder.Build() != kv::service::BuildError::kNone) return 0;
  std::vector<uint8_t> out(16 * 2048);
  const uint32_t total = builder.SectorCount();
  for (uint32_t s = 0; s < total && s < 4096; s += 16) builder.ReadSectors(s, 16, out.data());
  return 0;
}
