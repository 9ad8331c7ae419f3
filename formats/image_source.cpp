// ImageSource: open by the request's format code, dispatch of reads, close.
#include "formats/image_source.h"

#include <cstring>
#include <new>

#include "formats/daa/daa_image.h"
#include "formats/image_source_access.h"
#include "formats/raw/track_layout.h"

namespace kv {
namespace {

constexpr int64_t kLargestFile = int64_t{1} << 60;
constexpr uint32_t kMaxTrackCount = kMaxTracks - 1;  // the last slot holds the lead-out

std::u16string CopySecondName(const MountRequest& request) {
  std::u16string out;
  for (size_t i = 0; i < sizeof request.Reserved2 / sizeof request.Reserved2[0] && request.Reserved2[i] != 0; ++i)
    out += request.Reserved2[i];
  return out;
}

}  // namespace

ImageSource::~ImageSource() {
  Close();
}

MountError ImageSource::Open(const MountRequest& request, std::u16string name, std::unique_ptr<RawFile> file,
                             std::unique_ptr<ImageSource>* source) {
  return Open(request, std::move(name), std::move(file), source, OpenVolumeAsPosixFile);
}

MountError ImageSource::Open(const MountRequest& request, std::u16string name, std::unique_ptr<RawFile> file,
                             std::unique_ptr<ImageSource>* source, VolumeOpener openVolume) {
  source->reset();
  if (!file) return kMountOpenFailed;

  // 1. The source, the file and the names.
  std::unique_ptr<ImageSource> s(new (std::nothrow) ImageSource());
  if (!s) return kMountNoMemory;
  const int64_t size = file->Size();
  s->file_.reset(new (std::nothrow) ImageFile(std::move(file)));
  if (!s->file_ || !s->file_->ok()) return kMountNoMemory;
  try {
    s->name_ = std::move(name);
    s->secondName_ = CopySecondName(request);
  } catch (const std::bad_alloc&) {
    return kMountNoMemory;
  }
  s->reservedValue_ = request.Reserved1;
  s->volumeOpener_ = std::move(openVolume);
  if (size < 0) return kMountOpenFailed;
  if (size > kLargestFile) return kMountFileTooLarge;
  s->fileSize_ = size;

  // 2. Geometry from the request.
  s->format_ = request.Format;
  s->sectorSize_ = request.SectorSize;
  s->dataOffset_ = request.DataOffset;
  s->startOffset_ = request.StartOffset;

  // 3. The format's open. DAA/GBI files are recognised by the locator at the end of the file
  //    whatever the code says (except 4).
  MountError error = kMountOk;
  if (s->format_ != kFormatDmg && daa::HasValidLocator(*s->file_, size)) s->format_ = kFormatDaa;
  if (IsPlainGeometryFormat(s->format_)) {
    error = OpenPlain(*s, request);
  } else if (const FormatDescriptor* row = FormatDescriptorFor(s->format_)) {
    error = row->open ? row->open(*s, request) : kMountUnrecognised;
  }
  // Code 100 and every other code stay as they are: no probe, sector count 0.
  s->volumeOpener_ = nullptr;  // used only while opening
  if (error != kMountOk) return error;

  // 4. The track layout, and the audio disc's fixed geometry.
  if (request.TrackCount > 0) {
    if (request.TrackCount > kMaxTrackCount) return kMountUnrecognised;
    s->trackTable_.reset(new (std::nothrow) TrackTable());
    if (!s->trackTable_) return kMountNoMemory;
    TrackTableFromRequest(request, s->trackTable_.get());
    if (CheckTrackTable(*s->trackTable_, s->fileSize_) != nullptr) return kMountUnrecognised;
  }
  if (s->format_ == kFormatAudioDisc) {
    s->sectorSize_ = kRawSectorSize;
    s->dataOffset_ = 0;
    s->startOffset_ = 0;
  }

  // 5. The result.
  if (s->format_ == kFormatUnusable) return kMountUnrecognised;
  *source = std::move(s);
  return kMountOk;
}

uint32_t ImageSource::ReadSectors(uint64_t first, uint32_t count, uint8_t* destination) {
  if (!file_ || count == 0) return 0;
  if (const FormatDescriptor* row = FormatDescriptorFor(format_))
    return row->read ? row->read(*this, first, count, destination) : 0;
  if (IsPlainGeometryFormat(format_)) return ReadPlainSectors(*this, first, count, destination);
  return 0;
}

uint32_t ImageSource::ReadRawSectors(uint64_t first, uint32_t count, uint8_t* destination) {
  if (!file_ || count == 0) return 0;
  // With a track table, sector numbers below zero address the first track's pregap.
  if (trackTable_)
    return ReadRawThroughTrackTable(*file_, fileSize_, *trackTable_, static_cast<int64_t>(first), count, destination);
  if (sectorSize_ != kRawSectorSize) return 0;
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX) / kRawSectorSize - count;
  if (first > limit) return 0;
  const int64_t position = static_cast<int64_t>(first * kRawSectorSize) + startOffset_;
  if (position < 0) return 0;
  return file_->ReadAt(static_cast<uint64_t>(position), uint64_t{count} * kRawSectorSize, destination) ? count : 0;
}

void ImageSource::Close() {
  readerState_.reset();
  file_.reset();
  trackTable_.reset();
  std::vector<uint8_t>().swap(workBuffer_);
}

}  // namespace kv
