// Entry points of every drive: create, close, read, write and the device-control gate.
#include "driver/dispatch.h"

#include "common/ioctl.h"
#include "driver/drive_state.h"

namespace kv::driver {

NTSTATUS QueueRequest(DriveState& drive, Irp* irp) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> g(drive.queueGate);
    if (!drive.stop) {
      kernel::IoMarkIrpPending(irp);
      drive.queue.InsertTail(irp);
      queued = true;
    }
  }
  // The worker may already have completed and freed the request: it is not touched again.
  if (!queued) return CompleteRequest(irp, STATUS_CANCELLED, 0);
  drive.queueEvent.Set();
  return STATUS_PENDING;
}

NTSTATUS DispatchCreateClose(DeviceObject* /*device*/, Irp* irp) {
  return CompleteRequest(irp, STATUS_SUCCESS, 1);
}

NTSTATUS DispatchReadWrite(DeviceObject* device, Irp* irp) {
  DriveState& drive = Drive(device);
  if (!drive.mounted.load()) return CompleteRequest(irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
  if (irp->length == 0) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  // Whole sectors only: a partial sector would be reported as read without being filled.
  if (irp->byteOffset % kSectorSize != 0 || irp->length % kSectorSize != 0) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (irp->major == kernel::MajorFunction::Read && irp->ReadCapacity() < irp->length) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  }
  return QueueRequest(drive, irp);
}

NTSTATUS DispatchDeviceControl(DeviceObject* device, Irp* irp) {
  DriveState& drive = Drive(device);
  const uint32_t code = irp->ioControlCode;
  if (code >= kCdemuFirstCode && code <= kCdemuLastCode) return DispatchDriverCode(drive, irp);
  if (!drive.mounted.load()) return CompleteRequest(irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
  if (code == IOCTL_CDEMU_RESERVED_MEDIA_1 || code == IOCTL_CDEMU_RESERVED_MEDIA_2) {
    return DispatchReservedMediaCode(drive, irp);
  }
  return DispatchStorageRequest(drive, irp);
}

}  // namespace kv::driver
