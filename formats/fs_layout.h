// Byte positions of the on-disc structures the file-system probe looks at (ECMA-119 volume
// descriptors, ECMA-167/UDF descriptors, the XBOX media header). Every position lies inside one
// 2048-byte sector.
#pragma once
#include <cstdint>
#include <cstring>

namespace kv::fs {

inline constexpr uint32_t kSector = 2048;

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline bool BytesAt(const uint8_t* sector, uint32_t offset, const char* text) {
  return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
}

// ISO 9660 volume descriptor.
namespace iso {
inline constexpr uint32_t kFirstScanSector = 0;
inline constexpr uint32_t kScanSectors = 50;
inline constexpr uint32_t kType = 0;
inline constexpr uint32_t kStandardId = 1;  // "CD001"
inline constexpr const char* kStandardIdText = "CD001";
inline constexpr uint8_t kTypeBootRecord = 0;
inline constexpr uint8_t kTypePrimary = 1;
inline constexpr uint8_t kTypeSupplementary = 2;
inline constexpr uint8_t kTypeTerminator = 255;
inline constexpr uint32_t kBootSystemId = 7;
inline constexpr const char* kElToritoText = "EL TORITO SPECIFICATION";
inline constexpr uint32_t kVolumeSpaceSize = 80;      // u32 LE
inline constexpr uint32_t kEscapeSequences = 88;      // 0x25 0x2F then the level byte at 90
inline constexpr uint32_t kLogicalBlockSize = 128;    // u16 LE
inline constexpr uint32_t kRootExtentLocation = 158;  // u32 LE inside the root directory record at 156
}  // namespace iso

// UDF volume recognition sequence and descriptor tags.
namespace udf {
inline constexpr uint32_t kRecognitionFirst = 16;
inline constexpr uint32_t kRecognitionLast = 31;
inline constexpr uint32_t kRecognitionId = 1;  // 5 characters
inline constexpr uint32_t kAnchorSector = 256;

// Descriptor tag (16 bytes at the start of every descriptor).
inline constexpr uint32_t kTagIdentifier = 0;  // u16
inline constexpr uint32_t kTagVersion = 2;     // u16
inline constexpr uint32_t kTagChecksum = 4;    // u8
inline constexpr uint32_t kTagLocation = 12;   // u32
inline constexpr uint32_t kTagSize = 16;

enum TagId : uint16_t {
  kPrimaryVolume = 1,
  kAnchorPointer = 2,
  kVolumePointer = 3,
  kImplementationUse = 4,
  kPartition = 5,
  kLogicalVolume = 6,
  kUnallocatedSpace = 7,
  kTerminating = 8,
};

// Anchor volume descriptor pointer: main volume descriptor sequence extent.
inline constexpr uint32_t kAnchorMainLength = 16;
inline constexpr uint32_t kAnchorMainLocation = 20;

// Sequence number of the descriptors of the volume descriptor sequence.
inline constexpr uint32_t kSequenceNumber = 16;
// Volume descriptor pointer: next extent.
inline constexpr uint32_t kPointerNextLength = 20;
inline constexpr uint32_t kPointerNextLocation = 24;
// Partition descriptor.
inline constexpr uint32_t kPartitionStart = 188;
inline constexpr uint32_t kPartitionLength = 192;
// Logical volume descriptor.
inline constexpr uint32_t kLogicalBlockSize = 212;
inline constexpr uint32_t kMapTableLength = 264;
inline constexpr uint32_t kMapCount = 268;
inline constexpr uint32_t kMapsStart = 440;
inline constexpr uint32_t kMaxMaps = 16;

// Partition maps.
inline constexpr uint32_t kMapType = 0;
inline constexpr uint32_t kMapLength = 1;
inline constexpr uint32_t kType1Length = 6;
inline constexpr uint32_t kType1VolumeSequence = 2;  // u16
inline constexpr uint32_t kType1Partition = 4;       // u16
inline constexpr uint32_t kType2Length = 64;
inline constexpr uint32_t kType2Identifier = 5;  // entity identifier text (flags byte at 4)
inline constexpr uint32_t kType2VolumeSequence = 36;
inline constexpr uint32_t kType2Partition = 38;
inline constexpr uint32_t kMetadataFile = 40;
inline constexpr uint32_t kMetadataMirrorFile = 44;
inline constexpr uint32_t kMetadataBitmapFile = 48;
inline constexpr uint32_t kMetadataAllocationUnit = 52;
inline constexpr uint32_t kMetadataAlignmentUnit = 56;  // u16
inline constexpr uint32_t kMetadataFlags = 58;          // bit 0: duplicate metadata
inline constexpr const char* kMetadataPartitionText = "*UDF Metadata Partition";
inline constexpr const char* kVirtualPartitionText = "*UDF Virtual Partition";
inline constexpr const char* kSparablePartitionText = "*UDF Sparable Partition";
}  // namespace udf

// XBOX media header.
namespace xbox {
inline constexpr uint32_t kSector = 32;
inline constexpr const char* kMagic = "MICROSOFT*XBOX*MEDIA";
inline constexpr uint32_t kMagicLength = 20;
inline constexpr uint32_t kRootLocation = 20;  // u32, must be non-zero
inline constexpr uint32_t kRootSize = 24;      // u32, must be non-zero
inline constexpr uint32_t kTrailerMagic = 2028;
}  // namespace xbox

}  // namespace kv::fs
