#include "service/bridge_descriptors.h"

#include <algorithm>
#include <cstring>

#include "common/crc.h"
#include "platform/localtime.h"

namespace kv::service::bridge {
namespace {

constexpr char kImplementation[] = "*korvendrake";
constexpr char kOstaCharset[] = "OSTA Compressed Unicode";
constexpr uint16_t kUdfRevision = 0x0102;

void PutCharspec(uint8_t* p) {
  p[0] = 0;
  std::memcpy(p + 1, kOstaCharset, sizeof(kOstaCharset) - 1);
}

void PutRegid(uint8_t* p, uint8_t flags, const char* identifier) {
  p[0] = flags;
  std::memcpy(p + 1, identifier, std::min<size_t>(std::strlen(identifier), 23));
}

void PutTimestamp(uint8_t* p, const uint8_t* date) {
  const int offsetMinutes = static_cast<int8_t>(date[6]) * 15;
  Put16(p, static_cast<uint16_t>(0x1000 | (offsetMinutes & 0x0FFF)));
  Put16(p + 2, static_cast<uint16_t>(date[0] + 1900));
  p[4] = date[1];
  p[5] = date[2];
  p[6] = date[3];
  p[7] = date[4];
  p[8] = date[5];
}

void PutDomainId(uint8_t* p) {
  PutRegid(p, 0, "*OSTA UDF Compliant");
  Put16(p + 24, kUdfRevision);
  p[26] = 3;
}

void PutSpaces(uint8_t* p, size_t n) {
  std::memset(p, ' ', n);
}

// Big-endian UCS-2 text of `chars` characters, padded with spaces.
void PutWideField(uint8_t* p, size_t chars, std::u16string_view text) {
  for (size_t i = 0; i < chars; ++i) Put16Be(p + 2 * i, i < text.size() ? text[i] : u' ');
}

void WriteIsoDescriptorBody(uint8_t* s, const VolumeFacts& f, const VolumeFacts::PathTables& t) {
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
  PutBoth32(s + 80, f.sectorCount);
  PutBoth16(s + 120, 1);
  PutBoth16(s + 124, 1);
  PutBoth16(s + 128, 2048);
  PutBoth32(s + 132, t.bytes);
  Put32(s + 140, t.lSector);
  Put32Be(s + 148, t.mSector);
  const uint8_t rootName = 0;
  WriteDirectoryRecord(s + 156, t.rootExtent, t.rootSize, f.epochDate, 2, &rootName, 1);
  for (size_t at : {813u, 830u, 847u, 864u}) std::memset(s + at, '0', 16);
  s[881] = 1;
}

}  // namespace

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16Be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put32Be(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutBoth16(uint8_t* p, uint16_t v) {
  Put16(p, v);
  Put16Be(p + 2, v);
}
void PutBoth32(uint8_t* p, uint32_t v) {
  Put32(p, v);
  Put32Be(p + 4, v);
}

void MakeDate7(int64_t unixSeconds, uint8_t out[7]) {
  std::memset(out, 0, 7);
  platform::LocalTime t;
  if (!platform::ToLocalTime(unixSeconds, &t)) return;
  out[0] = static_cast<uint8_t>(std::clamp(t.year - 1900, 0, 255));
  out[1] = static_cast<uint8_t>(t.month);
  out[2] = static_cast<uint8_t>(t.day);
  out[3] = static_cast<uint8_t>(t.hour);
  out[4] = static_cast<uint8_t>(t.minute);
  out[5] = static_cast<uint8_t>(t.second);
  out[6] = static_cast<uint8_t>(static_cast<int8_t>(std::clamp(t.offsetSeconds / 900, -48, 52)));
}

void FinishTag(uint8_t* d, uint16_t identifier, uint32_t location, size_t length) {
  Put16(d, identifier);
  Put16(d + 2, 2);
  d[5] = 0;
  Put16(d + 6, 0);
  Put16(d + 8, Crc16Ccitt(d + 16, length - 16));
  Put16(d + 10, static_cast<uint16_t>(length - 16));
  Put32(d + 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  d[4] = sum;
}

size_t OstaLength(std::u16string_view text) {
  if (text.empty()) return 0;
  const bool narrow = std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
  return 1 + text.size() * (narrow ? 1 : 2);
}

size_t EncodeOsta(std::u16string_view text, uint8_t* out, size_t maxBytes) {
  if (text.empty() || maxBytes < 2) return 0;
  const bool narrow = std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
  out[0] = narrow ? 8 : 16;
  size_t n = 1;
  for (char16_t c : text) {
    if (narrow) {
      if (n + 1 > maxBytes) break;
      out[n++] = static_cast<uint8_t>(c);
    } else {
      if (n + 2 > maxBytes) break;
      Put16Be(out + n, c);
      n += 2;
    }
  }
  return n;
}

void PutDstring(uint8_t* field, size_t size, std::u16string_view text) {
  std::memset(field, 0, size);
  const size_t used = EncodeOsta(text, field, size - 1);
  field[size - 1] = static_cast<uint8_t>(used);
}

void WritePrimaryVolumeDescriptor(uint8_t* s, const VolumeFacts& f) {
  std::memset(s, 0, 2048);
  s[0] = 1;
  WriteIsoDescriptorBody(s, f, f.iso);
  PutSpaces(s + 8, 32);
  PutSpaces(s + 40, 32);
  std::memcpy(s + 40, f.isoVolumeId.data(), std::min<size_t>(f.isoVolumeId.size(), 32));
  PutSpaces(s + 190, 4 * 128);
  PutSpaces(s + 702, 3 * 37);
}

void WriteJolietVolumeDescriptor(uint8_t* s, const VolumeFacts& f) {
  std::memset(s, 0, 2048);
  s[0] = 2;
  WriteIsoDescriptorBody(s, f, f.joliet);
  s[88] = 0x25;
  s[89] = 0x2F;
  s[90] = 0x45;
  PutWideField(s + 8, 16, u"");
  PutWideField(s + 40, 16, std::u16string_view(f.wideVolumeId).substr(0, 16));
  for (int i = 0; i < 4; ++i) PutWideField(s + 190 + 128 * i, 64, u"");
  for (int i = 0; i < 3; ++i) {
    PutWideField(s + 702 + 37 * i, 18, u"");
    s[702 + 37 * i + 36] = 0;
  }
}

void WriteTerminator(uint8_t* s) {
  std::memset(s, 0, 2048);
  s[0] = 255;
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
}

void WriteRecognition(uint8_t* s, const char* id) {
  std::memset(s, 0, 2048);
  std::memcpy(s + 1, id, 5);
  s[6] = 1;
}

void WriteVolumeSequence(uint8_t* sectors[6], uint32_t first, const VolumeFacts& f) {
  for (int i = 0; i < 6; ++i) std::memset(sectors[i], 0, 2048);
  // Primary Volume Descriptor
  uint8_t* d = sectors[0];
  Put32(d + 16, 0);
  PutDstring(d + 24, 32, f.udfVolumeId);
  Put16(d + 56, 1);
  Put16(d + 58, 1);
  Put16(d + 60, 2);
  Put16(d + 62, 2);
  Put32(d + 64, 1);
  Put32(d + 68, 1);
  PutDstring(d + 72, 128, std::u16string(f.volumeSetId.begin(), f.volumeSetId.end()));
  PutCharspec(d + 200);
  PutCharspec(d + 264);
  PutTimestamp(d + 376, f.buildDate);
  PutRegid(d + 388, 0, kImplementation);
  FinishTag(d, 1, first, 512);
  // Implementation Use Volume Descriptor
  d = sectors[1];
  Put32(d + 16, 1);
  PutRegid(d + 20, 0, "*UDF LV Info");
  Put16(d + 20 + 24, kUdfRevision);
  PutCharspec(d + 52);
  PutDstring(d + 116, 128, f.udfVolumeId);
  PutRegid(d + 352, 0, kImplementation);
  FinishTag(d, 4, first + 1, 512);
  // Partition Descriptor
  d = sectors[2];
  Put32(d + 16, 2);
  Put16(d + 20, 1);
  Put16(d + 22, 0);
  PutRegid(d + 24, 2, "+NSR02");
  Put32(d + 184, 1);
  Put32(d + 188, kPartitionStart);
  Put32(d + 192, f.partitionLength);
  PutRegid(d + 196, 0, kImplementation);
  FinishTag(d, 5, first + 2, 512);
  // Logical Volume Descriptor
  d = sectors[3];
  Put32(d + 16, 3);
  PutCharspec(d + 20);
  PutDstring(d + 84, 128, f.udfVolumeId);
  Put32(d + 212, 2048);
  PutDomainId(d + 216);
  Put32(d + 248, 4096);
  Put32(d + 252, 0);
  Put16(d + 256, 0);
  Put32(d + 264, 6);
  Put32(d + 268, 1);
  PutRegid(d + 272, 0, kImplementation);
  Put32(d + 432, 4096);
  Put32(d + 436, kIntegritySequence);
  d[440] = 1;
  d[441] = 6;
  Put16(d + 442, 1);
  Put16(d + 444, 0);
  FinishTag(d, 6, first + 3, 446);
  // Unallocated Space Descriptor
  d = sectors[4];
  Put32(d + 16, 4);
  FinishTag(d, 7, first + 4, 24);
  WriteTerminatingDescriptor(sectors[5], first + 5);
}

void WriteIntegrityDescriptor(uint8_t* s, const VolumeFacts& f) {
  std::memset(s, 0, 2048);
  PutTimestamp(s + 16, f.buildDate);
  Put32(s + 28, 1);
  Put64(s + 40, f.nextUniqueId);
  Put32(s + 72, 1);
  Put32(s + 76, 46);
  Put32(s + 80, 0);
  Put32(s + 84, f.partitionLength);
  PutRegid(s + 88, 0, kImplementation);
  Put32(s + 120, f.fileCount);
  Put32(s + 124, f.directoryCount);
  Put16(s + 128, kUdfRevision);
  Put16(s + 130, kUdfRevision);
  Put16(s + 132, kUdfRevision);
  FinishTag(s, 9, kIntegritySequence, 134);
}

void WriteTerminatingDescriptor(uint8_t* s, uint32_t location) {
  std::memset(s, 0, 2048);
  FinishTag(s, 8, location, 512);
}

void WriteAnchor(uint8_t* s, uint32_t location) {
  std::memset(s, 0, 2048);
  Put32(s + 16, 32768);
  Put32(s + 20, kMainSequence);
  Put32(s + 24, 32768);
  Put32(s + 28, kReserveSequence);
  FinishTag(s, 2, location, 512);
}

void WriteFileSetDescriptor(uint8_t* s, const VolumeFacts& f) {
  std::memset(s, 0, 2048);
  PutTimestamp(s + 16, f.buildDate);
  Put16(s + 28, 3);
  Put16(s + 30, 3);
  Put32(s + 32, 1);
  Put32(s + 36, 1);
  PutCharspec(s + 48);
  PutDstring(s + 112, 128, f.udfVolumeId);
  PutCharspec(s + 240);
  PutDstring(s + 304, 32, f.udfVolumeId);
  Put32(s + 400, 2048);
  Put32(s + 404, f.rootFileEntryBlock);
  PutDomainId(s + 416);
  FinishTag(s, 256, 0, 512);
}

bool WriteFileEntry(uint8_t* s, const FileEntryFacts& e) {
  const uint64_t count = (e.length + kMaxShortAdBytes - 1) / kMaxShortAdBytes;
  if (count > kMaxShortAds) return false;
  std::memset(s, 0, 2048);
  Put32(s + 16, 0);
  Put16(s + 20, 4);
  Put16(s + 24, 1);
  s[27] = e.directory ? 4 : 5;
  Put16(s + 34, 0x0230);
  Put32(s + 36, 0xFFFFFFFF);
  Put32(s + 40, 0xFFFFFFFF);
  Put32(s + 44, e.directory ? 0x14A5 : 0x1084);
  Put16(s + 48, e.linkCount);
  Put64(s + 56, e.length);
  Put64(s + 64, (e.length + 2047) / 2048);
  PutTimestamp(s + 72, e.date);
  PutTimestamp(s + 84, e.date);
  PutTimestamp(s + 96, e.date);
  Put32(s + 108, 1);
  PutRegid(s + 128, 0, kImplementation);
  Put64(s + 160, e.uniqueId);
  Put32(s + 172, static_cast<uint32_t>(8 * count));
  uint64_t left = e.length;
  uint32_t block = e.firstDataBlock;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(left, kMaxShortAdBytes));
    Put32(s + kFileEntryFixed + 8 * i, piece);
    Put32(s + kFileEntryFixed + 8 * i + 4, block);
    left -= piece;
    block += kMaxShortAdBytes / 2048;
  }
  FinishTag(s, 261, e.block, kFileEntryFixed + 8 * count);
  return true;
}

size_t FidLength(std::u16string_view identifier, bool parent) {
  const size_t l = parent ? 0 : OstaLength(identifier);
  return (38 + l + 3) & ~size_t{3};
}

size_t WriteFid(uint8_t* p, uint32_t tagBlock, uint8_t characteristics, std::u16string_view identifier,
                uint32_t targetBlock, uint32_t targetUniqueId) {
  const size_t length = FidLength(identifier, identifier.empty());
  std::memset(p, 0, length);
  Put16(p + 16, 1);
  p[18] = characteristics;
  const size_t l = EncodeOsta(identifier, p + 38, 255);
  p[19] = static_cast<uint8_t>(l);
  Put32(p + 20, 2048);
  Put32(p + 24, targetBlock);
  Put16(p + 28, 0);
  Put32(p + 32, targetUniqueId);
  Put16(p + 36, 0);
  FinishTag(p, 257, tagBlock, length);
  return length;
}

size_t WriteDirectoryRecord(uint8_t* p, uint32_t extent, uint32_t dataLength, const uint8_t* date, uint8_t flags,
                            const uint8_t* name, size_t nameLength) {
  const size_t length = DirectoryRecordLength(nameLength);
  std::memset(p, 0, length);
  p[0] = static_cast<uint8_t>(length);
  PutBoth32(p + 2, extent);
  PutBoth32(p + 10, dataLength);
  std::memcpy(p + 18, date, 7);
  p[25] = flags;
  PutBoth16(p + 28, 1);
  p[32] = static_cast<uint8_t>(nameLength);
  std::memcpy(p + 33, name, nameLength);
  return length;
}

}  // namespace kv::service::bridge
