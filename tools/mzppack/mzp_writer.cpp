#include "tools/mzppack/mzp_writer.h"

#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/crc.h"
#include "formats/blockmap/aes_ecb.h"
#include "formats/daa/daa_format.h"
#include "formats/daa/variant_inflate.h"
#include "formats/mzp/mzp_format.h"

namespace kv::mzp {
namespace {

constexpr uint64_t kMinVolume = 64 * 1024;
constexpr uint32_t kMaxVolumes = 999;

bool EndsWithNoCase(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

// Splits `output` into the stem before ".partN…" and the extension; `digits` is the part's digit
// count, 0 when the name has no part.
void SplitName(const std::string& output, std::string* stem, std::string* ext, size_t* digits) {
  *stem = output;
  *ext = "mzp";
  if (EndsWithNoCase(output, ".mzp") || EndsWithNoCase(output, ".exe")) {
    *ext = output.substr(output.size() - 3);
    *stem = output.substr(0, output.size() - 4);
  }
  *digits = 0;
  for (size_t d : {3, 2}) {
    if (stem->size() < 5 + d || !EndsWithNoCase(stem->substr(0, stem->size() - d), ".part")) continue;
    if (std::all_of(stem->end() - static_cast<long>(d), stem->end(), [](char c) { return c >= '0' && c <= '9'; })) {
      *digits = d;
      *stem = stem->substr(0, stem->size() - 5 - d);
      return;
    }
  }
}

bool WriteAt(int fd, uint64_t offset, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

// The concatenated data, cut into volume files of `volumeSize` bytes (each later one behind its
// 100-byte header).
class VolumeSink {
 public:
  VolumeSink(std::string output, uint64_t volumeSize, uint32_t scheme)
      : output_(std::move(output)), volumeSize_(volumeSize), scheme_(scheme) {}
  ~VolumeSink() {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  bool Append(const uint8_t* p, size_t n, std::string* error) {
    while (n > 0) {
      if (fds_.empty() || (volumeSize_ != 0 && used_ == volumeSize_)) {
        if (!OpenNext(error)) return false;
      }
      const size_t take = volumeSize_ == 0 ? n : static_cast<size_t>(std::min<uint64_t>(n, volumeSize_ - used_));
      if (!WriteAt(fds_.back(), used_, p, take)) {
        *error = names_.back() + ": " + std::strerror(errno);
        return false;
      }
      used_ += take;
      position_ += take;
      p += take;
      n -= take;
    }
    return true;
  }
  bool Finish(std::string* error) {
    sizes_.push_back(used_);
    for (size_t i = 0; i < fds_.size(); ++i) {
      if (close(fds_[i]) != 0) {
        fds_[i] = -1;
        *error = names_[i] + ": " + std::strerror(errno);
        return false;
      }
      fds_[i] = -1;
    }
    return true;
  }
  uint64_t position() const { return position_; }
  const std::vector<std::string>& names() const { return names_; }
  const std::vector<uint64_t>& sizes() const { return sizes_; }

 private:
  bool OpenNext(std::string* error) {
    const uint32_t index = static_cast<uint32_t>(fds_.size());
    if (index >= kMaxVolumes) {
      *error = "more than 999 volumes";
      return false;
    }
    if (index > 0) sizes_.push_back(used_);
    const std::string name = volumeSize_ == 0 ? output_ : SplitVolumeName(output_, scheme_, index);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = name + ": " + std::strerror(errno);
      return false;
    }
    fds_.push_back(fd);
    names_.push_back(name);
    used_ = 0;
    if (index > 0) {
      daa::VolumeHeader h{};
      std::memcpy(h.signature, kVolumeSignature, sizeof kVolumeSignature);
      h.dataOffset = daa::kLaterVolumeHeaderSize;
      h.crc = Crc32(0, reinterpret_cast<const uint8_t*>(&h), offsetof(daa::VolumeHeader, crc));
      if (!WriteAt(fd, 0, reinterpret_cast<const uint8_t*>(&h), sizeof h)) {
        *error = name + ": " + std::strerror(errno);
        return false;
      }
      used_ = sizeof h;
    }
    return true;
  }

  std::string output_;
  uint64_t volumeSize_;
  uint32_t scheme_;
  std::vector<int> fds_;
  std::vector<std::string> names_;
  std::vector<uint64_t> sizes_;
  uint64_t used_ = 0, position_ = 0;
};

std::vector<uint8_t> RawDeflate(const uint8_t* data, size_t length, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(length)));
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(length);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (status != Z_STREAM_END) return {};
  return out;
}

class LzmaEncoder {
 public:
  bool Init(const PackOptions& o, uint8_t* properties) {
    if (lzma_lzma_preset(&lzma_, o.lzmaPreset)) return false;
    lzma_.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, std::min<uint32_t>(lzma_.dict_size, o.chunkSize));
    x86_ = o.x86Filter;
    lzma_filter f{LZMA_FILTER_LZMA1, &lzma_};
    return lzma_properties_encode(&f, properties) == LZMA_OK;
  }
  bool Encode(const uint8_t* data, size_t length, std::vector<uint8_t>* out) {
    lzma_filter filters[3];
    size_t n = 0;
    if (x86_) filters[n++] = {LZMA_FILTER_X86, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA1, &lzma_};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
    out->resize(length + length / 2 + 1024);
    size_t position = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, data, length, out->data(), &position, out->size()) != LZMA_OK)
      return false;
    out->resize(position);
    return true;
  }

 private:
  lzma_options_lzma lzma_{};
  bool x86_ = false;
};

