// CD-TEXT files: 18-byte packs with an inverted CRC-16, and their texts.
#include <cstring>

#include "common/crc.h"
#include "manager/inspect/disc_layout.h"

namespace kv::inspect {
namespace {

constexpr size_t kPackSize = 18;
constexpr size_t kMaxTextLength = 1023;

bool PackCrcGood(const uint8_t* pack) {
  const uint16_t crc = static_cast<uint16_t>(~Crc16Ccitt(pack, 16));
  return pack[16] == (crc >> 8) && pack[17] == (crc & 0xFF);
}

// One wrong bit is found by flipping each in turn until the CRC over the whole pack (with the
// CRC bytes un-inverted) comes out 0.
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

bool ValidateCdText(const std::vector<uint8_t>& file, std::vector<uint8_t>* packs, std::string* reason) {
  const size_t size = file.size();
  if (size < kPackSize || size > 65536) {
    if (reason) *reason = "size " + std::to_string(size) + " is not 18..65536 bytes";
    return false;
  }
  size_t header = 0;
  if (size % kPackSize == 4 && ((size_t{file[0]} << 8) | file[1]) == size - 2)
    header = 4;
  else if (size % kPackSize != 0) {
    if (reason) *reason = "not a whole number of 18-byte packs";
    return false;
  }
  packs->assign(file.begin() + static_cast<ptrdiff_t>(header), file.end());
  for (size_t at = 0; at + kPackSize <= packs->size(); at += kPackSize) {
    uint8_t* pack = packs->data() + at;
    if (!PackCrcGood(pack) && !RepairPack(pack)) {
      if (reason) *reason = "pack " + std::to_string(at / kPackSize) + " has a bad CRC";
      packs->clear();
      return false;
    }
    if (pack[0] < 0x80 || pack[0] > 0x8F) {
      if (reason) *reason = "pack " + std::to_string(at / kPackSize) + " has no text pack type";
      packs->clear();
      return false;
    }
  }
  return true;
}

bool DistributeCdText(const std::vector<uint8_t>& packs, DiscLayout* layout) {
  const size_t count = packs.size() / kPackSize;
  size_t i = 0;
  for (int k = 0; k <= 14; ++k) {
    while (i < count && packs[i * kPackSize] - 0x80 < k) ++i;
    if (i >= count || packs[i * kPackSize] - 0x80 != k) continue;
    int track = packs[i * kPackSize + 1];
    std::string current;
    bool ended = track > layout->trackCount;
    for (; i < count && packs[i * kPackSize] - 0x80 == k && !ended; ++i) {
      const uint8_t* text = packs.data() + i * kPackSize + 4;
      for (int b = 0; b < 12; ++b) {
        if (text[b] != 0) {
          if (current.size() < kMaxTextLength) current.push_back(static_cast<char>(text[b]));
          continue;
        }
        if (!current.empty()) {
          TrackInfo* info = layout->Info(track);
          if (!info) return false;
          info->text[k] = current;
          current.clear();
        }
        if (++track > layout->trackCount) {
          ended = true;
          break;
        }
      }
    }
  }
  return true;
}

}  // namespace kv::inspect
