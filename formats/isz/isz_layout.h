// On-disk layout of an ISZ image: the 48-byte header and the masked pointer table.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::isz {

#pragma pack(push, 1)
struct Header {
  char signature[4];  // "IsZ!"
  uint8_t headerSize;
  uint8_t version;
  uint32_t volumeSerial;
  uint16_t sectorSize;
  uint32_t totalSectors;
  uint8_t encryption;  // 0 none; 4 AES-256; 3 AES-192; any other AES-128
  uint64_t segmentSize;
  uint32_t blockCount;
  uint32_t blockSize;
  uint8_t pointerSize;  // 3
  uint8_t segmentNumber;
  uint32_t pointerTableOffset;
  uint32_t segmentTableOffset;  // 0: a single-file image
  uint32_t dataOffset;
  uint8_t reserved;
};
#pragma pack(pop)

static_assert(sizeof(Header) == 48);
static_assert(offsetof(Header, headerSize) == 4);
static_assert(offsetof(Header, volumeSerial) == 6);
static_assert(offsetof(Header, sectorSize) == 10);
static_assert(offsetof(Header, totalSectors) == 12);
static_assert(offsetof(Header, encryption) == 16);
static_assert(offsetof(Header, segmentSize) == 17);
static_assert(offsetof(Header, blockCount) == 25);
static_assert(offsetof(Header, blockSize) == 29);
static_assert(offsetof(Header, pointerSize) == 33);
static_assert(offsetof(Header, segmentNumber) == 34);
static_assert(offsetof(Header, pointerTableOffset) == 35);
static_assert(offsetof(Header, segmentTableOffset) == 39);
static_assert(offsetof(Header, dataOffset) == 43);

inline constexpr char kSignature[4] = {'I', 's', 'Z', '!'};
inline constexpr uint32_t kPointerSize = 3;
// Byte i of the pointer table is XORed with the complement of kPointerMask[i % 4].
inline constexpr uint8_t kPointerMask[4] = {'I', 's', 'Z', '!'};

// Block types in the top two bits of a 24-bit pointer; the low 22 bits are the stored size.
enum BlockType : uint8_t { kBlockZeros = 0, kBlockStored = 1, kBlockZlib = 2, kBlockBzip2 = 3 };
inline constexpr uint32_t kStoredSizeMask = (1u << 22) - 1;

inline uint8_t MaskByte(size_t i) {
  return static_cast<uint8_t>(~kPointerMask[i % 4]);
}

}  // namespace kv::isz
