#include "formats/raw/track_layout.h"

#include <algorithm>
#include <cstring>

#include "formats/raw/raw_sector.h"

namespace kv {
namespace {

enum class Kind { kZeros, kMode1, kMode2Form1, kMode2Form2 };

Kind KindOf(uint8_t mode) {
  switch (mode) {
    case 2:
    case 3:
      return Kind::kMode1;
    case 4:
    case 5:
    case 8:
      return Kind::kMode2Form1;
    case 6:
      return Kind::kMode2Form2;
    default:
      return Kind::kZeros;
  }
}

void BuildEmpty(Kind kind, int64_t address, uint8_t* out) {
  switch (kind) {
    case Kind::kMode1:
      BuildMode1Sector(address, nullptr, out);
      break;
    case Kind::kMode2Form1:
      BuildMode2Form1Sector(address, nullptr, out);
      break;
    case Kind::kMode2Form2:
      BuildMode2Form2Sector(address, nullptr, out);
      break;
    case Kind::kZeros:
      std::memset(out, 0, kRawSectorSize);
      break;
  }
}

// Serves `count` stored sectors from `s` of `track`; returns how many were delivered.
uint32_t ServeStored(ImageFile& file, int64_t fileSize, const TrackTable& t, uint32_t track, int64_t s, uint32_t count,
                     uint8_t* out) {
  const int64_t size = t.sectorSize[track];
  const int64_t offset = t.fileOffset[track] + size * (s - t.start[track]);
  const int64_t end = std::min(t.fileEnd[track], fileSize);
  if (offset < 0 || offset >= end) return 0;
  const int64_t available = end - offset;
  // The last sector may be cut short by the end of the file; its missing tail reads as zeros.
  const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, (available + size - 1) / size));
  const uint64_t bytes = static_cast<uint64_t>(std::min<int64_t>(int64_t{n} * size, available));
  const uint64_t whole = uint64_t{n} * static_cast<uint64_t>(size);
  // Stored sectors are read into the tail of the output and expanded front to back: each built
  // sector ends before the stored bytes of the next one begin.
  uint8_t* stored = out + uint64_t{n} * kRawSectorSize - whole;
  if (!file.ReadAt(static_cast<uint64_t>(offset), bytes, stored)) return 0;
  std::memset(stored + bytes, 0, whole - bytes);
  if (size == kRawSectorSize) return n;

  const Kind kind = KindOf(t.mode[track]);
  if (size == kSectorSize && kind == Kind::kZeros) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* sector = out + uint64_t{i} * kRawSectorSize;
    const uint8_t* data = stored + uint64_t{i} * static_cast<uint64_t>(size);
    const int64_t address = s + i;
    if (size == kMode2FormlessSize) {
      BuildMode2FormlessSector(address, data, sector);
    } else if (kind == Kind::kMode1) {
      BuildMode1Sector(address, data, sector);
    } else if (kind == Kind::kMode2Form1) {
      BuildMode2Form1Sector(address, data, sector);
    } else {
      // A 2048-byte stored sector holds only 2048 of the 2324 bytes of a Form 2 sector; the
      // rest is zero rather than the start of the next stored sector.
      std::memmove(sector + 24, data, kSectorSize);
      std::memset(sector + 24 + kSectorSize, 0, kMode2Form2DataSize - kSectorSize);
      BuildMode2Form2Sector(address, sector + 24, sector);
    }
  }
  return n;
}

uint32_t ReadBatch(ImageFile& file, int64_t fileSize, const TrackTable& t, int64_t s, uint32_t count, uint8_t* out) {
  uint32_t done = 0;
  for (uint32_t track = 0; track < t.count && done < count;) {
    const TrackRegions r = RegionsOf(t, track);
    if (s < r.a[0]) break;
    if (s >= r.a[5]) {
      ++track;
      continue;
    }
    int region = 1;
    while (r.a[region] <= s) ++region;
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(r.a[region] - s, count - done));
    uint8_t* at = out + uint64_t{done} * kRawSectorSize;
    uint32_t got = 0;
    if (region == 1 || region == 5) {
      const Kind kind = KindOf(t.mode[track]);
      for (; got < n; ++got) BuildEmpty(kind, s + got, at + uint64_t{got} * kRawSectorSize);
    } else {
      got = ServeStored(file, fileSize, t, track, s, n, at);
    }
    done += got;
    s += got;
    if (got < n) break;
  }
  return done;
}

}  // namespace

TrackRegions RegionsOf(const TrackTable& t, uint32_t i) {
  TrackRegions r;
  const int64_t start = t.start[i];
  r.a[0] = start - t.pregap[i];
  r.a[1] = std::max(r.a[0], start - t.pregapInFile[i]);
  r.a[2] = start;
  r.a[3] = start + t.length[i];
  r.a[5] = r.a[3] + t.postgap[i];
  r.a[4] = std::min(r.a[5], r.a[3] + t.postgapInFile[i]);
  return r;
}

