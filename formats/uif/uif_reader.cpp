// UIF images: a trailer at the end of the file points to a zlib-compressed block table whose
// entries, laid end to end, make the image. The stored sectors are 2048-byte user data or raw
// 2352-byte sectors; the geometry is the first under which a file system is found.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "formats/blockmap/block_map_reader.h"
#include "formats/uif/uif_layout.h"

namespace kv {
namespace {

using A = ImageSourceAccess;

struct Geometry {
  uint32_t sectorSize, dataOffset;
};
constexpr Geometry kGeometries[] = {{kSectorSize, 0}, {kRawSectorSize, 16}, {kRawSectorSize, 24}};

constexpr uint32_t kMaxCompressedTable = 64 * 1024 * 1024;
constexpr size_t kTableGrowth = 1024 * 1024;

bool Fail(const char** reason, const char* text) {
  *reason = text;
  return false;
}

// Inflates the table into *out, at most `limit` bytes; the output grows only as the stream
// delivers, so a huge entry count alone costs nothing. A stream end or a full output is success.
bool InflateTable(const std::vector<uint8_t>& in, uint64_t limit, std::vector<uint8_t>* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  size_t done = 0;
  bool ok = false;
  try {
    while (done < limit) {
      out->resize(static_cast<size_t>(std::min<uint64_t>(limit, done + kTableGrowth)));
      z.next_out = out->data() + done;
      z.avail_out = static_cast<uInt>(out->size() - done);
      const uInt before = z.avail_out;
      const int status = inflate(&z, Z_NO_FLUSH);
      done += before - z.avail_out;
      if (status == Z_STREAM_END) break;
      if ((status != Z_OK && status != Z_BUF_ERROR) || before == z.avail_out) {
        done = 0;  // corrupt or cut short
        break;
      }
    }
    ok = done > 0 || limit == 0;
    out->resize(done);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  inflateEnd(&z);
  return ok;
}

}  // namespace

bool BuildUifMap(ImageFile& file, uint64_t fileSize, BlockMap* map, const char** reason) {
  uif::Trailer trailer;
  if (fileSize <= sizeof trailer) return Fail(reason, "file too small for a UIF trailer");
  if (!file.ReadAt(fileSize - sizeof trailer, sizeof trailer, &trailer)) return Fail(reason, "UIF trailer unreadable");
  if (std::memcmp(trailer.signature, uif::kTrailerSignature, 4) != 0) return Fail(reason, "no UIF trailer");
  if (trailer.sectorUnit == 0) return Fail(reason, "UIF sector unit is 0");

  uif::TableHeader header;
  if (uint64_t{trailer.tablePosition} + sizeof header > fileSize)
    return Fail(reason, "UIF trailer points outside the file");
  if (!file.ReadAt(trailer.tablePosition, sizeof header, &header)) return Fail(reason, "UIF table header unreadable");
  if (std::memcmp(header.signature, uif::kTableSignature, 4) != 0) return Fail(reason, "no UIF block-table header");
  if (header.size < 8) return Fail(reason, "UIF block table has a bad size");
  const uint64_t compressed = header.size - 8u;
  if (uint64_t{trailer.tablePosition} + sizeof header + compressed > fileSize)
    return Fail(reason, "UIF block table runs past the end of the file");
  if (compressed > kMaxCompressedTable || header.entryCount > kBlockMapMaxExtents)
    return Fail(reason, "UIF block table too large");

  std::vector<uint8_t> packed, table;
  try {
    packed.resize(compressed);
  } catch (const std::bad_alloc&) {
    return Fail(reason, "out of memory for the UIF block table");
  }
  if (compressed > 0 && !file.ReadAt(uint64_t{trailer.tablePosition} + sizeof header, compressed, packed.data()))
    return Fail(reason, "UIF block table unreadable");
  if (!InflateTable(packed, uint64_t{header.entryCount} * sizeof(uif::Entry), &table))
    return Fail(reason, "UIF block table does not inflate");

  uint64_t largest = 0;
  for (size_t at = 0; at + sizeof(uif::Entry) <= table.size(); at += sizeof(uif::Entry)) {
    uif::Entry e;
    std::memcpy(&e, table.data() + at, sizeof e);
    const uint64_t size = uint64_t{e.sectorCount} * trailer.sectorUnit;
    bool added = true;
    switch (e.type) {
      case uif::kStored:
      case uif::kStored2:
        added = map->Add(ExtentKind::kStored, e.fileOffset, e.storedSize, size, fileSize);
        break;
      case uif::kZeros:
        added = map->Add(ExtentKind::kZeros, 0, 0, size, fileSize);
        break;
      case uif::kZlib:
      case uif::kZlib2:
        added = map->Add(ExtentKind::kZlib, e.fileOffset, e.storedSize, size, fileSize);
        largest = std::max({largest, uint64_t{e.storedSize}, size});
        break;
      default:
        break;  // other types contribute nothing
    }
    if (!added) return Fail(reason, "a UIF block lies outside the file or is too large");
  }
  const uint64_t staging = largest > uif::kStagingThreshold ? largest + uif::kStagingSlack : 0;
  if (staging > kBlockMapMaxStaging || !map->PrepareStaging(static_cast<uint32_t>(staging)))
    return Fail(reason, "a UIF block is larger than the staging buffer allows");
  return true;
}

MountError OpenUif(ImageSource& s, const MountRequest&) {
  ImageFile* file = A::File(s);
  auto state = std::unique_ptr<BlockMapState>(new (std::nothrow) BlockMapState(kSectorSize, 0));
  if (!state) return kMountNoMemory;
  const char* reason = nullptr;
  A::Format(s) = kFormatUnusable;
  if (!BuildUifMap(*file, static_cast<uint64_t>(A::FileSize(s)), &state->map, &reason)) return kMountOk;
  for (const Geometry& g : kGeometries) {
    state->map.SetGeometry(g.sectorSize, g.dataOffset);
    if (!ProbeBlockMap(*file, state->map, &A::Probe(s))) continue;
    A::Format(s) = kFormatUif;
    A::SectorSize(s) = g.sectorSize;
    A::DataOffset(s) = g.dataOffset;
    A::StartOffset(s) = 0;
    A::SectorCount(s) = state->map.SectorCount();
    A::ReaderState(s) = std::move(state);
    break;
  }
  return kMountOk;
}

}  // namespace kv
