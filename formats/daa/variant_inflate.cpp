// Table-driven inflate: a 64-bit bit buffer refilled eight bytes at a time, two-level Huffman
// tables (10 root bits for literals/lengths, 8 for distances) whose entries carry the base value
// and extra-bit count, so one lookup decodes a symbol.
#include "formats/daa/variant_inflate.h"

#include <cstring>
#include <vector>

namespace kv::daa {
namespace {

// Entry: value << 16 | flags << 8 | bits to consume.
constexpr uint32_t kLiteral = 0x40;
constexpr uint32_t kEndOfBlock = 0x20;
constexpr uint32_t kInvalid = 0x10;
constexpr uint32_t kLink = 0x80;  // flags low 4 bits: subtable index bits
constexpr uint32_t kExtraMask = 0x0F;

constexpr int kLitLenRoot = 10;
constexpr int kDistRoot = 8;
constexpr int kPrecodeRoot = 7;
// Room for the largest two-level tables of complete codes (zlib's "enough" for these roots),
// with margin; the builder checks the bound anyway.
constexpr size_t kLitLenTableSize = 1536;
constexpr size_t kDistTableSize = 512;
constexpr size_t kPrecodeTableSize = 128;
constexpr int kMaxCodeBits = 15;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kPrecodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Alphabet { kLitLen, kDist, kPrecode };

constexpr uint32_t Entry(uint32_t value, uint32_t flags, uint32_t bits) {
  return value << 16 | flags << 8 | bits;
}

uint32_t LeafFor(Alphabet alphabet, unsigned symbol, unsigned bits) {
  switch (alphabet) {
    case Alphabet::kLitLen:
      if (symbol < 256) return Entry(symbol, kLiteral, bits);
      if (symbol == 256) return Entry(0, kEndOfBlock, bits);
      if (symbol < 286) return Entry(kLengthBase[symbol - 257], kLengthExtra[symbol - 257], bits);
      return Entry(0, kInvalid, bits);
    case Alphabet::kDist:
      if (symbol < 30) return Entry(kDistBase[symbol], kDistExtra[symbol], bits);
      return Entry(0, kInvalid, bits);
    case Alphabet::kPrecode:
      return Entry(symbol, kLiteral, bits);
  }
  return Entry(0, kInvalid, bits);
}

unsigned Reverse(unsigned code, unsigned bits) {
  unsigned r = 0;
  for (unsigned i = 0; i < bits; ++i, code >>= 1) r = r << 1 | (code & 1);
  return r;
}

// Builds the canonical code of `lengths` into `table`. Over-subscribed codes fail; incomplete
// codes fail unless they hold a single one-bit code (zlib's rule for literal/length and distance
// codes), and unused slots decode as invalid.
bool BuildTable(const uint8_t* lengths, unsigned count, Alphabet alphabet, int root, uint32_t* table,
                size_t tableSize) {
  unsigned perLength[kMaxCodeBits + 1] = {};
  for (unsigned s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  int maxBits = kMaxCodeBits;
  while (maxBits > 0 && perLength[maxBits] == 0) --maxBits;
  const uint32_t invalid = Entry(0, kInvalid, 1);
  for (int i = 0; i < (1 << root); ++i) table[i] = invalid;
  if (maxBits == 0) return true;  // no codes: every lookup is invalid

  int left = 1;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    left = (left << 1) - static_cast<int>(perLength[len]);
    if (left < 0) return false;
  }
  if (left > 0 && (alphabet == Alphabet::kPrecode || maxBits != 1)) return false;

  unsigned offsets[kMaxCodeBits + 2] = {};
  for (int len = 1; len <= kMaxCodeBits; ++len) offsets[len + 1] = offsets[len] + perLength[len];
  uint16_t sorted[288];
  for (unsigned s = 0; s < count; ++s)
    if (lengths[s] != 0) sorted[offsets[lengths[s]]++] = static_cast<uint16_t>(s);

  unsigned remaining[kMaxCodeBits + 1];
  std::memcpy(remaining, perLength, sizeof remaining);
  const unsigned rootMask = (1u << root) - 1;
  size_t nextSub = size_t{1} << root;
  unsigned currentLow = ~0u;
  size_t subBase = 0;
  int subBits = 0;
  unsigned code = 0, index = 0;
  for (int len = 1; len <= maxBits; ++len, code <<= 1) {
    for (unsigned k = 0; k < perLength[len]; ++k, ++code) {
      const unsigned symbol = sorted[index++];
      const unsigned reversed = Reverse(code, static_cast<unsigned>(len));
      if (len <= root) {
        const uint32_t e = LeafFor(alphabet, symbol, static_cast<unsigned>(len));
        for (unsigned i = reversed; i < (1u << root); i += 1u << len) table[i] = e;
      } else {
        const unsigned low = reversed & rootMask;
        if (low != currentLow) {
          // The subtable holds every remaining code with this prefix: size it from the counts left.
          int bits = len - root;
          int room = 1 << bits;
          while (bits + root < maxBits) {
            room -= static_cast<int>(remaining[bits + root]);
            if (room <= 0) break;
            ++bits;
            room <<= 1;
          }
          if (nextSub + (size_t{1} << bits) > tableSize) return false;
          table[low] =
              Entry(static_cast<uint32_t>(nextSub), kLink | static_cast<uint32_t>(bits), static_cast<uint32_t>(root));
          subBase = nextSub;
          subBits = bits;
          for (size_t i = 0; i < (size_t{1} << bits); ++i) table[subBase + i] = invalid;
          nextSub += size_t{1} << bits;
          currentLow = low;
        }
        const unsigned subLen = static_cast<unsigned>(len - root);
        const uint32_t e = LeafFor(alphabet, symbol, subLen);
        for (unsigned i = reversed >> root; i < (1u << subBits); i += 1u << subLen) table[subBase + i] = e;
      }
      --remaining[len];
    }
  }
  return true;
}

struct FixedTables {
  uint32_t litLen[kLitLenTableSize];
  uint32_t dist[kDistTableSize];
  bool ok = false;
  FixedTables() {
    uint8_t lengths[320];
    for (int i = 0; i < 144; ++i) lengths[i] = 8;
    for (int i = 144; i < 256; ++i) lengths[i] = 9;
    for (int i = 256; i < 280; ++i) lengths[i] = 7;
    for (int i = 280; i < 288; ++i) lengths[i] = 8;
    for (int i = 288; i < 320; ++i) lengths[i] = 5;
    ok = BuildTable(lengths, 288, Alphabet::kLitLen, kLitLenRoot, litLen, kLitLenTableSize) &&
         BuildTable(lengths + 288, 32, Alphabet::kDist, kDistRoot, dist, kDistTableSize);
  }
};

const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

enum class BlockKind { kStored, kFixed, kDynamic, kInvalid };

BlockKind KindOf(int variant, unsigned typeBits) {
  // Rows: variant; columns: the 2-bit block type in the stream.
  static constexpr BlockKind kTable[4][4] = {
      {BlockKind::kStored, BlockKind::kFixed, BlockKind::kDynamic, BlockKind::kInvalid},
      {BlockKind::kDynamic, BlockKind::kStored, BlockKind::kFixed, BlockKind::kInvalid},
      {BlockKind::kStored, BlockKind::kDynamic, BlockKind::kFixed, BlockKind::kInvalid},
      {BlockKind::kFixed, BlockKind::kStored, BlockKind::kDynamic, BlockKind::kInvalid},
  };
  return kTable[variant & 3][typeBits & 3];
}

// Reading past the end of the input supplies zero bytes and counts them; more phantom bytes than
// the bit buffer can hold means the stream was truncated.
class BitReader {
 public:
  BitReader(const uint8_t* in, size_t length) : next_(in), end_(in + length) {}

