#include "formats/daa/chunk_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/daa/daa_format.h"
#include "formats/daa/lzma_chunk.h"
#include "formats/daa/variant_inflate.h"

namespace kv::daa {

uint64_t ReadBits(const uint8_t* data, uint64_t position, uint32_t count) {
  uint64_t value = 0;
  for (uint32_t done = 0; done < count;) {
    const uint64_t byte = (position + done) / 8;
    const uint32_t shift = static_cast<uint32_t>((position + done) % 8);
    const uint32_t take = std::min<uint32_t>(8 - shift, count - done);
    value |= static_cast<uint64_t>((data[byte] >> shift) & ((1u << take) - 1)) << done;
    done += take;
  }
  return value;
}

uint32_t ChunkLengthBits(uint8_t bitWidths, uint32_t chunkSize) {
  if (bitWidths >> 3) return (bitWidths >> 3) + 10u;
  uint32_t n = 0;
  for (uint32_t v = chunkSize - 1; v != 0; v >>= 1) ++n;
  return n;
}

bool ParseBitPackedTable(const uint8_t* table, size_t tableBytes, const ChunkTableLayout& layout,
                         std::vector<uint64_t>* positions, std::vector<uint32_t>* lengths,
                         std::vector<uint8_t>* methods, const char** reason) {
  const uint64_t entryBits = uint64_t{layout.lengthBits} + layout.methodBits;
  if (layout.lengthBits > 32 || layout.methodBits > 7 || (uint64_t{layout.count} * entryBits + 7) / 8 > tableBytes) {
    *reason = "chunk table smaller than its chunk count";
    return false;
  }
  positions->resize(layout.count);
  lengths->resize(layout.count);
  methods->resize(layout.count);
  uint64_t position = layout.firstChunk;
  for (uint32_t i = 0; i < layout.count; ++i) {
    const uint64_t bit = uint64_t{i} * entryBits;
    const uint64_t length = ReadBits(table, bit, layout.lengthBits) + layout.lengthBias;
    const auto method = static_cast<uint8_t>(ReadBits(table, bit + layout.lengthBits, layout.methodBits));
    if (length > layout.maxLength) {
      *reason = "chunk of a bad stored length";
      return false;
    }
    if (position > layout.dataEnd || layout.dataEnd - position < length) {
      *reason = "chunk positions run past the image data";
      return false;
    }
    (*positions)[i] = position;
    (*lengths)[i] = static_cast<uint32_t>(length);
    (*methods)[i] = method;
    position += length;
  }
  return true;
}

bool DecodeChunkBody(const ChunkBody& body, uint8_t* out, size_t capacity) {
  uint8_t* stored = body.front + kLzmaHeaderSize;
  size_t written = 0;
  if (body.method == kMethodDeflate)
    return InflateVariant(stored, body.payload, out, capacity, body.variant, &written) == InflateStatus::kOk &&
           written >= body.expected;
  if (body.method != kMethodLzma) return false;
  const uint8_t* chunk = stored;
  size_t chunkLength = body.payload;
  if (body.lzmaPrefix) {
    std::memcpy(body.front, body.lzmaPrefix, 6);
    const uint64_t size = body.expected;
    std::memcpy(body.front + 6, &size, sizeof size);
    chunk = body.front;
    chunkLength = size_t{body.payload} + kLzmaHeaderSize;
  }
  return DecodeLzmaChunk(chunk, chunkLength, out, capacity, &written) && written >= body.expected;
}

void ChunkCache::Reset(size_t slots, size_t bytes) {
  slots_.clear();
  slots_.resize(slots);
  bytes_ = bytes;
}

void ChunkCache::Forget() {
  for (Slot& s : slots_) s.chunk = UINT32_MAX;
}

const uint8_t* ChunkCache::Find(uint32_t index) {
  for (Slot& s : slots_)
    if (s.chunk == index) {
      s.lastUse = ++useCounter_;
      return s.data.get();
    }
  return nullptr;
}

ChunkCache::Slot* ChunkCache::Claim() {
  if (slots_.empty()) return nullptr;
  Slot* slot = &slots_[0];
  for (Slot& s : slots_) {
    if (!s.data) {
      slot = &s;
      break;
    }
    if (s.lastUse < slot->lastUse) slot = &s;
  }
  if (!slot->data) {
    slot->data.reset(new (std::nothrow) uint8_t[bytes_]);
    if (!slot->data) return nullptr;
  }
  slot->chunk = UINT32_MAX;
  slot->lastUse = ++useCounter_;
  return slot;
}

}  // namespace kv::daa
