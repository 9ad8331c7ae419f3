// Discs with a track table: the regions of each track, raw 2352-byte reads that generate what
// the file does not store, and the table of contents the drive answers.
#pragma once
#include <cstdint>

#include "formats/image_source.h"

namespace kv {

inline constexpr uint32_t kRawBatchSectors = 128;
inline constexpr uint32_t kTocAnswerSize = 804;

// Sector numbers of the five regions of one track: generated [a0, a1), stored [a1, a4),
// generated [a4, a5); the track's data is [a2, a3).
struct TrackRegions {
  int64_t a[6];
};
TrackRegions RegionsOf(const TrackTable& table, uint32_t track);

// The request's track layout, copied unchanged.
void TrackTableFromRequest(const MountRequest& request, TrackTable* table);

// Null when the table can be served; otherwise why not, as one line. Checks the track count,
// sector sizes, negative values, regions that overlap or descend, and stored sectors that lie
// before the start or past the end of a file of `fileSize` bytes.
const char* CheckTrackTable(const TrackTable& table, int64_t fileSize);

// Raw reads through the table; `first` may be negative (the first track's pregap). Returns the
// number of 2352-byte sectors delivered, stopping at the first sector that cannot be served.
uint32_t ReadRawThroughTrackTable(ImageFile& file, int64_t fileSize, const TrackTable& table, int64_t first,
                                  uint32_t count, uint8_t* destination);

// The 804-byte answer of IOCTL_CDROM_READ_TOC for `source`. Audio tracks carry control 0, data
// tracks 4; a disc mounted as an audio disc is audio throughout.
void BuildTableOfContents(const ImageSource& source, uint8_t* toc);

}  // namespace kv
