// The DAA/GBI reader: header, descriptors, chunk table, volumes, and chunk decoding with a small
// cache. Plain code over ImageFile, so the driver, the manager and the tools share it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/mount_request.h"
#include "formats/daa/chunk_codec.h"
#include "formats/daa/nibble_cipher.h"
#include "formats/image_source.h"

namespace kv::daa {

// Opens a later volume by its name; null when it cannot be opened.
using VolumeOpener = std::function<std::unique_ptr<RawFile>(const std::u16string& name)>;

enum class SignatureKind : uint8_t { kDaa, kGbi, kGbiAlternative };

struct OpenOptions {
  std::string_view password;
  VolumeOpener openVolume;  // null: an image of several volumes cannot be read beyond volume 0
};

// Where the image header lies: behind a type-6 or type-5 locator, else at 0.
struct HeaderPlace {
  uint64_t offset = 0;
  uint32_t locator = 0;  // 0, 5 or 6
};

// True when the file ends in a type-6 or type-5 locator pointing at a valid header.
bool HasValidLocator(ImageFile& file, int64_t fileSize);
// True when the first bytes are a DAA/GBI image header signature or a later-volume signature.
bool LooksLikeDaa(const uint8_t* bytes, size_t length);
// True when the bytes start a later volume ("DAA VOL" / "GBI VOL").
bool IsLaterVolume(const uint8_t* bytes, size_t length);
// Names the first volume of the split image whose later volume is `name` (best guess from the
// name's pattern), or empty when the name fits no scheme.
std::u16string FirstVolumeName(const std::u16string& name, bool gbi);
// Name of volume `index` of `name` under naming scheme 0, 1 or 2; empty when the name does not fit.
std::u16string VolumeName(const std::u16string& name, uint32_t scheme, uint32_t index, bool gbi);

// Why a DAA/GBI file was refused or its sectors cannot be read, as one line for the tools: the
// header's own reason, a missing or wrong password, a later volume (naming the first volume in
// *firstVolume), or empty when the file is no DAA/GBI image or nothing is wrong with it.
std::string DescribeDaaProblem(ImageFile& file, int64_t fileSize, const std::u16string& name, std::string_view password,
                               std::u16string* firstVolume);

class DaaImage {
 public:
  DaaImage() = default;
  DaaImage(const DaaImage&) = delete;
  DaaImage& operator=(const DaaImage&) = delete;
  ~DaaImage();

  // Opens the image whose first volume is `primary` (not owned; must outlive this object).
  // Returns kMountOk, kMountUnrecognised (with reason()) or kMountUnsupportedVersion.
  MountError Open(ImageFile* primary, int64_t primarySize, const std::u16string& name, const OpenOptions& options);

  // Reads 2048-byte sectors; the count delivered.
  uint32_t ReadSectors(uint64_t first, uint32_t count, uint8_t* destination);
  // Decodes chunk `index` (through the cache); null on failure. Valid until the next call.
  const uint8_t* Chunk(uint32_t index);

  // True when the image carries an encryption descriptor and `password` decrypts its check bytes.
  bool PasswordMatches(std::string_view password) const;

  const std::string& reason() const { return reason_; }
  uint64_t imageSize() const { return imageSize_; }
  uint32_t sectorCount() const { return sectorCount_; }
  uint32_t version() const { return version_; }
  uint32_t chunkSize() const { return chunkSize_; }
  uint32_t chunkCount() const { return static_cast<uint32_t>(chunkLength_.size()); }
  uint32_t volumeCount() const { return static_cast<uint32_t>(volumes_.size()); }
  uint32_t namingScheme() const { return namingScheme_; }
  bool encrypted() const { return encrypted_; }
  SignatureKind signature() const { return signature_; }
  uint32_t locator() const { return place_.locator; }
  uint64_t chunkDecodes() const { return cache_.decodes(); }

 private:
  struct Volume {
    std::u16string name;
    uint64_t start = 0;             // first position of the concatenated data held by this volume
    uint64_t length = 0;            // bytes it contributes
    uint64_t fileOffset = 0;        // where those bytes begin in its file
    std::unique_ptr<RawFile> file;  // null for volume 0 (the primary) or a volume not found
  };

  bool Fail(const char* reason);
  MountError Refuse(const char* reason);
  bool FindHeader();
  bool ReadDescriptors(const uint8_t* bytes, size_t length, const std::u16string& name, const OpenOptions& options);
  bool ReadTable();
  bool ReadConcatenated(uint64_t position, uint64_t length, uint8_t* out);
  bool DecodeChunk(uint32_t index, uint8_t* out);

  ImageFile* primary_ = nullptr;
  int64_t primarySize_ = 0;
  HeaderPlace place_;
  SignatureKind signature_ = SignatureKind::kDaa;
  std::string reason_;
  uint8_t header_[76] = {};
  uint32_t version_ = 0;
  uint32_t flags_ = 0;
  uint32_t chunkSize_ = 0;
  uint64_t imageSize_ = 0;
  uint32_t sectorCount_ = 0;
  uint32_t lengthBits_ = 0;
  uint32_t methodBits_ = 0;
  bool allDeflate_ = false;
  int variant_ = 0;
  uint32_t namingScheme_ = 0;
  bool encrypted_ = false;
  uint8_t checkBytes_[128] = {};
  uint32_t checkCrc_ = 0;
  NibbleCipher cipher_;
  std::vector<Volume> volumes_;
  std::vector<uint64_t> chunkPosition_;
  std::vector<uint32_t> chunkLength_;
  std::vector<uint8_t> chunkMethod_;
  // The current later volume, read through an ImageFile of its own.
  std::unique_ptr<ImageFile> volumeFile_;
  size_t currentVolume_ = 0;
  std::unique_ptr<uint8_t[]> input_;  // stored bytes of a chunk, 14 free bytes in front
  daa::ChunkCache cache_;
};

}  // namespace kv::daa

namespace kv {
// The DAA/GBI reader behind an ImageSource opened as format 2; null for any other source.
const daa::DaaImage* DaaImageOf(const ImageSource& source);
}  // namespace kv
