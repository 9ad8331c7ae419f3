// On-disk structures of NRG images: the footer and the chunk list at the end of the file.
// Every multi-byte value is big-endian.
#pragma once
#include <cstdint>

namespace kv::nrg {

inline constexpr uint32_t kFooterV1Size = 8;   // "NERO", u32 offset of the chunk list
inline constexpr uint32_t kFooterV2Size = 12;  // "NER5", u64 offset of the chunk list
inline constexpr uint32_t kMaxListSize = 4096;
inline constexpr uint32_t kChunkHeaderSize = 8;  // identifier, u32 payload size

// "CUEX" (LBA positions) and "CUES" (0, M, S, F positions) entries.
inline constexpr uint32_t kCueEntrySize = 8;
inline constexpr uint32_t kCueTrack = 1;     // BCD; 0xAA is the lead-out
inline constexpr uint32_t kCueIndex = 2;     // BCD
inline constexpr uint32_t kCuePosition = 4;  // i32, or 0, M, S, F

// "DAOI"/"DAOX" payload: 22-byte header, then one entry per track.
inline constexpr uint32_t kDaoTocType = 18;         // u16 (the high byte alone in older readers)
inline constexpr uint32_t kDaoFirstTrackMode = 36;  // mode byte of the first track entry
inline constexpr uint32_t kDaoMinimumSize = kDaoFirstTrackMode + 1;

// "ETNF" entries (20 bytes): u32 offset, u32 length, u32 mode, u32 LBA, 4 unused.
inline constexpr uint32_t kEtnfEntrySize = 20;
// "ETN2" entries (32 bytes): u64 offset, u64 length, u32 mode, u32 LBA, 8 unused.
inline constexpr uint32_t kEtn2EntrySize = 32;

// Mode values of DAO track entries and ETNF/ETN2 entries.
inline constexpr uint8_t kModeData2048 = 0;
inline constexpr uint8_t kModeMode2Form1 = 2;
inline constexpr uint8_t kModeMode2Form2 = 3;
inline constexpr uint8_t kModeMode2Raw = 6;
inline constexpr uint8_t kModeAudio = 7;
inline constexpr uint8_t kModeMode2Other = 32;

inline uint32_t Be16(const uint8_t* p) {
  return uint32_t{p[0]} << 8 | p[1];
}
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint64_t Be64(const uint8_t* p) {
  return uint64_t{Be32(p)} << 32 | Be32(p + 4);
}

}  // namespace kv::nrg