  // Leaves at least 56 bits in the buffer.
  inline void Refill() {
    if (end_ - next_ >= 8) {
      uint64_t v;
      std::memcpy(&v, next_, 8);
      bits_ |= v << count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      if (next_ < end_) {
        bits_ |= uint64_t{*next_++} << count_;
      } else {
        ++phantom_;
      }
      count_ += 8;
    }
  }
  inline uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1)); }
  inline void Drop(unsigned n) {
    bits_ >>= n;
    count_ -= n;
  }
  inline uint32_t Take(unsigned n) {
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }
  // True when no bit beyond the input has been consumed.
  bool Sound() const { return phantom_ * 8 <= count_; }
  bool Overrun() const { return phantom_ > 8; }

  // Drops the bits up to the next byte boundary and gives the whole bytes still buffered back to
  // the input, so that stored data is copied straight from it.
  bool AlignToByte() {
    Drop(count_ & 7);
    const unsigned buffered = count_ / 8;
    if (phantom_ > buffered) return false;
    next_ -= buffered - phantom_;
    bits_ = 0;
    count_ = 0;
    phantom_ = 0;
    return true;
  }
  const uint8_t* next() const { return next_; }
  uint64_t BitPosition(const uint8_t* start) const {
    return (static_cast<uint64_t>(next_ - start) + phantom_) * 8 - count_;
  }
  size_t available() const { return static_cast<size_t>(end_ - next_); }
  void Skip(size_t n) { next_ += n; }

 private:
  const uint8_t* next_;
  const uint8_t* end_;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  unsigned phantom_ = 0;
};

