#include "service/commands/archive_mount.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "archive/mounted_archive.h"
#include "common/ioctl.h"
#include "common/mount_request.h"
#include "platform/codepage.h"
#include "platform/devio.h"
#include "platform/ntpath.h"
#include "platform/wide_text.h"
#include "service/marfs_volume.h"

namespace kv::service {
namespace {

constexpr uint32_t kQueryAnswerSize = 7432;
constexpr const char* kDriveTargetPrefix = "\\Device\\KVEmu\\KVEmuCd";

std::string ControlDevice(int drive) {
  return "\\\\.\\KVEmuDev" + std::to_string(drive);
}

}  // namespace

platform::Handle OpenDrive(int drive, bool forUnmount) {
  const char16_t letter = DriveLetterOf(drive);
  if (letter != 0) {
    const std::string path = std::string("\\\\.\\") + static_cast<char>(letter) + ":";
    platform::Handle h = platform::CreateFile(path, forUnmount ? platform::GENERIC_READ | platform::GENERIC_WRITE : 0,
                                              platform::FILE_SHARE_READ, platform::FILE_FLAG_NO_BUFFERING);
    if (h) return h;
  }
  return platform::CreateFile(ControlDevice(drive), forUnmount ? platform::GENERIC_READ : 0,
                              platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE);
}

int DriveIndexOfTarget(const std::string& target) {
  if (target.rfind(kDriveTargetPrefix, 0) != 0) return -1;
  const std::string number = target.substr(std::strlen(kDriveTargetPrefix));
  if (number.empty() || number.size() > 2 || number.find_first_not_of("0123456789") != std::string::npos) return -1;
  const int n = std::stoi(number);
  return n < kDriveCount ? n : -1;
}

char16_t DriveLetterOf(int drive) {
  const uint32_t present = platform::GetLogicalDrives();
  for (char l = 'D'; l <= 'Z'; ++l) {
    if (!(present & (1u << (l - 'A')))) continue;
    std::string target;
    if (platform::QueryDosDevice(std::string(1, l) + ":", &target) && DriveIndexOfTarget(target) == drive)
      return static_cast<char16_t>(l);
  }
  return 0;
}

bool DriveReachable(int drive) {
  return static_cast<bool>(OpenDrive(drive, false));
}

bool QueryDriveMedium(int drive, std::u16string* name) {
  platform::Handle h = OpenDrive(drive, false);
  if (!h) return false;
  const uint32_t zero = 0;
  std::vector<uint8_t> answer(kQueryAnswerSize);
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(h, IOCTL_CDEMU_QUERY_MOUNT, &zero, sizeof zero, answer.data(), kQueryAnswerSize,
                                 &returned) ||
      returned <= kDriveStatusFixedSize) {
    return false;
  }
  uint16_t length = 0;
  std::memcpy(&length, answer.data() + offsetof(DriveStatus, NameLength), sizeof length);
  length = static_cast<uint16_t>(std::min<uint32_t>(length, returned - kDriveStatusFixedSize)) & ~1u;
  std::u16string text(length / 2, u'\0');
  std::memcpy(text.data(), answer.data() + offsetof(DriveStatus, Name), length);
  for (const std::u16string_view prefix : {std::u16string_view(u"\\??\\UNC\\"), std::u16string_view(u"\\??\\")}) {
    if (text.compare(0, prefix.size(), prefix) == 0) {
      text.erase(0, prefix.size());
      break;
    }
  }
  if (name) *name = text;
  return true;
}

namespace {

// Read failures of an MZP volume as the service reports archive read errors: "path:::text".
class MzpMessages final : public MzpNotices {
 public:
  explicit MzpMessages(archive::MessageSink* sink) : sink_(sink) {}
  void ReadFailed(const std::string& path, uint32_t) override {
    if (!sink_) return;
    archive::ArchiveMessage m;
    m.textId = texts::TEXT_ERROR_READING_ARCHIVE;
    m.text = platform::Utf8ToUtf16(path) + u":::" + sink_->Text(texts::TEXT_ERROR_READING_ARCHIVE);
    sink_->Post(m);
  }
  void Skipped(const std::string& path, const std::string& what) override {
    std::fprintf(stderr, "%s: skipped: %s\n", path.c_str(), what.c_str());
  }

 private:
  archive::MessageSink* sink_;
};

}  // namespace

