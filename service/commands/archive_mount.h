// The service's mount and unmount of archives on a virtual drive: open the archive, lay out its
// bridge image, obtain the drive's media channel, mount the served medium and start the sector
// server; and the reverse.
#pragma once
#include <optional>
#include <string>

#include "archive/archive_messages.h"
#include "platform/devio.h"
#include "service/sector_server.h"

namespace kv::service {

struct ArchiveMount {
  std::string path;  // the archive (Linux path)
  std::optional<std::u16string> password;
  std::string installDir;   // holds the codec library
  std::string storeFolder;  // where extracted items are kept
  archive::MessageSink* messages = nullptr;
};

enum class MountOutcome {
  kMounted,
  kDriveHoldsMedium,  // nothing was done: the drive is not empty
  kFailed,
};

// Mounts `request.path` on drive `drive` (0..22). A failure after the driver took the medium
// unmounts it again, so that no drive is left without a server. `error` tells the step that
// failed.
MountOutcome MountArchive(DriveSlotTable& table, int drive, const ArchiveMount& request, std::string* error);

// Takes the medium out of the drive (volume lock, unmount, dismount, unlock) and, when the
// drive's slot is active, stops its server and frees the slot (extracted data is deleted).
// Nothing to do for an empty drive. False when the driver refused the unmount.
bool UnmountDrive(DriveSlotTable& table, int drive);

// Gives the drive's channel buffer back to the driver (a server that leaves for good).
bool ReleaseChannel(int drive);

// The drive's current medium: true when it holds one (its name, as the driver stores it, without
// a leading "\??\"), false when it is empty or cannot be asked.
bool QueryDriveMedium(int drive, std::u16string* name);

// True when the drive's device answers an open (the driver is running).
bool DriveReachable(int drive);

// Drive index of a DOS device target ("\Device\KVEmu\KVEmuCd<n>", n 0..22); -1 for any other.
int DriveIndexOfTarget(const std::string& target);

// The drive's letter device "\\.\X:" (read and write access for unmounting, else none), else its
// control device "\\.\KVEmuDevN".
platform::Handle OpenDrive(int drive, bool forUnmount);

// The first letter from D to Z whose DOS device is drive `drive`; 0 when it has none.
char16_t DriveLetterOf(int drive);

}  // namespace kv::service
