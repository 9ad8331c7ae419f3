// Pieces of the chunked layout that DAA/GBI version 0x110 and MZP containers share: the bit-packed
// chunk table, the decoding of one chunk body (stored, deflate variant or LZMA), and ".partNN"
// volume names.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv::daa {

inline uint32_t Le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// True when the 16-byte signature field at `p` holds `text` padded with zeros.
inline bool SignatureIs(const uint8_t* p, const char* text) {
  uint8_t padded[16] = {};
  std::memcpy(padded, text, std::strlen(text));
  return std::memcmp(p, padded, 16) == 0;
}

// A few decoded chunks; the least recently used slot is decoded over on a miss.
class ChunkCache {
 public:
  // `slots` buffers of `bytes` each, allocated on first use; forgets every chunk.
  void Reset(size_t slots, size_t bytes);
  // Forgets which chunks the slots hold (a new key makes them stale); keeps the buffers.
  void Forget();
  // The decoded bytes of chunk `index`; on a miss `decode(buffer)` fills a slot. Null when the
  // decode fails or no buffer can be allocated.
  template <class Decode>
  const uint8_t* Get(uint32_t index, Decode&& decode) {
    if (const uint8_t* hit = Find(index)) return hit;
    Slot* slot = Claim();
    if (!slot) return nullptr;
    ++decodes_;
    if (!decode(slot->data.get())) return nullptr;
    slot->chunk = index;
    return slot->data.get();
  }
  uint64_t decodes() const { return decodes_; }

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> data;
    uint32_t chunk = UINT32_MAX;
    uint64_t lastUse = 0;
  };
  const uint8_t* Find(uint32_t index);
  Slot* Claim();

  std::vector<Slot> slots_;
  size_t bytes_ = 0;
  uint64_t useCounter_ = 0;
  uint64_t decodes_ = 0;
};

// Copies `count` 2048-byte sectors from `first` out of chunks of `chunkSize` bytes that
// `chunk(index)` yields (null on failure). Returns the sectors copied.
template <class GetChunk>
uint32_t CopySectorsFromChunks(uint64_t first, uint32_t count, uint8_t* destination, uint64_t sectorCount,
                               uint32_t chunkSize, GetChunk&& chunk) {
  const uint32_t perChunk = chunkSize / 2048;
  if (perChunk == 0) return 0;
  for (uint32_t done = 0; done < count;) {
    const uint64_t sector = first + done;
    if (sector >= sectorCount) return done;
    const uint8_t* bytes = chunk(static_cast<uint32_t>(sector / perChunk));
    if (!bytes) return done;
    const uint32_t within = static_cast<uint32_t>(sector % perChunk);
    const uint32_t n = static_cast<uint32_t>(
        std::min<uint64_t>({uint64_t{count} - done, uint64_t{perChunk} - within, sectorCount - sector}));
    std::memcpy(destination + uint64_t{done} * 2048, bytes + uint64_t{within} * 2048, uint64_t{n} * 2048);
    done += n;
  }
  return count;
}

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
