// The driver's entry points for requests (registered in the driver object at load).
#pragma once
#include "platform/kernel/kernel.h"

namespace kv::driver {

NTSTATUS DispatchCreateClose(kernel::DeviceObject* device, kernel::Irp* irp);
NTSTATUS DispatchReadWrite(kernel::DeviceObject* device, kernel::Irp* irp);
NTSTATUS DispatchDeviceControl(kernel::DeviceObject* device, kernel::Irp* irp);

}  // namespace kv::driver
