// The standard CD-ROM and disk requests of a drive that holds a medium.
#include <algorithm>
#include <cstring>

#include "common/ioctl.h"
#include "driver/drive_state.h"
#include "driver/storage_records.h"
#include "formats/raw/track_layout.h"

namespace kv::driver {
namespace {

template <class T>
NTSTATUS Answer(Irp* irp, const T& record) {
  if (irp->OutputLength() < sizeof(T)) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  std::memcpy(irp->output.data(), &record, sizeof(T));
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(T));
}

// Address as 0, M, S, F (binary) of a sector number.
void PutMsf(uint8_t* p, int64_t lba) {
  const int64_t x = std::max<int64_t>(0, lba + kLeadInSectors);
  p[0] = 0;
  p[1] = static_cast<uint8_t>(x / 4500);
  p[2] = static_cast<uint8_t>((x / 75) % 60);
  p[3] = static_cast<uint8_t>(x % 75);
}

NTSTATUS ReadToc(DriveState& drive, Irp* irp) {
  if (irp->OutputLength() < kTocSize) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
  uint8_t* toc = irp->output.data();
  std::lock_guard<std::mutex> g(drive.stateLock);
  if (drive.imageSource) {
    BuildTableOfContents(*drive.imageSource, toc);
  } else {
    std::memset(toc, 0, kTocSize);
    toc[2] = 1;
    toc[3] = 1;
    toc[kTocDescriptorsOffset + 1] = 4;
  }
  return CompleteRequest(irp, STATUS_SUCCESS, kTocSize);
}

bool TocExRequestValid(const uint8_t* r) {
  const uint8_t format = r[0] & kTocExFormatMask;
  if ((r[0] & kTocExReservedMask) != 0 || r[2] != 0 || r[3] != 0) return false;
  if ((r[0] & kTocExMsf) == 0) return false;
  if (format == 0 || format == 2 || format == 5) return true;
  return (format == 1 || format == 3 || format == 4) && r[1] == 0;
}

NTSTATUS ReadTocEx(DriveState& drive, Irp* irp) {
  if (irp->InputLength() < kTocExRequestSize) return CompleteRequest(irp, STATUS_INFO_LENGTH_MISMATCH, 4);
  if (irp->OutputLength() < kTocSize) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, kTocSize);
  if (!TocExRequestValid(irp->input.data())) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  uint8_t* out = irp->output.data();
  std::memset(out, 0, kTocSize);
  const uint8_t header[12] = {0, 8, 1, 1, 0, 4, 1, 0, 0, 0, 2, 0};
  std::memcpy(out, header, sizeof header);
  out[13] = 4;
  out[14] = 0xAA;
  PutMsf(out + 16, static_cast<int64_t>(drive.capacity.load() / kSectorSize));
  return CompleteRequest(irp, STATUS_SUCCESS, kTocSize);
}

NTSTATUS GetLastSession(Irp* irp) {
  if (irp->OutputLength() < kLastSessionSize) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, kLastSessionSize);
  const uint8_t answer[kLastSessionSize] = {0, 8, 1, 1, 0, 4, 1, 0, 0, 0, 2, 0};
  std::memcpy(irp->output.data(), answer, sizeof answer);
  return CompleteRequest(irp, STATUS_SUCCESS, kLastSessionSize);
}

NTSTATUS Verify(Irp* irp) {
  if (irp->InputLength() < kVerifyRequestSize) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  VerifyInformation v{};
  std::memcpy(&v, irp->input.data(), sizeof v);
  // The length is reported back, but never as more bytes than the caller's buffer holds.
  return CompleteRequest(irp, STATUS_SUCCESS, std::min<uint64_t>(v.Length, irp->OutputLength()));
}

}  // namespace

NTSTATUS DispatchStorageRequest(DriveState& drive, Irp* irp) {
  const uint64_t capacity = drive.capacity.load();
  const int64_t partitionLength = std::max<int64_t>(0, static_cast<int64_t>(capacity) - kSectorSize);
  switch (irp->ioControlCode) {
    case IOCTL_CDROM_READ_TOC:
      return ReadToc(drive, irp);
    case IOCTL_CDROM_READ_TOC_EX:
      return ReadTocEx(drive, irp);
    case IOCTL_CDROM_GET_LAST_SESSION:
      return GetLastSession(irp);
    case IOCTL_CDROM_RAW_READ:
      if (!drive.rawReadable.load()) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      return QueueRequest(drive, irp);
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
      DiskGeometry g{};
      g.Cylinders = static_cast<int64_t>(capacity / kBytesPerCylinder);
      g.MediaType = kRemovableMedia;
      g.TracksPerCylinder = kTracksPerCylinder;
      g.SectorsPerTrack = kSectorsPerTrack;
      g.BytesPerSector = kSectorSize;
      return Answer(irp, g);
    }
    case IOCTL_DISK_GET_LENGTH_INFO:
      return Answer(irp, LengthInformation{static_cast<int64_t>(capacity)});
    case IOCTL_DISK_GET_PARTITION_INFO: {
      PartitionInformation p{};
      p.StartingOffset = kSectorSize;
      p.PartitionLength = partitionLength;
      p.HiddenSectors = 1;
      return Answer(irp, p);
    }
    case IOCTL_DISK_GET_PARTITION_INFO_EX: {
      PartitionInformationEx p{};
      p.PartitionStyle = kPartitionStyleMbr;
      p.StartingOffset = kSectorSize;
      p.PartitionLength = partitionLength;
      p.Mbr.HiddenSectors = 1;
      return Answer(irp, p);
    }
    case IOCTL_DISK_VERIFY:
      return Verify(irp);
    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
      return CompleteRequest(irp, STATUS_SUCCESS, 0);
    case IOCTL_DISK_IS_WRITABLE:
    case IOCTL_DISK_SET_PARTITION_INFO:
      return CompleteRequest(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    default:
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

}  // namespace kv::driver
