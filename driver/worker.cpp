// The worker thread of a drive: everything that touches an image runs here, one request at a time.
#include <cstring>
#include <new>

#include "common/ioctl.h"
#include "driver/drive_state.h"
#include "driver/kernel_raw_file.h"
#include "driver/storage_records.h"
#include "formats/daa/daa_image.h"

namespace kv::driver {
namespace {

// A failed mount answers with its MountError in 4 output bytes; the request itself succeeds.
NTSTATUS CompleteMountError(Irp* irp, MountError error) {
  // Without room for the word the failure could only be reported as success.
  if (irp->OutputLength() < sizeof(uint32_t)) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  const uint32_t value = error;
  std::memcpy(irp->output.data(), &value, sizeof value);
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof value);
}

// Takes the medium out of the drive; the drive letter and the channel stay.
void Unmount(DriveState& drive) {
  std::unique_ptr<ImageSource> source;
  uint8_t* name = nullptr;
  {
    std::lock_guard<std::mutex> g(drive.stateLock);
    drive.mounted.store(false);
    drive.served.store(false);
    drive.rawReadable.store(false);
    drive.capacity.store(0);
    source = std::move(drive.imageSource);
    name = drive.name;
    drive.name = nullptr;
    drive.nameLength = 0;
    drive.nameCapacity = 0;
  }
  {
    std::lock_guard<kernel::KSpinLock> g(drive.reservedLock);
    std::memset(drive.reservedState, 0, kReservedStateSize);
  }
  if (source) source->Close();
  source.reset();
  if (name != nullptr) kernel::ExFreePoolWithTag(name, kTagNames);
}

void ExecuteImageMount(DriveState& drive, Irp* irp) {
  // A mount queued before an earlier one completed finds the drive mounted.
  if (drive.mounted.load()) {
    CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return;
  }
  MountRequest request;
  std::memcpy(&request, irp->input.data(), sizeof request);
  const uint16_t nameLength = request.NameLength;
  const uint8_t* nameBytes = irp->input.data() + kMountRequestFixedSize;

  auto* name = static_cast<uint8_t*>(kernel::ExAllocatePoolWithTag(nameLength > 0 ? nameLength : 1, kTagNames));
  if (name == nullptr) {
    CompleteMountError(irp, kMountOpenFailed);
    return;
  }
  std::memcpy(name, nameBytes, nameLength);
  std::u16string path(nameLength / 2, u'\0');
  std::memcpy(path.data(), nameBytes, path.size() * sizeof(char16_t));

  // The file is opened with the rights of the client whose request this is.
  kernel::ClientSecurity client;
  std::unique_ptr<kernel::KernelFile> file;
  NTSTATUS status = kernel::SeCreateClientSecurity(*irp, &client);
  if (NT_SUCCESS(status)) status = kernel::SeImpersonateClient(client);
  if (NT_SUCCESS(status)) {
    status = kernel::KernelFile::Open(path, &file);
    kernel::PsRevertToSelf();
  }
  if (!NT_SUCCESS(status)) {
    kernel::ExFreePoolWithTag(name, kTagNames);
    const bool missing = status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NO_SUCH_FILE;
    CompleteMountError(irp, missing ? kMountFileNotFound : kMountOpenFailed);
    return;
  }
  drive.device->alignmentRequirement = file->AlignmentRequirement();

  std::unique_ptr<ImageSource> source;
  // Later volumes of a split image are opened now, with the same client's rights.
  const ImageSource::VolumeOpener openVolume = [&client](const std::u16string& name) -> std::unique_ptr<RawFile> {
    std::unique_ptr<kernel::KernelFile> volume;
    if (!NT_SUCCESS(kernel::SeImpersonateClient(client))) return nullptr;
    const NTSTATUS opened = kernel::KernelFile::Open(name, &volume);
    kernel::PsRevertToSelf();
    if (!NT_SUCCESS(opened)) return nullptr;
    return std::make_unique<KernelRawFile>(std::move(volume));
  };
  const MountError error =
      ImageSource::Open(request, path, std::make_unique<KernelRawFile>(std::move(file)), &source, openVolume);
  if (error != kMountOk || !source) {
    if (source) source->Close();
    kernel::ExFreePoolWithTag(name, kTagNames);
    CompleteMountError(irp, error != kMountOk ? error : kMountUnrecognised);
    return;
  }
  // Chunks over 64 KiB take long to decode: the worker goes back to the priority it had before
  // raising itself, so that it does not hold up the rest of the system; any other medium gets the
  // raised priority back.
  const daa::DaaImage* image = DaaImageOf(*source);
  kernel::KeSetPriorityThread(image && image->chunkSize() > 65536 ? g_driver.previousPriority.load() : kWorkerPriority);
  {
    std::lock_guard<std::mutex> g(drive.stateLock);
    drive.name = name;
    drive.nameLength = nameLength;
    drive.nameCapacity = nameLength;
    drive.capacity.store(static_cast<uint64_t>(source->sectorCount()) * kSectorSize);
    drive.rawReadable.store(source->sectorSize() == kRawSectorSize || source->trackTable() != nullptr);
    drive.imageSource = std::move(source);
    drive.served.store(false);
    drive.mounted.store(true);
  }
  CompleteRequest(irp, STATUS_SUCCESS, 0);
}

void ExecuteSharedMount(DriveState& drive, Irp* irp) {
  if (drive.mounted.load()) {
    CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return;
  }
  CreateChannelEvents(drive);
  MountRequest request;
  std::memcpy(&request, irp->input.data(), sizeof request);
  const uint16_t nameLength = request.NameLength;
  auto* name = static_cast<uint8_t*>(kernel::ExAllocatePoolWithTag(nameLength > 0 ? nameLength : 1, kTagNames));
  if (name == nullptr) {
    CompleteMountError(irp, kMountOpenFailed);
    return;
  }
  std::memcpy(name, irp->input.data() + kMountRequestFixedSize, nameLength);
  // The buffer outlives unmounts: what it holds belongs to the previous medium.
  InvalidateChannelBuffer(drive);
  {
    std::lock_guard<std::mutex> g(drive.stateLock);
    drive.name = name;
    drive.nameLength = nameLength;
    drive.nameCapacity = nameLength;
    drive.capacity.store(request.SizeBytes);
    drive.rawReadable.store(false);
    drive.served.store(true);
    drive.mounted.store(true);
  }
  CompleteRequest(irp, STATUS_SUCCESS, 0);
}

void ExecuteRead(DriveState& drive, Irp* irp) {
  if (!drive.mounted.load()) {
    CompleteRequest(irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    return;
  }
  const uint64_t first = irp->byteOffset / kSectorSize;
  const uint32_t count = irp->length / kSectorSize;
  uint8_t* destination = irp->ReadBuffer();
  const bool served = drive.served.load();
  // The channel's request words are 32-bit: such a sector is past any end a served medium can
  // have, and fails as a read past the end of an image does, the medium staying.
  if (served && first + count > uint64_t{INT32_MAX} + 1) {
    CompleteRequest(irp, STATUS_DATA_ERROR, 0);
    return;
  }
  uint32_t delivered = 0;
  if (served) {
    delivered = ChannelRead(drive, first, count, destination);
  } else if (drive.imageSource) {
    delivered = drive.imageSource->ReadSectors(first, count, destination);
  }
  if (delivered == count) {
    CompleteRequest(irp, STATUS_SUCCESS, irp->length);
    return;
  }
  if (served) {
    // The service must set up a new channel buffer for the next mount.
    Unmount(drive);
    ForgetChannelBuffer(drive);
  }
  CompleteRequest(irp, STATUS_DATA_ERROR, 0);
}

void ExecuteRawRead(DriveState& drive, Irp* irp) {
  if (!drive.mounted.load() || !drive.imageSource) {
    CompleteRequest(irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    return;
  }
  if (irp->InputLength() != kRawReadRequestSize) {
    CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  RawReadInfo info{};
  std::memcpy(&info, irp->input.data(), sizeof info);
  const int64_t first = info.DiskOffset / static_cast<int64_t>(kSectorSize);
  // Only a track table gives sectors below zero a meaning (the first track's pregap).
  const bool negativeAllowed = drive.imageSource->trackTable() != nullptr;
  if ((first < 0 && !negativeAllowed) || info.SectorCount == 0 ||
      static_cast<uint64_t>(info.SectorCount) * kRawSectorSize > irp->OutputLength()) {
    CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  const uint32_t delivered =
      drive.imageSource->ReadRawSectors(static_cast<uint64_t>(first), info.SectorCount, irp->output.data());
  if (delivered == info.SectorCount) {
    CompleteRequest(irp, STATUS_SUCCESS, static_cast<uint64_t>(info.SectorCount) * kRawSectorSize);
  } else {
    CompleteRequest(irp, STATUS_DATA_ERROR, 0);
  }
}

void Execute(DriveState& drive, Irp* irp) {
  switch (irp->major) {
    case kernel::MajorFunction::Read:
      ExecuteRead(drive, irp);
      return;
    case kernel::MajorFunction::Write:
      CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
      return;
    case kernel::MajorFunction::DeviceControl:
      switch (irp->ioControlCode) {
        case IOCTL_CDROM_RAW_READ:
          ExecuteRawRead(drive, irp);
          return;
        case IOCTL_CDEMU_MOUNT_IMAGE:
          ExecuteImageMount(drive, irp);
          return;
        case IOCTL_CDEMU_MOUNT_SHARED_MEDIA:
          ExecuteSharedMount(drive, irp);
          return;
        case IOCTL_CDEMU_UNMOUNT:
          Unmount(drive);
          CompleteRequest(irp, STATUS_SUCCESS, 0);
          return;
        default:
          // The reserved codes end here, and any code queued by mistake.
          CompleteRequest(irp, STATUS_DRIVER_INTERNAL_ERROR, 0);
          return;
      }
    default:
      CompleteRequest(irp, STATUS_DRIVER_INTERNAL_ERROR, 0);
      return;
  }
}

}  // namespace

void DropChannelOfGoneProcess(DriveState& drive) {
  const pid_t gone = drive.channel.goneProcess.load();
  if (gone == 0) return;
  // Its medium goes; its buffer too, unless another process has taken the buffer over since.
  if (drive.served.load()) Unmount(drive);
  bool forget = false;
  {
    std::lock_guard<std::mutex> g(drive.channel.bufferLock);
    forget = drive.channel.userProcess == gone;
  }
  if (forget) ForgetChannelBuffer(drive);
  // The wake-up meant for a waiting read must not answer the next medium's first read.
  if (platform::NamedEvent* writeDone = drive.channel.events[MediaChannelState::kWriteDone].get()) writeDone->Reset();
  drive.channel.goneProcess.store(0);
}

void WorkerThread(DriveState* drive) {
  g_driver.previousPriority.store(kernel::KeSetPriorityThread(kWorkerPriority));
  for (;;) {
    drive->queueEvent.Wait(-1);
    bool stopping = false;
    {
      std::lock_guard<std::mutex> g(drive->queueGate);
      stopping = drive->stop;
    }
    Irp* irp = nullptr;
    if (stopping) {
      // Nothing is queued after stop is set, so no request is left without completion.
      while (drive->queue.RemoveHead(&irp)) CompleteRequest(irp, STATUS_CANCELLED, 0);
      Unmount(*drive);
      CloseChannel(*drive);
      return;
    }
    DropChannelOfGoneProcess(*drive);
    while (drive->queue.RemoveHead(&irp)) Execute(*drive, irp);
  }
}

}  // namespace kv::driver
