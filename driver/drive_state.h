// DriveState (the extension of every drive's device object) and the driver-wide values.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "platform/kernel/kernel.h"
#include "platform/named_objects.h"

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

// The user-mode media channel of a served medium: three events and the shared buffer. The
// events belong to the worker (created at the first shared-media mount, closed when it ends);
// the buffer is created and released in callers' threads while the worker may be reading
// through it, so it is reference counted and its pointer guarded.
struct MediaChannelState {
  enum { kAccessSync, kReadRequest, kWriteDone };
  std::unique_ptr<platform::NamedEvent> events[3];

  std::mutex bufferLock;
  std::shared_ptr<kernel::SharedSection> buffer;  // pool "MapM"
  uint32_t userAddress = 0;
  pid_t userProcess = 0;  // the process the buffer is mapped into
  // Set when userProcess is gone: reads fail at once and the worker drops the medium.
  std::atomic<pid_t> goneProcess{0};
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

struct DriverGlobals {
  std::atomic<uint32_t> userValue1{0};
  std::atomic<uint32_t> userValue2{0};
  // Priority of the last worker before it raised itself (the DAA reader restores it).
  std::atomic<int> previousPriority{0};
  DriveState* drives[kDriveCount] = {};
  // The media channel's wait unit: one second; tests shorten it.
  std::atomic<int64_t> channelWaitUnitMs{1000};
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

// The media channel (media_channel.cpp).
// Creates the drive's three events unless it has them; on a failure none are kept.
void CreateChannelEvents(DriveState& drive);
// Closes the events and releases the buffer (the worker, when it ends).
void CloseChannel(DriveState& drive);
// Marks the buffer as holding nothing, so that no request is answered from an earlier medium.
void InvalidateChannelBuffer(DriveState& drive);
// Drops the buffer after a failed served read; the service sets up a new one.
void ForgetChannelBuffer(DriveState& drive);
// Reads `count` sectors from `first` through the channel; returns the number delivered.
uint32_t ChannelRead(DriveState& drive, uint64_t first, uint32_t count, uint8_t* destination);
NTSTATUS CreateSharedMemory(DriveState& drive, Irp* irp);
NTSTATUS ReleaseSharedMemory(DriveState& drive, Irp* irp);
// The process notify routine: a drive whose channel process is gone fails its reads at once.
void ChannelProcessGone(pid_t processId, bool create);
// Worker: after ChannelProcessGone, unmounts the served medium and drops the buffer.
void DropChannelOfGoneProcess(DriveState& drive);

}  // namespace kv::driver
