// The MZP container reader: header and CRC, descriptors, volumes, the chunk table (from the index
// descriptor or from its place), and chunk decoding with AES-ECB, deflate variants and LZMA.
// Plain code over ImageFile, shared by the service, the manager and the tools.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/blockmap/aes_ecb.h"
#include "formats/daa/daa_image.h"
#include "formats/image_source.h"

namespace kv::mzp {

enum class MzpStatus : uint8_t {
  kOk,
  kNotMzp,              // no MZP signature (or a later volume: see IsMzpLaterVolume)
  kBroken,              // header CRC, layout, descriptors or chunk table refused; reason() tells
  kUnsupportedVersion,  // a valid header of a version other than 0x100
  kPasswordNeeded,      // encrypted and no password given
  kWrongPassword,       // the password does not decrypt the first chunk
  kNoMemory,
};

struct MzpOpenOptions {
  std::string_view password;     // at most 256 bytes are used
  daa::VolumeOpener openVolume;  // null: only volume 0 can be read
  bool useIndex = true;          // take the chunk table from the index descriptor when present
};

bool LooksLikeMzp(const uint8_t* bytes, size_t length);
bool IsMzpLaterVolume(const uint8_t* bytes, size_t length);
// Name of volume `index` of `name` under naming scheme 0 or 1 (".mzp" / ".exe").
std::u16string MzpVolumeName(const std::u16string& name, uint32_t scheme, uint32_t index);
const char* MzpStatusText(MzpStatus status);

class MzpContainer {
 public:
  MzpContainer() = default;
  MzpContainer(const MzpContainer&) = delete;
  MzpContainer& operator=(const MzpContainer&) = delete;

  // Opens the container whose first volume is `primary` (not owned; must outlive this object).
  // With the index tried first, a container whose index is unusable opens from its table.
  MzpStatus Open(ImageFile* primary, int64_t primarySize, const std::u16string& name, const MzpOpenOptions& options);

  // Sets the key from `password` (cut to 256 bytes) and tests it on the first chunk: kOk,
  // kWrongPassword (the key is cleared), or kBroken when the chunk cannot be read at all.
  MzpStatus SetPassword(std::string_view password);

  // Reads one 2048-byte sector: 0 on success, -1 on failure.
  int ReadSector(uint32_t sector, uint8_t* destination);
  // Reads `count` sectors; the number delivered.
  uint32_t ReadSectors(uint32_t first, uint32_t count, uint8_t* destination);
  // Decodes chunk `index` through the cache; null on failure. Valid until the next call.
  const uint8_t* Chunk(uint32_t index);

  const std::string& reason() const { return reason_; }
  uint64_t contentSize() const { return contentSize_; }
  uint32_t sectorCount() const { return sectorCount_; }
  uint32_t chunkSize() const { return chunkSize_; }
  uint32_t chunkCount() const { return static_cast<uint32_t>(length_.size()); }
  uint32_t volumeCount() const { return static_cast<uint32_t>(volumes_.size()); }
  uint32_t keyBits() const { return keyBytes_ * 8; }
  bool encrypted() const { return keyBytes_ != 0; }
  bool tableFromIndex() const { return fromIndex_; }
  uint64_t chunkDecodes() const { return cache_.decodes(); }
  uint32_t badChunkCrcs() const { return badCrcs_; }

 private:
  struct Volume {
    std::u16string name;
    uint64_t start = 0, length = 0, fileOffset = 0;
    std::unique_ptr<RawFile> raw;
    std::unique_ptr<ImageFile> file;
    bool checked = false;
  };

  MzpStatus OpenOnce(const std::u16string& name, const MzpOpenOptions& options, bool useIndex);
  MzpStatus Broken(const char* reason);
  bool ReadDescriptors(const uint8_t* bytes, size_t length, const std::u16string& name, const MzpOpenOptions& options);
  bool TableFromIndex();
  bool TableFromPlace();
  bool ParseTable(const uint8_t* table, size_t tableBytes);
  bool ReadConcatenated(uint64_t position, uint64_t length, uint8_t* out);
  bool DecodeChunk(uint32_t index, uint8_t* out, bool* crcFailed);

  ImageFile* primary_ = nullptr;
  int64_t primarySize_ = 0;
  std::string reason_;
  uint8_t header_[77] = {};
  uint32_t flags_ = 0;
  uint32_t chunkSize_ = 0;
  uint64_t contentSize_ = 0;
  uint32_t sectorCount_ = 0;
  uint32_t lengthBits_ = 0, methodBits_ = 0;
  int variant_ = 0;
  uint32_t keyBytes_ = 0;
  AesEcb aes_;
  std::vector<uint8_t> index_;  // the index descriptor's deflated table
  uint32_t indexCount_ = 0, indexTableBytes_ = 0;
  bool fromIndex_ = false;
  std::vector<Volume> volumes_;
  std::vector<uint64_t> position_;
  std::vector<uint32_t> length_;
  std::vector<uint8_t> method_;
  std::unique_ptr<uint8_t[]> input_;
  daa::ChunkCache cache_;
  uint32_t badCrcs_ = 0;
};

}  // namespace kv::mzp
