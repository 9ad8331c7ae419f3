// On-disk structures of MZP containers (little-endian, packed). The chunk table, descriptors and
// chunk bodies follow the DAA/GBI version 0x110 layout (formats/daa/daa_format.h).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::mzp {

#pragma pack(push, 1)

struct MainHeader {
  char signature[16];       // "MZP", zero padded
  uint32_t headerSize;      // offset of the chunk table from the header; the descriptors end here
  uint32_t version;         // 0x100
  uint32_t dataOffset;      // low 24 bits: first chunk; bit 31: the table ends at tableEnd
  uint8_t encryption;       // 0 none, 1/2/3 AES with a 128/192/256-bit key
  uint32_t one;             // 1
  uint32_t zero;            // not read
  uint32_t chunkSizeFlags;  // (value & 0xFFF) * 16 KiB, flags above
  uint64_t contentSize;
  uint64_t tableEnd;
  uint8_t profile;
  uint32_t compressedTableSize;
  uint8_t bitWidths;
  uint8_t lzmaFilter;
  uint8_t lzmaProperties[5];
  uint8_t reserved[4];
  uint32_t crc;  // CRC-32 of bytes 0-72
};

// The index descriptor (type 4): the chunk table again, deflated, so that a reader need not look
// for the table at the end of the last volume.
struct IndexDescriptor {
  uint32_t type;    // 4
  uint32_t length;  // including these bytes and the deflated table after them
  uint32_t chunkCount;
  uint32_t tableBytes;  // size of the table once inflated
};

#pragma pack(pop)

static_assert(sizeof(MainHeader) == 77);
static_assert(offsetof(MainHeader, headerSize) == 16);
static_assert(offsetof(MainHeader, version) == 20);
static_assert(offsetof(MainHeader, dataOffset) == 24);
static_assert(offsetof(MainHeader, encryption) == 28);
static_assert(offsetof(MainHeader, one) == 29);
static_assert(offsetof(MainHeader, chunkSizeFlags) == 37);
static_assert(offsetof(MainHeader, contentSize) == 41);
static_assert(offsetof(MainHeader, tableEnd) == 49);
static_assert(offsetof(MainHeader, profile) == 57);
static_assert(offsetof(MainHeader, compressedTableSize) == 58);
static_assert(offsetof(MainHeader, bitWidths) == 62);
static_assert(offsetof(MainHeader, lzmaFilter) == 63);
static_assert(offsetof(MainHeader, crc) == 73);
static_assert(sizeof(IndexDescriptor) == 16);

inline constexpr uint32_t kVersion = 0x100;
inline constexpr uint32_t kDescriptorIndex = 4;
inline constexpr uint32_t kMaxIndexBytes = 64 * 1024;
inline constexpr uint32_t kMaxPasswordBytes = 256;
// The later-volume header has the DAA layout (daa::VolumeHeader) with this signature.
inline constexpr char kVolumeSignature[] = "MZP VOL";

}  // namespace kv::mzp
