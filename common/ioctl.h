// Control codes of the virtual drives: the driver's own and the standard storage requests.
#pragma once
#include <cstdint>

namespace kv {

// Device type 0x8000, buffered transfer, any access.
constexpr uint32_t CdemuControlCode(uint32_t function) {
  return 0x80002000u + 4u * (function - 0x800u);
}

inline constexpr uint32_t IOCTL_CDEMU_MOUNT_SHARED_MEDIA = CdemuControlCode(0x800);
inline constexpr uint32_t IOCTL_CDEMU_MOUNT_IMAGE = CdemuControlCode(0x801);
inline constexpr uint32_t IOCTL_CDEMU_UNMOUNT = CdemuControlCode(0x802);
inline constexpr uint32_t IOCTL_CDEMU_QUERY_MOUNT = CdemuControlCode(0x803);
inline constexpr uint32_t IOCTL_CDEMU_CREATE_DRIVE_LETTER = CdemuControlCode(0x804);
inline constexpr uint32_t IOCTL_CDEMU_DELETE_DRIVE_LETTER = CdemuControlCode(0x805);
inline constexpr uint32_t IOCTL_CDEMU_GET_VERSION = CdemuControlCode(0x806);
inline constexpr uint32_t IOCTL_CDEMU_RESERVED_1 = CdemuControlCode(0x807);
inline constexpr uint32_t IOCTL_CDEMU_RESERVED_2 = CdemuControlCode(0x808);
inline constexpr uint32_t IOCTL_CDEMU_CREATE_SHARED_MEMORY = CdemuControlCode(0x809);
inline constexpr uint32_t IOCTL_CDEMU_RELEASE_SHARED_MEMORY = CdemuControlCode(0x80A);
inline constexpr uint32_t IOCTL_CDEMU_WRITE_REGISTRY_VALUE = CdemuControlCode(0x80C);
inline constexpr uint32_t IOCTL_CDEMU_GET_USER_VALUE1 = CdemuControlCode(0x80D);
inline constexpr uint32_t IOCTL_CDEMU_SET_USER_VALUE1 = CdemuControlCode(0x80E);
inline constexpr uint32_t IOCTL_CDEMU_GET_USER_VALUE2 = CdemuControlCode(0x80F);
inline constexpr uint32_t IOCTL_CDEMU_SET_USER_VALUE2 = CdemuControlCode(0x810);
// Accepted only while a medium is mounted; they never produce data.
inline constexpr uint32_t IOCTL_CDEMU_RESERVED_MEDIA_1 = CdemuControlCode(0x820);
inline constexpr uint32_t IOCTL_CDEMU_RESERVED_MEDIA_2 = CdemuControlCode(0x821);

// The driver's own codes pass the no-media gate.
inline constexpr uint32_t kCdemuFirstCode = IOCTL_CDEMU_MOUNT_SHARED_MEDIA;
inline constexpr uint32_t kCdemuLastCode = IOCTL_CDEMU_SET_USER_VALUE2;

inline constexpr uint32_t kDriverVersion = 43;

static_assert(IOCTL_CDEMU_MOUNT_SHARED_MEDIA == 0x80002000u);
static_assert(IOCTL_CDEMU_MOUNT_IMAGE == 0x80002004u);
static_assert(IOCTL_CDEMU_UNMOUNT == 0x80002008u);
static_assert(IOCTL_CDEMU_QUERY_MOUNT == 0x8000200Cu);
static_assert(IOCTL_CDEMU_CREATE_DRIVE_LETTER == 0x80002010u);
static_assert(IOCTL_CDEMU_DELETE_DRIVE_LETTER == 0x80002014u);
static_assert(IOCTL_CDEMU_GET_VERSION == 0x80002018u);
static_assert(IOCTL_CDEMU_RESERVED_1 == 0x8000201Cu);
static_assert(IOCTL_CDEMU_RESERVED_2 == 0x80002020u);
static_assert(IOCTL_CDEMU_CREATE_SHARED_MEMORY == 0x80002024u);
static_assert(IOCTL_CDEMU_RELEASE_SHARED_MEMORY == 0x80002028u);
static_assert(IOCTL_CDEMU_WRITE_REGISTRY_VALUE == 0x80002030u);
static_assert(IOCTL_CDEMU_GET_USER_VALUE1 == 0x80002034u);
static_assert(IOCTL_CDEMU_SET_USER_VALUE1 == 0x80002038u);
static_assert(IOCTL_CDEMU_GET_USER_VALUE2 == 0x8000203Cu);
static_assert(IOCTL_CDEMU_SET_USER_VALUE2 == 0x80002040u);
static_assert(IOCTL_CDEMU_RESERVED_MEDIA_1 == 0x80002080u);
static_assert(IOCTL_CDEMU_RESERVED_MEDIA_2 == 0x80002084u);

// Standard CD-ROM, disk and storage requests.
inline constexpr uint32_t IOCTL_CDROM_READ_TOC = 0x24000;
inline constexpr uint32_t IOCTL_CDROM_READ_TOC_EX = 0x24054;
inline constexpr uint32_t IOCTL_CDROM_GET_LAST_SESSION = 0x24038;
inline constexpr uint32_t IOCTL_CDROM_RAW_READ = 0x2403E;
inline constexpr uint32_t IOCTL_CDROM_GET_DRIVE_GEOMETRY = 0x2404C;
inline constexpr uint32_t IOCTL_CDROM_CHECK_VERIFY = 0x24800;
inline constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
inline constexpr uint32_t IOCTL_DISK_VERIFY = 0x70014;
inline constexpr uint32_t IOCTL_DISK_IS_WRITABLE = 0x70024;
inline constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO_EX = 0x70048;
inline constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO = 0x74004;
inline constexpr uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
inline constexpr uint32_t IOCTL_DISK_CHECK_VERIFY = 0x74800;
inline constexpr uint32_t IOCTL_DISK_MEDIA_REMOVAL = 0x74804;
inline constexpr uint32_t IOCTL_DISK_SET_PARTITION_INFO = 0x7C008;
inline constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY = 0x2D4800;
inline constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY2 = 0x2D0800;
inline constexpr uint32_t IOCTL_STORAGE_MEDIA_REMOVAL = 0x2D4804;

// Volume requests sent by user mode to a drive-letter device.
inline constexpr uint32_t FSCTL_LOCK_VOLUME = 0x90018;
inline constexpr uint32_t FSCTL_UNLOCK_VOLUME = 0x9001C;
inline constexpr uint32_t FSCTL_DISMOUNT_VOLUME = 0x90020;

}  // namespace kv
