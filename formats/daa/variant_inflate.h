// Raw deflate (RFC 1951) with the block-type codes permuted by a variant number, as DAA, GBI and
// MZP chunks use it. Variant 0 is plain deflate and decodes exactly as zlib's raw inflate does.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv::daa {

enum class InflateStatus : uint8_t {
  kOk,          // a final block was decoded; *written bytes are valid
  kBadData,     // invalid codes, lengths or distances
  kTruncated,   // the input ended inside the stream
  kOutputFull,  // the stream would write past `capacity`
};

// Decodes one deflate stream of `variant` (0-3) from `input` into `output`, never writing past
// `capacity` bytes. Bytes after the final block are ignored. Bounded by the input length: every
// block consumes input, and reading past the end of the input stops the decoder.
// `onBlock`, when given, is told the bit position (from the start of the input) and the 2-bit type
// code of every block header: writers use it to recode a plain deflate stream into a variant.
using BlockObserver = void (*)(void* context, uint64_t bitPosition, unsigned typeBits);
InflateStatus InflateVariant(const uint8_t* input, size_t inputLength, uint8_t* output, size_t capacity, int variant,
                             size_t* written, BlockObserver onBlock = nullptr, void* context = nullptr);

}  // namespace kv::daa

namespace kv::daa {

// Rewrites the block-type codes of a plain deflate stream (variant 0) that decodes to
// `plainLength` bytes so that it reads as `variant`. False when the stream does not decode.
bool RecodeToVariant(uint8_t* stream, size_t length, size_t plainLength, int variant);

}  // namespace kv::daa
