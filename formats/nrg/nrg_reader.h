// NRG images: the chunk list at the end of the file describes the tracks; one Mode 1 data track
// with 2048-byte sectors is served.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/mount_request.h"
#include "formats/image_source.h"

namespace kv {

enum class NrgTrackKind : uint8_t { kMode1, kMode2, kAudio };

struct NrgTrack {
  NrgTrackKind kind = NrgTrackKind::kMode2;
  uint32_t storedSize = kSectorSize;  // bytes per sector in the file
  uint32_t userSize = 2336;
  uint32_t userOffset = 0;  // of the user data inside a stored sector
  int64_t start = 0;        // first sector of the track's data
  int64_t length = 0;       // sectors
  // Track-at-once tracks keep their data at their own file offset; disc-at-once tracks at
  // (sector + start + 150) × 2048.
  bool ownOffset = false;
  int64_t fileOffset = 0;
};

struct NrgLayout {
  uint32_t count = 0;
  NrgTrack tracks[kMaxTracks - 1];
};

// Where the chunk list lies: `tail` holds the last min(12, fileSize) bytes of the file. False
// when there is no footer, or the list is empty, longer than 4096 bytes or overlaps the footer.
bool LocateNrgChunkList(const uint8_t* tail, int64_t fileSize, int64_t* listOffset, uint32_t* listSize);

// Walks the chunk list (the bytes from the list offset to the end of the file). False when the
// list is malformed: sizes that are not multiples of the entry size, a chunk running past the
// list, an empty chunk other than "END!", no "END!", or tracks that make no sense.
bool WalkNrgChunks(const uint8_t* list, uint32_t listSize, NrgLayout* layout);

// True when the layout is the one kind served: exactly one Mode 1 track of 2048-byte sectors.
bool IsServableNrgLayout(const NrgLayout& layout);

// The format table's opener and user-data reader for code 3.
MountError OpenNrg(ImageSource& source, const MountRequest& request);
uint32_t ReadNrg(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);

}  // namespace kv
