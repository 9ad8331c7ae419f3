// The per-drive buffer through which the service serves sectors of an archive-backed medium.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv {

// Start of the channel buffer; the data area follows at kChannelDataOffset.
struct ReadRequest {
  int32_t RequestSector;   // written by the driver
  int32_t RequestCount;    // written by the driver
  int32_t BufferedSector;  // written by the service
  int32_t BufferedCount;   // written by the service
  int32_t Progress;        // written by the service; -1 = the service gives up
  uint8_t Unused[2028];
};

static_assert(offsetof(ReadRequest, RequestSector) == 0);
static_assert(offsetof(ReadRequest, RequestCount) == 4);
static_assert(offsetof(ReadRequest, BufferedSector) == 8);
static_assert(offsetof(ReadRequest, BufferedCount) == 12);
static_assert(offsetof(ReadRequest, Progress) == 16);
static_assert(sizeof(ReadRequest) == 2048);

inline constexpr size_t kChannelDataOffset = 2048;
inline constexpr size_t kChannelLargeSize = 17 * 2048;  // 16 data sectors
inline constexpr size_t kChannelSmallSize = 9 * 2048;   // 8 data sectors
inline constexpr int32_t kProgressAbandon = -1;

// Per-drive event names (%d = drive index) as user mode opens them; the driver creates them as
// "\BaseNamedObjects\" + the part after "Global\".
inline constexpr const char* kAccessSyncEventFormat = "Global\\AccessSync%d";
inline constexpr const char* kReadRequestEventFormat = "Global\\ReadRequestNotify%d";
inline constexpr const char* kWriteDoneEventFormat = "Global\\WriteDoneNotify%d";

// Number of data sectors a channel buffer of `size` bytes holds.
constexpr uint32_t ChannelCapacity(size_t size) {
  return size >= kChannelDataOffset ? static_cast<uint32_t>(size / 2048 - 1) : 0;
}

}  // namespace kv