// Decodes one symbol; the buffer must hold at least 15 bits.
inline uint32_t Decode(BitReader& br, const uint32_t* table, int root) {
  uint32_t e = table[br.Peek(static_cast<unsigned>(root))];
  if (e & (kLink << 8)) {
    br.Drop(static_cast<unsigned>(root));
    e = table[(e >> 16) + br.Peek((e >> 8) & kExtraMask)];
  }
  br.Drop(e & 0xFF);
  return e;
}

bool ReadDynamicTables(BitReader& br, uint32_t* litLen, uint32_t* dist) {
  br.Refill();
  const unsigned nLitLen = br.Take(5) + 257;
  const unsigned nDist = br.Take(5) + 1;
  const unsigned nPrecode = br.Take(4) + 4;
  if (nLitLen > 286 || nDist > 30) return false;
  uint8_t precodeLengths[19] = {};
  // 19 lengths take 57 bits, one more than a refill guarantees.
  for (unsigned i = 0; i < nPrecode; ++i) {
    if (i % 16 == 0) br.Refill();
    precodeLengths[kPrecodeOrder[i]] = static_cast<uint8_t>(br.Take(3));
  }
  uint32_t precode[kPrecodeTableSize];
  if (!BuildTable(precodeLengths, 19, Alphabet::kPrecode, kPrecodeRoot, precode, kPrecodeTableSize)) return false;

  uint8_t lengths[286 + 30] = {};
  const unsigned total = nLitLen + nDist;
  for (unsigned i = 0; i < total;) {
    br.Refill();
    if (br.Overrun()) return false;
    const uint32_t e = Decode(br, precode, kPrecodeRoot);
    if (e & (kInvalid << 8)) return false;
    const unsigned symbol = e >> 16;
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    unsigned repeat;
    uint8_t value = 0;
    if (symbol == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + br.Take(2);
    } else if (symbol == 17) {
      repeat = 3 + br.Take(3);
    } else {
      repeat = 11 + br.Take(7);
    }
    if (repeat > total - i) return false;
    std::memset(lengths + i, value, repeat);
    i += repeat;
  }
  if (lengths[256] == 0) return false;  // no end-of-block code
  return BuildTable(lengths, nLitLen, Alphabet::kLitLen, kLitLenRoot, litLen, kLitLenTableSize) &&
         BuildTable(lengths + nLitLen, nDist, Alphabet::kDist, kDistRoot, dist, kDistTableSize);
}

// Copies a match of `length` bytes from `distance` back; the caller checked both bounds.
inline void CopyMatch(uint8_t* out, size_t distance, size_t length, uint8_t* limit) {
  const uint8_t* from = out - distance;
  if (distance >= 8 && static_cast<size_t>(limit - out) >= length + 8) {
    // Eight bytes at a time; may write up to 7 bytes beyond the match, still inside the buffer.
    uint8_t* end = out + length;
    while (out < end) {
      uint64_t v;
      std::memcpy(&v, from, 8);
      std::memcpy(out, &v, 8);
      out += 8;
      from += 8;
    }
  } else if (distance == 1) {
    std::memset(out, *from, length);
  } else {
    for (size_t i = 0; i < length; ++i) out[i] = from[i];
  }
}

}  // namespace

