// LZMA chunks of DAA, GBI and MZP images: a 14-byte header (filter byte, 5 LZMA property bytes,
// u64 uncompressed size) in front of a raw LZMA1 stream, optionally followed by the x86 branch
// converter (started at position 0 for every chunk).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::daa {

// Decodes `length` bytes (header included) into `output`. False when the header is unusable,
// the uncompressed size exceeds `capacity`, or the stream is damaged or short. The dictionary is
// limited to the uncompressed size, so an absurd dictionary in the header costs no memory.
bool DecodeLzmaChunk(const uint8_t* chunk, size_t length, uint8_t* output, size_t capacity, size_t* written);

}  // namespace kv::daa
