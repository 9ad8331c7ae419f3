// Records that cross the driver boundary: MountRequest, DriveStatus, MountError and the codes
// they carry. Little-endian, pointer-free, identical for 32-bit callers and the 64-bit driver.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv {

inline constexpr int kDriveCount = 23;
inline constexpr int kMaxTracks = 100;  // 99 tracks + the lead-out slot
inline constexpr uint32_t kSectorSize = 2048;
inline constexpr uint32_t kRawSectorSize = 2352;

// Image format codes (MountRequest::Format).
enum ImageFormat : int32_t {
  kFormatUnusable = -1,
  kFormatIso = 0,
  kFormatBin = 1,
  kFormatDaa = 2,
  kFormatNrg = 3,
  kFormatDmg = 4,
  kFormatUif = 5,
  kFormatIsz = 6,
  kFormatMzp = 7,
  kFormatTableCount = 8,
  kFormatAudioDisc = 100,
  kFormatArchive = 151,  // manager only: mounted through the service
  kFormatPlainFirst = 1000,
  kFormatPlainLast = 1007,
};

constexpr bool IsPlainGeometryFormat(int32_t f) {
  return f >= kFormatPlainFirst && f <= kFormatPlainLast;
}

// Result word of a failed mount; the request itself succeeds.
enum MountError : uint32_t {
  kMountOk = 0,
  kMountNoMemory = 6,
  kMountFileTooLarge = 7,
  kMountUnrecognised = 8,
  kMountFileNotFound = 12,
  kMountOpenFailed = 13,
  kMountUnsupportedVersion = 15,
};

// Sector kind of a track (one byte, shared by the manager and the driver).
enum TrackMode : uint8_t {
  TRACK_UNKNOWN = 0,
  TRACK_AUDIO = 1,
  TRACK_MODE1_2048 = 2,
  TRACK_MODE1_RAW = 3,
  TRACK_MODE2_2336 = 4,
  TRACK_MODE2_FORM1 = 5,
  TRACK_MODE2_FORM2 = 6,
  TRACK_MODE2_RAW = 8,
  TRACK_NRG_DATA = 153,
};

// Input of IOCTL_CDEMU_MOUNT_IMAGE and IOCTL_CDEMU_MOUNT_SHARED_MEDIA. The fixed part is 5318
// bytes; Name follows with NameLength bytes and a NUL character, so a request is
// 5320 + NameLength bytes.
struct MountRequest {
  uint64_t SizeBytes;
  uint32_t Flags;
  int32_t Format;
  uint32_t SectorSize;
  uint32_t DataOffset;
  int32_t StartOffset;
  char Password[260];
  uint32_t TrackCount;
  uint8_t TrackMode[kMaxTracks];
  int32_t TrackStart[kMaxTracks];
  int32_t TrackPregap[kMaxTracks];
  int32_t TrackPregapInFile[kMaxTracks];
  int32_t TrackPostgap[kMaxTracks];
  int32_t TrackPostgapInFile[kMaxTracks];
  int32_t TrackLength[kMaxTracks];
  int64_t TrackFileOffset[kMaxTracks];
  int64_t TrackFileEnd[kMaxTracks];
  int32_t TrackSectorSize[kMaxTracks];
  uint32_t Reserved1;
  char16_t Reserved2[256];
  uint32_t DaaKeyWord;
  uint32_t DaaTableKey;
  uint16_t NameLength;
  char16_t Name[1];  // NameLength bytes follow, then a NUL character
};

inline constexpr size_t kMountRequestFixedSize = 5318;
inline constexpr size_t kMountRequestMinSize = 5320;

static_assert(offsetof(MountRequest, SizeBytes) == 0);
static_assert(offsetof(MountRequest, Flags) == 8);
static_assert(offsetof(MountRequest, Format) == 12);
static_assert(offsetof(MountRequest, SectorSize) == 16);
static_assert(offsetof(MountRequest, DataOffset) == 20);
static_assert(offsetof(MountRequest, StartOffset) == 24);
static_assert(offsetof(MountRequest, Password) == 28);
static_assert(offsetof(MountRequest, TrackCount) == 288);
static_assert(offsetof(MountRequest, TrackMode) == 292);
static_assert(offsetof(MountRequest, TrackStart) == 392);
static_assert(offsetof(MountRequest, TrackPregap) == 792);
static_assert(offsetof(MountRequest, TrackPregapInFile) == 1192);
static_assert(offsetof(MountRequest, TrackPostgap) == 1592);
static_assert(offsetof(MountRequest, TrackPostgapInFile) == 1992);
static_assert(offsetof(MountRequest, TrackLength) == 2392);
static_assert(offsetof(MountRequest, TrackFileOffset) == 2792);
static_assert(offsetof(MountRequest, TrackFileEnd) == 3592);
static_assert(offsetof(MountRequest, TrackSectorSize) == 4392);
static_assert(offsetof(MountRequest, Reserved1) == 4792);
static_assert(offsetof(MountRequest, Reserved2) == 4796);
static_assert(offsetof(MountRequest, DaaKeyWord) == 5308);
static_assert(offsetof(MountRequest, DaaTableKey) == 5312);
static_assert(offsetof(MountRequest, NameLength) == 5316);
static_assert(offsetof(MountRequest, Name) == kMountRequestFixedSize);
static_assert(sizeof(MountRequest) == kMountRequestMinSize);

// Output of IOCTL_CDEMU_QUERY_MOUNT. The bytes between Present and NameLength are never
// written; the returned length is 5319 + NameLength.
struct DriveStatus {
  uint64_t SizeBytes;
  uint8_t Present;
  uint8_t Unwritten[5307];
  uint16_t NameLength;
  uint8_t Name[2];  // NameLength bytes, no terminator
};

inline constexpr size_t kDriveStatusFixedSize = 5319;  // returned length without the name

static_assert(offsetof(DriveStatus, SizeBytes) == 0);
static_assert(offsetof(DriveStatus, Present) == 8);
static_assert(offsetof(DriveStatus, NameLength) == 5316);
static_assert(offsetof(DriveStatus, Name) == 5318);
static_assert(sizeof(DriveStatus) == 5320);

// The sizes the system's own programs offer for a query.
inline constexpr size_t kDriveStatusQuerySize = 5904;
inline constexpr size_t kDriveStatusQuerySizeLarge = 7432;

}  // namespace kv