InflateStatus InflateVariant(const uint8_t* input, size_t inputLength, uint8_t* output, size_t capacity, int variant,
                             size_t* written, BlockObserver onBlock, void* context) {
  *written = 0;
  const FixedTables& fixed = Fixed();
  if (!fixed.ok || variant < 0 || variant > 3) return InflateStatus::kBadData;
  BitReader br(input, inputLength);
  uint8_t* out = output;
  uint8_t* const limit = output + capacity;
  uint32_t litLenTable[kLitLenTableSize];
  uint32_t distTable[kDistTableSize];

  for (bool last = false; !last;) {
    br.Refill();
    if (!br.Sound()) return InflateStatus::kTruncated;
    if (onBlock) onBlock(context, br.BitPosition(input), br.Peek(3) >> 1);
    last = br.Take(1) != 0;
    const BlockKind kind = KindOf(variant, br.Take(2));
    if (kind == BlockKind::kInvalid) return InflateStatus::kBadData;

    if (kind == BlockKind::kStored) {
      if (!br.AlignToByte() || br.available() < 4) return InflateStatus::kTruncated;
      const uint8_t* p = br.next();
      const size_t length = p[0] | p[1] << 8;
      const size_t check = p[2] | p[3] << 8;
      if ((length ^ 0xFFFF) != check) return InflateStatus::kBadData;
      br.Skip(4);
      if (br.available() < length) return InflateStatus::kTruncated;
      if (static_cast<size_t>(limit - out) < length) return InflateStatus::kOutputFull;
      std::memcpy(out, br.next(), length);
      out += length;
      br.Skip(length);
      continue;
    }

    const uint32_t* litLen = fixed.litLen;
    const uint32_t* dist = fixed.dist;
    if (kind == BlockKind::kDynamic) {
      if (!ReadDynamicTables(br, litLenTable, distTable))
        return br.Overrun() ? InflateStatus::kTruncated : InflateStatus::kBadData;
      litLen = litLenTable;
      dist = distTable;
    }

    for (;;) {
      br.Refill();
      if (br.Overrun()) return InflateStatus::kTruncated;
      uint32_t e = Decode(br, litLen, kLitLenRoot);
      const uint32_t flags = (e >> 8) & 0xFF;
      if (flags & kLiteral) {
        if (out == limit) return InflateStatus::kOutputFull;
        *out++ = static_cast<uint8_t>(e >> 16);
        continue;
      }
      if (flags & kEndOfBlock) break;
      if (flags & kInvalid) return InflateStatus::kBadData;
      const size_t length = (e >> 16) + br.Take(flags & kExtraMask);
      e = Decode(br, dist, kDistRoot);
      const uint32_t distFlags = (e >> 8) & 0xFF;
      if (distFlags & kInvalid) return InflateStatus::kBadData;
      const size_t distance = (e >> 16) + br.Take(distFlags & kExtraMask);
      if (distance > static_cast<size_t>(out - output)) return InflateStatus::kBadData;
      if (static_cast<size_t>(limit - out) < length) return InflateStatus::kOutputFull;
      CopyMatch(out, distance, length, limit);
      out += length;
    }
  }
  if (!br.Sound()) return InflateStatus::kTruncated;
  *written = static_cast<size_t>(out - output);
  return InflateStatus::kOk;
}

}  // namespace kv::daa

namespace kv::daa {

bool RecodeToVariant(uint8_t* stream, size_t length, size_t plainLength, int variant) {
  if (variant == 0) return true;
  if (variant < 0 || variant > 3) return false;
  // Type code of (stored, fixed, dynamic) per variant.
  static constexpr unsigned kCode[4][3] = {{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}};
  struct Header {
    uint64_t bit;
    unsigned type;
  };
  std::vector<Header> headers;
  std::vector<uint8_t> scratch(plainLength + 1);
  size_t written = 0;
  const auto note = [](void* context, uint64_t bit, unsigned type) {
    static_cast<std::vector<Header>*>(context)->push_back({bit, type});
  };
  if (InflateVariant(stream, length, scratch.data(), scratch.size(), 0, &written, note, &headers) != InflateStatus::kOk)
    return false;
  for (const Header& h : headers) {
    if (h.type > 2) return false;
    const unsigned code = kCode[variant][h.type];
    for (unsigned b = 0; b < 2; ++b) {
      const uint64_t bit = h.bit + 1 + b;
      uint8_t& byte = stream[bit / 8];
      byte = static_cast<uint8_t>((byte & ~(1u << (bit % 8))) | ((code >> b) & 1u) << (bit % 8));
    }
  }
  return true;
}

}  // namespace kv::daa
