// Load and unload: the device directory, the 23 drives with their control links and workers.
#include <cstdio>
#include <new>
#include <system_error>

#include "driver/dispatch.h"
#include "driver/drive_state.h"
#include "driver/driver.h"

namespace kv::driver {

DriverGlobals g_driver;

namespace {

std::string Format(const char* format, unsigned n) {
  char name[64];
  std::snprintf(name, sizeof name, format, n);
  return name;
}

// Releases what a drive holds once its worker has ended, and deletes its link and device.
void DeleteDrive(DriveState* drive, bool linkCreated) {
  kernel::DeviceObject* device = drive->device;
  if (drive->clientSecurity != nullptr) {
    drive->clientSecurity->~ClientSecurity();
    kernel::ExFreePoolWithTag(drive->clientSecurity, kTagNames);
    drive->clientSecurity = nullptr;
  }
  if (linkCreated) kernel::IoDeleteSymbolicLink(Format(kControlLinkFormat, drive->index));
  if (drive->reservedState != nullptr) kernel::ExFreePoolWithTag(drive->reservedState, kTagGeneral);
  if (drive->reservedTable != nullptr) kernel::ExFreePoolWithTag(drive->reservedTable, kTagGeneral);
  drive->~DriveState();
  kernel::IoDeleteDevice(device);
}

NTSTATUS CreateDrive(kernel::DriverObject* driver, unsigned n) {
  kernel::DeviceObject* device = nullptr;
  const std::string deviceName = Format(kDeviceNameFormat, n);
  NTSTATUS status = kernel::IoCreateDevice(driver, sizeof(DriveState), deviceName, kernel::FILE_DEVICE_CD_ROM,
                                           kernel::FILE_READ_ONLY_DEVICE, false, &device);
  if (!NT_SUCCESS(status)) return status;
  device->directIo = true;
  auto* drive = new (device->deviceExtension) DriveState();
  drive->device = device;
  drive->index = n;
  drive->present = 1;

  status = kernel::IoCreateSymbolicLink(Format(kControlLinkFormat, n), deviceName);
  if (!NT_SUCCESS(status)) {
    DeleteDrive(drive, false);
    return status;
  }
  drive->reservedState = static_cast<uint8_t*>(kernel::ExAllocatePoolWithTag(kReservedStateSize, kTagGeneral));
  drive->reservedTable = static_cast<uint8_t*>(kernel::ExAllocatePoolWithTag(kReservedTableSize, kTagGeneral));
  if (drive->reservedState == nullptr || drive->reservedTable == nullptr) {
    DeleteDrive(drive, true);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  try {
    drive->thread = std::make_unique<kernel::SystemThread>([drive] { WorkerThread(drive); });
  } catch (const std::system_error&) {
    DeleteDrive(drive, true);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  g_driver.drives[n] = drive;
  return STATUS_SUCCESS;
}

void StopWorker(DriveState* drive) {
  {
    std::lock_guard<std::mutex> g(drive->queueGate);
    drive->stop = true;
  }
  drive->queueEvent.Set();
  drive->thread->Join();
  drive->thread.reset();
}

void DriverUnload(kernel::DriverObject* /*driver*/) {
  kernel::PsSetCreateProcessNotifyRoutine(ChannelProcessGone, true);
  for (DriveState*& drive : g_driver.drives) {
    if (drive == nullptr) continue;
    StopWorker(drive);
    DeleteDrive(drive, true);
    drive = nullptr;
  }
  kernel::ZwCloseDirectoryObject(kDeviceDirectory);
}

}  // namespace

NTSTATUS DriverEntry(kernel::DriverObject* driver) {
  // A second load finds the directory of the first and leaves the loaded driver alone.
  NTSTATUS status = kernel::ZwCreateDirectoryObject(kDeviceDirectory);
  if (!NT_SUCCESS(status)) return status;
  g_driver.userValue1.store(0);
  g_driver.userValue2.store(0);
  for (DriveState*& drive : g_driver.drives) drive = nullptr;
  kernel::ZwMakeTemporaryObject(kDeviceDirectory);

  int created = 0;
  for (unsigned n = 0; n < static_cast<unsigned>(kDriveCount); ++n) {
    const NTSTATUS s = CreateDrive(driver, n);
    if (NT_SUCCESS(s)) {
      ++created;
    } else {
      status = s;
    }
  }
  if (created == 0) {
    kernel::ZwCloseDirectoryObject(kDeviceDirectory);
    return status;
  }
  driver->Dispatch(kernel::MajorFunction::Create) = DispatchCreateClose;
  driver->Dispatch(kernel::MajorFunction::Close) = DispatchCreateClose;
  driver->Dispatch(kernel::MajorFunction::Read) = DispatchReadWrite;
  driver->Dispatch(kernel::MajorFunction::Write) = DispatchReadWrite;
  driver->Dispatch(kernel::MajorFunction::DeviceControl) = DispatchDeviceControl;
  kernel::PsSetCreateProcessNotifyRoutine(ChannelProcessGone, false);
  driver->driverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

}  // namespace kv::driver
