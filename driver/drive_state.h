// DriveState (the extension of every drive's device object) and the driver-wide values.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "platform/kernel/kernel.h"

namespace kv::driver {

using kernel::DeviceObject;
using kernel::Irp;

inline constexpr uint32_t kTagGeneral = kernel::PoolTag("Kkss");
inline constexpr uint32_t kTagNames = kernel::PoolTag("Ddk ");  // names and client security records
inline constexpr uint32_t kTagChannel = kernel::PoolTag("MapM");

inline constexpr int kWorkerPriority = 16;
// The two work areas of the reserved codes 0x80002080/0x80002084; the first word of the small one
// is the mark that the first of them sets.
inline constexpr size_t kReservedStateSize = 44;
inline constexpr size_t kReservedTableSize = 7640;
inline constexpr uint32_t kReservedRepeatAnswer = 50;

// The user-mode media channel of a served medium: three event handles and the shared buffer.
// Created and released by the channel code; the worker only forgets the buffer after a failed
// served read.
struct MediaChannelState {
  void* events[3] = {};  // AccessSync, ReadRequestNotify, WriteDoneNotify
  uint32_t userAddress = 0;
  void* buffer = nullptr;
  uint32_t size = 0;
  void* mdl = nullptr;
};

struct DriveState {
  DeviceObject* device = nullptr;
  uint32_t index = 0;
  uint8_t present = 0;  // 1 from creation on; returned by the query

  // Changed only by the worker; read without a lock by dispatch.
  std::atomic<bool> mounted{false};
  std::atomic<bool> served{false};
  std::atomic<uint64_t> capacity{0};
  std::atomic<bool> rawReadable{false};  // the image source has 2352-byte sectors

  // Guards the name, the image source pointer and the client security record against the
  // dispatch routines that read them while the worker replaces them.
  std::mutex stateLock;
  uint16_t nameLength = 0;
  uint16_t nameCapacity = 0;
  uint8_t* name = nullptr;  // pool "Ddk "
  std::unique_ptr<ImageSource> imageSource;
  kernel::ClientSecurity* clientSecurity = nullptr;  // pool "Ddk ", from the last mount request

  std::atomic<uint8_t> driveLetter{0};

  // Requests for the worker. `stop` is set and tested under queueGate, so nothing is queued
  // after the worker has drained the queue for the last time.
  kernel::InterlockedQueue<Irp*> queue;
  kernel::KEvent queueEvent{kernel::EventType::Synchronization, false};
  std::mutex queueGate;
  bool stop = false;
  std::unique_ptr<kernel::SystemThread> thread;

  kernel::KSpinLock reservedLock;
  uint8_t* reservedState = nullptr;  // kReservedStateSize bytes, pool "Kkss"
  uint8_t* reservedTable = nullptr;  // kReservedTableSize bytes, pool "Kkss"

  MediaChannelState channel;
};

// Reads `count` sectors of a served medium through the drive's media channel; returns the
// number delivered. Installed by the media channel; without it served reads fail.
using ChannelReadFunction = uint32_t (*)(DriveState& drive, uint64_t first, uint32_t count, uint8_t* destination);
// Closes the drive's channel event handles; called by the worker when it ends.
using ChannelCloseFunction = void (*)(DriveState& drive);

struct DriverGlobals {
  std::atomic<uint32_t> userValue1{0};
  std::atomic<uint32_t> userValue2{0};
  // Priority of the last worker before it raised itself (the DAA reader restores it).
  std::atomic<int> previousPriority{0};
  DriveState* drives[kDriveCount] = {};
  ChannelReadFunction channelRead = nullptr;
  ChannelCloseFunction channelClose = nullptr;
};
extern DriverGlobals g_driver;

inline DriveState& Drive(DeviceObject* device) {
  return *static_cast<DriveState*>(device->deviceExtension);
}

// Completes with the boost the status deserves; returns the status for the dispatch routine.
inline NTSTATUS CompleteRequest(Irp* irp, NTSTATUS status, uint64_t information) {
  kernel::IoCompleteRequest(irp, status, information,
                            NT_SUCCESS(status) ? kernel::IO_CD_ROM_INCREMENT : kernel::IO_NO_INCREMENT);
  return status;
}

// Appends the request to the drive's queue and wakes the worker (STATUS_PENDING), or completes it
// with STATUS_CANCELLED once the drive is being removed.
NTSTATUS QueueRequest(DriveState& drive, Irp* irp);

// Dispatch routines, split by concern.
NTSTATUS DispatchDriverCode(DriveState& drive, Irp* irp);         // 0x80002000 to 0x80002040
NTSTATUS DispatchReservedMediaCode(DriveState& drive, Irp* irp);  // 0x80002080, 0x80002084
NTSTATUS DispatchStorageRequest(DriveState& drive, Irp* irp);     // standard CD-ROM and disk

// The worker thread of one drive, from load to unload.
void WorkerThread(DriveState* drive);

}  // namespace kv::driver
