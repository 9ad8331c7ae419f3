#include "formats/blockmap/block_map.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace kv {
namespace {

constexpr uint32_t kInflateStep = 32 * 1024;
constexpr uint64_t kLargestTotal = uint64_t{1} << 62;

bool IsCompressed(ExtentKind kind) {
  return kind == ExtentKind::kZlib || kind == ExtentKind::kBzip2;
}

// Grows `v` to `n` bytes without letting an allocation failure escape.
bool Resize(std::vector<uint8_t>* v, size_t n) {
  try {
    v->resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Inflates one zlib stream in steps of 32 KiB of input and output. True when the stream ends
// after between `minimum` and `capacity` bytes of output.
bool Inflate(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t minimum, uint32_t capacity) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  uint32_t inDone = 0;
  uint64_t outDone = 0;
  // One byte beyond the capacity is offered so that a stream that is too long shows as such.
  const uint64_t room = uint64_t{capacity} + 1;
  bool ended = false;
  for (;;) {
    if (z.avail_in == 0 && inDone < inLength) {
      z.next_in = const_cast<uint8_t*>(in + inDone);
      z.avail_in = std::min(kInflateStep, inLength - inDone);
      inDone += z.avail_in;
    }
    if (outDone >= room) break;
    z.next_out = out + outDone;
    z.avail_out = static_cast<uInt>(std::min<uint64_t>(kInflateStep, room - outDone));
    const uInt outBefore = z.avail_out, inBefore = z.avail_in;
    const int status = inflate(&z, Z_NO_FLUSH);
    outDone += outBefore - z.avail_out;
    if (status == Z_STREAM_END) {
      ended = true;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) break;
    if (outBefore == z.avail_out && inBefore == z.avail_in) break;  // no progress: input ran out
  }
  inflateEnd(&z);
  return ended && outDone >= minimum && outDone <= capacity;
}

bool Bunzip(uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t minimum, uint32_t capacity) {
  unsigned int produced = capacity + 1;
  const int status =
      BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out), &produced, reinterpret_cast<char*>(in), inLength, 0, 0);
  return status == BZ_OK && produced >= minimum && produced <= capacity;
}

}  // namespace

BlockMap::~BlockMap() = default;

bool BlockMap::Add(ExtentKind kind, uint64_t fileOffset, uint32_t storedSize, uint64_t size, uint64_t fileSize,
                   uint32_t capacity) {
  if (size > kLargestTotal - total_) return false;
  if (kind != ExtentKind::kZeros && (fileOffset > fileSize || storedSize > fileSize - fileOffset)) return false;
  if (IsCompressed(kind)) {
    if (capacity == 0) capacity = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    if (size > capacity || capacity > kBlockMapMaxDecodedExtent) return false;
  }
  if (kind == ExtentKind::kZeros) {
    storedSize = 0;
    // Runs of zero blocks become one extent, so that a table of zeros costs no memory.
    if (!extents_.empty() && extents_.back().kind == ExtentKind::kZeros) {
      extents_.back().size += size;
      total_ += size;
      return true;
    }
  }
  if (extents_.size() >= kBlockMapMaxExtents) return false;
  if (extents_.size() == extents_.capacity()) {
    try {
      extents_.reserve(extents_.size() + 512);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  Extent e;
  e.kind = kind;
  e.fileOffset = fileOffset;
  e.storedSize = storedSize;
  e.size = size;
  e.capacity = IsCompressed(kind) ? capacity : static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
  e.start = total_;
  extents_.push_back(e);
  total_ += size;
  if (kind != ExtentKind::kZeros) largestStored_ = std::max(largestStored_, storedSize);
  return true;
}

bool BlockMap::SetKey(const uint8_t* key, AesKeyLength length) {
  if (length != AesKeyLength::k128 && length != AesKeyLength::k192 && length != AesKeyLength::k256) return false;
  // Encrypted stored blocks are decrypted whole, so they must fit a cache slot.
  for (const Extent& e : extents_)
    if (e.kind == ExtentKind::kStored && e.size > kBlockMapMaxDecodedExtent) return false;
  if (!cipher_.SetKey(key, static_cast<size_t>(length), false)) return false;
  keyLength_ = length;
  ClearCache();
  return true;
}

bool BlockMap::PrepareStaging(uint32_t minimum) {
  uint32_t need = std::max(minimum, kBlockMapStagingSize);
  for (const Extent& e : extents_)
    if (IsCompressed(e.kind) || (cipher_ && e.kind == ExtentKind::kStored)) need = std::max(need, e.storedSize);
  if (need > kBlockMapMaxStaging) return false;
  return staging_.size() >= need || Resize(&staging_, need);
}

uint32_t BlockMap::SectorCount() const {
  if (sectorSize_ == 0) return 0;
  const uint64_t sectors = total_ / sectorSize_ + (total_ % sectorSize_ != 0);
  return sectors > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sectors);
}

void BlockMap::ClearCache() {
  for (Slot& s : slots_) {
    s.extent = SIZE_MAX;
    s.lastUse = 0;
  }
}

bool BlockMap::Decrypt(uint8_t* data, uint32_t length) {
  return cipher_.Apply(data, length);  // a trailing part under 16 bytes stays as stored
}

bool BlockMap::Decode(ImageFile& file, const Extent& e, std::vector<uint8_t>* out) {
  if (e.storedSize > staging_.size() && !PrepareStaging()) return false;
  if (e.storedSize > staging_.size()) return false;
  if (out->size() < uint64_t{e.capacity} + 1 && !Resize(out, uint64_t{e.capacity} + 1)) return false;
  if (e.storedSize > 0 && !file.ReadAt(e.fileOffset, e.storedSize, staging_.data())) return false;
  if (cipher_ && !Decrypt(staging_.data(), e.storedSize)) return false;
  switch (e.kind) {
    case ExtentKind::kZlib:
      return Inflate(staging_.data(), e.storedSize, out->data(), static_cast<uint32_t>(e.size), e.capacity);
    case ExtentKind::kBzip2:
      // The writer overwrites the stream's "BZh" signature.
      if (e.storedSize < 4) return false;
      std::memcpy(staging_.data(), "BZh", 3);
      return Bunzip(staging_.data(), e.storedSize, out->data(), static_cast<uint32_t>(e.size), e.capacity);
    case ExtentKind::kStored: {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(e.storedSize, e.size));
      std::memcpy(out->data(), staging_.data(), n);
      std::memset(out->data() + n, 0, e.size - n);
      return true;
    }
    case ExtentKind::kZeros:
      break;
  }
  return false;
}

