// ISZ images: a header, a masked table of 3-byte block pointers, and blocks that are zeros,
// stored, zlib or bzip2 streams, optionally AES-encrypted (ECB) with the password as key.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "formats/blockmap/block_map_reader.h"
#include "formats/isz/isz_layout.h"

namespace kv {
namespace {

using A = ImageSourceAccess;

AesKeyLength KeyLengthFor(uint8_t encryption) {
  if (encryption == 0) return AesKeyLength::kNone;
  if (encryption == 4) return AesKeyLength::k256;
  if (encryption == 3) return AesKeyLength::k192;
  return AesKeyLength::k128;
}

bool Fail(const char** reason, const char* text) {
  *reason = text;
  return false;
}

}  // namespace

bool BuildIszMap(ImageFile& file, uint64_t fileSize, const MountRequest& request, BlockMap* map, const char** reason) {
  // 1. The header.
  isz::Header h;
  if (fileSize <= sizeof h) return Fail(reason, "file too small for an ISZ header");
  if (!file.ReadAt(0, sizeof h, &h)) return Fail(reason, "the ISZ header cannot be read");
  if (std::memcmp(h.signature, isz::kSignature, 4) != 0) return Fail(reason, "no ISZ signature");
  if (h.pointerSize != isz::kPointerSize)
    return Fail(reason, "unsupported ISZ block pointer size (only 3-byte pointers are read)");
  if (h.segmentTableOffset != 0) return Fail(reason, "segmented ISZ image (split into several files): not supported");
  if (h.blockSize == 0 || h.blockSize > kBlockMapMaxDecodedExtent) return Fail(reason, "unsupported ISZ block size");
  if (h.pointerTableOffset < sizeof h) return Fail(reason, "ISZ pointer table overlaps the header");
  const uint64_t tableBytes = uint64_t{h.blockCount} * isz::kPointerSize;
  if (h.pointerTableOffset > fileSize || tableBytes > fileSize - h.pointerTableOffset)
    return Fail(reason, "ISZ pointer table runs past the end of the file");
  if (h.blockCount > kBlockMapMaxExtents) return Fail(reason, "too many ISZ blocks");

  // 2. The pointer table, unmasked.
  std::vector<uint8_t> table;
  try {
    table.resize(tableBytes);
  } catch (const std::bad_alloc&) {
    return Fail(reason, "out of memory for the ISZ pointer table");
  }
  if (tableBytes > 0 && !file.ReadAt(h.pointerTableOffset, tableBytes, table.data()))
    return Fail(reason, "the ISZ pointer table cannot be read");
  for (size_t i = 0; i < table.size(); ++i) table[i] ^= isz::MaskByte(i);

  // 3. The extents. The medium ends at the header's total sector count: a partial last block
  //    does not make it larger, and blocks past the end contribute nothing.
  const uint64_t end = uint64_t{h.totalSectors} * (h.sectorSize ? h.sectorSize : kSectorSize);
  uint64_t position = h.dataOffset;
  uint64_t start = 0;
  for (uint32_t i = 0; i < h.blockCount; ++i, start += h.blockSize) {
    const uint32_t entry = table[i * 3] | table[i * 3 + 1] << 8 | uint32_t{table[i * 3 + 2]} << 16;
    const uint8_t type = static_cast<uint8_t>(entry >> 22);
    const uint32_t stored = entry & isz::kStoredSizeMask;
    if (start < end) {
      const uint64_t size = std::min<uint64_t>(h.blockSize, end - start);
      const ExtentKind kind = type == isz::kBlockZeros    ? ExtentKind::kZeros
                              : type == isz::kBlockStored ? ExtentKind::kStored
                              : type == isz::kBlockZlib   ? ExtentKind::kZlib
                                                          : ExtentKind::kBzip2;
      if (!map->Add(kind, position, stored, size, fileSize, h.blockSize))
        return Fail(reason, "an ISZ block lies outside the file or is too large");
    }
    if (type != isz::kBlockZeros) position += stored;
  }

  // 4. The key: the password's first 16, 24 or 32 bytes, padded with zeros.
  const AesKeyLength keyLength = KeyLengthFor(h.encryption);
  if (keyLength != AesKeyLength::kNone) {
    uint8_t key[32] = {};
    const size_t length = strnlen(request.Password, sizeof request.Password);
    std::memcpy(key, request.Password, std::min<size_t>(length, static_cast<size_t>(keyLength)));
    const bool keyed = map->SetKey(key, keyLength);
    OPENSSL_cleanse(key, sizeof key);
    if (!keyed) return Fail(reason, "AES decryption cannot be set up");
  }
  if (!map->PrepareStaging()) return Fail(reason, "an ISZ block is larger than the staging buffer allows");
  return true;
}

MountError OpenIsz(ImageSource& s, const MountRequest& request) {
  ImageFile* file = A::File(s);
  auto state = std::unique_ptr<BlockMapState>(new (std::nothrow) BlockMapState(kSectorSize, 0));
  if (!state) return kMountNoMemory;
  A::SectorSize(s) = kSectorSize;
  A::DataOffset(s) = 0;
  A::StartOffset(s) = 0;
  const char* reason = nullptr;
  if (!BuildIszMap(*file, static_cast<uint64_t>(A::FileSize(s)), request, &state->map, &reason) ||
      !ProbeBlockMap(*file, state->map, &A::Probe(s))) {
    A::Format(s) = kFormatUnusable;
    return kMountOk;
  }
  A::SectorCount(s) = state->map.SectorCount();
  A::ReaderState(s) = std::move(state);
  return kMountOk;
}

}  // namespace kv
