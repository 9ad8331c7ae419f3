// Pieces of the chunked layout that DAA/GBI version 0x110 and MZP containers share: the bit-packed
// chunk table, the decoding of one chunk body (stored, deflate variant or LZMA), and ".partNN"
// volume names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::daa {

// Reads `count` (at most 64) bits at bit `position` of an LSB-first bit stream.
uint64_t ReadBits(const uint8_t* data, uint64_t position, uint32_t count);

// Length field width from the header's bit-width byte: its high 5 bits + 10, or when they are 0
// the number of bits of chunkSize - 1.
uint32_t ChunkLengthBits(uint8_t bitWidths, uint32_t chunkSize);

struct ChunkTableLayout {
  uint32_t count = 0;
  uint32_t lengthBits = 0;
  uint32_t methodBits = 0;
  uint32_t lengthBias = 5;  // stored length = field + bias
  uint64_t firstChunk = 0;  // position of chunk 0 in the concatenated data
  uint64_t dataEnd = 0;     // no chunk may reach past this position
  uint64_t maxLength = 0;   // largest stored length accepted
};

// Decodes a bit-packed table of `tableBytes` bytes into positions, stored lengths and methods.
// False with *reason set when a field is out of range or a chunk runs past the data. `table` must
// have 8 readable bytes past tableBytes.
bool ParseBitPackedTable(const uint8_t* table, size_t tableBytes, const ChunkTableLayout& layout,
                         std::vector<uint64_t>* positions, std::vector<uint32_t>* lengths,
                         std::vector<uint8_t>* methods, const char** reason);

// How one chunk body (its bytes without the trailing CRC) is decoded.
struct ChunkBody {
  uint8_t* front = nullptr;             // kLzmaHeaderSize free bytes, directly followed by the body
  uint32_t payload = 0;                 // body bytes
  uint8_t method = 0;                   // 0 LZMA, 1 deflate variant
  int variant = 0;                      // deflate variant
  const uint8_t* lzmaPrefix = nullptr;  // filter and property bytes when chunks carry no LZMA header
  uint32_t expected = 0;                // bytes the chunk decodes to
};

// Decodes a compressed chunk body into `out` (capacity bytes). True when it yields at least
// `expected` bytes.
bool DecodeChunkBody(const ChunkBody& body, uint8_t* out, size_t capacity);

// Name of volume `index` of `name` ("x.partNN.ext" for scheme 0, "x.partNNN.ext" for scheme 1),
// where ext is `dataExt` or "exe"; later volumes of an "exe" take `dataExt`. Empty when the name
// does not fit.
std::u16string PartVolumeName(const std::u16string& name, uint32_t scheme, uint32_t index, std::u16string_view dataExt);

}  // namespace kv::daa
