// The virtual drive driver: its load routine and the names it creates.
#pragma once
#include "platform/kernel/kernel.h"

namespace kv::driver {

inline constexpr const char* kDeviceDirectory = "\\Device\\KVEmu";
inline constexpr const char* kDeviceNameFormat = "\\Device\\KVEmu\\KVEmuCd%u";
inline constexpr const char* kControlLinkFormat = "\\DosDevices\\KVEmuDev%u";
inline constexpr const char* kDriveLetterLinkFormat = "\\DosDevices\\Global\\%c:";

// Creates the device directory and the drives and registers the entry points (create, close,
// read, write, device control, unload). Fails only when not a single drive could be created.
NTSTATUS DriverEntry(kernel::DriverObject* driver);

// Tests: the media channel waits in units of `milliseconds` instead of one second.
void SetChannelWaitUnit(int64_t milliseconds);

}  // namespace kv::driver
