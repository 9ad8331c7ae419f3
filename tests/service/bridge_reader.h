// A small reader of bridge images for tests, written from ISO 9660 and ECMA-167 directly (not from
// the builder's code), so that it judges what the builder emitted.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kv::test::bridge {

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) {
  return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}
inline uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Bit by bit, so that it shares nothing with the table-driven CRC of the product.
inline uint16_t Crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// Empty when the tag at `d` is sound for identifier `id` at `location`; else what is wrong.
inline std::string CheckTag(const uint8_t* d, uint16_t id, uint32_t location) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  if (Le16(d) != id) return "identifier " + std::to_string(Le16(d));
  if (Le16(d + 2) != 2) return "version";
  if (d[4] != sum) return "checksum";
  if (Le32(d + 12) != location) return "location " + std::to_string(Le32(d + 12));
  if (Crc16(d + 16, Le16(d + 10)) != Le16(d + 8)) return "crc";
  return "";
}

using SectorReader = std::function<std::vector<uint8_t>(uint32_t sector, uint32_t count)>;

struct IsoRecord {
  std::string name;  // raw name bytes
  uint32_t extent = 0;
  uint32_t length = 0;
  uint8_t flags = 0;
  uint8_t date[7] = {};
  uint32_t offset = 0;  // within the directory
  uint8_t recordLength = 0;
};

// Records of the directory at `extent` of `size` bytes; checks both-endian fields as it goes.
inline std::vector<IsoRecord> ReadIsoDirectory(const SectorReader& read, uint32_t extent, uint32_t size,
                                               std::string* problem) {
  std::vector<IsoRecord> out;
  const std::vector<uint8_t> d = read(extent, (size + 2047) / 2048);
  uint32_t at = 0;
  while (at < size) {
    const uint8_t len = d[at];
    if (len == 0) {
      at = (at / 2048 + 1) * 2048;
      continue;
    }
    if (len < 34 || at % 2048 + len > 2048) {
      *problem = "bad record length at " + std::to_string(at);
      return out;
    }
    const uint8_t* r = d.data() + at;
    IsoRecord rec;
    rec.extent = Le32(r + 2);
    rec.length = Le32(r + 10);
    if (Be32(r + 6) != rec.extent || Be32(r + 14) != rec.length || Be16(r + 30) != Le16(r + 28))
      *problem = "both-endian mismatch at " + std::to_string(at);
    std::memcpy(rec.date, r + 18, 7);
    rec.flags = r[25];
    rec.name.assign(reinterpret_cast<const char*>(r + 33), r[32]);
    rec.offset = at;
    rec.recordLength = len;
    out.push_back(rec);
    at += len;
  }
  return out;
}

struct Fid {
  std::u16string name;
  uint8_t characteristics = 0;
  uint32_t block = 0;
  uint32_t uniqueId = 0;
};

struct FileEntry {
  uint8_t fileType = 0;
  uint16_t links = 0;
  uint64_t length = 0;
  uint64_t blocks = 0;
  uint64_t uniqueId = 0;
  uint32_t permissions = 0;
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // (bytes, logical block)
  uint8_t modification[12] = {};
};

inline FileEntry ParseFileEntry(const uint8_t* s) {
  FileEntry e;
  e.fileType = s[27];
  e.permissions = Le32(s + 44);
  e.links = Le16(s + 48);
  e.length = Le64(s + 56);
  e.blocks = Le64(s + 64);
  std::memcpy(e.modification, s + 84, 12);
  e.uniqueId = Le64(s + 160);
  const uint32_t lea = Le32(s + 168), lad = Le32(s + 172);
  for (uint32_t i = 0; i + 8 <= lad && 176 + lea + i + 8 <= 2048; i += 8)
    e.extents.push_back({Le32(s + 176 + lea + i), Le32(s + 176 + lea + i + 4)});
  return e;
}

// FIDs of the directory whose File Entry is at logical block `feBlock`.
inline std::vector<Fid> ReadFids(const SectorReader& read, uint32_t partition, uint32_t feBlock, std::string* problem) {
  const FileEntry fe = ParseFileEntry(read(partition + feBlock, 1).data());
  std::vector<Fid> out;
  if (fe.extents.empty()) return out;
  const uint32_t first = fe.extents[0].second;
  const std::vector<uint8_t> d = read(partition + first, static_cast<uint32_t>((fe.length + 2047) / 2048));
  size_t at = 0;
  while (at + 38 <= fe.length) {
    const uint8_t* f = d.data() + at;
    const std::string tag = CheckTag(f, 257, first + static_cast<uint32_t>(at / 2048));
    if (!tag.empty()) *problem = "FID tag " + tag;
    Fid fid;
    fid.characteristics = f[18];
    const uint8_t l = f[19];
    fid.block = Le32(f + 24);
    fid.uniqueId = Le32(f + 32);
    const uint16_t liu = Le16(f + 36);
    const uint8_t* id = f + 38 + liu;
    if (l > 0) {
      if (id[0] == 8) {
        for (int i = 1; i < l; ++i) fid.name.push_back(id[i]);
      } else {
        for (int i = 1; i + 1 < l; i += 2) fid.name.push_back(static_cast<char16_t>(Be16(id + i)));
      }
    }
    out.push_back(fid);
    at += (38 + liu + l + 3) & ~size_t{3};
  }
  return out;
}

}  // namespace kv::test::bridge
