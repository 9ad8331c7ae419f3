// The driver's own control codes as far as the dispatch routine answers them; mounts, unmounts
// and the reserved codes go on to the worker.
#include <cstdio>
#include <cstring>
#include <new>

#include "common/ioctl.h"
#include "driver/drive_state.h"
#include "driver/driver.h"
#include "platform/registry_write.h"

namespace kv::driver {
namespace {

void PutU32(Irp* irp, uint32_t value) {
  std::memcpy(irp->output.data(), &value, sizeof value);
}

uint16_t RequestNameLength(const Irp& irp) {
  uint16_t n = 0;
  std::memcpy(&n, irp.input.data() + offsetof(MountRequest, NameLength), sizeof n);
  return n;
}

// Keeps the caller's security context beside the drive, replacing the one of an earlier mount.
NTSTATUS CaptureClient(DriveState& drive, const Irp& irp) {
  void* memory = kernel::ExAllocatePoolWithTag(sizeof(kernel::ClientSecurity), kTagNames);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* client = new (memory) kernel::ClientSecurity();
  const NTSTATUS status = kernel::SeCreateClientSecurity(irp, client);
  kernel::ClientSecurity* old = client;
  if (NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> g(drive.stateLock);
    std::swap(old, drive.clientSecurity);
  }
  if (old != nullptr) {
    old->~ClientSecurity();
    kernel::ExFreePoolWithTag(old, kTagNames);
  }
  return status;
}

NTSTATUS DispatchMount(DriveState& drive, Irp* irp) {
  if (drive.mounted.load()) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (irp->InputLength() < kMountRequestMinSize ||
      irp->InputLength() < kMountRequestFixedSize + 1 + RequestNameLength(*irp)) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  }
  const NTSTATUS status = CaptureClient(drive, *irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  return QueueRequest(drive, irp);
}

NTSTATUS QueryMount(DriveState& drive, Irp* irp) {
  std::lock_guard<std::mutex> g(drive.stateLock);
  const uint32_t answer = kDriveStatusFixedSize + drive.nameLength;
  if (irp->OutputLength() < answer) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  uint8_t* out = irp->output.data();
  if (drive.mounted.load()) {
    const uint64_t capacity = drive.capacity.load();
    std::memcpy(out + offsetof(DriveStatus, SizeBytes), &capacity, sizeof capacity);
    out[offsetof(DriveStatus, Present)] = drive.present;
  }
  std::memcpy(out + offsetof(DriveStatus, NameLength), &drive.nameLength, sizeof drive.nameLength);
  if (drive.nameLength > 0) std::memcpy(out + offsetof(DriveStatus, Name), drive.name, drive.nameLength);
  return CompleteRequest(irp, STATUS_SUCCESS, answer);
}

std::string LetterLinkName(uint8_t letter) {
  char name[64];
  std::snprintf(name, sizeof name, kDriveLetterLinkFormat, static_cast<char>(letter));
  return name;
}

bool IsLetter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The answer is 4 bytes long, but never longer than what the caller offered.
uint64_t LetterAnswerLength(const Irp& irp) {
  return std::min<uint64_t>(4, irp.OutputLength());
}

NTSTATUS CreateDriveLetter(DriveState& drive, Irp* irp) {
  if (irp->OutputLength() == 0) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  if (irp->InputLength() == 0 || !IsLetter(irp->input[0])) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  const uint8_t letter = irp->input[0];
  const NTSTATUS status = kernel::IoCreateSymbolicLink(LetterLinkName(letter), drive.device->name);
  // A letter whose link failed belongs to somebody else: a later delete must not remove it.
  if (NT_SUCCESS(status)) drive.driveLetter.store(letter);
  return CompleteRequest(irp, status, NT_SUCCESS(status) ? LetterAnswerLength(*irp) : 0);
}

NTSTATUS DeleteDriveLetter(DriveState& drive, Irp* irp) {
  if (irp->OutputLength() == 0) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  const uint8_t letter = drive.driveLetter.load();
  irp->output[0] = letter;
  if (IsLetter(letter)) kernel::IoDeleteSymbolicLink(LetterLinkName(letter));
  return CompleteRequest(irp, STATUS_SUCCESS, LetterAnswerLength(*irp));
}

NTSTATUS GetValue(Irp* irp, uint32_t value) {
  if (irp->OutputLength() < 4) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  PutU32(irp, value);
  return CompleteRequest(irp, STATUS_SUCCESS, 4);
}

NTSTATUS SetValue(Irp* irp, std::atomic<uint32_t>* value) {
  if (irp->InputLength() < 4) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  uint32_t v = 0;
  std::memcpy(&v, irp->input.data(), sizeof v);
  value->store(v);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// Nothing of the system uses it, and it writes anywhere in the machine's registry: only an
// elevated caller may.
NTSTATUS WriteRegistryValue(Irp* irp) {
  if (!irp->requestor.Elevated()) return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
  platform::PackedRegistryValue value;
  if (!platform::ParsePackedRegistryValue(irp->input.data(), irp->input.size(), &value))
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  const NTSTATUS status = platform::WriteRegistryValueAbsolute(value);
  kernel::DbgPrint("%s\n", platform::RegistryWriteDebugLine(status, value).c_str());
  return CompleteRequest(irp, status, 0);
}

}  // namespace

NTSTATUS DispatchDriverCode(DriveState& drive, Irp* irp) {
  switch (irp->ioControlCode) {
    case IOCTL_CDEMU_MOUNT_IMAGE:
    case IOCTL_CDEMU_MOUNT_SHARED_MEDIA:
      return DispatchMount(drive, irp);
    case IOCTL_CDEMU_UNMOUNT:
    case IOCTL_CDEMU_RESERVED_1:
    case IOCTL_CDEMU_RESERVED_2:
      return QueueRequest(drive, irp);
    case IOCTL_CDEMU_QUERY_MOUNT:
      return QueryMount(drive, irp);
    case IOCTL_CDEMU_CREATE_DRIVE_LETTER:
      return CreateDriveLetter(drive, irp);
    case IOCTL_CDEMU_DELETE_DRIVE_LETTER:
      return DeleteDriveLetter(drive, irp);
    case IOCTL_CDEMU_GET_VERSION:
      return GetValue(irp, kDriverVersion);
    case IOCTL_CDEMU_GET_USER_VALUE1:
      return GetValue(irp, g_driver.userValue1.load());
    case IOCTL_CDEMU_GET_USER_VALUE2:
      return GetValue(irp, g_driver.userValue2.load());
    case IOCTL_CDEMU_SET_USER_VALUE1:
      return SetValue(irp, &g_driver.userValue1);
    case IOCTL_CDEMU_SET_USER_VALUE2:
      return SetValue(irp, &g_driver.userValue2);
    case IOCTL_CDEMU_CREATE_SHARED_MEMORY:
      return CreateSharedMemory(drive, irp);
    case IOCTL_CDEMU_RELEASE_SHARED_MEMORY:
      return ReleaseSharedMemory(drive, irp);
    case IOCTL_CDEMU_WRITE_REGISTRY_VALUE:
      return WriteRegistryValue(irp);
    default:
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS DispatchReservedMediaCode(DriveState& drive, Irp* irp) {
  bool answerNow = false;
  {
    std::lock_guard<kernel::KSpinLock> g(drive.reservedLock);
    uint32_t mark = 0;
    std::memcpy(&mark, drive.reservedState, sizeof mark);
    answerNow = mark != 0 && irp->ioControlCode == IOCTL_CDEMU_RESERVED_MEDIA_1;
    mark = 1;
    std::memcpy(drive.reservedState, &mark, sizeof mark);
  }
  if (!answerNow) return QueueRequest(drive, irp);
  return GetValue(irp, kReservedRepeatAnswer);
}

}  // namespace kv::driver
