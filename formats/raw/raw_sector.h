// 2352-byte CD sectors built from user data (ECMA-130): sync, BCD address header, sub-header,
// EDC and the P/Q Reed-Solomon product code.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv {

inline constexpr uint32_t kMode2FormlessSize = 2336;
inline constexpr uint32_t kMode2Form2DataSize = 2324;

// The CD-ROM EDC: CRC-32 with polynomial 0x8001801B, reflected, initial value 0, no final XOR.
uint32_t ComputeEdc(const uint8_t* data, size_t length, uint32_t crc = 0);

// Sync pattern and the header of sector `address`: BCD minute, second, frame of address + 150
// (address + 450150 below -150), then `mode`.
void WriteSyncAndHeader(int64_t address, uint8_t mode, uint8_t* sector);

// Each builder fills all 2352 bytes of `sector`. A null `user` means zero user data; `user` may
// point into `sector` itself.
void BuildMode1Sector(int64_t address, const uint8_t* user2048, uint8_t* sector);
void BuildMode2Form1Sector(int64_t address, const uint8_t* user2048, uint8_t* sector);
void BuildMode2Form2Sector(int64_t address, const uint8_t* user2324, uint8_t* sector);
void BuildMode2FormlessSector(int64_t address, const uint8_t* data2336, uint8_t* sector);

}  // namespace kv