void TrackTableFromRequest(const MountRequest& r, TrackTable* t) {
  t->count = r.TrackCount;
  std::memcpy(t->mode, r.TrackMode, sizeof t->mode);
  std::memcpy(t->start, r.TrackStart, sizeof t->start);
  std::memcpy(t->pregap, r.TrackPregap, sizeof t->pregap);
  std::memcpy(t->pregapInFile, r.TrackPregapInFile, sizeof t->pregapInFile);
  std::memcpy(t->postgap, r.TrackPostgap, sizeof t->postgap);
  std::memcpy(t->postgapInFile, r.TrackPostgapInFile, sizeof t->postgapInFile);
  std::memcpy(t->length, r.TrackLength, sizeof t->length);
  std::memcpy(t->fileOffset, r.TrackFileOffset, sizeof t->fileOffset);
  std::memcpy(t->fileEnd, r.TrackFileEnd, sizeof t->fileEnd);
  std::memcpy(t->sectorSize, r.TrackSectorSize, sizeof t->sectorSize);
}

const char* CheckTrackTable(const TrackTable& t, int64_t fileSize) {
  if (t.count == 0 || t.count >= kMaxTracks) return "a track table holds 1 to 99 tracks";
  int64_t previousEnd = INT64_MIN;
  for (uint32_t i = 0; i < t.count; ++i) {
    const int32_t size = t.sectorSize[i];
    if (size != static_cast<int32_t>(kSectorSize) && size != static_cast<int32_t>(kMode2FormlessSize) &&
        size != static_cast<int32_t>(kRawSectorSize))
      return "a track's sector size is not 2048, 2336 or 2352";
    if (t.pregap[i] < 0 || t.pregapInFile[i] < 0 || t.postgap[i] < 0 || t.postgapInFile[i] < 0 || t.length[i] < 0)
      return "a track has a negative length or gap";
    const TrackRegions r = RegionsOf(t, i);
    // Addresses from -450150 upwards have a BCD minute-second-frame form.
    if (r.a[0] < -450150 || r.a[5] > INT32_MAX) return "a track lies outside the addressable sectors";
    if (r.a[0] < previousEnd) return "tracks overlap or are not in ascending order";
    previousEnd = r.a[5];
    if (r.a[1] == r.a[4]) continue;  // nothing stored
    const int64_t firstStored = t.fileOffset[i] - int64_t{size} * (r.a[2] - r.a[1]);
    if (t.fileOffset[i] < 0 || firstStored < 0) return "a track's stored sectors begin before the start of the file";
    if (firstStored >= fileSize || t.fileOffset[i] > fileSize)
      return "a track's file offset lies past the end of the file";
    if (t.fileEnd[i] < firstStored) return "a track's file end lies before its file offset";
  }
  if (int64_t{t.start[t.count]} < previousEnd) return "the lead-out lies inside the last track";
  return nullptr;
}

uint32_t ReadRawThroughTrackTable(ImageFile& file, int64_t fileSize, const TrackTable& table, int64_t first,
                                  uint32_t count, uint8_t* destination) {
  uint32_t done = 0;
  while (done < count) {
    const uint32_t n = std::min(kRawBatchSectors, count - done);
    const uint32_t got =
        ReadBatch(file, fileSize, table, first + done, n, destination + uint64_t{done} * kRawSectorSize);
    done += got;
    if (got < n) break;
  }
  return done;
}

namespace {

void PutMsf(uint8_t* p, int64_t lba) {
  const int64_t x = std::max<int64_t>(0, lba + 150);
  p[0] = 0;
  p[1] = static_cast<uint8_t>(x / 4500);
  p[2] = static_cast<uint8_t>((x / 75) % 60);
  p[3] = static_cast<uint8_t>(x % 75);
}

}  // namespace

void BuildTableOfContents(const ImageSource& source, uint8_t* toc) {
  std::memset(toc, 0, kTocAnswerSize);
  toc[2] = 1;
  toc[3] = 1;
  const TrackTable* t = source.trackTable();
  if (t == nullptr || t->count == 0) {
    toc[5] = 4;
    return;
  }
  // 99 tracks and the lead-out fill the 100 descriptors.
  const uint32_t n = std::min<uint32_t>(t->count, kMaxTracks - 1);
  const uint32_t length = n * 8 + 10;
  toc[0] = static_cast<uint8_t>(length >> 8);
  toc[1] = static_cast<uint8_t>(length);
  toc[3] = static_cast<uint8_t>(n);
  const bool audioDisc = source.format() == kFormatAudioDisc;
  for (uint32_t i = 0; i <= n; ++i) {
    uint8_t* d = toc + 4 + i * 8;
    const bool audio = audioDisc || (i < n && t->mode[i] == TRACK_AUDIO);
    d[1] = static_cast<uint8_t>(0x10 | (audio ? 0 : 4));
    d[2] = static_cast<uint8_t>(i == n ? 0xAA : i + 1);
    PutMsf(d + 4, t->start[i]);
  }
}

}  // namespace kv
