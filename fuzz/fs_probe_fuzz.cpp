// The input is an image. The probe runs twice: over the bytes as they are, and over the bytes
// repeated to fill the whole sector range, so that small inputs reach the UDF anchor at 256 and
// descriptors anywhere. Then ImageSource::Open with a few geometries, and reads.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mount_request.h"
#include "formats/fs_probe.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"

namespace {

struct Geometry {
  int32_t format;
  uint32_t sectorSize, dataOffset;
  int32_t startOffset;
};

constexpr Geometry kGeometries[] = {
    {kv::kFormatIso, 2048, 0, 0}, {kv::kFormatIso, 2048, 0, -8 * 2048}, {kv::kFormatBin, 2352, 16, 0},
    {1001, 2448, 24, -16 * 2448}, {kv::kFormatAudioDisc, 2352, 0, 0},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t sectors = size / 2048;
  auto probe = std::make_unique<kv::ProbeResult>();

  kv::ProbeFileSystem(
      [&](uint32_t s, uint8_t* out) {
        if (s >= sectors) return kv::SectorRead::kFailed;
        std::memcpy(out, data + uint64_t{s} * 2048, 2048);
        return kv::SectorRead::kOk;
      },
      probe.get());
  if (sectors > 0) {
    kv::ProbeFileSystem(
        [&](uint32_t s, uint8_t* out) {
          std::memcpy(out, data + (s % sectors) * 2048, 2048);
          return kv::SectorRead::kOk;
        },
        probe.get());
  }

  auto request = std::make_unique<kv::MountRequest>();
  std::vector<uint8_t> out(8 * 2352);
  for (const Geometry& g : kGeometries) {
    std::memset(request.get(), 0, sizeof *request);
    request->Format = g.format;
    request->SectorSize = g.sectorSize;
    request->DataOffset = g.dataOffset;
    request->StartOffset = g.startOffset;
    if (g.format == kv::kFormatAudioDisc && size > 0) request->TrackCount = data[0];
    std::unique_ptr<kv::ImageSource> source;
    kv::ImageSource::Open(*request, u"fuzz", kv::OpenMemoryFile(std::vector<uint8_t>(data, data + size)), &source);
    if (!source) continue;
    const uint32_t count = source->sectorCount();
    source->ReadSectors(0, 8, out.data());
    if (count > 0) source->ReadSectors(count - 1, 1, out.data());
    source->ReadSectors(count, 1, out.data());
    source->ReadRawSectors(0, 8, out.data());
  }
  return 0;
}
