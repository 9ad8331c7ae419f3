#include "common/crc.h"

#include <zlib.h>

#include <array>

namespace kv {

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
  const auto* p = static_cast<const Bytef*>(data);
  while (length > 0) {
    const uInt n = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
    crc = static_cast<uint32_t>(crc32(crc, p, n));
    p += n;
    length -= n;
  }
  return crc;
}

namespace {
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kCrc16Table = MakeCrc16Table();
}  // namespace

uint16_t Crc16Ccitt(const void* data, size_t length, uint16_t crc) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

}  // namespace kv
