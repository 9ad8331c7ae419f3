// On-disk layout of a UIF image: the trailer in the last 64 bytes, the block-table header and
// the 24-byte entries of the zlib-compressed block table.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::uif {

#pragma pack(push, 1)
struct Trailer {
  char signature[4];  // "bbis"
  uint8_t unused1[16];
  uint32_t sectorUnit;  // bytes per counted sector of the block table
  uint8_t unused2[4];
  uint32_t tablePosition;  // file offset of the block-table header
  uint8_t unused3[32];
};

struct TableHeader {
  char signature[4];  // "blhr"
  uint32_t size;      // the compressed table occupies size - 8 bytes
  uint32_t unknown;
  uint32_t entryCount;
};

struct Entry {
  uint64_t fileOffset;
  uint32_t storedSize;
  uint32_t firstSector;  // not used for placement: blocks lie end to end in table order
  uint32_t sectorCount;
  uint32_t type;
};
#pragma pack(pop)

static_assert(sizeof(Trailer) == 64);
static_assert(offsetof(Trailer, sectorUnit) == 20);
static_assert(offsetof(Trailer, tablePosition) == 28);
static_assert(sizeof(TableHeader) == 16);
static_assert(offsetof(TableHeader, size) == 4);
static_assert(offsetof(TableHeader, entryCount) == 12);
static_assert(sizeof(Entry) == 24);
static_assert(offsetof(Entry, storedSize) == 8);
static_assert(offsetof(Entry, firstSector) == 12);
static_assert(offsetof(Entry, sectorCount) == 16);
static_assert(offsetof(Entry, type) == 20);

inline constexpr char kTrailerSignature[4] = {'b', 'b', 'i', 's'};
inline constexpr char kTableSignature[4] = {'b', 'l', 'h', 'r'};

enum BlockType : uint32_t {
  kStored = 1,
  kStored2 = 2,
  kZeros = 3,
  kZlib = 5,
  kZlib2 = 7,
};

// Staging grows past this for larger compressed blocks, to the block's size plus kStagingSlack.
inline constexpr uint32_t kStagingThreshold = 256 * 1024;
inline constexpr uint32_t kStagingSlack = 23520;

}  // namespace kv::uif
