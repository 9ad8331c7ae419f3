// File-system probe. Every field comes from a hostile image: positions are fixed inside one
// sector, and the UDF descriptor walk is bounded in sectors visited and pointers followed.
#include "formats/fs_probe.h"

#include <cstring>

#include "formats/fs_layout.h"

namespace kv {
namespace {

using fs::BytesAt;
using fs::Le16;
using fs::Le32;

constexpr uint32_t kMaxWalkSectors = 1024;
constexpr uint32_t kMaxPointerJumps = 8;

void ScanIsoDescriptors(const SectorReader& read, ProbeResult* r, uint8_t* sector, uint8_t* scratch) {
  namespace iso = fs::iso;
  bool primarySeen = false;
  for (uint32_t i = iso::kFirstScanSector; i < iso::kFirstScanSector + iso::kScanSectors; ++i) {
    const SectorRead status = read(i, sector);
    if (status == SectorRead::kSkipped) continue;
    if (status != SectorRead::kOk) break;
    const bool standard = BytesAt(sector, iso::kStandardId, iso::kStandardIdText);
    const uint8_t type = sector[iso::kType];
    if (standard && type == iso::kTypeTerminator) break;
    if (standard && type == iso::kTypePrimary && !primarySeen) {
      primarySeen = true;
      std::memcpy(r->primaryDescriptor, sector, fs::kSector);
      // The root directory must be readable before the descriptor counts.
      if (read(Le32(sector + iso::kRootExtentLocation), scratch) == SectorRead::kOk) {
        r->iso = true;
        r->logicalBlockSize = Le16(sector + iso::kLogicalBlockSize);
        r->volumeSpaceSize = Le32(sector + iso::kVolumeSpaceSize);
        r->primaryIndex = static_cast<int>(i);
      }
    } else if (standard && type == iso::kTypeSupplementary && r->jolietLevel == 0) {
      const uint8_t* esc = sector + iso::kEscapeSequences;
      if (esc[0] == 0x25 && esc[1] == 0x2F && (esc[2] == 0x40 || esc[2] == 0x43 || esc[2] == 0x45)) {
        r->jolietLevel = esc[2] == 0x40 ? 1 : esc[2] == 0x43 ? 2 : 3;
        std::memcpy(r->jolietDescriptor, sector, fs::kSector);
        r->jolietIndex = static_cast<int>(i);
        r->jolietVolumeSpaceSize = Le32(sector + iso::kVolumeSpaceSize);
      }
    }
    if (BytesAt(sector, iso::kBootSystemId, iso::kElToritoText)) {
      r->elTorito = true;
      if (r->elToritoIndex < 0) r->elToritoIndex = static_cast<int>(i);
    }
  }
}

// Version 2 or 3 and the one-byte checksum over tag bytes 0-3 and 5-15.
bool ValidTag(const uint8_t* d, uint32_t expectedLocation) {
  namespace udf = fs::udf;
  uint8_t sum = 0;
  for (uint32_t k = 0; k < udf::kTagSize; ++k)
    if (k != udf::kTagChecksum) sum = static_cast<uint8_t>(sum + d[k]);
  const uint16_t version = Le16(d + udf::kTagVersion);
  return sum == d[udf::kTagChecksum] && (version == 2 || version == 3) &&
         Le32(d + udf::kTagLocation) == expectedLocation;
}

int ScanRecognitionSequence(const SectorReader& read, uint8_t* sector) {
  namespace udf = fs::udf;
  int nsr = 0;
  for (uint32_t s = udf::kRecognitionFirst; s <= udf::kRecognitionLast; ++s) {
    // Recognition descriptors themselves start with structure type 0, so the end of the
    // sequence is an empty identifier, not a zero first byte.
    if (read(s, sector) != SectorRead::kOk) break;
    const uint8_t* id = sector + udf::kRecognitionId;
    if (id[0] == 0) break;
    if (std::memcmp(id, "TEA01", 5) == 0) break;
    if (std::memcmp(id, "NSR02", 5) == 0) nsr = 2;
    if (std::memcmp(id, "NSR03", 5) == 0) nsr = 3;
  }
  return nsr;
}

void RecordPartitionMaps(const uint8_t* lvd, ProbeResult* r) {
  namespace udf = fs::udf;
  r->udfLogicalBlockSize = Le32(lvd + udf::kLogicalBlockSize);
  const uint32_t count = Le32(lvd + udf::kMapCount);
  uint32_t pos = udf::kMapsStart;
  for (uint32_t m = 0; m < count && m < udf::kMaxMaps; ++m) {
    if (pos + 2 > fs::kSector) break;
    const uint8_t* map = lvd + pos;
    const uint32_t length = map[udf::kMapLength];
    if (length < 2 || pos + length > fs::kSector) break;
    pos += length;
    if (map[udf::kMapType] == 1 && length >= udf::kType1Length) {
      UdfPartitionMap& out = r->udfPartitionMaps[r->udfPartitionMapCount++];
      out = UdfPartitionMap{};
      out.type = 1;
      out.volumeSequenceNumber = Le16(map + udf::kType1VolumeSequence);
      out.partitionNumber = Le16(map + udf::kType1Partition);
    } else if (map[udf::kMapType] == 2 && length >= udf::kType2Length &&
               BytesAt(map, udf::kType2Identifier, udf::kMetadataPartitionText)) {
      UdfPartitionMap& out = r->udfPartitionMaps[r->udfPartitionMapCount++];
      out = UdfPartitionMap{};
      out.type = 2;
      out.metadata = true;
      out.volumeSequenceNumber = Le16(map + udf::kType2VolumeSequence);
      out.partitionNumber = Le16(map + udf::kType2Partition);
      out.metadataFile = Le32(map + udf::kMetadataFile);
      out.metadataMirrorFile = Le32(map + udf::kMetadataMirrorFile);
      out.metadataBitmapFile = Le32(map + udf::kMetadataBitmapFile);
      out.allocationUnitSize = Le32(map + udf::kMetadataAllocationUnit);
      out.alignmentUnitSize = Le16(map + udf::kMetadataAlignmentUnit);
      out.duplicateMetadata = (map[udf::kMetadataFlags] & 1) != 0;
    }
    // Virtual and sparable partition maps are recognised by the same entity identifier and not
    // recorded: they do not change whether the image is UDF.
  }
}

// Walks the main volume descriptor sequence named by the anchor; records only.
void WalkVolumeDescriptors(const SectorReader& read, const uint8_t* anchor, ProbeResult* r, uint8_t* sector,
                           uint8_t* lvd) {
  namespace udf = fs::udf;
  struct Kept {
    bool have = false;
    uint32_t sequence = 0;
  };
  Kept kept[udf::kTerminating + 1];
  auto keepHighest = [&](uint16_t id, uint32_t sequence) {
    if (kept[id].have && sequence <= kept[id].sequence) return false;
    kept[id].have = true;
    kept[id].sequence = sequence;
    return true;
  };

  uint64_t location = Le32(anchor + udf::kAnchorMainLocation);
  uint64_t length = Le32(anchor + udf::kAnchorMainLength);
  bool pointerPending = false;
  uint64_t nextLocation = 0, nextLength = 0;
  bool partitionSeen = false;
  bool lvdSeen = false;
  uint32_t visited = 0;

  for (uint32_t jump = 0; jump <= kMaxPointerJumps; ++jump) {
    const uint64_t sectors = (length + fs::kSector - 1) / fs::kSector;
    bool stop = false;
    for (uint64_t k = 0; k < sectors && !stop; ++k) {
      const uint64_t s = location + k;
      if (s > UINT32_MAX || ++visited > kMaxWalkSectors) return;
      if (read(static_cast<uint32_t>(s), sector) != SectorRead::kOk) return;
      if (!ValidTag(sector, static_cast<uint32_t>(s))) return;
      const uint16_t id = Le16(sector + udf::kTagIdentifier);
      const uint32_t sequence = Le32(sector + udf::kSequenceNumber);
      switch (id) {
        case udf::kPrimaryVolume:
        case udf::kImplementationUse:
        case udf::kUnallocatedSpace:
          keepHighest(id, sequence);
          break;
        case udf::kVolumePointer:
          if (keepHighest(id, sequence)) {
            pointerPending = true;
            nextLength = Le32(sector + udf::kPointerNextLength);
            nextLocation = Le32(sector + udf::kPointerNextLocation);
          }
          break;
        case udf::kPartition:
          if (!partitionSeen) {
            partitionSeen = true;
            r->udfPartitionStart = Le32(sector + udf::kPartitionStart);
            r->udfPartitionLength = Le32(sector + udf::kPartitionLength);
          }
          break;
        case udf::kLogicalVolume:
          if (keepHighest(id, sequence)) {
            lvdSeen = true;
            std::memcpy(lvd, sector, fs::kSector);
          }
          break;
        case udf::kTerminating:
          stop = true;
          break;
        default:
          break;
      }
    }
    if (!pointerPending) break;
    pointerPending = false;
    location = nextLocation;
    length = nextLength;
  }
  if (lvdSeen) RecordPartitionMaps(lvd, r);
}

void ProbeUdf(const SectorReader& read, ProbeResult* r, uint8_t* sector, uint8_t* scratch) {
  namespace udf = fs::udf;
  const int nsr = ScanRecognitionSequence(read, sector);
  if (nsr == 0) return;
  r->udfNsrVersion = nsr;
  if (read(udf::kAnchorSector, sector) != SectorRead::kOk) return;
  if (Le16(sector + udf::kTagIdentifier) != udf::kAnchorPointer || !ValidTag(sector, udf::kAnchorSector)) return;
  r->udf = true;
  uint8_t anchor[udf::kTagSize + 8];
  std::memcpy(anchor, sector, sizeof anchor);
  WalkVolumeDescriptors(read, anchor, r, sector, scratch);
}

bool IsXbox(const SectorReader& read, uint8_t* sector) {
  namespace xbox = fs::xbox;
  if (read(xbox::kSector, sector) != SectorRead::kOk) return false;
  return std::memcmp(sector, xbox::kMagic, xbox::kMagicLength) == 0 && Le32(sector + xbox::kRootLocation) != 0 &&
         Le32(sector + xbox::kRootSize) != 0 &&
         std::memcmp(sector + xbox::kTrailerMagic, xbox::kMagic, xbox::kMagicLength) == 0;
}

}  // namespace

bool ProbeFileSystem(const SectorReader& read, ProbeResult* result) {
  *result = ProbeResult{};
  uint8_t sector[fs::kSector];
  uint8_t scratch[fs::kSector];
  ScanIsoDescriptors(read, result, sector, scratch);
  ProbeUdf(read, result, sector, scratch);
  if (!result->udf) result->xbox = IsXbox(read, sector);
  result->accepted = result->udf || result->xbox || (result->iso && result->logicalBlockSize == 2048);
  return result->accepted;
}

}  // namespace kv
