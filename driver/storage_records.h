// Answers of the standard storage requests, laid out as the storage stack defines them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::driver {

inline constexpr uint32_t kTocSize = 804;  // CDROM_TOC: 4-byte header + 100 track descriptors
inline constexpr uint32_t kTocDescriptorsOffset = 4;
inline constexpr uint32_t kTocDescriptorSize = 8;
inline constexpr uint32_t kLastSessionSize = 12;
inline constexpr uint32_t kTocExRequestSize = 4;
inline constexpr uint32_t kTocExAnswerSize = 20;
inline constexpr uint32_t kRawReadRequestSize = 16;
inline constexpr uint32_t kVerifyRequestSize = 16;
inline constexpr uint32_t kLeadInSectors = 150;  // address 00:02:00 is sector 0

struct DiskGeometry {
  int64_t Cylinders;
  uint32_t MediaType;
  uint32_t TracksPerCylinder;
  uint32_t SectorsPerTrack;
  uint32_t BytesPerSector;
};
static_assert(offsetof(DiskGeometry, Cylinders) == 0);
static_assert(offsetof(DiskGeometry, MediaType) == 8);
static_assert(offsetof(DiskGeometry, TracksPerCylinder) == 12);
static_assert(offsetof(DiskGeometry, SectorsPerTrack) == 16);
static_assert(offsetof(DiskGeometry, BytesPerSector) == 20);
static_assert(sizeof(DiskGeometry) == 24);

inline constexpr uint32_t kRemovableMedia = 11;
inline constexpr uint32_t kTracksPerCylinder = 2;
inline constexpr uint32_t kSectorsPerTrack = 32;
inline constexpr uint64_t kBytesPerCylinder = 2048ull * kTracksPerCylinder * kSectorsPerTrack;  // 131072

struct LengthInformation {
  int64_t Length;
};
static_assert(sizeof(LengthInformation) == 8);

struct PartitionInformation {
  int64_t StartingOffset;
  int64_t PartitionLength;
  uint32_t HiddenSectors;
  uint32_t PartitionNumber;
  uint8_t PartitionType;
  uint8_t BootIndicator;
  uint8_t RecognizedPartition;
  uint8_t RewritePartition;
  uint8_t Padding[4];
};
static_assert(offsetof(PartitionInformation, StartingOffset) == 0);
static_assert(offsetof(PartitionInformation, PartitionLength) == 8);
static_assert(offsetof(PartitionInformation, HiddenSectors) == 16);
static_assert(offsetof(PartitionInformation, PartitionNumber) == 20);
static_assert(offsetof(PartitionInformation, PartitionType) == 24);
static_assert(offsetof(PartitionInformation, BootIndicator) == 25);
static_assert(offsetof(PartitionInformation, RecognizedPartition) == 26);
static_assert(offsetof(PartitionInformation, RewritePartition) == 27);
static_assert(sizeof(PartitionInformation) == 32);

inline constexpr uint32_t kPartitionStyleMbr = 0;

// PARTITION_INFORMATION_EX with its MBR member; the union is as large as the GPT member.
struct PartitionInformationEx {
  uint32_t PartitionStyle;
  uint8_t Padding1[4];
  int64_t StartingOffset;
  int64_t PartitionLength;
  uint32_t PartitionNumber;
  uint8_t RewritePartition;
  uint8_t Padding2[3];
  struct {
    uint8_t PartitionType;
    uint8_t BootIndicator;
    uint8_t RecognizedPartition;
    uint8_t Padding;
    uint32_t HiddenSectors;
    uint8_t PartitionId[16];
  } Mbr;
  uint8_t GptRemainder[112 - 24];
};
static_assert(offsetof(PartitionInformationEx, PartitionStyle) == 0);
static_assert(offsetof(PartitionInformationEx, StartingOffset) == 8);
static_assert(offsetof(PartitionInformationEx, PartitionLength) == 16);
static_assert(offsetof(PartitionInformationEx, PartitionNumber) == 24);
static_assert(offsetof(PartitionInformationEx, RewritePartition) == 28);
static_assert(offsetof(PartitionInformationEx, Mbr) == 32);
static_assert(offsetof(PartitionInformationEx, Mbr.PartitionType) == 32);
static_assert(offsetof(PartitionInformationEx, Mbr.BootIndicator) == 33);
static_assert(offsetof(PartitionInformationEx, Mbr.RecognizedPartition) == 34);
static_assert(offsetof(PartitionInformationEx, Mbr.HiddenSectors) == 36);
static_assert(offsetof(PartitionInformationEx, Mbr.PartitionId) == 40);
static_assert(sizeof(PartitionInformationEx) == 144);

// Input of IOCTL_CDROM_RAW_READ (RAW_READ_INFO).
struct RawReadInfo {
  int64_t DiskOffset;
  uint32_t SectorCount;
  uint32_t TrackMode;
};
static_assert(offsetof(RawReadInfo, DiskOffset) == 0);
static_assert(offsetof(RawReadInfo, SectorCount) == 8);
static_assert(offsetof(RawReadInfo, TrackMode) == 12);
static_assert(sizeof(RawReadInfo) == kRawReadRequestSize);

// Input of IOCTL_DISK_VERIFY (VERIFY_INFORMATION).
struct VerifyInformation {
  int64_t StartingOffset;
  uint32_t Length;
  uint8_t Padding[4];
};
static_assert(offsetof(VerifyInformation, StartingOffset) == 0);
static_assert(offsetof(VerifyInformation, Length) == 8);
static_assert(sizeof(VerifyInformation) == kVerifyRequestSize);

// First byte of the READ_TOC_EX request.
inline constexpr uint8_t kTocExFormatMask = 0x0F;
inline constexpr uint8_t kTocExReservedMask = 0x70;
inline constexpr uint8_t kTocExMsf = 0x80;

}  // namespace kv::driver
