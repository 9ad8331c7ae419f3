// Checksums shared by the formats and the bridge image.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv {

// CRC-32 with the zlib polynomial; `crc` chains calls (start with 0).
uint32_t Crc32(uint32_t crc, const void* data, size_t length);

// CRC-16/CCITT (polynomial 0x1021, initial value 0, no reflection), as UDF descriptor tags and
// CD-TEXT packs use it.
uint16_t Crc16Ccitt(const void* data, size_t length, uint16_t crc = 0);

}  // namespace kv
