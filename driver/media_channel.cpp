// The media channel: a served medium's sectors come from user mode through a shared buffer and
// three named events per drive.
#include "common/media_channel.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "driver/drive_state.h"
#include "driver/driver.h"

namespace kv::driver {
namespace {

// Reads without an answer or a change of Progress before a waiting read is given up.
constexpr uint32_t kIdleLimit = 6000;

const char* const kEventFormats[3] = {"\\BaseNamedObjects\\AccessSync%u", "\\BaseNamedObjects\\ReadRequestNotify%u",
                                      "\\BaseNamedObjects\\WriteDoneNotify%u"};

// The other side writes these words from another process.
int32_t Load(uint8_t* base, size_t offset) {
  return std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(base + offset)).load(std::memory_order_acquire);
}
void Store(uint8_t* base, size_t offset, int32_t value) {
  std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(base + offset)).store(value, std::memory_order_release);
}

// An unload must not wait for a service that may never answer.
bool StopRequested(DriveState& drive) {
  std::lock_guard<std::mutex> g(drive.queueGate);
  return drive.stop;
}

std::shared_ptr<kernel::SharedSection> CurrentBuffer(DriveState& drive) {
  std::lock_guard<std::mutex> g(drive.channel.bufferLock);
  return drive.channel.buffer;
}

}  // namespace

void SetChannelWaitUnit(int64_t milliseconds) {
  g_driver.channelWaitUnitMs.store(milliseconds);
}

void CreateChannelEvents(DriveState& drive) {
  auto& events = drive.channel.events;
  if (events[0] && events[1] && events[2]) return;
  for (int i = 0; i < 3; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, kEventFormats[i], drive.index);
    int error = 0;
    // Everybody may open them; AccessSync starts free.
    events[i] = platform::NamedEvent::Create(name, false, i == MediaChannelState::kAccessSync, &error, 0666);
    if (!events[i]) {
      for (auto& e : events) e.reset();
      return;
    }
  }
}

void CloseChannel(DriveState& drive) {
  for (auto& e : drive.channel.events) e.reset();
  ForgetChannelBuffer(drive);
}

void InvalidateChannelBuffer(DriveState& drive) {
  const auto buffer = CurrentBuffer(drive);
  if (!buffer) return;
  Store(buffer->data(), offsetof(ReadRequest, BufferedSector), -1);
  Store(buffer->data(), offsetof(ReadRequest, BufferedCount), -1);
}

void ForgetChannelBuffer(DriveState& drive) {
  std::shared_ptr<kernel::SharedSection> old;
  std::lock_guard<std::mutex> g(drive.channel.bufferLock);
  old = std::move(drive.channel.buffer);
  drive.channel.userAddress = 0;
  drive.channel.userProcess = 0;
}

uint32_t ChannelRead(DriveState& drive, uint64_t first, uint32_t count, uint8_t* destination) {
  const auto buffer = CurrentBuffer(drive);
  platform::NamedEvent* readRequest = drive.channel.events[MediaChannelState::kReadRequest].get();
  platform::NamedEvent* writeDone = drive.channel.events[MediaChannelState::kWriteDone].get();
  if (!buffer || readRequest == nullptr || writeDone == nullptr) return 0;
  uint8_t* base = buffer->data();
  const uint32_t capacity = ChannelCapacity(buffer->size());
  if (capacity == 0) return 0;
  const int64_t unit = g_driver.channelWaitUnitMs.load();
  uint32_t done = 0;
  int32_t lastProgress = 0;
  while (done < count) {
    const uint32_t n = std::min(count - done, capacity);
    const uint64_t s = first + done;
    // The request words are 32-bit: a sector beyond them cannot be asked for.
    if (s > static_cast<uint64_t>(INT32_MAX)) return done;
    const bool buffered = Load(base, offsetof(ReadRequest, BufferedSector)) == static_cast<int32_t>(s) &&
                          Load(base, offsetof(ReadRequest, BufferedCount)) == static_cast<int32_t>(n);
    if (!buffered) {
      if (drive.channel.goneProcess.load() != 0) return done;
      Store(base, offsetof(ReadRequest, RequestSector), static_cast<int32_t>(s));
      Store(base, offsetof(ReadRequest, RequestCount), static_cast<int32_t>(n));
      readRequest->Set();
      uint32_t idle = 0;
      for (;;) {
        const bool answered = writeDone->Wait(unit);
        // The wake-up of a gone process is no answer.
        if (drive.channel.goneProcess.load() != 0) return done;
        if (answered) break;
        if (StopRequested(drive)) return done;
        const int32_t progress = Load(base, offsetof(ReadRequest, Progress));
        if (progress == kProgressAbandon) return done;
        if (progress == lastProgress) {
          if (++idle >= kIdleLimit) return done;
        } else {
          idle = 0;
        }
        lastProgress = progress;
      }
    }
    std::memcpy(destination + size_t(done) * kSectorSize, base + kChannelDataOffset, size_t(n) * kSectorSize);
    done += n;
  }
  return done;
}

void ChannelProcessGone(pid_t processId, bool create) {
  if (create || processId == 0) return;
  for (DriveState* drive : g_driver.drives) {
    if (drive == nullptr) continue;
    {
      std::lock_guard<std::mutex> g(drive->channel.bufferLock);
      if (!drive->channel.buffer || drive->channel.userProcess != processId) continue;
      drive->channel.goneProcess.store(processId);
    }
    // Wakes a read that waits for the process, and the worker to drop the medium.
    if (platform::NamedEvent* writeDone = drive->channel.events[MediaChannelState::kWriteDone].get()) writeDone->Set();
    drive->queueEvent.Set();
  }
}

NTSTATUS CreateSharedMemory(DriveState& drive, Irp* irp) {
  if (irp->OutputLength() < 4) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  std::lock_guard<std::mutex> g(drive.channel.bufferLock);
  MediaChannelState& c = drive.channel;
  // A repeated request of the same process gets the same address. Another process gets its
  // own view of the same buffer: an address of somebody else's address space would be useless.
  if (!c.buffer || c.userProcess != irp->requestor.pid) {
    std::shared_ptr<kernel::SharedSection> buffer = c.buffer;
    if (!buffer) {
      buffer = kernel::SharedSection::Create(kChannelLargeSize, kTagChannel);
      if (!buffer) buffer = kernel::SharedSection::Create(kChannelSmallSize, kTagChannel);
      if (!buffer) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
      std::memset(buffer->data(), 0xFF, 16);
      Store(buffer->data(), offsetof(ReadRequest, Progress), 0);
    }
    uint32_t address = 0;
    if (!NT_SUCCESS(kernel::MmMapSectionIntoRequestor(irp, *buffer, &address)))
      return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    c.buffer = std::move(buffer);
    c.userAddress = address;
    c.userProcess = irp->requestor.pid;
  }
  std::memcpy(irp->output.data(), &c.userAddress, 4);
  return CompleteRequest(irp, STATUS_SUCCESS, 4);
}

NTSTATUS ReleaseSharedMemory(DriveState& drive, Irp* irp) {
  std::shared_ptr<kernel::SharedSection> old;
  {
    std::lock_guard<std::mutex> g(drive.channel.bufferLock);
    MediaChannelState& c = drive.channel;
    if (c.buffer && c.userProcess == irp->requestor.pid) kernel::MmUnmapFromRequestor(irp, c.userAddress);
    old = std::move(c.buffer);
    c.userAddress = 0;
    c.userProcess = 0;
  }
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

}  // namespace kv::driver
