// How the service finds, names, adds and removes the virtual drives (DOS device names of the
// driver's devices and drive letters), and mounts image files on a client's behalf.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/commands/archive_mount.h"

namespace kv::service {

struct DriveRef {
  int index = 0;
  char16_t letter = 0;
  std::string path;  // "\\.\X:"
};

// Every letter D..Z present in the system whose target is one of the driver's drives, in
// ascending drive index.
std::vector<DriveRef> FindDrives();

// Letter for drive `index` from the configured letters (one per index; "A" or a non-letter means
// automatic): the configured one unless it is below D, above Z or present; else the first letter
// from D that is not present; 0 when none is free. A letter that `index` itself holds counts as
// free for it, so that applying a drive's own letter again keeps it.
char16_t ChooseDriveLetter(int index, const std::u16string& configured);

// Whether drive-letter links are also announced to the driver (32-bit process on a 64-bit
// system, or system version 5.1 and later).
bool SystemAnnouncesLetters();

// Defines `letter` for drive `index` (raw target "\Device\KVEmu\KVEmuCd<index>") and announces it
// to the driver when the system level asks for it.
bool DefineDriveLetter(int index, char16_t letter);
// Announces the removal of the drive's letter to the driver and deletes its DOS device.
bool RemoveDriveLetter(const DriveRef& drive);

// Sends a complete MountRequest of `length` bytes to drive `drive` (IOCTL_CDEMU_MOUNT_IMAGE).
// kDriveHoldsMedium when the drive is not empty (nothing done).
MountOutcome MountImage(int drive, const uint8_t* request, size_t length);

}  // namespace kv::service
