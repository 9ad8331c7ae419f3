#include "formats/nrg/nrg_reader.h"

#include <cstring>
#include <new>

#include "formats/fs_probe.h"
#include "formats/image_source_access.h"
#include "formats/nrg/nrg_layout.h"

namespace kv {
namespace {

using A = ImageSourceAccess;
using namespace nrg;

constexpr int64_t kPregapSectors = 150;

bool Is(const uint8_t* p, const char* id) {
  return std::memcmp(p, id, 4) == 0;
}

struct NrgState : FormatReaderState {
  NrgTrack track;
};

// Position of a cue entry as a sector number: CUEX stores the LBA, CUES the address 0, M, S, F.
int64_t CuePosition(const uint8_t* entry, bool msf) {
  const uint8_t* p = entry + kCuePosition;
  if (!msf) return static_cast<int32_t>(Be32(p));
  return (int64_t{p[1]} * 60 + p[2]) * 75 + p[3] - kPregapSectors;
}

// Each index-1 entry of a track pairs with the entry after it (the next track's first index,
// or the lead-out): the track starts at the first and ends at the second.
bool WalkCue(const uint8_t* payload, uint32_t size, bool msf, NrgLayout* layout) {
  if (size == 0 || size % kCueEntrySize != 0) return false;
  const uint32_t entries = size / kCueEntrySize;
  if (CuePosition(payload, msf) != -kPregapSectors) return false;
  for (uint32_t i = 1; i + 1 < entries; ++i) {
    const uint8_t* e = payload + i * kCueEntrySize;
    const uint8_t* next = e + kCueEntrySize;
    if (e[kCueIndex] != 1 || e[kCueTrack] == 0 || e[kCueTrack] == 0xAA) continue;
    if (next[kCueTrack] == e[kCueTrack]) return false;
    const int64_t start = CuePosition(e, msf);
    const int64_t length = CuePosition(next, msf) - start;
    if (length <= 0 || layout->count == kMaxTracks - 1) return false;
    NrgTrack& t = layout->tracks[layout->count++];
    t = NrgTrack{};
    t.start = start;
    t.length = length;
  }
  return true;
}

bool WalkDao(const uint8_t* payload, uint32_t size, NrgLayout* layout) {
  if (size < kDaoMinimumSize) return false;
  // Older readers take the high byte alone (0 or 2); files hold a u16 (0x0000 audio, 0x0001
  // data, 0x2001 Mode 2), all of which name cooked sectors.
  const uint32_t type = Be16(payload + kDaoTocType);
  const bool cooked = type == 0x0000 || type == 0x0001 || type == 0x2001 || (type >> 8) == 0;
  const bool raw = (type >> 8) == 2;
  if (!cooked && !raw) return false;
  const uint8_t mode = payload[kDaoFirstTrackMode];
  for (uint32_t i = 0; i < layout->count; ++i) {
    NrgTrack& t = layout->tracks[i];
    if (mode == kModeData2048) {
      t.kind = NrgTrackKind::kMode1;
      t.userSize = kSectorSize;
    } else if (mode == kModeMode2Form1 || mode == kModeMode2Form2 || mode == kModeMode2Raw || mode == kModeMode2Other) {
      t.kind = NrgTrackKind::kMode2;
    } else if (mode == kModeAudio) {
      t.kind = NrgTrackKind::kAudio;
      t.storedSize = t.userSize = kRawSectorSize;
    }
    if (cooked) {
      t.fileOffset = 0;
      t.ownOffset = false;
    } else {
      t.userOffset = t.kind == NrgTrackKind::kMode2 ? 24 : 16;
    }
  }
  return true;
}

// Kind and stored sector size of an ETNF/ETN2 mode; false for the modes not described.
bool TaoMode(uint32_t mode, NrgTrackKind* kind, uint32_t* size) {
  switch (mode) {
    case kModeData2048:
      *kind = NrgTrackKind::kMode1;
      *size = kSectorSize;
      return true;
    case kModeMode2Form1:
      *kind = NrgTrackKind::kMode2;
      *size = kSectorSize;
      return true;
    case kModeMode2Form2:
      *kind = NrgTrackKind::kMode2;
      *size = 2336;
      return true;
    case kModeAudio:
      *kind = NrgTrackKind::kAudio;
      *size = kRawSectorSize;
      return true;
    default:
      return false;
  }
}

bool WalkTao(const uint8_t* payload, uint32_t size, bool v2, NrgLayout* layout) {
  const uint32_t entrySize = v2 ? kEtn2EntrySize : kEtnfEntrySize;
  if (size == 0 || size % entrySize != 0) return false;
  if (layout->count != 0) return true;  // the cue chunk already described the tracks
  for (uint32_t j = 0; j < size / entrySize; ++j) {
    const uint8_t* e = payload + j * entrySize;
    const uint64_t offset = v2 ? Be64(e) : Be32(e);
    const uint64_t bytes = v2 ? Be64(e + 8) : Be32(e + 4);
    const uint32_t mode = Be32(e + (v2 ? 16 : 8));
    const uint32_t lba = Be32(e + (v2 ? 20 : 12));
    NrgTrackKind kind;
    uint32_t sectorSize = 0;
    if (!TaoMode(mode, &kind, &sectorSize)) break;
    if (!v2) {
      if (bytes % sectorSize != 0 || offset != uint64_t{lba} * sectorSize) break;
    } else {
      if (bytes % sectorSize != 0) {
        sectorSize = bytes % 2048 == 0 ? 2048 : bytes % 2336 == 0 ? 2336 : bytes % 2352 == 0 ? 2352 : 0;
        if (sectorSize == 0) break;
      }
      // The stored size is the one that places the track at its own offset, the mode's first.
      uint32_t stored = kSectorSize;
      const uint32_t sizes[] = {sectorSize, 2048, 2336, 2352};
      for (uint32_t candidate : sizes) {
        if (offset == uint64_t{lba} * candidate) {
          stored = candidate;
          break;
        }
      }
      if (bytes % stored != 0) break;
      sectorSize = stored;
    }
    if (bytes == 0 || offset > static_cast<uint64_t>(INT64_MAX) || layout->count == kMaxTracks - 1) return false;
    NrgTrack& t = layout->tracks[layout->count++];
    t = NrgTrack{};
    t.kind = kind;
    t.storedSize = sectorSize;
    t.userSize = kind == NrgTrackKind::kMode1 ? kSectorSize : kind == NrgTrackKind::kAudio ? kRawSectorSize : 2336;
    t.start = int64_t{lba} + kPregapSectors * j;
    t.length = static_cast<int64_t>(bytes / sectorSize);
    t.ownOffset = true;
    t.fileOffset = static_cast<int64_t>(offset);
  }
  return true;
}

}  // namespace

bool LocateNrgChunkList(const uint8_t* tail, int64_t fileSize, int64_t* listOffset, uint32_t* listSize) {
  if (fileSize < kFooterV2Size) return false;
  int64_t offset = 0;
  uint32_t footer = 0;
  if (Is(tail + 4, "NERO")) {
    offset = Be32(tail + 8);
    footer = kFooterV1Size;
  } else if (Is(tail, "NER5")) {
    const uint64_t o = Be64(tail + 4);
    if (o > static_cast<uint64_t>(fileSize)) return false;
    offset = static_cast<int64_t>(o);
    footer = kFooterV2Size;
  } else {
    return false;
  }
  if (offset >= fileSize || fileSize - offset > kMaxListSize) return false;
  if (offset > fileSize - footer) return false;  // the list would start inside the footer
  *listOffset = offset;
  *listSize = static_cast<uint32_t>(fileSize - footer - offset);
  return true;
}

bool WalkNrgChunks(const uint8_t* list, uint32_t listSize, NrgLayout* layout) {
  layout->count = 0;
  uint32_t at = 0;
  while (listSize - at >= kChunkHeaderSize) {
    const uint8_t* id = list + at;
    const uint32_t size = Be32(list + at + 4);
    if (Is(id, "END!")) return true;
    if (size == 0 || size > listSize - at - kChunkHeaderSize) return false;
    const uint8_t* payload = list + at + kChunkHeaderSize;
    bool ok = true;
    if (Is(id, "CUEX") || Is(id, "CUES")) {
      ok = WalkCue(payload, size, Is(id, "CUES"), layout);
    } else if (Is(id, "DAOI") || Is(id, "DAOX")) {
      ok = WalkDao(payload, size, layout);
    } else if (Is(id, "ETNF") || Is(id, "ETN2")) {
      ok = WalkTao(payload, size, Is(id, "ETN2"), layout);
    }
    if (!ok) return false;
    at += kChunkHeaderSize + size;
  }
  return false;  // no "END!"
}

bool IsServableNrgLayout(const NrgLayout& layout) {
  if (layout.count != 1) return false;
  const NrgTrack& t = layout.tracks[0];
  return t.kind == NrgTrackKind::kMode1 && t.storedSize == kSectorSize && t.userOffset == 0 && t.length > 0 &&
         t.start >= 0 && t.start + t.length <= UINT32_MAX;
}

MountError OpenNrg(ImageSource& s, const MountRequest&) {
  ImageFile* file = A::File(s);
  const int64_t fileSize = A::FileSize(s);
  A::Format(s) = kFormatUnusable;
  uint8_t tail[kFooterV2Size];
  int64_t listOffset = 0;
  uint32_t listSize = 0;
  if (fileSize < kFooterV2Size || !file->ReadAt(static_cast<uint64_t>(fileSize - kFooterV2Size), sizeof tail, tail) ||
      !LocateNrgChunkList(tail, fileSize, &listOffset, &listSize))
    return kMountOk;
  uint8_t list[kMaxListSize];
  if (listSize > 0 && !file->ReadAt(static_cast<uint64_t>(listOffset), listSize, list)) return kMountOk;
  std::unique_ptr<NrgLayout> layout(new (std::nothrow) NrgLayout());
  if (!layout) return kMountNoMemory;
  if (!WalkNrgChunks(list, listSize, layout.get()) || !IsServableNrgLayout(*layout)) return kMountOk;

  std::unique_ptr<NrgState> state(new (std::nothrow) NrgState());
  if (!state) return kMountNoMemory;
  state->track = layout->tracks[0];
  A::ReaderState(s) = std::move(state);
  A::Format(s) = kFormatNrg;
  A::SectorSize(s) = kSectorSize;
  A::DataOffset(s) = 0;
  A::StartOffset(s) = 0;
  const SectorReader reader = [&](uint32_t sector, uint8_t* out) {
    return ReadNrg(s, sector, 1, out) == 1 ? SectorRead::kOk : SectorRead::kFailed;
  };
  ProbeResult& probe = A::Probe(s);
  if (!ProbeFileSystem(reader, &probe)) {
    A::Format(s) = kFormatUnusable;
    A::ReaderState(s).reset();
    return kMountOk;
  }
  // The capacity is the volume's own size, never more than the track holds.
  const NrgTrack& t = layout->tracks[0];
  uint64_t sectors = probe.volumeSpaceSize != 0 ? probe.volumeSpaceSize : probe.jolietVolumeSpaceSize;
  const uint64_t trackEnd = static_cast<uint64_t>(t.start + t.length);
  if (sectors == 0 || sectors > trackEnd) sectors = trackEnd;
  A::SectorCount(s) = static_cast<uint32_t>(sectors);
  return kMountOk;
}

uint32_t ReadNrg(ImageSource& s, uint64_t first, uint32_t count, uint8_t* destination) {
  auto* state = dynamic_cast<NrgState*>(A::ReaderState(s).get());
  ImageFile* file = A::File(s);
  if (state == nullptr || file == nullptr || count == 0) return 0;
  const NrgTrack& t = state->track;
  if (first < static_cast<uint64_t>(t.start) || first > UINT32_MAX ||
      first + count > static_cast<uint64_t>(t.start + t.length))
    return 0;
  const int64_t sector = static_cast<int64_t>(first);
  const int64_t offset =
      t.ownOffset ? t.fileOffset + (sector - t.start) * kSectorSize : (sector + t.start + kPregapSectors) * kSectorSize;
  return file->ReadAt(static_cast<uint64_t>(offset), uint64_t{count} * kSectorSize, destination) ? count : 0;
}

}  // namespace kv
