#include "formats/mzp/mzp_container.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/crc.h"
#include "formats/daa/chunk_codec.h"
#include "formats/daa/daa_format.h"
#include "formats/daa/variant_inflate.h"
#include "formats/mzp/mzp_format.h"

namespace kv::mzp {
namespace {

using daa::Le32;
using daa::SignatureIs;

constexpr uint32_t kSlack = 64 * 1024;
constexpr uint32_t kMaxDescriptorBytes = 1 << 20;
constexpr uint32_t kMaxChunks = 1 << 24;
constexpr uint32_t kMaxVolumes = 999;
constexpr uint32_t kMaxCompressedTable = 64 << 20;
constexpr uint32_t kLargeChunk = 4 << 20;

}  // namespace

bool LooksLikeMzp(const uint8_t* bytes, size_t length) {
  return length >= 16 && SignatureIs(bytes, "MZP");
}

bool IsMzpLaterVolume(const uint8_t* bytes, size_t length) {
  return length >= 16 && SignatureIs(bytes, kVolumeSignature);
}

std::u16string MzpVolumeName(const std::u16string& name, uint32_t scheme, uint32_t index) {
  return daa::PartVolumeName(name, scheme, index, u"mzp");
}

const char* MzpStatusText(MzpStatus status) {
  switch (status) {
    case MzpStatus::kOk:
      return "ok";
    case MzpStatus::kNotMzp:
      return "not an MZP container";
    case MzpStatus::kBroken:
      return "the container is damaged";
    case MzpStatus::kUnsupportedVersion:
      return "unsupported container version";
    case MzpStatus::kPasswordNeeded:
      return "the container is encrypted: give its password";
    case MzpStatus::kWrongPassword:
      return "wrong password";
    case MzpStatus::kNoMemory:
      return "out of memory";
  }
  return "unknown";
}

MzpStatus MzpContainer::Broken(const char* reason) {
  reason_ = reason;
  return MzpStatus::kBroken;
}

MzpStatus MzpContainer::Open(ImageFile* primary, int64_t primarySize, const std::u16string& name,
                             const MzpOpenOptions& options) {
  primary_ = primary;
  primarySize_ = primarySize;
  if (!primary_ || primarySize_ < 0) {
    reason_ = "the file cannot be read";
    return MzpStatus::kNotMzp;
  }
  try {
    if (options.useIndex) {
      const MzpStatus first = OpenOnce(name, options, true);
      if (first != MzpStatus::kBroken || !fromIndex_) return first;
    }
    return OpenOnce(name, options, false);
  } catch (const std::bad_alloc&) {
    return MzpStatus::kNoMemory;
  }
}

MzpStatus MzpContainer::OpenOnce(const std::u16string& name, const MzpOpenOptions& options, bool useIndex) {
  reason_.clear();
  flags_ = 0;
  keyBytes_ = 0;
  aes_.Clear();
  index_.clear();
  fromIndex_ = false;
  volumes_.clear();
  position_.clear();
  length_.clear();
  method_.clear();
  cache_.Reset(0, 0);
  if (primarySize_ < static_cast<int64_t>(sizeof(MainHeader)) || !primary_->ReadAt(0, sizeof header_, header_)) {
    reason_ = "no MZP header";
    return MzpStatus::kNotMzp;
  }
  if (!LooksLikeMzp(header_, sizeof header_)) {
    reason_ = IsMzpLaterVolume(header_, sizeof header_)
                  ? "this is a later volume of a split container; open its first volume"
                  : "no MZP signature";
    return MzpStatus::kNotMzp;
  }
  if (Crc32(0, header_, offsetof(MainHeader, crc)) != Le32(header_ + offsetof(MainHeader, crc)))
    return Broken("the header CRC does not match");
  MainHeader h;
  std::memcpy(&h, header_, sizeof h);
  if (h.headerSize <= 76 || h.one != 1) return Broken("bad header size or layout word");
  if (h.version != kVersion) {
    reason_ = "unsupported container version";
    return MzpStatus::kUnsupportedVersion;
  }
  chunkSize_ = (h.chunkSizeFlags & daa::kChunkSizeMask) * daa::kChunkSizeUnit;
  flags_ = h.chunkSizeFlags & ~daa::kChunkSizeMask;
  if (chunkSize_ == 0) return Broken("chunk size 0");
  variant_ = static_cast<int>((flags_ >> daa::kVariantShift) & 3);
  methodBits_ = h.bitWidths & 7;
  lengthBits_ = daa::ChunkLengthBits(h.bitWidths, chunkSize_);
  if (lengthBits_ > 32) return Broken("chunk length field wider than 32 bits");
  static constexpr uint32_t kKeyBytes[4] = {0, 16, 24, 32};
  if (h.encryption > 3) return Broken("unknown encryption");
  keyBytes_ = kKeyBytes[h.encryption];
  contentSize_ = h.contentSize;
  if (contentSize_ / 2048 > UINT32_MAX) return Broken("content too large");
  sectorCount_ = static_cast<uint32_t>(contentSize_ / 2048);
  if (h.headerSize - sizeof(MainHeader) > kMaxDescriptorBytes || h.headerSize > static_cast<uint64_t>(primarySize_))
    return Broken("descriptor list too long");
  std::vector<uint8_t> descriptors(h.headerSize - sizeof(MainHeader));
  if (!descriptors.empty() && !primary_->ReadAt(sizeof(MainHeader), descriptors.size(), descriptors.data()))
    return Broken("descriptor list runs past the file");
  if (!ReadDescriptors(descriptors.data(), descriptors.size(), name, options)) return MzpStatus::kBroken;
  fromIndex_ = useIndex && !index_.empty();
  if (!(fromIndex_ ? TableFromIndex() : TableFromPlace())) return MzpStatus::kBroken;
  cache_.Reset(chunkSize_ < kLargeChunk ? 4 : 2, size_t{chunkSize_} + kSlack);
  input_.reset(new uint8_t[daa::kLzmaHeaderSize + size_t{chunkSize_} + kSlack]);
  if (!encrypted()) return MzpStatus::kOk;
  if (options.password.empty()) {
    reason_ = "the container is encrypted";
    return MzpStatus::kPasswordNeeded;
  }
  return SetPassword(options.password);
}

bool MzpContainer::ReadDescriptors(const uint8_t* bytes, size_t length, const std::u16string& name,
                                   const MzpOpenOptions& options) {
  bool haveInfo = false, haveSizes = false;
  uint32_t volumeCount = 1, scheme = 0;
  std::vector<uint64_t> sizes;
  for (size_t at = 0; at + sizeof(daa::DescriptorHeader) <= length;) {
    daa::DescriptorHeader d;
    std::memcpy(&d, bytes + at, sizeof d);
    if (d.length < sizeof d || d.length > length - at) {
      reason_ = "descriptor with a bad length";
      return false;
    }
    const uint8_t* p = bytes + at;
    if (d.type == daa::kDescriptorVolumeInfo && d.length >= sizeof(daa::VolumeInfoDescriptor)) {
      daa::VolumeInfoDescriptor v;
      std::memcpy(&v, p, sizeof v);
      if (v.volumeCount == 0 || v.volumeCount > kMaxVolumes) {
        reason_ = "bad volume count";
        return false;
      }
      volumeCount = v.volumeCount;
      scheme = v.namingScheme & 0xF;
      haveInfo = true;
    } else if (d.type == daa::kDescriptorVolumeSizes && d.length >= sizeof(daa::VolumeSizesHeader)) {
      daa::VolumeSizesHeader v;
      std::memcpy(&v, p, sizeof v);
      if (v.one == 1 && v.count <= kMaxVolumes && d.length >= sizeof v + uint64_t{v.count} * sizeof(daa::VolumeSize)) {
        sizes.clear();
        for (uint32_t i = 0; i < v.count; ++i) {
          daa::VolumeSize s;
          std::memcpy(&s, p + sizeof v + i * sizeof s, sizeof s);
          sizes.push_back(uint64_t{s.high} << 32 | s.low);
        }
        haveSizes = true;
      }
    } else if (d.type == kDescriptorIndex && d.length > sizeof(IndexDescriptor) && d.length <= kMaxIndexBytes) {
      IndexDescriptor x;
      std::memcpy(&x, p, sizeof x);
      indexCount_ = x.chunkCount;
      indexTableBytes_ = x.tableBytes;
      index_.assign(p + sizeof x, p + d.length);
    }
    at += d.length;
  }
  if (haveInfo && (!haveSizes || sizes.size() != volumeCount)) {
    reason_ = "volume descriptor without volume sizes";
    return false;
  }
  if (volumeCount == 1) {
    Volume v;
    v.name = name;
    v.length = static_cast<uint64_t>(primarySize_);
    volumes_.push_back(std::move(v));
    return true;
  }
  if (scheme > 1 || MzpVolumeName(name, scheme, 0) != name) {
    reason_ = "the container name does not fit the volume naming scheme (x.part01.mzp, x.part001.mzp)";
    return false;
  }
  uint64_t start = 0;
  for (uint32_t i = 0; i < volumeCount; ++i) {
    Volume v;
    if (i == 0) {
      v.name = name;
      v.length = sizes[0];
    } else {
      if (sizes[i] < daa::kLaterVolumeHeaderSize) {
        reason_ = "volume smaller than its header";
        return false;
      }
      v.length = sizes[i] - daa::kLaterVolumeHeaderSize;
      v.fileOffset = daa::kLaterVolumeHeaderSize;
      v.name = MzpVolumeName(name, scheme, i);
      // Opened now; a missing one fails its reads.
      if (options.openVolume) v.raw = options.openVolume(v.name);
    }
    v.start = start;
    start += v.length;
    volumes_.push_back(std::move(v));
  }
  return true;
}

bool MzpContainer::ReadConcatenated(uint64_t position, uint64_t length, uint8_t* out) {
  while (length > 0) {
    size_t i = 0;
    while (i < volumes_.size() && position >= volumes_[i].start + volumes_[i].length) ++i;
    if (i == volumes_.size()) return false;
    Volume& v = volumes_[i];
    const uint64_t within = position - v.start;
    const uint64_t n = std::min(length, v.length - within);
    ImageFile* file = primary_;
    if (i > 0) {
      if (!v.raw) return false;
      if (!v.file) {
        std::unique_ptr<RawFile> borrowed(new (std::nothrow) BorrowedFile(v.raw.get()));
        if (borrowed) v.file.reset(new (std::nothrow) ImageFile(std::move(borrowed)));
        if (!v.file || !v.file->ok()) {
          v.file.reset();
          return false;
        }
      }
      if (!v.checked) {
        uint8_t head[16];
        if (!v.file->ReadAt(0, sizeof head, head) || !IsMzpLaterVolume(head, sizeof head)) return false;
        v.checked = true;
      }
      file = v.file.get();
    }
    if (!file->ReadAt(v.fileOffset + within, n, out)) return false;
    position += n;
    length -= n;
    out += n;
  }
  return true;
}

bool MzpContainer::ParseTable(const uint8_t* table, size_t tableBytes) {
  MainHeader h;
  std::memcpy(&h, header_, sizeof h);
  const uint64_t count64 = contentSize_ == 0 ? 0 : (contentSize_ - 1) / chunkSize_ + 1;
  daa::ChunkTableLayout layout;
  layout.count = static_cast<uint32_t>(count64);
  layout.lengthBits = lengthBits_;
  layout.methodBits = methodBits_;
  layout.lengthBias = encrypted() ? 6 : 5;
  layout.firstChunk = h.dataOffset & daa::kFirstChunkMask;
  for (const Volume& v : volumes_) layout.dataEnd = v.start + v.length;
  layout.maxLength = uint64_t{chunkSize_} + kSlack;
  const char* why = nullptr;
  if (!daa::ParseBitPackedTable(table, tableBytes, layout, &position_, &length_, &method_, &why)) {
    reason_ = why;
    return false;
  }
  return true;
}

bool MzpContainer::TableFromIndex() {
  const uint64_t count64 = contentSize_ == 0 ? 0 : (contentSize_ - 1) / chunkSize_ + 1;
  if (count64 > kMaxChunks) {
    reason_ = "too many chunks";
    return false;
  }
  const uint64_t tableBytes = (count64 * (lengthBits_ + methodBits_) + 7) / 8;
  if (indexCount_ != count64 || indexTableBytes_ != tableBytes) {
    reason_ = "the index does not match the header";
    return false;
  }
  std::vector<uint8_t> table(tableBytes + 8);
  size_t written = 0;
  if (daa::InflateVariant(index_.data(), index_.size(), table.data(), tableBytes, 0, &written) !=
          daa::InflateStatus::kOk ||
      written != tableBytes) {
    reason_ = "the index does not inflate to its size";
    return false;
  }
  return ParseTable(table.data(), tableBytes);
}

bool MzpContainer::TableFromPlace() {
  MainHeader h;
  std::memcpy(&h, header_, sizeof h);
  const uint64_t count64 = contentSize_ == 0 ? 0 : (contentSize_ - 1) / chunkSize_ + 1;
  uint64_t dataEnd = 0;
  for (const Volume& v : volumes_) dataEnd = v.start + v.length;
  if (count64 > kMaxChunks || count64 * 5 > dataEnd) {
    reason_ = "chunk table larger than the container";
    return false;
  }
  const uint64_t tableBytes = (count64 * (lengthBits_ + methodBits_) + 7) / 8;
  const bool compressed = (flags_ & daa::kFlagCompressedTable) != 0;
  const uint64_t storedBytes = compressed ? h.compressedTableSize : tableBytes;
  if (storedBytes > kMaxCompressedTable || storedBytes > dataEnd) {
    reason_ = "chunk table runs past the file";
    return false;
  }
  uint64_t tableStart = h.headerSize;
  if (h.dataOffset & daa::kTableAtEnd) {
    if (h.tableEnd < storedBytes) {
      reason_ = "chunk table end before its start";
      return false;
    }
    tableStart = h.tableEnd - storedBytes;
  }
  std::vector<uint8_t> stored(storedBytes + 8);
  if (!ReadConcatenated(tableStart, storedBytes, stored.data())) {
    reason_ = "chunk table runs past the file";
    return false;
  }
  if (!compressed) return ParseTable(stored.data(), tableBytes);
  std::vector<uint8_t> table(tableBytes + 8);
  size_t written = 0;
  if (daa::InflateVariant(stored.data(), storedBytes, table.data(), tableBytes, 0, &written) !=
          daa::InflateStatus::kOk ||
      written != tableBytes) {
    reason_ = "compressed chunk table does not inflate to its size";
    return false;
  }
  return ParseTable(table.data(), tableBytes);
}

MzpStatus MzpContainer::SetPassword(std::string_view password) {
  if (!encrypted()) return MzpStatus::kOk;
  cache_.Forget();
  aes_.Clear();
  password = password.substr(0, kMaxPasswordBytes);
  if (password.empty()) return MzpStatus::kWrongPassword;
  uint8_t key[32] = {};
  std::memcpy(key, password.data(), std::min<size_t>(password.size(), keyBytes_));
  if (!aes_.SetKey(key, keyBytes_, false)) return Broken("the AES key cannot be set up");
  if (length_.empty()) return MzpStatus::kOk;
  const uint32_t before = badCrcs_;
  if (Chunk(0)) return MzpStatus::kOk;
  if (badCrcs_ != before) {
    aes_.Clear();
    reason_ = "wrong password";
    return MzpStatus::kWrongPassword;
  }
  return Broken("the first chunk cannot be read");
}

bool MzpContainer::DecodeChunk(uint32_t index, uint8_t* out, bool* crcFailed) {
  *crcFailed = false;
  const uint32_t length = length_[index];
  uint8_t* stored = input_.get() + daa::kLzmaHeaderSize;
  if (!ReadConcatenated(position_[index], length, stored)) return false;
  uint32_t plain = length;
  if (encrypted()) {
    if (!aes_ || length < 5) return false;
    const uint32_t padding = stored[0];
    const uint32_t cipherBytes = length - 5;
    if (cipherBytes % 16 != 0 || padding > 15 || padding > cipherBytes) return false;
    if (!aes_.Apply(stored + 1, cipherBytes)) return false;
    const uint32_t data = cipherBytes - padding;
    std::memmove(stored, stored + 1, data);
    std::memmove(stored + data, stored + 1 + cipherBytes, 4);
    plain = data + 4;
  }
  const uint32_t payload = plain - 4;
  if (Crc32(0, stored, payload) != Le32(stored + payload)) {
    *crcFailed = true;
    return false;
  }
  if (length == chunkSize_ + (encrypted() ? 5u : 4u)) {
    if (payload != chunkSize_) return false;
    std::memcpy(out, stored, chunkSize_);
    return true;
  }
  const bool last = index + 1 == length_.size();
  const uint64_t remainder = contentSize_ % chunkSize_;
  daa::ChunkBody body;
  body.front = input_.get();
  body.payload = payload;
  body.method = method_[index];
  body.variant = variant_;
  if (flags_ & daa::kFlagLzmaPrefix) body.lzmaPrefix = header_ + offsetof(MainHeader, lzmaFilter);
  body.expected = last && remainder != 0 ? static_cast<uint32_t>(remainder) : chunkSize_;
  const size_t capacity = body.method == daa::kMethodLzma ? size_t{chunkSize_} : size_t{chunkSize_} + kSlack;
  return daa::DecodeChunkBody(body, out, capacity);
}

const uint8_t* MzpContainer::Chunk(uint32_t index) {
  if (index >= length_.size()) return nullptr;
  return cache_.Get(index, [&](uint8_t* out) {
    bool crcFailed = false;
    if (DecodeChunk(index, out, &crcFailed)) return true;
    if (crcFailed) ++badCrcs_;
    return false;
  });
}

int MzpContainer::ReadSector(uint32_t sector, uint8_t* destination) {
  return ReadSectors(sector, 1, destination) == 1 ? 0 : -1;
}

uint32_t MzpContainer::ReadSectors(uint32_t first, uint32_t count, uint8_t* destination) {
  return daa::CopySectorsFromChunks(first, count, destination, sectorCount_, chunkSize_,
                                    [this](uint32_t index) { return Chunk(index); });
}

}  // namespace kv::mzp
