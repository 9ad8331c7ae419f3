// On-disk structures of DAA and GBI images (little-endian, packed).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::daa {

#pragma pack(push, 1)

// Last 20 bytes of a file whose image header lies behind other data.
struct Locator6 {
  uint32_t type;  // 6
  uint32_t size;  // 20
  uint32_t unused1;
  uint32_t headerPosition;  // bit 31 is a flag, the low 31 bits the offset
  uint32_t unused2;
};

// Last 28 bytes of the first volume of a file over 64 KiB; not part of the chunk data.
struct Locator5 {
  uint32_t type;  // 5
  uint32_t size;  // 28
  uint8_t unused1[12];
  uint32_t headerOffset;
  uint32_t unused2;
};

struct MainHeader {
  char signature[16];       // "DAA", "GBI" or 0xB8 0xBD 0xB6, zero padded
  uint32_t headerSize;      // offset of the chunk table from the header
  uint32_t version;         // 0x100 or 0x110
  uint32_t dataOffset;      // low 24 bits: first chunk; bit 28 all deflate; bit 31 table at the end
  uint32_t one;             // 1
  uint32_t zero;            // 0
  uint32_t chunkSizeFlags;  // 0x100: the chunk size; 0x110: (value & 0xFFF) * 16 KiB, flags above
  uint64_t imageSize;
  uint64_t tableEnd;  // end position of the chunk table (bit 31 of dataOffset)
  uint8_t profile;
  uint32_t compressedTableSize;  // flag 0x4000
  uint8_t bitWidths;             // low 3 bits method width, high 5 bits length width - 10
  uint8_t lzmaFilter;            // flag 0x100000: 0 none, 1 x86 branch converter
  uint8_t lzmaProperties[5];
  uint8_t reserved[4];
  uint32_t crc;  // CRC-32 of bytes 0-71
};

struct DescriptorHeader {
  uint32_t type;
  uint32_t length;  // including these 8 bytes
};

struct VolumeInfoDescriptor {  // type 1
  DescriptorHeader header;
  uint32_t volumeCount;
  uint8_t unused[36];
  uint32_t namingScheme;  // low 4 bits
  uint8_t unused2[8];
};

struct VolumeSizesHeader {  // type 2, followed by `count` VolumeSize entries
  DescriptorHeader header;
  uint32_t count;
  uint32_t one;
};

struct VolumeSize {
  uint32_t low;
  uint8_t high;
};

struct EncryptionDescriptor {  // type 3
  DescriptorHeader header;
  uint32_t kind;  // 0
  uint32_t checkCrc;
  uint8_t check[128];  // encrypted check bytes
};

// Start of every later volume: 100 bytes, chunk data follows.
struct VolumeHeader {
  char signature[16];   // "DAA VOL" or "GBI VOL"
  uint32_t dataOffset;  // low 24 bits
  uint8_t block[16];
  uint32_t crc;  // CRC-32 of bytes 0-35
  uint8_t descriptors[60];
};

#pragma pack(pop)

static_assert(sizeof(Locator6) == 20);
static_assert(offsetof(Locator6, headerPosition) == 12);
static_assert(sizeof(Locator5) == 28);
static_assert(offsetof(Locator5, headerOffset) == 20);
static_assert(sizeof(MainHeader) == 76);
static_assert(offsetof(MainHeader, headerSize) == 16);
static_assert(offsetof(MainHeader, version) == 20);
static_assert(offsetof(MainHeader, dataOffset) == 24);
static_assert(offsetof(MainHeader, one) == 28);
static_assert(offsetof(MainHeader, chunkSizeFlags) == 36);
static_assert(offsetof(MainHeader, imageSize) == 40);
static_assert(offsetof(MainHeader, tableEnd) == 48);
static_assert(offsetof(MainHeader, profile) == 56);
static_assert(offsetof(MainHeader, compressedTableSize) == 57);
static_assert(offsetof(MainHeader, bitWidths) == 61);
static_assert(offsetof(MainHeader, lzmaFilter) == 62);
static_assert(offsetof(MainHeader, lzmaProperties) == 63);
static_assert(offsetof(MainHeader, crc) == 72);
static_assert(sizeof(DescriptorHeader) == 8);
static_assert(sizeof(VolumeInfoDescriptor) == 60);
static_assert(offsetof(VolumeInfoDescriptor, volumeCount) == 8);
static_assert(offsetof(VolumeInfoDescriptor, namingScheme) == 48);
static_assert(sizeof(VolumeSizesHeader) == 16);
static_assert(sizeof(VolumeSize) == 5);
static_assert(sizeof(EncryptionDescriptor) == 144);
static_assert(offsetof(EncryptionDescriptor, checkCrc) == 12);
static_assert(offsetof(EncryptionDescriptor, check) == 16);
static_assert(sizeof(VolumeHeader) == 100);
static_assert(offsetof(VolumeHeader, crc) == 36);

inline constexpr uint32_t kVersion100 = 0x100;
inline constexpr uint32_t kVersion110 = 0x110;
inline constexpr uint32_t kLaterVolumeHeaderSize = sizeof(VolumeHeader);
inline constexpr uint64_t kLocator5MinFileSize = 64 * 1024;
inline constexpr uint8_t kAltGbiSignature[4] = {0xB8, 0xBD, 0xB6, 0x00};

// dataOffset bits.
inline constexpr uint32_t kFirstChunkMask = 0x00FFFFFF;
inline constexpr uint32_t kAllDeflate = 1u << 28;
inline constexpr uint32_t kTableAtEnd = 1u << 31;

// chunkSizeFlags bits of version 0x110.
inline constexpr uint32_t kChunkSizeMask = 0xFFF;
inline constexpr uint32_t kChunkSizeUnit = 16384;
inline constexpr uint32_t kFlagKeyWord = 0x2000;
inline constexpr uint32_t kFlagCompressedTable = 0x4000;
inline constexpr uint32_t kFlagMaskedTable = 0x20000;
inline constexpr uint32_t kFlagTableKey = 0x80000;
inline constexpr uint32_t kFlagLzmaPrefix = 0x100000;
inline constexpr unsigned kVariantShift = 23;
inline constexpr uint32_t kFlagScrambledTable = 0x8000000;

inline constexpr uint32_t kDescriptorVolumeInfo = 1;
inline constexpr uint32_t kDescriptorVolumeSizes = 2;
inline constexpr uint32_t kDescriptorEncryption = 3;

// Chunk methods of version 0x110.
inline constexpr uint32_t kMethodLzma = 0;
inline constexpr uint32_t kMethodDeflate = 1;

// The 14 bytes in front of an LZMA chunk: filter, 5 property bytes, u64 uncompressed size.
inline constexpr size_t kLzmaHeaderSize = 14;
inline constexpr uint8_t kLzmaFilterNone = 0;
inline constexpr uint8_t kLzmaFilterX86 = 1;

}  // namespace kv::daa
