// What the ISZ and UIF fuzz targets share: open through ImageSource, then build the block map
// alone (no file-system probe in the way) and read through it.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mount_request.h"
#include "formats/blockmap/block_map_reader.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"

namespace kv::fuzz {

// The seeds in fuzz/corpus/ that are encrypted use this password.
inline constexpr char kPassword[] = "fuzz";

template <typename Build>
void OpenAndRead(const std::vector<uint8_t>& bytes, int32_t format, Build build) {
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = format;
  request->SectorSize = kSectorSize;
  std::memcpy(request->Password, kPassword, sizeof kPassword);
  std::vector<uint8_t> out(16 * kSectorSize);
  std::unique_ptr<ImageSource> source;
  ImageSource::Open(*request, u"fuzz", OpenMemoryFile(bytes), &source);
  if (source) {
    const uint32_t count = source->sectorCount();
    source->ReadSectors(0, 16, out.data());
    if (count > 0) source->ReadSectors(count - 1, 1, out.data());
    source->ReadSectors(count, 2, out.data());
  }

  ImageFile file(OpenMemoryFile(bytes));
  BlockMap map(kSectorSize, 0);
  const char* reason = nullptr;
  if (!file.ok() || !build(file, static_cast<uint64_t>(bytes.size()), *request, &map, &reason)) return;
  const uint32_t sectors = map.SectorCount();
  for (uint32_t s = 0; s < sectors && s < 256; s += 16) map.ReadSectors(file, s, 16, out.data());
  map.SetGeometry(kRawSectorSize, 16);
  map.ReadSectors(file, 0, 16, out.data());
  map.ReadBytes(file, map.total() > 100 ? map.total() - 100 : 0, 4096, out.data());
}

}  // namespace kv::fuzz