MountOutcome MountArchive(DriveSlotTable& table, int drive, const ArchiveMount& request, std::string* error) {
  if (drive < 0 || drive >= kDriveCount) {
    *error = "no drive " + std::to_string(drive);
    return MountOutcome::kFailed;
  }
  if (QueryDriveMedium(drive, nullptr)) return MountOutcome::kDriveHoldsMedium;
  DriveSlot& slot = table.slot(drive);
  if (slot.active || slot.builder) {
    *error = "the drive's server is still running";
    return MountOutcome::kFailed;
  }
  const char16_t letter = DriveLetterOf(drive);

  archive::OpenRequest open;
  open.path = request.path;
  open.driveIndex = drive;
  open.installDir = request.installDir;
  open.password = request.password;
  open.storeFolder = request.storeFolder;
  open.driveLetter = letter != 0 ? letter : u'?';
  open.driveLetterNow = [drive] { return DriveLetterOf(drive); };
  open.messages = request.messages;
  archive::OpenError openError = archive::OpenError::kNone;
  std::unique_ptr<archive::MountedArchive> mounted = archive::MountedArchive::Open(open, &openError);
  // What the codec library does not open may be an MZP container holding a MARFS volume; its
  // files map to the container's sectors, so nothing is extracted.
  std::unique_ptr<ImageBuilder> builder;
  std::unique_ptr<MzpVolumeSource> mzpVolume;
  MzpOpenResult mzpResult = MzpOpenResult::kNotMzp;
  if (!mounted && openError != archive::OpenError::kNoLibrary && openError != archive::OpenError::kCannotOpenFile) {
    builder = std::make_unique<ImageBuilder>(nullptr);
    const std::string password =
        request.password ? platform::WideToAnsi(*request.password, platform::AnsiCodePage()).substr(0, 256) : "";
    auto notices = std::make_unique<MzpMessages>(request.messages);
    mzpVolume = MzpVolumeSource::Open(request.path, password, *builder, notices.get(), &mzpResult);
    if (mzpVolume) {
      mzpVolume->AdoptNotices(std::move(notices));
      builder->SetVolumeIdentifier(archive::VolumeIdentifierFor(request.path));
    } else {
      builder.reset();
    }
  }
  if (!mounted && !mzpVolume) {
    switch (openError) {
      case archive::OpenError::kNoLibrary:
        *error = "the 7-Zip codec library (7z.so) cannot be loaded from " + request.installDir;
        break;
      case archive::OpenError::kCannotOpenFile:
        *error = request.path + ": the file cannot be opened";
        break;
      default:
        *error = request.path + ": not an archive of a format the codec library opens";
        if (mzpResult != MzpOpenResult::kNotMzp)
          *error += std::string(", and as an MZP container: ") + MzpOpenResultText(mzpResult);
        break;
    }
    return MountOutcome::kFailed;
  }

  std::u16string name;
  if (!platform::LinuxPathToNt(request.path, &name) || name.size() * 2 > 0xFFFE) {
    *error = request.path + ": the path has no drive form";
    return MountOutcome::kFailed;
  }
  const uint32_t nameBytes = static_cast<uint32_t>(name.size() * 2);
  std::vector<uint8_t> mountRequest(kMountRequestMinSize + nameBytes, 0);
  auto* r = reinterpret_cast<MountRequest*>(mountRequest.data());
  r->Flags = 1;
  r->TrackCount = 1;
  r->NameLength = static_cast<uint16_t>(nameBytes);
  std::memcpy(mountRequest.data() + kMountRequestFixedSize, name.data(), nameBytes);

  platform::Handle h = OpenDrive(drive, false);
  if (!h) {
    *error = "drive " + std::to_string(drive) + " cannot be opened";
    return MountOutcome::kFailed;
  }
  uint32_t address = 0;
  uint32_t returned = 0;
  const bool channel =
      platform::DeviceIoControl(h, IOCTL_CDEMU_CREATE_SHARED_MEMORY, nullptr, 0, &address, sizeof address, &returned) &&
      returned == sizeof address;
  const size_t channelSize = channel ? platform::MappedViewSize(address) : 0;
  if (ChannelCapacity(channelSize) == 0) {
    *error = "the drive's channel buffer cannot be obtained";
    return MountOutcome::kFailed;
  }

  if (!builder) {
    builder = std::make_unique<ImageBuilder>(mounted.get());
    builder->SetVolumeIdentifier(archive::VolumeIdentifierFor(request.path));
    mounted->AddItemsTo(*builder);
  }
  const BuildError built = builder->Build();
  if (built != BuildError::kNone) {
    *error = "the image of the archive cannot be laid out (error " + std::to_string(static_cast<int>(built)) + ")";
    return MountOutcome::kFailed;
  }
  r->SizeBytes = uint64_t(builder->SectorCount()) * kSectorSize;
  if (mounted) mounted->SetStoredBlockHook([&table, drive] { table.NoteStoredBlock(drive); });
  {
    std::lock_guard<std::mutex> g(table.lock());
    slot.letter = letter;
    slot.channel = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address));
    slot.channelSize = channelSize;
    if (mounted)
      slot.source = std::move(mounted);
    else
      slot.source = std::move(mzpVolume);
    slot.builder = std::move(builder);
  }

  uint32_t mountError = 0;
  returned = 0;
  if (!platform::DeviceIoControl(h, IOCTL_CDEMU_MOUNT_SHARED_MEDIA, mountRequest.data(),
                                 static_cast<uint32_t>(mountRequest.size()), &mountError, sizeof mountError,
                                 &returned) ||
      mountError != 0) {
    *error = "the driver refused the medium";
    table.ClearSlot(drive);
    return MountOutcome::kFailed;
  }
  if (!table.OpenChannelEvents(drive) || !table.StartServer(drive)) {
    *error = "the drive's channel events cannot be opened";
    h.Close();
    UnmountDrive(table, drive);
    table.ClearSlot(drive);
    return MountOutcome::kFailed;
  }
  return MountOutcome::kMounted;
}

bool UnmountDrive(DriveSlotTable& table, int drive) {
  if (drive < 0 || drive >= kDriveCount) return false;
  if (QueryDriveMedium(drive, nullptr)) {
    platform::Handle h = OpenDrive(drive, true);
    if (!h) return false;
    platform::LockVolume(h);
    uint32_t returned = 0;
    if (!platform::DeviceIoControl(h, IOCTL_CDEMU_UNMOUNT, nullptr, 0, nullptr, 0, &returned)) {
      platform::UnlockVolume(h);
      return false;
    }
    platform::DismountVolume(h);
    platform::UnlockVolume(h);
  }
  if (table.slot(drive).active || table.slot(drive).builder) table.ClearSlot(drive);
  return true;
}

bool ReleaseChannel(int drive) {
  platform::Handle h = OpenDrive(drive, false);
  uint32_t returned = 0;
  return h && platform::DeviceIoControl(h, IOCTL_CDEMU_RELEASE_SHARED_MEMORY, nullptr, 0, nullptr, 0, &returned);
}

}  // namespace kv::service
