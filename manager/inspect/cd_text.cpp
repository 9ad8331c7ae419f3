// CD-TEXT files: 18-byte packs with an inverted CRC-16, optionally after a 4-byte header.
#include <cstring>

#include "common/crc.h"
#include "manager/inspect/disc_layout.h"

namespace kv {
namespace {

constexpr size_t kPackSize = 18;
constexpr size_t kHeaderSize = 4;
constexpr size_t kLongestText = 1023;

size_t FirstPack(const std::vector<uint8_t>& bytes) {
  return bytes.size() % kPackSize == kHeaderSize ? kHeaderSize : 0;
}

bool PackCrcHolds(const uint8_t* pack) {
  const uint16_t stored = static_cast<uint16_t>(~(pack[16] << 8 | pack[17]));
  return Crc16Ccitt(pack, 16) == stored;
}

// One wrong bit is found by flipping each bit of the pack (CRC bytes un-inverted) until the
// CRC over all 18 bytes is 0.
bool RepairPack(uint8_t* pack) {
  uint8_t work[kPackSize];
  std::memcpy(work, pack, kPackSize);
  work[16] = static_cast<uint8_t>(~work[16]);
  work[17] = static_cast<uint8_t>(~work[17]);
  for (size_t byte = 0; byte < kPackSize; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      work[byte] ^= static_cast<uint8_t>(1u << bit);
      if (Crc16Ccitt(work, kPackSize) == 0) {
        work[16] = static_cast<uint8_t>(~work[16]);
        work[17] = static_cast<uint8_t>(~work[17]);
        std::memcpy(pack, work, kPackSize);
        return true;
      }
      work[byte] ^= static_cast<uint8_t>(1u << bit);
    }
  }
  return false;
}

}  // namespace

bool ValidateCdText(std::vector<uint8_t>& bytes) {
  if (bytes.size() < kPackSize || bytes.size() > 65536) return false;
  const size_t first = FirstPack(bytes);
  if (first == kHeaderSize && static_cast<size_t>(bytes[0] << 8 | bytes[1]) != bytes.size() - 2) return false;
  if (first == 0 && bytes.size() % kPackSize != 0) return false;
  for (size_t at = first; at + kPackSize <= bytes.size(); at += kPackSize) {
    uint8_t* pack = bytes.data() + at;
    if (!PackCrcHolds(pack) && !RepairPack(pack)) return false;
    if (pack[0] < 0x80 || pack[0] > 0x8F) return false;
  }
  return true;
}

bool DistributeCdText(DiscLayout& layout) {
  const std::vector<uint8_t>& bytes = layout.cdText;
  const size_t first = FirstPack(bytes);
  const size_t packs = (bytes.size() - first) / kPackSize;
  size_t p = 0;
  for (int k = 0; k <= 14; ++k) {
    while (p < packs && bytes[first + p * kPackSize] < 0x80 + k) ++p;  // types already passed
    if (p >= packs || bytes[first + p * kPackSize] != 0x80 + k) continue;
    int track = bytes[first + p * kPackSize + 1];
    std::string text;
    bool done = false;
    for (; p < packs && bytes[first + p * kPackSize] == 0x80 + k; ++p) {
      if (done) continue;  // the rest of the run belongs to tracks that do not exist
      const uint8_t* chars = bytes.data() + first + p * kPackSize + 4;
      for (int c = 0; c < 12; ++c) {
        if (chars[c] != 0) {
          if (text.size() < kLongestText) text += static_cast<char>(chars[c]);
          continue;
        }
        if (track > layout.trackCount) {
          done = true;
          break;
        }
        if (!text.empty()) {
          TrackInfo* info = InfoFor(layout, track);
          if (!info) return false;
          info->text[k] = text;
        }
        text.clear();
        if (++track > layout.trackCount) {
          done = true;
          break;
        }
      }
    }
  }
  return true;
}

}  // namespace kv
