// The DAA/GBI row of the format table: ImageSource's open and read for code 2.
#include <cstring>
#include <new>
#include <string>

#include "formats/daa/daa_image.h"
#include "formats/fs_probe.h"
#include "formats/image_source_access.h"

namespace kv {
namespace {

using A = ImageSourceAccess;

struct DaaReaderState final : FormatReaderState {
  daa::DaaImage image;
};

daa::DaaImage* ImageOf(ImageSource& s) {
  auto* state = dynamic_cast<DaaReaderState*>(A::ReaderState(s).get());
  return state ? &state->image : nullptr;
}

}  // namespace

uint32_t ReadDaa(ImageSource& s, uint64_t first, uint32_t count, uint8_t* destination) {
  daa::DaaImage* image = ImageOf(s);
  return image ? image->ReadSectors(first, count, destination) : 0;
}

MountError OpenDaa(ImageSource& s, const MountRequest& request) {
  auto state = std::unique_ptr<DaaReaderState>(new (std::nothrow) DaaReaderState());
  if (!state) return kMountNoMemory;
  const size_t passwordLength = strnlen(request.Password, sizeof request.Password);
  daa::OpenOptions options;
  options.password = std::string_view(request.Password, passwordLength);
  options.openVolume = A::VolumeOpener(s);
  const MountError error = state->image.Open(A::File(s), A::FileSize(s), s.name(), options);
  if (error == kMountUnsupportedVersion || error == kMountNoMemory) return error;
  if (error != kMountOk) {
    A::Format(s) = kFormatUnusable;
    return kMountOk;
  }
  A::Format(s) = kFormatDaa;
  A::SectorSize(s) = kSectorSize;
  A::DataOffset(s) = 0;
  A::StartOffset(s) = 0;
  daa::DaaImage* image = &state->image;
  A::ReaderState(s) = std::move(state);
  const SectorReader reader = [image](uint32_t sector, uint8_t* out) {
    return image->ReadSectors(sector, 1, out) == 1 ? SectorRead::kOk : SectorRead::kFailed;
  };
  if (!ProbeFileSystem(reader, &A::Probe(s))) {
    A::Format(s) = kFormatUnusable;
    return kMountOk;
  }
  A::SectorCount(s) = image->sectorCount();
  return kMountOk;
}

const daa::DaaImage* DaaImageOf(const ImageSource& s) {
  return ImageOf(const_cast<ImageSource&>(s));
}

}  // namespace kv

namespace kv {

std::unique_ptr<RawFile> OpenVolumeAsPosixFile(const std::u16string& name) {
  std::u16string_view path = name;
  if (path.substr(0, 4) == u"\\??\\") path.remove_prefix(4);
  std::string utf8;
  for (size_t i = 0; i < path.size(); ++i) {
    uint32_t c = path[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size() && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | c >> 6);
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | c >> 12);
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | c >> 18);
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  int error = 0;
  return OpenPosixFile(utf8, &error);
}

}  // namespace kv
