// BlockMap: an uncompressed image described as extents of a file (zeros, stored bytes, zlib or
// bzip2 streams, optionally AES-encrypted), read through a small cache of decoded blocks. The
// ISZ and UIF readers build one each.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/blockmap/aes_ecb.h"
#include "formats/image_source.h"

namespace kv {

enum class ExtentKind : uint8_t { kZeros, kStored, kZlib, kBzip2 };

struct Extent {
  ExtentKind kind = ExtentKind::kZeros;
  uint64_t fileOffset = 0;
  uint32_t storedSize = 0;
  uint64_t size = 0;      // uncompressed bytes the extent contributes to the image
  uint32_t capacity = 0;  // decoded kinds: the stream may inflate to size..capacity bytes
  uint64_t start = 0;     // sum of the sizes of the extents before it
};

// Limits that keep hostile tables from taking unbounded memory.
inline constexpr uint32_t kBlockMapMaxDecodedExtent = 16 * 1024 * 1024;
inline constexpr uint32_t kBlockMapStagingSize = 512 * 1024;
inline constexpr uint32_t kBlockMapMaxStaging = kBlockMapMaxDecodedExtent + 23520;
inline constexpr uint32_t kBlockMapMaxExtents = 1u << 22;  // 8 GiB of 2 KiB blocks
inline constexpr int kBlockMapCacheSlots = 4;

enum class AesKeyLength : uint8_t { kNone = 0, k128 = 16, k192 = 24, k256 = 32 };

class BlockMap {
 public:
  BlockMap(uint32_t sectorSize, uint32_t dataOffset) : sectorSize_(sectorSize), dataOffset_(dataOffset) {}
  ~BlockMap();
  BlockMap(const BlockMap&) = delete;
  BlockMap& operator=(const BlockMap&) = delete;

  // Appends an extent of `size` bytes. Decoded kinds may inflate to between `size` and
  // `capacity` bytes (a block cut short at the image's end); 0 means exactly `size`. False when
  // the extent's data lies outside a file of `fileSize` bytes, a decoded extent is larger than
  // the cache allows, the map would exceed its extent limit, or memory runs out.
  bool Add(ExtentKind kind, uint64_t fileOffset, uint32_t storedSize, uint64_t size, uint64_t fileSize,
           uint32_t capacity = 0);
  // Decrypts stored and compressed data with AES-ECB under `key` (the length's number of bytes).
  bool SetKey(const uint8_t* key, AesKeyLength length);
  // Sizes the staging buffer for the largest stored block of a decoded extent, at least
  // `minimum` bytes; false beyond kBlockMapMaxStaging or without memory.
  bool PrepareStaging(uint32_t minimum = kBlockMapStagingSize);

  void SetGeometry(uint32_t sectorSize, uint32_t dataOffset) {
    sectorSize_ = sectorSize;
    dataOffset_ = dataOffset;
  }
  uint32_t sectorSize() const { return sectorSize_; }
  uint32_t dataOffset() const { return dataOffset_; }
  uint64_t total() const { return total_; }
  // ceil(total / sector size), clamped at 2^32 - 1.
  uint32_t SectorCount() const;
  const std::vector<Extent>& extents() const { return extents_; }
  size_t stagingSize() const { return staging_.size(); }
  uint32_t largestStoredBlock() const { return largestStored_; }
  // Drops every decoded block (a geometry change does not need it; a new key does).
  void ClearCache();

  // Bytes [offset, offset + length) of the uncompressed image; past the last extent zeros.
  bool ReadBytes(ImageFile& file, uint64_t offset, uint64_t length, uint8_t* out);
  // `count` 2048-byte sectors from `first`: 2048 bytes at the data offset of each sector of the
  // map's geometry. Returns the count delivered (0 on any failure).
  uint32_t ReadSectors(ImageFile& file, uint64_t first, uint32_t count, uint8_t* destination);

 private:
  struct Slot {
    size_t extent = SIZE_MAX;
    uint64_t lastUse = 0;
    std::vector<uint8_t> data;
  };
  const uint8_t* Decoded(ImageFile& file, size_t index);
  bool Decode(ImageFile& file, const Extent& e, std::vector<uint8_t>* out);
  bool Decrypt(uint8_t* data, uint32_t length);

  uint32_t sectorSize_;
  uint32_t dataOffset_;
  std::vector<Extent> extents_;
  uint64_t total_ = 0;
  uint32_t largestStored_ = 0;
  std::vector<uint8_t> staging_;
  Slot slots_[kBlockMapCacheSlots];
  uint64_t useClock_ = 0;
  AesKeyLength keyLength_ = AesKeyLength::kNone;
  AesEcb cipher_;
};

}  // namespace kv
