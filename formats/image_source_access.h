// What a format reader sees of an ImageSource, and the format descriptor table through which
// ImageSource reaches the readers. Each reader lives in its own module and keeps its private
// state in a FormatReaderState of its own.
#pragma once
#include <cstdint>
#include <memory>

#include "common/mount_request.h"
#include "formats/image_source.h"

namespace kv {

struct FormatReaderState {
  virtual ~FormatReaderState() = default;
};

struct ImageSourceAccess {
  static ImageFile* File(ImageSource& s) { return s.file_.get(); }
  static int64_t FileSize(const ImageSource& s) { return s.fileSize_; }
  static int32_t& Format(ImageSource& s) { return s.format_; }
  static uint32_t& SectorSize(ImageSource& s) { return s.sectorSize_; }
  static uint32_t& DataOffset(ImageSource& s) { return s.dataOffset_; }
  static int32_t& StartOffset(ImageSource& s) { return s.startOffset_; }
  static uint32_t& SectorCount(ImageSource& s) { return s.sectorCount_; }
  static ProbeResult& Probe(ImageSource& s) { return s.probe_; }
  static std::vector<uint8_t>& WorkBuffer(ImageSource& s) { return s.workBuffer_; }
  static std::unique_ptr<FormatReaderState>& ReaderState(ImageSource& s) { return s.readerState_; }
  static const ImageSource::VolumeOpener& VolumeOpener(const ImageSource& s) { return s.volumeOpener_; }
};

// Delivers `count` 2048-byte sectors from `first`; the count delivered (less than `count` is a
// failure of the whole request).
using UserDataReader = uint32_t (*)(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);
// Opens the image for the format: reads its headers, sets the geometry and sector count and runs
// the file-system probe; sets the format to kFormatUnusable when the image is not usable.
using FormatOpener = MountError (*)(ImageSource& source, const MountRequest& request);

struct FormatDescriptor {
  const char* name;
  UserDataReader read;  // null: the format is never read by the driver
  FormatOpener open;    // null: refused at open (MountError 8)
};

// The row of a code from 0 to kFormatTableCount - 1; null for any other code.
const FormatDescriptor* FormatDescriptorFor(int32_t code);

// The plain formats (codes 0, 1 and 1000 to 1007).
MountError OpenPlain(ImageSource& source, const MountRequest& request);
uint32_t ReadPlain2048(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);
uint32_t ReadPlainSectors(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);

// Largest file sector the plain sector reader accepts: one that still fits its work buffer.
inline constexpr uint32_t kPlainBatchSectors = 64;
inline constexpr uint32_t kPlainWorkBufferSize = kPlainBatchSectors * kRawSectorSize;

// The DAA/GBI format (code 2, and any file that ends in a DAA/GBI locator).
MountError OpenDaa(ImageSource& source, const MountRequest& request);
uint32_t ReadDaa(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);
// Opens a later volume named like an image name ("\??\" prefix allowed) as an ordinary file.
std::unique_ptr<RawFile> OpenVolumeAsPosixFile(const std::u16string& name);

}  // namespace kv
