// The on-demand sector server: per drive holding an archive, a thread answers the driver's sector
// requests through the drive's MediaChannel from the drive's ImageBuilder, and a heartbeat keeps
// the channel's Progress word moving.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/media_channel.h"
#include "common/mount_request.h"
#include "platform/named_objects.h"
#include "service/image_builder.h"

namespace kv::service {

enum ServerState : int {
  kServerIdle = 0,
  kServerWaiting = 1,
  kServerWoken = 2,
  kServerCounting = 3,
  kServerProducing = 5,
  kServerProduced = 6,
  kServerSignalling = 7,
  kServerSignalled = 8,
};

struct DriveSlot {
  // Owner of the item bytes (an archive); destroyed after the builder that reads from it.
  std::unique_ptr<ItemDataSource> source;
  std::unique_ptr<ImageBuilder> builder;
  uint8_t* channel = nullptr;  // the drive's channel buffer in this process
  size_t channelSize = 0;
  std::unique_ptr<platform::NamedEvent> accessSync;
  std::unique_ptr<platform::NamedEvent> readRequest;
  std::unique_ptr<platform::NamedEvent> writeDone;
  std::thread thread;
  std::atomic<bool> stop{false};
  int index = 0;
  bool active = false;
  std::atomic<int> state{kServerIdle};
  std::atomic<uint32_t> activity{0};
  char16_t letter = 0;
};

// Fills `count` sectors from `first` of the channel's data area from `builder`: sectors past the
// image are zeros, and a failed read is answered with zeros. `capacity` bounds the data area.
void ReadRunForDriver(ImageBuilder& builder, int32_t first, int32_t count, uint8_t* data, uint32_t capacity);

class DriveSlotTable {
 public:
  DriveSlotTable();
  ~DriveSlotTable();  // stops every server

  DriveSlot& slot(int index) { return *slots_[static_cast<size_t>(index)]; }
  std::mutex& lock() { return lock_; }

  // Opens the drive's three channel events by name. False when one is missing.
  bool OpenChannelEvents(int index);
  // Starts the server thread of a filled slot (builder, channel and events present).
  bool StartServer(int index);
  // Sets the stop flag, wakes the server and waits for it to end.
  void StopServer(int index);
  // Stops the server and returns the slot to free under the table lock (builder destroyed).
  void ClearSlot(int index);

  // Advances Progress of every active channel (-2 becomes 0, so counting never yields -1). From
  // the run loop it also watches for a table that stays the same for more than 999,999 beats and
  // then gives up every waiting read by writing -1.
  void Heartbeat(bool fromRunLoop);
  // Called for every block of extracted data stored for the drive's archive.
  void NoteStoredBlock(int index);

  // For tests: the repeat counter of the status text.
  uint32_t RepeatCount() const { return repeatCount_; }
  void SetRepeatCountForTest(uint32_t n) { repeatCount_ = n; }

 private:
  void Serve(DriveSlot& slot);

  std::mutex lock_;
  std::array<std::unique_ptr<DriveSlot>, kDriveCount> slots_;
  std::string lastStatus_;
  uint32_t repeatCount_ = 0;
  bool repeatReset_ = true;
};

inline constexpr uint32_t kRepeatLimit = 999999;

}  // namespace kv::service
