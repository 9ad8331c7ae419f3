#include "service/sector_server.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace kv::service {

namespace {

ReadRequest* Header(const DriveSlot& s) {
  return reinterpret_cast<ReadRequest*>(s.channel);
}

// The driver reads and writes the same words from another process; plain accesses would be a
// data race here.
int32_t Load(int32_t& word) {
  return std::atomic_ref<int32_t>(word).load(std::memory_order_acquire);
}
void Store(int32_t& word, int32_t v) {
  std::atomic_ref<int32_t>(word).store(v, std::memory_order_release);
}

std::string EventName(const char* format, int index) {
  char name[64];
  std::snprintf(name, sizeof name, format, index);
  return name;
}

}  // namespace

void ReadRunForDriver(ImageBuilder& builder, int32_t first, int32_t count, uint8_t* data, uint32_t capacity) {
  if (count <= 0) return;
  const uint32_t n = static_cast<uint32_t>(count) > capacity ? capacity : static_cast<uint32_t>(count);
  const size_t bytes = size_t(n) * kSectorSize;
  if (first < 0 || static_cast<uint32_t>(count) > capacity) {
    std::memset(data, 0, bytes);
    return;
  }
  const uint64_t total = builder.SectorCount();
  if (uint64_t(first) + n > total) std::memset(data, 0, bytes);
  if (builder.ReadSectors(static_cast<uint32_t>(first), n, data) < n) std::memset(data, 0, bytes);
}

DriveSlotTable::DriveSlotTable() {
  for (int i = 0; i < kDriveCount; ++i) {
    slots_[static_cast<size_t>(i)] = std::make_unique<DriveSlot>();
    slots_[static_cast<size_t>(i)]->index = i;
  }
}

DriveSlotTable::~DriveSlotTable() {
  for (int i = 0; i < kDriveCount; ++i) ClearSlot(i);
}

bool DriveSlotTable::OpenChannelEvents(int index) {
  DriveSlot& s = slot(index);
  int err = 0;
  s.accessSync = platform::NamedEvent::Open(EventName(kAccessSyncEventFormat, index), &err);
  s.readRequest = platform::NamedEvent::Open(EventName(kReadRequestEventFormat, index), &err);
  s.writeDone = platform::NamedEvent::Open(EventName(kWriteDoneEventFormat, index), &err);
  return s.accessSync && s.readRequest && s.writeDone;
}

bool DriveSlotTable::StartServer(int index) {
  DriveSlot& s = slot(index);
  if (!s.builder || !s.channel || !s.readRequest || !s.writeDone || s.thread.joinable()) return false;
  s.stop = false;
  {
    std::lock_guard<std::mutex> g(lock_);
    s.active = true;
  }
  s.thread = std::thread([this, &s] { Serve(s); });
  return true;
}

void DriveSlotTable::StopServer(int index) {
  DriveSlot& s = slot(index);
  if (!s.thread.joinable()) return;
  s.stop = true;
  s.readRequest->Set();
  s.thread.join();
}

void DriveSlotTable::ClearSlot(int index) {
  StopServer(index);
  DriveSlot& s = slot(index);
  std::unique_ptr<ImageBuilder> builder;
  std::unique_ptr<ItemDataSource> source;
  {
    std::lock_guard<std::mutex> g(lock_);
    builder = std::move(s.builder);
    source = std::move(s.source);
    s.channel = nullptr;
    s.channelSize = 0;
    s.accessSync.reset();
    s.readRequest.reset();
    s.writeDone.reset();
    s.active = false;
    s.stop = false;
    s.state = kServerIdle;
    s.activity = 0;
    s.letter = 0;
  }
  builder.reset();  // before the source it reads from
}

void DriveSlotTable::Serve(DriveSlot& s) {
  const uint32_t capacity = ChannelCapacity(s.channelSize);
  ReadRequest* h = Header(s);
  uint8_t* data = s.channel + kChannelDataOffset;
  for (;;) {
    s.state = kServerWaiting;
    s.readRequest->Wait(-1);
    s.state = kServerWoken;
    if (s.stop) break;
    s.state = kServerCounting;
    ++s.activity;
    const int32_t first = Load(h->RequestSector);
    const int32_t count = Load(h->RequestCount);
    if (first != Load(h->BufferedSector) || count != Load(h->BufferedCount)) {
      s.state = kServerProducing;
      ReadRunForDriver(*s.builder, first, count, data, capacity);
      s.state = kServerProduced;
      const bool valid = first >= 0 && count > 0 && static_cast<uint32_t>(count) <= capacity;
      Store(h->BufferedSector, valid ? first : -1);
      Store(h->BufferedCount, valid ? count : -1);
    }
    s.state = kServerSignalling;
    s.writeDone->Set();
    s.state = kServerSignalled;
  }
  s.state = kServerIdle;
}

void DriveSlotTable::Heartbeat(bool fromRunLoop) {
  std::lock_guard<std::mutex> g(lock_);
  std::string text = "\r\n";
  bool any = false;
  for (auto& sp : slots_) {
    DriveSlot& s = *sp;
    if (!s.active || !s.channel) continue;
    any = true;
    ReadRequest* h = Header(s);
    const int32_t p = Load(h->Progress);
    Store(h->Progress, p == -2 ? 0 : p + 1);
    if (fromRunLoop) {
      char line[96];
      std::snprintf(line, sizeof line, "[%d, %08x, %u, %d]\r\n", s.index,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(s.builder.get())), s.activity.load(),
                    s.state.load());
      text += line;
    }
  }
  if (!fromRunLoop) return;
  text += "\r\n";
  if (any && !repeatReset_ && text == lastStatus_) {
    if (++repeatCount_ > kRepeatLimit) {
      for (auto& sp : slots_)
        if (sp->active && sp->channel) Store(Header(*sp)->Progress, kProgressAbandon);
      repeatCount_ = 0;
    }
  } else if (text != lastStatus_ || repeatReset_) {
    repeatCount_ = 0;
    lastStatus_ = text;
    repeatReset_ = false;
  }
}

void DriveSlotTable::NoteStoredBlock(int index) {
  if (index >= 0 && index < kDriveCount) ++slot(index).activity;
  Heartbeat(false);
}

}  // namespace kv::service