uint32_t BitLength(uint64_t v) {
  uint32_t n = 0;
  for (; v != 0; v >>= 1) ++n;
  return n;
}

}  // namespace

std::string SplitVolumeName(const std::string& output, uint32_t scheme, uint32_t index) {
  std::string stem, ext;
  size_t digits;
  SplitName(output, &stem, &ext, &digits);
  const size_t width = scheme == 0 ? 2 : 3;
  std::string number = std::to_string(index + 1);
  number.insert(0, width > number.size() ? width - number.size() : 0, '0');
  if (index > 0 && EndsWithNoCase(ext, "exe")) ext = ext[0] == 'E' ? "MZP" : "mzp";
  return stem + ".part" + number + "." + ext;
}

std::string CheckPackOptions(const PackOptions& o) {
  if (o.chunkSize == 0 || o.chunkSize % daa::kChunkSizeUnit != 0 ||
      o.chunkSize / daa::kChunkSizeUnit > daa::kChunkSizeMask)
    return "the chunk size must be a multiple of 16384 up to 67092480";
  if (!o.password.empty() && o.keyBits != 128 && o.keyBits != 192 && o.keyBits != 256)
    return "the key length must be 128, 192 or 256 bits";
  if (o.password.size() > kMaxPasswordBytes) return "the password is longer than 256 bytes";
  if (o.volumeSize != 0 && o.volumeSize < kMinVolume) return "the volume size must be at least 65536";
  if (o.variant < 0 || o.variant > 3) return "the deflate variant must be 0 to 3";
  if (o.lzmaPreset > 9) return "the LZMA preset must be 0 to 9";
  return "";
}

