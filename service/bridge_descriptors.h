// Bytes of the bridge image's descriptors: ECMA-167/UDF 1.02 descriptor tags, strings, dates,
// volume descriptors, File Entries and File Identifier Descriptors; ISO 9660 records and dates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::service::bridge {

inline constexpr uint32_t kPartitionStart = 257;
inline constexpr uint32_t kMainSequence = 32;
inline constexpr uint32_t kReserveSequence = 48;
inline constexpr uint32_t kIntegritySequence = 64;
inline constexpr uint32_t kFirstAnchor = 256;
inline constexpr uint32_t kMaxShortAdBytes = 0x3FFFF800;
inline constexpr uint32_t kMaxIsoExtentBytes = 0xFFFFF800;
inline constexpr size_t kFileEntryFixed = 176;
inline constexpr size_t kMaxShortAds = (2048 - kFileEntryFixed) / 8;

using Date7 = uint8_t[7];

// Little-, big- and both-endian fields.
void Put16(uint8_t* p, uint16_t v);
void Put32(uint8_t* p, uint32_t v);
void Put64(uint8_t* p, uint64_t v);
void Put16Be(uint8_t* p, uint16_t v);
void Put32Be(uint8_t* p, uint32_t v);
void PutBoth16(uint8_t* p, uint16_t v);
void PutBoth32(uint8_t* p, uint32_t v);

// The 7-byte recording date of a time in seconds, through the process's local time; zeros when
// the time cannot be converted. Years outside 1900..2155 are clamped.
void MakeDate7(int64_t unixSeconds, uint8_t out[7]);

// Fills the tag of the descriptor at `d` whose total length is `length`.
void FinishTag(uint8_t* d, uint16_t identifier, uint32_t location, size_t length);

// OSTA compressed unicode of `text` into at most `maxBytes` bytes; returns the bytes used
// (compression ID included; 0 for empty text).
size_t EncodeOsta(std::u16string_view text, uint8_t* out, size_t maxBytes);
// Bytes EncodeOsta uses for the whole text.
size_t OstaLength(std::u16string_view text);
void PutDstring(uint8_t* field, size_t size, std::u16string_view text);

// Everything the fixed descriptors need to know about the image.
struct VolumeFacts {
  std::string isoVolumeId;      // ANSI, already cut to 32 bytes
  std::u16string wideVolumeId;  // volume string 0
  std::u16string udfVolumeId;   // ISO identifier without trailing spaces, back to wide
  std::string volumeSetId;      // "%08X%08X"
  uint8_t buildDate[7] = {};
  uint8_t epochDate[7] = {};
  uint32_t sectorCount = 0;
  uint32_t partitionLength = 0;
  uint64_t nextUniqueId = 0;
  uint32_t fileCount = 0;
  uint32_t directoryCount = 0;
  uint32_t rootFileEntryBlock = 0;
  struct PathTables {
    uint32_t bytes = 0;
    uint32_t lSector = 0;
    uint32_t mSector = 0;
    uint32_t rootExtent = 0;
    uint32_t rootSize = 0;  // rounded up to 2048
  } iso, joliet;
};

void WritePrimaryVolumeDescriptor(uint8_t* s, const VolumeFacts& f);
void WriteJolietVolumeDescriptor(uint8_t* s, const VolumeFacts& f);
void WriteTerminator(uint8_t* s);
void WriteRecognition(uint8_t* s, const char* id);
// The six descriptors of a volume descriptor sequence starting at sector `first`, one per sector.
void WriteVolumeSequence(uint8_t* sectors[6], uint32_t first, const VolumeFacts& f);
void WriteIntegrityDescriptor(uint8_t* s, const VolumeFacts& f);
void WriteTerminatingDescriptor(uint8_t* s, uint32_t location);
void WriteAnchor(uint8_t* s, uint32_t location);
void WriteFileSetDescriptor(uint8_t* s, const VolumeFacts& f);

struct FileEntryFacts {
  uint32_t block = 0;  // logical block of the entry
  bool directory = false;
  uint16_t linkCount = 1;
  uint64_t length = 0;
  uint32_t firstDataBlock = 0;
  const uint8_t* date = nullptr;  // 7 bytes
  uint64_t uniqueId = 0;
};
// False when the data needs more short_ads than one sector holds.
bool WriteFileEntry(uint8_t* s, const FileEntryFacts& e);

// One FID at `p` (its full padded length is returned). `identifier` empty for the parent entry.
size_t FidLength(std::u16string_view identifier, bool parent);
size_t WriteFid(uint8_t* p, uint32_t tagBlock, uint8_t characteristics, std::u16string_view identifier,
                uint32_t targetBlock, uint32_t targetUniqueId);

// An ISO 9660 directory record; returns its length.
size_t WriteDirectoryRecord(uint8_t* p, uint32_t extent, uint32_t dataLength, const uint8_t* date, uint8_t flags,
                            const uint8_t* name, size_t nameLength);
inline size_t DirectoryRecordLength(size_t nameLength) {
  return 33 + nameLength + (nameLength % 2 == 0 ? 1 : 0);
}

}  // namespace kv::service::bridge
