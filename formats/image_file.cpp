// ImageFile::ReadAt: every read of the file is 2048-aligned, at most 32 KiB, into the aligned
// part of the transfer buffer, because the file is opened without intermediate buffering.
#include <algorithm>
#include <cstring>
#include <new>

#include "formats/image_source.h"

namespace kv {
namespace {

constexpr uint64_t kAlign = 2048;
// What unbuffered reads ask of the memory they fill, on any device.
constexpr uintptr_t kMemoryAlign = 4096;

uint32_t RoundUpToSector(uint64_t n) {
  return static_cast<uint32_t>((n + kAlign - 1) / kAlign * kAlign);
}

}  // namespace

ImageFile::ImageFile(std::unique_ptr<RawFile> file) : file_(std::move(file)) {
  buffer_.reset(new (std::nothrow) uint8_t[kTransferBufferSize]);
  if (buffer_) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(buffer_.get());
    aligned_ = buffer_.get() + ((kAlign - p % kAlign) % kAlign);
  }
}

bool ImageFile::ReadAt(uint64_t offset, uint64_t length, void* destination) {
  if (!file_ || !aligned_) return false;
  if (offset > UINT64_MAX - length) return false;
  auto* out = static_cast<uint8_t*>(destination);
  uint64_t position = offset;
  uint64_t remaining = length;

  // Head: from the enclosing aligned offset, keeping only the wanted part.
  while (remaining > 0 && position % kAlign != 0) {
    const uint64_t base = position - position % kAlign;
    const uint64_t within = position - base;
    const uint32_t chunk = RoundUpToSector(std::min<uint64_t>(within + remaining, kMaxReadChunk));
    uint32_t got = 0;
    if (!file_->Read(base, chunk, aligned_, &got) || got == 0) return false;
    if (got <= within) return false;  // the file ends before the wanted byte
    const uint64_t n = std::min<uint64_t>({got - within, remaining, chunk - within});
    std::memcpy(out, aligned_ + within, n);
    out += n;
    position += n;
    remaining -= n;
    if (remaining > 0 && got < chunk) return false;  // a short read means the end of the file
  }

  // Whole chunks straight into a destination whose memory an unbuffered read takes: the same reads
  // at the same offsets, asked for together so that the file can run them side by side.
  constexpr size_t kPiecesAtOnce = 32;
  while (remaining >= 2 * uint64_t{kMaxReadChunk} && reinterpret_cast<uintptr_t>(out) % kMemoryAlign == 0) {
    RawFile::Piece pieces[kPiecesAtOnce];
    const size_t count = static_cast<size_t>(std::min<uint64_t>(remaining / kMaxReadChunk, kPiecesAtOnce));
    for (size_t i = 0; i < count; ++i) {
      pieces[i].offset = position + i * kMaxReadChunk;
      pieces[i].length = kMaxReadChunk;
      pieces[i].destination = out + i * kMaxReadChunk;
    }
    file_->ReadPieces(pieces, count);
    // A failed, empty or short chunk fails the call, as it does one chunk at a time.
    for (size_t i = 0; i < count; ++i)
      if (!pieces[i].ok || pieces[i].returned != kMaxReadChunk) return false;
    out += count * kMaxReadChunk;
    position += count * kMaxReadChunk;
    remaining -= count * kMaxReadChunk;
  }

  while (remaining > 0) {
    const uint32_t chunk = RoundUpToSector(std::min<uint64_t>(remaining, kMaxReadChunk));
    uint32_t got = 0;
    if (!file_->Read(position, chunk, aligned_, &got) || got == 0) return false;
    const uint64_t n = std::min<uint64_t>({got, chunk, remaining});
    std::memcpy(out, aligned_, n);
    out += n;
    position += n;
    remaining -= n;
    if (remaining > 0 && got < chunk) return false;
  }
  return true;
}

}  // namespace kv