bool WriteMzp(SectorSource& source, const std::string& output, const PackOptions& o, PackResult* result,
              std::string* error, const std::function<void(uint64_t)>& progress) {
  if (std::string why = CheckPackOptions(o); !why.empty()) {
    *error = why;
    return false;
  }
  const bool encrypted = !o.password.empty();
  const uint32_t keyBytes = o.keyBits / 8;
  AesEcb aes;
  if (encrypted) {
    uint8_t key[32] = {};
    std::memcpy(key, o.password.data(), std::min<size_t>(o.password.size(), keyBytes));
    if (!aes.SetKey(key, keyBytes, true)) {
      *error = "the AES key cannot be set up";
      return false;
    }
  }
  const uint64_t contentSize = source.SectorCount() * 2048;
  const uint64_t chunkCount = (contentSize + o.chunkSize - 1) / o.chunkSize;
  if (chunkCount > (1u << 24)) {
    *error = "too many chunks: choose a larger chunk size";
    return false;
  }
  // Length fields wide enough for any stored chunk, one method bit.
  const uint32_t lengthBits = std::max<uint32_t>(11, BitLength(uint64_t{o.chunkSize} + 65536));
  const uint32_t methodBits = 1;
  const uint64_t tableBytes = (chunkCount * (lengthBits + methodBits) + 7) / 8;
  std::vector<uint8_t> table(tableBytes + 8, 0);

  // The descriptor list is reserved before the chunks are written and filled in afterwards.
  const uint64_t perChunkBound = uint64_t{o.chunkSize} + 64 + 32;
  const uint64_t totalBound = 4096 + chunkCount * perChunkBound + 2 * tableBytes + 1024;
  uint32_t volumesBound = 1, scheme = 0;
  if (o.volumeSize != 0) {
    volumesBound = static_cast<uint32_t>(
        std::min<uint64_t>(kMaxVolumes, totalBound / (o.volumeSize - daa::kLaterVolumeHeaderSize) + 2));
    scheme = volumesBound > 99 ? 1 : 0;
  }
  const uint64_t indexBound = sizeof(IndexDescriptor) + compressBound(static_cast<uLong>(tableBytes)) + 16;
  const bool index = o.indexDescriptor && indexBound <= kMaxIndexBytes;
  uint64_t descriptorBytes = index ? indexBound : 0;
  if (o.volumeSize != 0)
    descriptorBytes += sizeof(daa::VolumeInfoDescriptor) + sizeof(daa::VolumeSizesHeader) +
                       uint64_t{volumesBound} * sizeof(daa::VolumeSize);
  descriptorBytes += sizeof(daa::DescriptorHeader);  // room for the filler
  const uint64_t headerSize = sizeof(MainHeader) + descriptorBytes;
  if (o.volumeSize != 0 && headerSize > o.volumeSize) {
    *error = "the volume size is smaller than the container header";
    return false;
  }

  VolumeSink sink(output, o.volumeSize, scheme);
  std::vector<uint8_t> zeros(headerSize, 0);
  if (!sink.Append(zeros.data(), zeros.size(), error)) return false;

  uint8_t properties[5] = {};
  LzmaEncoder lzma;
  if (o.method == PackMethod::kLzma && !lzma.Init(o, properties)) {
    *error = "the LZMA encoder cannot be set up";
    return false;
  }
  std::vector<uint8_t> plain(o.chunkSize), packed, stored;
  const uint32_t sectorsPerChunk = o.chunkSize / 2048;
  for (uint64_t c = 0; c < chunkCount; ++c) {
    const uint64_t first = c * sectorsPerChunk;
    const uint32_t sectors = static_cast<uint32_t>(std::min<uint64_t>(sectorsPerChunk, source.SectorCount() - first));
    const size_t length = size_t{sectors} * 2048;
    if (!source.Read(first, sectors, plain.data(), error)) return false;
    uint32_t method = daa::kMethodLzma;
    if (o.method == PackMethod::kLzma) {
      std::vector<uint8_t> body;
      if (!lzma.Encode(plain.data(), length, &body)) {
        *error = "LZMA compression failed";
        return false;
      }
      packed.clear();
      if (o.lzmaChunkHeaders) {
        packed.push_back(o.x86Filter ? daa::kLzmaFilterX86 : daa::kLzmaFilterNone);
        packed.insert(packed.end(), properties, properties + 5);
        const uint64_t size = length;
        packed.insert(packed.end(), reinterpret_cast<const uint8_t*>(&size),
                      reinterpret_cast<const uint8_t*>(&size) + 8);
      }
      packed.insert(packed.end(), body.begin(), body.end());
    } else {
      method = daa::kMethodDeflate;
      packed = RawDeflate(plain.data(), length, 6);
      if (packed.empty() || !daa::RecodeToVariant(packed.data(), packed.size(), length, o.variant)) {
        *error = "deflate compression failed";
        return false;
      }
    }
    // The reader takes a stored length of chunk size + 4 (+ 5 encrypted) for a chunk stored as it
    // is: a full chunk that does not shrink below that is stored so, and a last, shorter chunk
    // whose compressed form would reach that length is written as deflate stored blocks instead.
    const size_t rawStored = size_t{o.chunkSize} + (encrypted ? 5 : 4);
    const auto storedLength = [encrypted](size_t n) { return encrypted ? 1 + (n + 15) / 16 * 16 + 4 : n + 4; };
    bool raw = false;
    if (storedLength(packed.size()) >= rawStored) {
      if (length == o.chunkSize) {
        raw = true;
      } else {
        method = daa::kMethodDeflate;
        packed = RawDeflate(plain.data(), length, 0);
        if (packed.empty() || storedLength(packed.size()) >= rawStored ||
            !daa::RecodeToVariant(packed.data(), packed.size(), length, o.variant)) {
          *error = "a chunk cannot be stored";
          return false;
        }
      }
    }
    const uint8_t* data = raw ? plain.data() : packed.data();
    const size_t n = raw ? length : packed.size();
    const uint32_t crc = Crc32(0, data, n);
    stored.clear();
    if (encrypted) {
      const size_t padding = (16 - n % 16) % 16;
      stored.push_back(static_cast<uint8_t>(padding));
      stored.insert(stored.end(), data, data + n);
      stored.insert(stored.end(), padding, 0);
      if (!aes.Apply(stored.data() + 1, n + padding)) {
        *error = "AES encryption failed";
        return false;
      }
    } else {
      stored.assign(data, data + n);
    }
    stored.insert(stored.end(), reinterpret_cast<const uint8_t*>(&crc), reinterpret_cast<const uint8_t*>(&crc) + 4);
    const uint64_t field = stored.size() - (encrypted ? 6 : 5);
    if (BitLength(field) > lengthBits) {
      *error = "a chunk does not fit its length field";
      return false;
    }
    const uint64_t bit = c * (lengthBits + methodBits);
    for (uint32_t b = 0; b < lengthBits + methodBits; ++b) {
      const uint64_t value = b < lengthBits ? (field >> b) & 1 : (method >> (b - lengthBits)) & 1;
      if (value) table[(bit + b) / 8] |= static_cast<uint8_t>(1u << ((bit + b) % 8));
    }
    if (!sink.Append(stored.data(), stored.size(), error)) return false;
    if (progress) progress(first + sectors);
  }

  // The table at the end, deflated when asked (and when that helps).
  std::vector<uint8_t> deflatedTable = RawDeflate(table.data(), tableBytes, 9);
  const bool compressTable = o.compressedTable && !deflatedTable.empty() && tableBytes > 0;
  const std::vector<uint8_t> tableOut =
      compressTable ? deflatedTable
                    : std::vector<uint8_t>(table.begin(), table.begin() + static_cast<long>(tableBytes));
  if (!sink.Append(tableOut.data(), tableOut.size(), error)) return false;
  const uint64_t tableEnd = sink.position();
  if (!sink.Finish(error)) return false;

  // Descriptors: volumes, index, and a filler up to the header size.
  std::vector<uint8_t> list;
  const auto append = [&list](const void* p, size_t n) {
    list.insert(list.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  const auto& sizes = sink.sizes();
  if (o.volumeSize != 0) {
    daa::VolumeInfoDescriptor info{};
    info.header = {daa::kDescriptorVolumeInfo, sizeof info};
    info.volumeCount = static_cast<uint32_t>(sizes.size());
    info.namingScheme = scheme;
    append(&info, sizeof info);
    daa::VolumeSizesHeader vs{};
    vs.header = {daa::kDescriptorVolumeSizes,
                 static_cast<uint32_t>(sizeof vs + sizes.size() * sizeof(daa::VolumeSize))};
    vs.count = static_cast<uint32_t>(sizes.size());
    vs.one = 1;
    append(&vs, sizeof vs);
    for (uint64_t s : sizes) {
      daa::VolumeSize v{static_cast<uint32_t>(s), static_cast<uint8_t>(s >> 32)};
      append(&v, sizeof v);
    }
  }
  if (index) {
    const std::vector<uint8_t> deflated = RawDeflate(table.data(), tableBytes, 9);
    IndexDescriptor x{};
    x.type = kDescriptorIndex;
    x.length = static_cast<uint32_t>(sizeof x + deflated.size());
    x.chunkCount = static_cast<uint32_t>(chunkCount);
    x.tableBytes = static_cast<uint32_t>(tableBytes);
    if (!deflated.empty() && x.length <= kMaxIndexBytes) {
      append(&x, sizeof x);
      append(deflated.data(), deflated.size());
    }
  }
  if (list.size() + sizeof(daa::DescriptorHeader) > descriptorBytes) {
    *error = "the descriptors do not fit their reserved room";
    return false;
  }
  const daa::DescriptorHeader filler{0, static_cast<uint32_t>(descriptorBytes - list.size())};
  append(&filler, sizeof filler);
  list.resize(descriptorBytes, 0);

  MainHeader h{};
  std::memcpy(h.signature, "MZP", 3);
  h.headerSize = static_cast<uint32_t>(headerSize);
  h.version = kVersion;
  h.dataOffset = static_cast<uint32_t>(headerSize) | daa::kTableAtEnd;
  h.encryption = encrypted ? static_cast<uint8_t>(o.keyBits == 128 ? 1 : o.keyBits == 192 ? 2 : 3) : 0;
  h.one = 1;
  uint32_t flags = o.chunkSize / daa::kChunkSizeUnit;
  if (compressTable) flags |= daa::kFlagCompressedTable;
  if (o.method == PackMethod::kLzma && !o.lzmaChunkHeaders) flags |= daa::kFlagLzmaPrefix;
  flags |= static_cast<uint32_t>(o.variant & 3) << daa::kVariantShift;
  h.chunkSizeFlags = flags;
  h.contentSize = contentSize;
  h.tableEnd = tableEnd;
  h.compressedTableSize = compressTable ? static_cast<uint32_t>(tableOut.size()) : 0;
  h.bitWidths = static_cast<uint8_t>((lengthBits - 10) << 3 | methodBits);
  h.lzmaFilter = o.x86Filter ? daa::kLzmaFilterX86 : daa::kLzmaFilterNone;
  std::memcpy(h.lzmaProperties, properties, 5);
  h.crc = Crc32(0, reinterpret_cast<const uint8_t*>(&h), offsetof(MainHeader, crc));
  std::vector<uint8_t> head(reinterpret_cast<const uint8_t*>(&h), reinterpret_cast<const uint8_t*>(&h) + sizeof h);
  head.insert(head.end(), list.begin(), list.end());

  // Reopen the first volume to write its header.
  const int fd = open(sink.names().front().c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || !WriteAt(fd, 0, head.data(), head.size())) {
    *error = sink.names().front() + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (close(fd) != 0) {
    *error = sink.names().front() + ": " + std::strerror(errno);
    return false;
  }
  result->files = sink.names();
  result->bytes = 0;
  for (uint64_t s : sizes) result->bytes += s;
  result->chunks = static_cast<uint32_t>(chunkCount);
  return true;
}

}  // namespace kv::mzp
