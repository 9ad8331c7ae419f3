// The kvemu host: loads a driver into this process and serves its devices to user processes
// over the Unix socket of the platform root (frames: platform/devio_protocol.h).
#pragma once
#include "platform/kernel/kernel.h"

namespace kv::kernel::host {

using DriverEntryRoutine = NTSTATUS (*)(DriverObject*);

// The whole life of the host: lock the root, load the driver, serve until SIGTERM/SIGINT, let
// every request in flight complete, unload, report the pool tags, remove the socket and lock.
// Exit status: 0; 1 when it cannot start (already running, load failed); 3 when memory of the
// driver's pool tags is still live after unload.
int HostMain(int argc, char** argv, DriverEntryRoutine driverEntry);

}  // namespace kv::kernel::host
