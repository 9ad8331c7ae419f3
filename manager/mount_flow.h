// How a picked file is mounted: the first volume of a split set, image and descriptor, the
// identification with its questions, then the archive or image command to the service.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "manager/drive_control.h"
#include "manager/inspect/image_probe.h"

namespace kv::manager {

enum class MountOutcome {
  kMounted,
  kAbandoned,   // the user gave up (or was told why); nothing was mounted
  kRefused,     // the file was refused: `message` holds the system's text
  kNoDrive,     // no empty drive
  kSendFailed,  // the service could not be reached (already shown)
  kFailed,      // the service refused the mount (text 320)
};

struct MountResult {
  MountOutcome outcome = MountOutcome::kRefused;
  std::u16string message;
  int drive = -1;
  char letter = 0;  // 0 when the drive has none
  int32_t format = -1;
  int32_t inspectResult = 0;  // the inspection's code when the file was refused (0: opened)
  int osError = 0;            // the file could not be opened at all
  std::string sent;           // the file named in the command (first volume, image of a descriptor)
};

// The file's inspection alone: what would be mounted (the probe; nothing is sent). `picked` is
// what the user chose. Files that are not regular (folders, devices, FIFOs) are refused before
// anything reads them.
struct Inspection {
  int32_t result = inspect::kOpenUnrecognised;
  int osError = 0;         // the file could not be opened for reading by this user
  bool abandoned = false;  // first volume missing, or missing volumes not accepted
  std::string image;
  std::string descriptor;
  std::unique_ptr<inspect::ImageProbe> probe;
};
Inspection InspectFile(const std::string& picked, inspect::InspectContext& context);

// `drive` -1: the first drive without a medium.
MountResult MountFile(DriveControl& drives, int drive, const std::string& picked, inspect::InspectContext& context);

// The path in the form the service and the driver take ("\??\C:\dir\file" for the request's
// name, "C:\dir\file" for the command); false when the file has no such path.
bool ServicePaths(const std::string& file, std::u16string* ntName, std::u16string* clientPath);

// The file behind a drive's display name ("C:\\dir\\file" is "/dir/file"); empty when the name
// is not on the system disk.
std::string FileOfDisplayName(const std::u16string& name);

}  // namespace kv::manager
