// The plain formats: ISO (2048-byte sectors) and images with an explicit sector geometry.
// File position of sector s = s × sector size + start offset; sectors before the start of the
// file read as zeros.
#include <algorithm>
#include <cstring>
#include <new>

#include "formats/fs_probe.h"
#include "formats/image_source_access.h"

namespace kv {
namespace {

using A = ImageSourceAccess;

bool UsesSectorReader(int32_t format) {
  return format == kFormatBin || IsPlainGeometryFormat(format);
}

// File position of `sector`, or false when it cannot be represented.
bool SectorPosition(uint64_t sector, uint32_t sectorSize, int32_t startOffset, int64_t* position) {
  if (sectorSize == 0 || sector > static_cast<uint64_t>(INT64_MAX / 2) / sectorSize) return false;
  *position = static_cast<int64_t>(sector * sectorSize) + startOffset;
  return true;
}

}  // namespace

MountError OpenPlain(ImageSource& s, const MountRequest&) {
  const uint32_t sectorSize = A::SectorSize(s);
  const uint32_t dataOffset = A::DataOffset(s);
  const int32_t startOffset = A::StartOffset(s);
  if (sectorSize == 0) {
    A::Format(s) = kFormatUnusable;
    return kMountOk;
  }
  if (UsesSectorReader(A::Format(s))) {
    // The 2048 user bytes must lie inside the file sector, and a file sector inside the work buffer.
    if (sectorSize > kPlainWorkBufferSize || uint64_t{dataOffset} + kSectorSize > sectorSize) {
      A::Format(s) = kFormatUnusable;
      return kMountOk;
    }
  }

  ImageFile* file = A::File(s);
  const SectorReader direct = [&](uint32_t sector, uint8_t* out) {
    int64_t position = 0;
    if (!SectorPosition(sector, sectorSize, startOffset, &position)) return SectorRead::kFailed;
    if (position < 0) return SectorRead::kSkipped;
    return file->ReadAt(static_cast<uint64_t>(position) + dataOffset, kSectorSize, out) ? SectorRead::kOk
                                                                                        : SectorRead::kFailed;
  };
  if (!ProbeFileSystem(direct, &A::Probe(s))) {
    A::Format(s) = kFormatUnusable;
    return kMountOk;
  }
  if (UsesSectorReader(A::Format(s))) {
    try {
      A::WorkBuffer(s).resize(kPlainWorkBufferSize);
    } catch (const std::bad_alloc&) {
      return kMountNoMemory;
    }
  }
  const int64_t sectors = (A::FileSize(s) - startOffset) / static_cast<int64_t>(sectorSize);
  A::SectorCount(s) = sectors <= 0 ? 0 : sectors > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sectors);
  return kMountOk;
}

uint32_t ReadPlain2048(ImageSource& s, uint64_t first, uint32_t count, uint8_t* destination) {
  ImageFile* file = A::File(s);
  if (!file || first > UINT64_MAX - count) return 0;
  int64_t end = 0, position = 0;
  if (!SectorPosition(first + count, kSectorSize, A::StartOffset(s), &end)) return 0;
  SectorPosition(first, kSectorSize, A::StartOffset(s), &position);
  uint32_t done = 0;
  for (; done < count && position < 0; ++done, position += kSectorSize)
    std::memset(destination + uint64_t{done} * kSectorSize, 0, kSectorSize);
  if (done == count) return count;
  const uint64_t length = uint64_t{count - done} * kSectorSize;
  return file->ReadAt(static_cast<uint64_t>(position), length, destination + uint64_t{done} * kSectorSize) ? count : 0;
}

uint32_t ReadPlainSectors(ImageSource& s, uint64_t first, uint32_t count, uint8_t* destination) {
  ImageFile* file = A::File(s);
  std::vector<uint8_t>& work = A::WorkBuffer(s);
  const uint32_t sectorSize = A::SectorSize(s);
  const uint32_t dataOffset = A::DataOffset(s);
  const int32_t startOffset = A::StartOffset(s);
  if (!file || sectorSize == 0 || work.size() < sectorSize || uint64_t{dataOffset} + kSectorSize > sectorSize) return 0;
  int64_t end = 0, position = 0;
  if (first > UINT64_MAX - count || !SectorPosition(first + count, sectorSize, startOffset, &end)) return 0;
  const uint32_t batch = std::min<uint32_t>(kPlainBatchSectors, static_cast<uint32_t>(work.size() / sectorSize));

  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(batch, count - done);
    SectorPosition(first + done, sectorSize, startOffset, &position);
    uint8_t* out = destination + uint64_t{done} * kSectorSize;
    uint32_t zeros = 0;
    for (; zeros < n && position < 0; ++zeros, position += sectorSize)
      std::memset(out + uint64_t{zeros} * kSectorSize, 0, kSectorSize);
    if (zeros < n) {
      if (!file->ReadAt(static_cast<uint64_t>(position), uint64_t{n - zeros} * sectorSize, work.data())) return 0;
      for (uint32_t k = zeros; k < n; ++k)
        std::memcpy(out + uint64_t{k} * kSectorSize, work.data() + uint64_t{k - zeros} * sectorSize + dataOffset,
                    kSectorSize);
    }
    done += n;
  }
  return count;
}

}  // namespace kv
