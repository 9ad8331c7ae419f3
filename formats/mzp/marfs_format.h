// The small file system inside MZP containers ("MARFSVOL" volumes), little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::mzp {

#pragma pack(push, 1)

// Timestamp in the UDF layout: type in the top 4 bits of the first word; type 1 means the low
// 12 bits are the offset from UTC in minutes (signed).
struct MarfsTime {
  uint16_t typeAndZone;
  uint16_t year;
  uint8_t month, day, hour, minute, second;
  uint8_t centiseconds, hundredsOfMicroseconds, microseconds;
};

// The fixed part of a directory record; the UTF-16 name follows.
struct MarfsRecord {
  uint16_t length;  // record length in bytes; 0 ends the stream
  uint32_t start;   // first volume sector of the data or of the directory stream
  uint32_t unused;
  uint64_t size;  // byte length of the file or of the directory stream
  uint8_t flags;  // bit 0: directory
  uint8_t unused2;
  MarfsTime time;
  uint16_t nameLength;  // bytes of the name
};

#pragma pack(pop)

static_assert(sizeof(MarfsTime) == 12);
static_assert(sizeof(MarfsRecord) == 34);
static_assert(offsetof(MarfsRecord, start) == 2);
static_assert(offsetof(MarfsRecord, size) == 10);
static_assert(offsetof(MarfsRecord, flags) == 18);
static_assert(offsetof(MarfsRecord, time) == 20);
static_assert(offsetof(MarfsRecord, nameLength) == 32);

inline constexpr char kMarfsMagic[8] = {'M', 'A', 'R', 'F', 'S', 'V', 'O', 'L'};
inline constexpr size_t kMarfsMagicCompared = 7;
inline constexpr size_t kMarfsRootRecordOffset = 20;
inline constexpr size_t kMarfsRootRecordSize = 32;
inline constexpr size_t kMarfsVolumeNameOffset = 52;
inline constexpr size_t kMarfsVolumeNameMax = 512;
inline constexpr uint8_t kMarfsDirectory = 1;
inline constexpr uint16_t kMarfsTimeTypeZone = 1;

}  // namespace kv::mzp
