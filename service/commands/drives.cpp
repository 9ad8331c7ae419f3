#include "service/commands/drives.h"

#include <algorithm>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/devio_protocol.h"
#include "platform/os_version.h"

namespace kv::service {
namespace {

std::string DriveTarget(int index) {
  return "\\Device\\KVEmu\\KVEmuCd" + std::to_string(index);
}

bool Present(uint32_t mask, char16_t letter) {
  return (mask >> (letter - u'A')) & 1u;
}

}  // namespace

std::vector<DriveRef> FindDrives() {
  std::vector<DriveRef> drives;
  const uint32_t present = platform::GetLogicalDrives();
  for (char l = 'D'; l <= 'Z'; ++l) {
    if (!Present(present, static_cast<char16_t>(l))) continue;
    std::string target;
    if (!platform::QueryDosDevice(std::string(1, l) + ":", &target)) continue;
    const int index = DriveIndexOfTarget(target);
    if (index >= 0) drives.push_back({index, static_cast<char16_t>(l), std::string("\\\\.\\") + l + ":"});
  }
  std::stable_sort(drives.begin(), drives.end(),
                   [](const DriveRef& a, const DriveRef& b) { return a.index < b.index; });
  return drives;
}

char16_t ChooseDriveLetter(int index, const std::u16string& configured) {
  uint32_t present = platform::GetLogicalDrives();
  const char16_t own = DriveLetterOf(index);
  if (own != 0) present &= ~(1u << (own - u'A'));
  char16_t wanted = index >= 0 && static_cast<size_t>(index) < configured.size() ? configured[index] : u'A';
  if (wanted < u'A' || wanted > u'Z') wanted = u'A';
  if (wanted >= u'D' && !Present(present, wanted)) return wanted;
  for (char16_t l = u'D'; l <= u'Z'; ++l)
    if (!Present(present, l)) return l;
  return 0;
}

bool SystemAnnouncesLetters() {
  bool wow64 = false;
  platform::OsVersionInfo v;
  if (platform::IsWow64Process(&wow64) && wow64) return true;
  return platform::GetVersionEx(&v) && (v.majorVersion > 5 || (v.majorVersion == 5 && v.minorVersion >= 1));
}

bool DefineDriveLetter(int index, char16_t letter) {
  if (letter < u'A' || letter > u'Z') return false;
  const std::string name = std::string(1, static_cast<char>(letter)) + ":";
  if (!platform::DefineDosDevice(platform::DDD_RAW_TARGET_PATH, name, DriveTarget(index))) return false;
  if (SystemAnnouncesLetters()) {
    // The driver keeps the letter for its own records; the link itself already exists.
    platform::Handle h = OpenDrive(index, false);
    uint8_t answer[4] = {};
    uint32_t returned = 0;
    if (h) platform::DeviceIoControl(h, IOCTL_CDEMU_CREATE_DRIVE_LETTER, &letter, 2, answer, 4, &returned);
  }
  return true;
}

bool RemoveDriveLetter(const DriveRef& drive) {
  if (SystemAnnouncesLetters()) {
    platform::Handle h = OpenDrive(drive.index, false);
    uint8_t answer[4] = {};
    uint32_t returned = 0;
    if (h) platform::DeviceIoControl(h, IOCTL_CDEMU_DELETE_DRIVE_LETTER, nullptr, 0, answer, 4, &returned);
  }
  const std::string name = std::string(1, static_cast<char>(drive.letter)) + ":";
  std::string target;
  // The driver's announcement may already have taken the link away.
  if (!platform::QueryDosDevice(name, &target) || DriveIndexOfTarget(target) != drive.index) return true;
  return platform::DefineDosDevice(platform::DDD_REMOVE_DEFINITION | platform::DDD_EXACT_MATCH_ON_REMOVE, name, target);
}

MountOutcome MountImage(int drive, const uint8_t* request, size_t length) {
  if (drive < 0 || drive >= kDriveCount || length > UINT32_MAX) return MountOutcome::kFailed;
  if (QueryDriveMedium(drive, nullptr)) return MountOutcome::kDriveHoldsMedium;
  const std::vector<uint8_t> copy(request, request + length);
  platform::Handle h = OpenDrive(drive, false);
  if (!h) return MountOutcome::kFailed;
  uint32_t mountError = 0;
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(h, IOCTL_CDEMU_MOUNT_IMAGE, copy.data(), static_cast<uint32_t>(copy.size()),
                                 &mountError, sizeof mountError, &returned) ||
      (returned >= sizeof mountError && mountError != 0))
    return MountOutcome::kFailed;
  return MountOutcome::kMounted;
}

}  // namespace kv::service
