// Arbitrary bytes as a list of items for the bridge image builder, then reads of sectors.
// Each item: flags byte (bit 0 directory, bit 1 with a date), size byte (scaled, bounded), path
// length byte, path bytes (each byte picks a character, separators and awkward ones included).
#include <cstdint>
#include <cstring>
#include <vector>

#include "service/image_builder.h"

namespace {

class Source : public kv::service::ItemDataSource {
 public:
  bool ReadItem(uint32_t item, uint64_t offset, void* dst, size_t length) override {
    std::memset(dst, static_cast<int>((item + offset) & 0xFF), length);
    return true;
  }
};

char16_t Character(uint8_t b) {
  static const char16_t kSpecial[] = {u'/',      u'.', u';', u'\\', 0,    0xD800, 0xDC00, u'\u00e9',
                                      u'\u4e00', u'~', u'A', u'a',  u' ', 0x01,   0xFFFF, u'0'};
  return b < 16 ? kSpecial[b] : static_cast<char16_t>(u'a' + b % 26);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Source source;
  kv::service::ImageBuilder builder(&source, [] { return kv::service::BuildClock{1700000000, 1}; });
  builder.SetVolumeIdentifier(u"FUZZ");
  size_t at = 0;
  uint32_t index = 0;
  while (at + 3 <= size && index < 120) {
    const uint8_t flags = data[at], sizeByte = data[at + 1], length = data[at + 2];
    at += 3;
    std::u16string path;
    for (size_t i = 0; i < length && at < size; ++i) path.push_back(Character(data[at++]));
    // Sizes up to a few hundred KiB keep the map small; some cross the 32 KiB chunk size.
    const uint64_t itemSize = uint64_t{sizeByte} * 1531;
    const std::optional<uint64_t> date = (flags & 2) ? std::optional<uint64_t>(uint64_t{flags} << 52) : std::nullopt;
    builder.AddItem(path, (flags & 1) != 0, itemSize, date, index++);
  }
  if (builder.Build() != kv::service::BuildError::kNone) return 0;
  const uint32_t count = builder.SectorCount();
  if (count == 0 || builder.Map().size() != count) __builtin_trap();
  std::vector<uint8_t> buffer(20 * 2048);
  // Every sector made when read (directories, FIDs, File Entries), each alone.
  namespace sk = kv::service::sector_kind;
  for (uint32_t s = 0; s < count; ++s) {
    const uint32_t kind = builder.Map()[s].word & sk::kMask;
    if (kind != sk::kMetadata && kind != sk::kItemFirst && kind != sk::kItemNext &&
        builder.ReadSectors(s, 1, buffer.data()) != 1)
      __builtin_trap();
  }
  for (int i = 0; i < 8; ++i) {
    const uint32_t first = static_cast<uint32_t>((i * 2654435761u + size) % (count + 20));
    const uint32_t n = 1 + static_cast<uint32_t>((first + i) % 20);
    if (builder.ReadSectors(first, n, buffer.data()) != n) __builtin_trap();
  }
  return 0;
}