const uint8_t* BlockMap::Decoded(ImageFile& file, size_t index) {
  Slot* victim = &slots_[0];
  for (Slot& s : slots_) {
    if (s.extent == index) {
      s.lastUse = ++useClock_;
      return s.data.data();
    }
    if (s.lastUse < victim->lastUse) victim = &s;  // empty slots have lastUse 0
  }
  victim->extent = SIZE_MAX;
  victim->lastUse = 0;
  if (!Decode(file, extents_[index], &victim->data)) return nullptr;
  victim->extent = index;
  victim->lastUse = ++useClock_;
  return victim->data.data();
}

bool BlockMap::ReadBytes(ImageFile& file, uint64_t offset, uint64_t length, uint8_t* out) {
  // The first extent whose end lies beyond the offset.
  auto it = std::upper_bound(extents_.begin(), extents_.end(), offset,
                             [](uint64_t o, const Extent& e) { return o < e.start + e.size; });
  for (size_t i = static_cast<size_t>(it - extents_.begin()); length > 0 && i < extents_.size(); ++i) {
    const Extent& e = extents_[i];
    if (e.size == 0) continue;
    const uint64_t within = offset - e.start;
    const uint64_t n = std::min(length, e.size - within);
    if (e.kind == ExtentKind::kZeros) {
      std::memset(out, 0, n);
    } else if (e.kind == ExtentKind::kStored && !cipher_) {
      // Stored bytes beyond the stored size read as zeros.
      const uint64_t available = within < e.storedSize ? std::min<uint64_t>(n, e.storedSize - within) : 0;
      if (available > 0 && !file.ReadAt(e.fileOffset + within, available, out)) return false;
      std::memset(out + available, 0, n - available);
    } else {
      const uint8_t* block = Decoded(file, i);
      if (!block) return false;
      std::memcpy(out, block + within, n);
    }
    out += n;
    offset += n;
    length -= n;
  }
  std::memset(out, 0, length);
  return true;
}

uint32_t BlockMap::ReadSectors(ImageFile& file, uint64_t first, uint32_t count, uint8_t* destination) {
  if (sectorSize_ == 0 || uint64_t{dataOffset_} + kSectorSize > sectorSize_) return 0;
  if (first > (kLargestTotal / sectorSize_) - count) return 0;
  if (sectorSize_ == kSectorSize)
    return ReadBytes(file, first * kSectorSize, uint64_t{count} * kSectorSize, destination) ? count : 0;
  for (uint32_t k = 0; k < count; ++k) {
    if (!ReadBytes(file, (first + k) * sectorSize_ + dataOffset_, kSectorSize, destination + uint64_t{k} * kSectorSize))
      return 0;
  }
  return count;
}

}  // namespace kv
