#include "formats/daa/daa_image.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/crc.h"
#include "formats/daa/chunk_codec.h"
#include "formats/daa/daa_format.h"
#include "formats/daa/lzma_chunk.h"
#include "formats/daa/variant_inflate.h"

namespace kv::daa {
namespace {

constexpr uint32_t kSlack = 64 * 1024;
constexpr uint32_t kMaxDescriptorBytes = 1 << 20;
constexpr uint32_t kMaxChunks = 1 << 24;
constexpr uint32_t kMaxVolumes = 999;
constexpr uint32_t kMaxCompressedTable = 64 << 20;
constexpr uint32_t kLargeChunk = 4 << 20;

bool ReadHeaderAt(ImageFile& file, int64_t fileSize, uint64_t offset, uint8_t* header, SignatureKind* kind) {
  if (fileSize < 0 || offset > static_cast<uint64_t>(fileSize) || static_cast<uint64_t>(fileSize) - offset < 76)
    return false;
  if (!file.ReadAt(offset, 76, header)) return false;
  uint8_t alternative[16] = {};
  std::memcpy(alternative, kAltGbiSignature, sizeof kAltGbiSignature);
  if (SignatureIs(header, "DAA")) {
    *kind = SignatureKind::kDaa;
  } else if (SignatureIs(header, "GBI")) {
    *kind = SignatureKind::kGbi;
  } else if (std::memcmp(header, alternative, 16) == 0) {
    *kind = SignatureKind::kGbiAlternative;
  } else {
    return false;
  }
  return Crc32(0, header, 72) == Le32(header + 72);
}

// Type 6, else type 5; `place` untouched when neither is valid.
bool LocateHeader(ImageFile& file, int64_t fileSize, HeaderPlace* place) {
  uint8_t header[76];
  SignatureKind kind;
  if (fileSize >= static_cast<int64_t>(sizeof(Locator6))) {
    Locator6 l;
    if (file.ReadAt(static_cast<uint64_t>(fileSize) - sizeof l, sizeof l, &l) && l.type == 6 && l.size == 20) {
      const uint64_t offset = l.headerPosition & 0x7FFFFFFF;
      if (ReadHeaderAt(file, fileSize, offset, header, &kind)) {
        *place = {offset, 6};
        return true;
      }
    }
  }
  if (fileSize > static_cast<int64_t>(kLocator5MinFileSize)) {
    Locator5 l;
    if (file.ReadAt(static_cast<uint64_t>(fileSize) - sizeof l, sizeof l, &l) && l.type == 5 && l.size == 28) {
      if (ReadHeaderAt(file, fileSize, l.headerOffset, header, &kind)) {
        *place = {l.headerOffset, 5};
        return true;
      }
    }
  }
  return false;
}

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool EndsWithNoCase(const std::u16string& s, std::u16string_view tail) {
  if (s.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (Lower(s[s.size() - tail.size() + i]) != tail[i]) return false;
  return true;
}

// Splits "stem.ext" where ext is daa, exe or gbi (any case); false otherwise.
bool SplitExtension(const std::u16string& name, std::u16string* stem, std::u16string* ext) {
  for (std::u16string_view e : {u".daa", u".exe", u".gbi"}) {
    if (EndsWithNoCase(name, e)) {
      *stem = name.substr(0, name.size() - 4);
      *ext = name.substr(name.size() - 3);
      return true;
    }
  }
  return false;
}

std::u16string Digits(uint32_t value, int width) {
  std::u16string out(static_cast<size_t>(width), u'0');
  for (int i = width - 1; i >= 0; --i, value /= 10)
    out[static_cast<size_t>(i)] = static_cast<char16_t>(u'0' + value % 10);
  return out;
}

// Length of the ".partN…" run of `digits` digits at the end of `stem`, or 0.
bool HasPartSuffix(const std::u16string& stem, int digits) {
  const size_t n = 5 + static_cast<size_t>(digits);
  if (stem.size() < n) return false;
  if (!EndsWithNoCase(stem.substr(0, stem.size() - static_cast<size_t>(digits)), u".part")) return false;
  for (size_t i = stem.size() - static_cast<size_t>(digits); i < stem.size(); ++i)
    if (stem[i] < u'0' || stem[i] > u'9') return false;
  return true;
}

std::u16string DataExtension(const std::u16string& ext, bool gbi) {
  if (!EndsWithNoCase(ext, u"exe")) return ext;
  const bool upper = ext[0] == u'E';
  if (gbi) return upper ? u"GBI" : u"gbi";
  return upper ? u"DAA" : u"daa";
}

}  // namespace

bool HasValidLocator(ImageFile& file, int64_t fileSize) {
  HeaderPlace place;
  return LocateHeader(file, fileSize, &place);
}

bool IsLaterVolume(const uint8_t* bytes, size_t length) {
  return length >= 16 && (SignatureIs(bytes, "DAA VOL") || SignatureIs(bytes, "GBI VOL"));
}

bool LooksLikeDaa(const uint8_t* bytes, size_t length) {
  if (length < 16) return false;
  uint8_t alternative[16] = {};
  std::memcpy(alternative, kAltGbiSignature, sizeof kAltGbiSignature);
  return SignatureIs(bytes, "DAA") || SignatureIs(bytes, "GBI") || std::memcmp(bytes, alternative, 16) == 0 ||
         IsLaterVolume(bytes, length);
}

std::u16string VolumeName(const std::u16string& name, uint32_t scheme, uint32_t index, bool gbi) {
  std::u16string stem, ext;
  if (!SplitExtension(name, &stem, &ext)) return {};
  if (scheme == 0 || scheme == 1) {
    const int digits = scheme == 0 ? 2 : 3;
    if (!HasPartSuffix(stem, digits) || index + 1 >= (scheme == 0 ? 100u : 1000u)) return {};
    stem.replace(stem.size() - static_cast<size_t>(digits), static_cast<size_t>(digits), Digits(index + 1, digits));
    return stem + u"." + (index > 0 ? DataExtension(ext, gbi) : ext);
  }
  if (scheme == 2) {
    if (index == 0) return name;
    if (index > 100) return {};
    return stem + u"." + ext.substr(0, 1) + Digits(index - 1, 2);
  }
  return {};
}

std::u16string PartVolumeName(const std::u16string& name, uint32_t scheme, uint32_t index,
                              std::u16string_view dataExt) {
  if (scheme > 1 || dataExt.size() != 3) return {};
  std::u16string dotted = u".";
  dotted += dataExt;
  std::u16string stem, ext;
  if (EndsWithNoCase(name, dotted) || EndsWithNoCase(name, u".exe")) {
    stem = name.substr(0, name.size() - 4);
    ext = name.substr(name.size() - 3);
  } else {
    return {};
  }
  const int digits = scheme == 0 ? 2 : 3;
  if (!HasPartSuffix(stem, digits) || index + 1 >= (scheme == 0 ? 100u : 1000u)) return {};
  stem.replace(stem.size() - static_cast<size_t>(digits), static_cast<size_t>(digits), Digits(index + 1, digits));
  if (index > 0 && EndsWithNoCase(ext, u"exe")) ext = std::u16string(dataExt);
  return stem + u"." + ext;
}

std::u16string FirstVolumeName(const std::u16string& name, bool gbi) {
  const size_t dot = name.rfind(u'.');
  if (dot == std::u16string::npos || name.size() - dot != 4) return {};
  std::u16string stem = name.substr(0, dot), ext = name.substr(dot + 1);
  for (int digits : {3, 2}) {
    if (HasPartSuffix(stem, digits)) {
      stem.replace(stem.size() - static_cast<size_t>(digits), static_cast<size_t>(digits), Digits(1, digits));
      return stem + u"." + ext;
    }
  }
  if (ext[1] >= u'0' && ext[1] <= u'9' && ext[2] >= u'0' && ext[2] <= u'9') {
    const bool upper = ext[0] >= u'A' && ext[0] <= u'Z';
    return stem + u"." + (gbi ? (upper ? u"GBI" : u"gbi") : (upper ? u"DAA" : u"daa"));
  }
  return {};
}

DaaImage::~DaaImage() = default;

bool DaaImage::Fail(const char* reason) {
  reason_ = reason;
  return false;
}

MountError DaaImage::Refuse(const char* reason) {
  reason_ = reason;
  return kMountUnrecognised;
}

MountError DaaImage::Open(ImageFile* primary, int64_t primarySize, const std::u16string& name,
                          const OpenOptions& options) {
  primary_ = primary;
  primarySize_ = primarySize;
  if (!primary_ || primarySize < 0) {
    reason_ = "the file cannot be read";
    return kMountUnrecognised;
  }
  try {
    // 1-2. The header and its CRC.
    if (!LocateHeader(*primary_, primarySize_, &place_)) place_ = {};
    if (!ReadHeaderAt(*primary_, primarySize_, place_.offset, header_, &signature_)) {
      uint8_t first[16] = {};
      if (primarySize_ >= 16 && primary_->ReadAt(0, 16, first) && IsLaterVolume(first, 16))
        reason_ = "this is a later volume of a split image";
      else
        reason_ = "no DAA/GBI header with a valid signature and CRC";
      return kMountUnrecognised;
    }
    MainHeader h;
    std::memcpy(&h, header_, sizeof h);
    version_ = h.version;
    if (version_ != kVersion100 && version_ != kVersion110) {
      reason_ = "unsupported header version";
      return kMountUnsupportedVersion;
    }
    // 3. Chunk size and flags.
    if (version_ == kVersion100) {
      if (h.chunkSizeFlags != 65536) return Refuse("version 0x100 with a chunk size other than 64 KiB");
      chunkSize_ = 65536;
    } else {
      chunkSize_ = (h.chunkSizeFlags & kChunkSizeMask) * kChunkSizeUnit;
      flags_ = h.chunkSizeFlags & ~kChunkSizeMask;
      if (chunkSize_ == 0) return Refuse("chunk size 0");
      if (flags_ & kFlagKeyWord) return Refuse("the image size is keyed with a key word that is not available");
      if (flags_ & kFlagTableKey) return Refuse("the chunk table is keyed with a table key that is not available");
      if (flags_ & kFlagMaskedTable) return Refuse("the chunk table is masked (not supported)");
      variant_ = static_cast<int>((flags_ >> kVariantShift) & 3);
      if (signature_ == SignatureKind::kGbiAlternative) variant_ ^= 1;
      methodBits_ = h.bitWidths & 7;
      lengthBits_ = ChunkLengthBits(h.bitWidths, chunkSize_);
      if (lengthBits_ > 32) return Refuse("chunk length field wider than 32 bits");
    }
    allDeflate_ = (h.dataOffset & kAllDeflate) != 0;
    if (h.headerSize <= 75 || h.one != 1) return Refuse("bad header size or layout word");
    if (h.headerSize - 76 > kMaxDescriptorBytes || place_.offset + h.headerSize > static_cast<uint64_t>(primarySize_))
      return Refuse("descriptor list too long");
    imageSize_ = h.imageSize;
    if (imageSize_ / kSectorSize > UINT32_MAX) return Refuse("image size too large");
    sectorCount_ = static_cast<uint32_t>(imageSize_ / kSectorSize);

    // 3-4. Descriptors: volumes and encryption.
    std::vector<uint8_t> descriptors(h.headerSize - 76);
    if (!descriptors.empty() && !primary_->ReadAt(place_.offset + 76, descriptors.size(), descriptors.data()))
      return Refuse("descriptor list runs past the file");
    if (!ReadDescriptors(descriptors.data(), descriptors.size(), name, options)) return kMountUnrecognised;

    // 5-7. The chunk table and the chunk positions.
    if (!ReadTable()) return kMountUnrecognised;

    // 8. The cache.
    cache_.Reset(chunkSize_ < kLargeChunk ? 4 : 2, size_t{chunkSize_} + kSlack);
    input_.reset(new uint8_t[kLzmaHeaderSize + size_t{chunkSize_} + kSlack]);
  } catch (const std::bad_alloc&) {
    return kMountNoMemory;
  }
  return kMountOk;
}

bool DaaImage::ReadDescriptors(const uint8_t* bytes, size_t length, const std::u16string& name,
                               const OpenOptions& options) {
  bool haveInfo = false, haveSizes = false;
  uint32_t volumeCount = 1;
  std::vector<uint64_t> sizes;
  for (size_t at = 0; at + sizeof(DescriptorHeader) <= length;) {
    DescriptorHeader d;
    std::memcpy(&d, bytes + at, sizeof d);
    if (d.length < sizeof d || d.length > length - at) return Fail("descriptor with a bad length");
    const uint8_t* p = bytes + at;
    if (d.type == kDescriptorVolumeInfo) {
      if (d.length < sizeof(VolumeInfoDescriptor)) return Fail("short volume descriptor");
      VolumeInfoDescriptor v;
      std::memcpy(&v, p, sizeof v);
      if (v.volumeCount == 0 || v.volumeCount > kMaxVolumes) return Fail("bad volume count");
      volumeCount = v.volumeCount;
      namingScheme_ = v.namingScheme & 0xF;
      haveInfo = true;
    } else if (d.type == kDescriptorVolumeSizes) {
      if (d.length < sizeof(VolumeSizesHeader)) return Fail("short volume size descriptor");
      VolumeSizesHeader v;
      std::memcpy(&v, p, sizeof v);
      if (v.one == 1 && v.count <= kMaxVolumes && d.length >= sizeof v + uint64_t{v.count} * sizeof(VolumeSize)) {
        sizes.clear();
        for (uint32_t i = 0; i < v.count; ++i) {
          VolumeSize s;
          std::memcpy(&s, p + sizeof v + i * sizeof s, sizeof s);
          sizes.push_back(uint64_t{s.high} << 32 | s.low);
        }
        haveSizes = true;
      }
    } else if (d.type == kDescriptorEncryption) {
      EncryptionDescriptor e;
      if (d.length != sizeof e) return Fail("encryption descriptor of an unknown kind");
      std::memcpy(&e, p, sizeof e);
      if (e.kind != 0) return Fail("encryption descriptor of an unknown kind");
      encrypted_ = true;
      checkCrc_ = e.checkCrc;
      std::memcpy(checkBytes_, e.check, sizeof checkBytes_);
    }
    at += d.length;
  }
  if (haveInfo && (!haveSizes || sizes.size() != volumeCount)) return Fail("volume descriptor without volume sizes");
  if (encrypted_) cipher_.SetPassword(options.password);

  // Volume map: volume 0 from the header's file, every later one behind its 100-byte header.
  const bool gbi = signature_ != SignatureKind::kDaa;
  uint64_t start = 0;
  if (volumeCount == 1) {
    const uint64_t size = static_cast<uint64_t>(primarySize_);
    Volume v;
    v.name = name;
    v.length = place_.locator == 5 && size >= sizeof(Locator5) ? size - sizeof(Locator5) : size;
    volumes_.push_back(std::move(v));
    return true;
  }
  if (namingScheme_ > 2) return Fail("unknown volume naming scheme");
  for (uint32_t i = 0; i < volumeCount; ++i) {
    Volume v;
    const uint64_t size = sizes[i];
    if (i == 0) {
      v.length = place_.locator == 5 ? (size >= sizeof(Locator5) ? size - sizeof(Locator5) : 0) : size;
      v.name = name;
    } else {
      if (size < kLaterVolumeHeaderSize) return Fail("volume smaller than its header");
      v.length = size - kLaterVolumeHeaderSize;
      v.fileOffset = kLaterVolumeHeaderSize;
      v.name = VolumeName(name, namingScheme_, i, gbi);
      if (v.name.empty()) return Fail("the image name does not fit the volume naming scheme");
      // Opened now, with the rights of whoever opens the image; a missing one fails its reads.
      if (options.openVolume) v.file = options.openVolume(v.name);
    }
    if (i == 0 && VolumeName(name, namingScheme_, 0, gbi) != name && namingScheme_ != 2)
      return Fail("the image name does not fit the volume naming scheme (x.part01.daa, x.part001.daa)");
    v.start = start;
    start += v.length;
    volumes_.push_back(std::move(v));
  }
  return true;
}

bool DaaImage::ReadConcatenated(uint64_t position, uint64_t length, uint8_t* out) {
  while (length > 0) {
    size_t i = 0;
    while (i < volumes_.size() && position >= volumes_[i].start + volumes_[i].length) ++i;
    if (i == volumes_.size()) return false;
    Volume& v = volumes_[i];
    const uint64_t within = position - v.start;
    const uint64_t n = std::min(length, v.length - within);
    if (i == 0) {
      if (!primary_->ReadAt(v.fileOffset + within, n, out)) return false;
    } else {
      if (!v.file) return false;
      if (currentVolume_ != i || !volumeFile_) {
        // The current later volume is closed and the needed one taken up.
        volumeFile_.reset();
        std::unique_ptr<RawFile> borrowed(new (std::nothrow) BorrowedFile(v.file.get()));
        if (borrowed) volumeFile_.reset(new (std::nothrow) ImageFile(std::move(borrowed)));
        if (!volumeFile_ || !volumeFile_->ok()) {
          volumeFile_.reset();
          return false;
        }
        currentVolume_ = i;
      }
      if (!volumeFile_->ReadAt(v.fileOffset + within, n, out)) return false;
    }
    position += n;
    length -= n;
    out += n;
  }
  return true;
}

bool DaaImage::ReadTable() {
  MainHeader h;
  std::memcpy(&h, header_, sizeof h);
  const uint64_t count64 = imageSize_ == 0 ? 0 : (imageSize_ - 1) / chunkSize_ + 1;
  if (count64 > kMaxChunks) return Fail("too many chunks");
  const uint32_t count = static_cast<uint32_t>(count64);
  uint64_t dataEnd = 0;
  for (const Volume& v : volumes_) dataEnd = v.start + v.length;
  // Every chunk takes at least 5 stored bytes: this bounds the table before anything is allocated.
  if (uint64_t{count} * 5 > dataEnd) return Fail("chunk table larger than the image data");
  const uint32_t entryBits = version_ == kVersion100 ? 24 : lengthBits_ + methodBits_;
  const uint64_t tableBytes = (uint64_t{count} * entryBits + 7) / 8;
  const bool atEnd = (h.dataOffset & kTableAtEnd) != 0;
  const bool compressed = version_ == kVersion110 && (flags_ & kFlagCompressedTable);
  const uint64_t storedBytes = compressed ? h.compressedTableSize : tableBytes;
  if (compressed && storedBytes > kMaxCompressedTable) return Fail("compressed chunk table too large");
  uint64_t tableStart = place_.offset + h.headerSize;
  if (atEnd) {
    if (h.tableEnd < storedBytes) return Fail("chunk table end before its start");
    tableStart = h.tableEnd - storedBytes;
  }
  if (storedBytes > dataEnd) return Fail("chunk table runs past the file");
  std::vector<uint8_t> stored(storedBytes + 8);  // room to read whole bytes past the last field
  if (!ReadConcatenated(tableStart, storedBytes, stored.data())) return Fail("chunk table runs past the file");
  std::vector<uint8_t> table;
  const uint32_t crc = Le32(header_ + 72);
  const bool alternative = signature_ == SignatureKind::kGbiAlternative;
  if (compressed) {
    if (alternative) {
      const uint8_t mask = static_cast<uint8_t>(~(storedBytes & 0xFF));
      for (uint64_t i = 0; i < storedBytes; ++i) stored[i] = static_cast<uint8_t>((stored[i] - 7 * i) ^ mask);
    }
    table.resize(tableBytes + 8);
    size_t written = 0;
    if (InflateVariant(stored.data(), storedBytes, table.data(), tableBytes, 0, &written) != InflateStatus::kOk ||
        written != tableBytes)
      return Fail("compressed chunk table does not inflate to its size");
  } else {
    table = std::move(stored);
    if (version_ == kVersion110 && (flags_ & kFlagScrambledTable)) {
      if (alternative) {
        uint8_t key = static_cast<uint8_t>(crc), step = static_cast<uint8_t>(crc >> 8);
        for (uint64_t i = 0; i < tableBytes; ++i, key = static_cast<uint8_t>(key + step))
          table[i] = static_cast<uint8_t>(table[i] + key);
      } else {
        uint8_t key = static_cast<uint8_t>(sectorCount_), step = static_cast<uint8_t>(sectorCount_ >> 8);
        for (uint64_t i = 0; i < tableBytes; ++i, key = static_cast<uint8_t>(key + step))
          table[i] = static_cast<uint8_t>(table[i] - key);
      }
    } else if (alternative) {
      const uint8_t mask = static_cast<uint8_t>(tableBytes >> 2);
      for (uint64_t i = 0; i < tableBytes; ++i) table[i] = static_cast<uint8_t>((table[i] - crc) ^ mask);
    }
  }

  uint64_t position = place_.offset + (h.dataOffset & kFirstChunkMask);
  if (version_ == kVersion110) {
    ChunkTableLayout layout;
    layout.count = count;
    layout.lengthBits = lengthBits_;
    layout.methodBits = methodBits_;
    layout.firstChunk = position;
    layout.dataEnd = dataEnd;
    layout.maxLength = uint64_t{chunkSize_} + kSlack;
    const char* why = nullptr;
    if (!ParseBitPackedTable(table.data(), tableBytes, layout, &chunkPosition_, &chunkLength_, &chunkMethod_, &why))
      return Fail(why);
    return true;
  }
  chunkPosition_.resize(count);
  chunkLength_.resize(count);
  chunkMethod_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = table.data() + 3 * uint64_t{i};
    const uint64_t length = uint64_t{e[0] & 0x7Fu} << 16 | uint64_t{e[2]} << 8 | e[1];
    if (length < 5 || length > uint64_t{chunkSize_} + kSlack) return Fail("chunk of a bad stored length");
    if (position > dataEnd || dataEnd - position < length) return Fail("chunk positions run past the image data");
    chunkPosition_[i] = position;
    chunkLength_[i] = static_cast<uint32_t>(length);
    chunkMethod_[i] = kMethodDeflate;
    position += length;
  }
  return true;
}

bool DaaImage::PasswordMatches(std::string_view password) const {
  if (!encrypted_ || password.empty()) return false;
  auto cipher = std::make_unique<NibbleCipher>();
  cipher->SetPassword(password);
  uint8_t check[128];
  std::memcpy(check, checkBytes_, sizeof check);
  cipher->Decrypt(check, sizeof check);
  return Crc32(0, check, sizeof check) == checkCrc_;
}

bool DaaImage::DecodeChunk(uint32_t index, uint8_t* out) {
  const uint32_t length = chunkLength_[index];
  uint8_t* stored = input_.get() + kLzmaHeaderSize;
  if (!ReadConcatenated(chunkPosition_[index], length, stored)) return false;
  cipher_.Decrypt(stored, length);
  const uint32_t payload = length - 4;
  if (Crc32(0, stored, payload) != Le32(stored + payload)) return false;
  const bool last = index + 1 == chunkLength_.size();
  const uint64_t remainder = imageSize_ % chunkSize_;
  const uint32_t expected = last && remainder != 0 ? static_cast<uint32_t>(remainder) : chunkSize_;
  const size_t capacity = size_t{chunkSize_} + kSlack;
  if (version_ == kVersion110 && length == chunkSize_ + 4u) {
    std::memcpy(out, stored, chunkSize_);
    return true;
  }
  ChunkBody body;
  body.front = input_.get();
  body.payload = payload;
  body.expected = expected;
  const bool deflate = version_ == kVersion100 || allDeflate_;
  body.method = deflate ? static_cast<uint8_t>(kMethodDeflate) : chunkMethod_[index];
  body.variant = version_ == kVersion100 ? 0 : variant_;
  if (flags_ & kFlagLzmaPrefix) body.lzmaPrefix = header_ + offsetof(MainHeader, lzmaFilter);
  return DecodeChunkBody(body, out, body.method == kMethodLzma ? std::min<size_t>(capacity, chunkSize_) : capacity);
}

const uint8_t* DaaImage::Chunk(uint32_t index) {
  if (index >= chunkLength_.size()) return nullptr;
  return cache_.Get(index, [&](uint8_t* out) { return DecodeChunk(index, out); });
}

uint32_t DaaImage::ReadSectors(uint64_t first, uint32_t count, uint8_t* destination) {
  return CopySectorsFromChunks(first, count, destination, sectorCount_, chunkSize_,
                               [this](uint32_t index) { return Chunk(index); });
}

std::string DescribeDaaProblem(ImageFile& file, int64_t fileSize, const std::u16string& name, std::string_view password,
                               std::u16string* firstVolume) {
  firstVolume->clear();
  uint8_t head[16] = {};
  if (fileSize >= 16 && file.ReadAt(0, 16, head) && IsLaterVolume(head, 16)) {
    *firstVolume = FirstVolumeName(name, SignatureIs(head, "GBI VOL"));
    return "this is a later volume of a split image; open its first volume";
  }
  auto image = std::make_unique<DaaImage>();
  OpenOptions options;
  options.password = password;
  options.openVolume = [](const std::u16string&) { return std::unique_ptr<RawFile>(); };
  const MountError error = image->Open(&file, fileSize, name, options);
  if (error != kMountOk)
    return LooksLikeDaa(head, sizeof head) || HasValidLocator(file, fileSize) ? image->reason() : "";
  if (image->encrypted()) {
    if (password.empty()) return "the image is encrypted: give its password (--password-file)";
    if (!image->PasswordMatches(password)) return "wrong password";
  }
  return "";
}

}  // namespace kv::daa
