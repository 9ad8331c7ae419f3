// ImageSource: the reader of one mounted image file, over the ReadAt primitive.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/raw_file.h"

namespace kv {

inline constexpr uint32_t kTransferBufferSize = 64 * 1024;
inline constexpr uint32_t kMaxReadChunk = 32 * 1024;

// One open file of an image, read only in 2048-aligned pieces of at most 32 KiB through a
// 64 KiB transfer buffer (the file is opened without intermediate buffering).
class ImageFile {
 public:
  explicit ImageFile(std::unique_ptr<RawFile> file);
  // True when exactly `length` bytes were delivered; a read past the end of the file fails.
  bool ReadAt(uint64_t offset, uint64_t length, void* destination);
  int64_t Size() const { return file_->Size(); }
  // False when the transfer buffer could not be allocated.
  bool ok() const { return aligned_ != nullptr; }

 private:
  std::unique_ptr<RawFile> file_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint8_t* aligned_ = nullptr;
};

// The request's track layout, copied unchanged.
struct TrackTable {
  uint32_t count = 0;
  uint8_t mode[kMaxTracks] = {};
  int32_t start[kMaxTracks] = {};
  int32_t pregap[kMaxTracks] = {};
  int32_t pregapInFile[kMaxTracks] = {};
  int32_t postgap[kMaxTracks] = {};
  int32_t postgapInFile[kMaxTracks] = {};
  int32_t length[kMaxTracks] = {};
  int64_t fileOffset[kMaxTracks] = {};
  int64_t fileEnd[kMaxTracks] = {};
  int32_t sectorSize[kMaxTracks] = {};
};

// One partition map of a UDF logical volume descriptor (type 1, or type 2 "*UDF Metadata Partition").
struct UdfPartitionMap {
  uint8_t type = 0;
  uint16_t volumeSequenceNumber = 0;
  uint16_t partitionNumber = 0;
  bool metadata = false;
  uint32_t metadataFile = 0;
  uint32_t metadataMirrorFile = 0;
  uint32_t metadataBitmapFile = 0;
  uint32_t allocationUnitSize = 0;
  uint16_t alignmentUnitSize = 0;
  bool duplicateMetadata = false;
};

// What the file-system probe found.
struct ProbeResult {
  bool accepted = false;
  bool iso = false;
  uint8_t primaryDescriptor[2048] = {};
  uint16_t logicalBlockSize = 0;
  uint32_t volumeSpaceSize = 0;
  int primaryIndex = -1;
  int jolietLevel = 0;  // 0 none, else 1..3
  int jolietIndex = -1;
  uint32_t jolietVolumeSpaceSize = 0;
  bool elTorito = false;
  bool udf = false;
  uint32_t udfPartitionStart = 0;
  uint32_t udfPartitionLength = 0;
  bool xbox = false;
  // Details kept for diagnosis only.
  uint8_t jolietDescriptor[2048] = {};
  int elToritoIndex = -1;
  int udfNsrVersion = 0;  // 2 or 3 when the recognition sequence names UDF
  uint32_t udfLogicalBlockSize = 0;
  uint32_t udfPartitionMapCount = 0;
  UdfPartitionMap udfPartitionMaps[16];
};

struct FormatReaderState;  // per-format reader state (formats/image_source_access.h)

class ImageSource {
 public:
  ~ImageSource();
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  // Opens `file` as the image that `request` names; `name` is the request's Name
  // (NameLength bytes). Returns kMountOk and the source, or the MountError.
  static MountError Open(const MountRequest& request, std::u16string name, std::unique_ptr<RawFile> file,
                         std::unique_ptr<ImageSource>* source);
  // Opens a later volume of a split image by its name (same form as `name`); null when it cannot
  // be opened; used only during Open. The overload above opens them as ordinary files.
  using VolumeOpener = std::function<std::unique_ptr<RawFile>(const std::u16string& name)>;
  static MountError Open(const MountRequest& request, std::u16string name, std::unique_ptr<RawFile> file,
                         std::unique_ptr<ImageSource>* source, VolumeOpener openVolume);

  // Number of 2048-byte sectors delivered; anything below `count` fails the whole request.
  uint32_t ReadSectors(uint64_t first, uint32_t count, uint8_t* destination);
  // Number of 2352-byte sectors delivered.
  uint32_t ReadRawSectors(uint64_t first, uint32_t count, uint8_t* destination);
  // Closes every file and frees every buffer.
  void Close();

  int32_t format() const { return format_; }
  uint32_t sectorSize() const { return sectorSize_; }
  uint32_t sectorCount() const { return sectorCount_; }
  const TrackTable* trackTable() const { return trackTable_.get(); }
  const ProbeResult& probe() const { return probe_; }
  const std::u16string& name() const { return name_; }
  const std::u16string& secondName() const { return secondName_; }
  uint32_t dataOffset() const { return dataOffset_; }
  int32_t startOffset() const { return startOffset_; }
  int64_t fileSize() const { return fileSize_; }
  // Name of a format code from the format descriptor table ("iso", "bin", ...), or null.
  static const char* FormatName(int32_t format);

 private:
  ImageSource() = default;
  friend struct ImageSourceAccess;  // format readers reach the private state through this

  std::u16string name_;
  std::u16string secondName_;
  uint32_t reservedValue_ = 0;
  std::unique_ptr<ImageFile> file_;
  int64_t fileSize_ = 0;
  int32_t format_ = kFormatUnusable;
  uint32_t sectorSize_ = 0;
  uint32_t dataOffset_ = 0;
  int32_t startOffset_ = 0;
  uint32_t sectorCount_ = 0;
  std::unique_ptr<TrackTable> trackTable_;
  ProbeResult probe_;
  std::vector<uint8_t> workBuffer_;
  std::unique_ptr<FormatReaderState> readerState_;
  VolumeOpener volumeOpener_;
};

}  // namespace kv
