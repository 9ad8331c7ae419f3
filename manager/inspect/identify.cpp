// Identification of a picked image file through the driver's own readers, run in user mode.
#include <algorithm>
#include <cstring>
#include <new>

#include "formats/daa/daa_image.h"
#include "formats/fs_probe.h"
#include "formats/image_source_access.h"
#include "formats/isz/isz_layout.h"
#include "formats/mzp/mzp_container.h"
#include "formats/nrg/nrg_reader.h"
#include "manager/inspect/image_probe.h"
#include "platform/codepage.h"
#include "platform/wide_text.h"

namespace kv::inspect {
namespace {

constexpr int64_t kLargestFile = int64_t{1} << 60;
constexpr size_t kScanWindow = 65536;
constexpr int kScanWindows = 16;

// The probe's file handed to a reader that wants to own one: the probe keeps the handle.
class BorrowedFile final : public RawFile {
 public:
  explicit BorrowedFile(RawFile* file) : file_(file) {}
  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    return file_->Read(offset, length, destination, returned);
  }
  int64_t Size() const override { return file_->Size(); }

 private:
  RawFile* file_;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

bool EndsWith(const std::string& lowerName, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return lowerName.size() >= n && lowerName.compare(lowerName.size() - n, n, suffix) == 0;
}

// Bytes from the start of the file (fewer near its end).
size_t ReadHead(ImageProbe& probe, uint64_t offset, size_t length, uint8_t* out) {
  size_t done = 0;
  while (done < length) {
    uint32_t got = 0;
    const uint32_t now = static_cast<uint32_t>(std::min<size_t>(length - done, 1u << 20));
    if (!probe.file->Read(offset + done, now, out + done, &got) || got == 0) break;
    done += got;
  }
  return done;
}

// The readers open later volumes by this name, as files of this system.
std::u16string ReaderName(const std::string& path) {
  return platform::Utf8ToUtf16(path);
}

void ReleaseReader(ImageProbe& probe) {
  probe.source.reset();
  probe.volumes.reset();
  probe.mzp.reset();
  probe.marfs.reset();
}

// Runs the driver's open with the request's format and geometry; on success the source becomes
// the probe's reader and its geometry the probe's.
bool OpenWithReader(ImageProbe& probe, const MountRequest& request, bool keepFormatFromReader = true) {
  std::unique_ptr<ImageSource> source;
  const MountError error = ImageSource::Open(request, ReaderName(probe.imagePath),
                                             std::make_unique<BorrowedFile>(probe.file.get()), &source);
  if (error != kMountOk || !source) return false;
  if (keepFormatFromReader) probe.format = source->format();
  probe.sectorSize = static_cast<int32_t>(source->sectorSize());
  probe.dataOffset = static_cast<int32_t>(source->dataOffset());
  probe.startOffset = source->startOffset();
  probe.sectorCount = static_cast<int32_t>(source->sectorCount());
  probe.fileSystem = source->probe();
  probe.source = std::move(source);
  return true;
}

MountRequest RequestFor(int32_t format, uint32_t sectorSize, uint32_t dataOffset, int32_t startOffset,
                        const std::string& password) {
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.Flags = 1;
  r.Format = format;
  r.SectorSize = sectorSize;
  r.DataOffset = dataOffset;
  r.StartOffset = startOffset;
  std::memcpy(r.Password, password.data(), std::min(password.size(), kPasswordLimit));
  return r;
}

void AcceptPassword(ImageProbe& probe, const std::string& password) {
  probe.password = password;
  probe.passwordKnown = true;
  probe.encrypted = true;
}

bool TryDaa(ImageProbe& probe, InspectContext& context) {
  auto image = std::make_unique<daa::DaaImage>();
  ImageFile file(std::make_unique<BorrowedFile>(probe.file.get()));
  if (!file.ok()) return false;
  daa::OpenOptions options;
  const MountError error = image->Open(&file, probe.fileSize, ReaderName(probe.imagePath), options);
  if (error == kMountUnsupportedVersion) {
    probe.format = kFormatDaa;
    probe.versionUnsupported = true;
    return true;
  }
  if (error != kMountOk) return false;
  std::string password;
  if (image->encrypted()) {
    bool matched = false;
    const bool accepted = RequestPassword(probe, context, kPasswordLimit, [&](const std::string& p) {
      matched = image->PasswordMatches(p);
      if (matched) password = p;
      return matched;
    });
    if (!accepted) {
      probe.format = kFormatDaa;
      probe.passwordMissing = true;
      return true;
    }
  }
  if (image->volumeCount() > 1) {
    SplitVolumes v;
    v.count = image->volumeCount();
    v.scheme = image->namingScheme();
    probe.volumes = std::move(v);
  }
  if (!OpenWithReader(probe, RequestFor(kFormatDaa, kSectorSize, 0, 0, password))) {
    probe.volumes.reset();
    return false;
  }
  return probe.format == kFormatDaa;
}

// The file-system probe of the manager: as the driver's, but a volume whose sector 0 starts
// with "MARFSVO" (the volume inside an MZP container) is accepted too, after UDF and XBOX.
bool ProbeWithMarfs(ImageProbe& probe, const std::function<bool(uint32_t, uint8_t*)>& read) {
  probe.fileSystem = ProbeResult{};
  probe.marfs.reset();
  ProbeFileSystem(
      [&read](uint32_t sector, uint8_t* out) { return read(sector, out) ? SectorRead::kOk : SectorRead::kFailed; },
      &probe.fileSystem);
  if (probe.fileSystem.udf || probe.fileSystem.xbox) return true;
  uint8_t sector[kSectorSize];
  if (read(0, sector) && std::memcmp(sector, "MARFSVOL", 7) == 0) {
    MarfsVolumeRecord record;
    std::memcpy(record.root, sector + 20, sizeof record.root);
    std::memcpy(&record.value52, sector + 52, 2);
    std::memcpy(&record.value54, sector + 54, 2);
    probe.marfs = record;
    return true;
  }
  return probe.fileSystem.accepted;
}

// MZP containers: the reader the service uses. Format 7 goes to the service as an archive; here
// it is opened for its flags (password, version) and looked into.
bool TryMzp(ImageProbe& probe, InspectContext& context) {
  uint8_t head[16] = {};
  if (ReadHead(probe, 0, sizeof head, head) != sizeof head || !mzp::LooksLikeMzp(head, sizeof head)) return false;
  auto state = std::make_unique<MzpState>();
  state->file = std::make_unique<ImageFile>(std::make_unique<BorrowedFile>(probe.file.get()));
  state->container = std::make_unique<mzp::MzpContainer>();
  if (!state->file->ok()) return false;
  mzp::MzpOpenOptions options;
  // Later volumes lie beside the first one, named after it (as the service opens them).
  const size_t slash = probe.imagePath.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : probe.imagePath.substr(0, slash + 1);
  options.openVolume = [folder](const std::u16string& name) {
    std::string volume = platform::Utf16ToUtf8(name);
    if (volume.find('/') == std::string::npos) volume = folder + volume;
    int error = 0;
    return OpenPosixFile(volume, &error);
  };
  const std::u16string name = ReaderName(probe.imagePath.substr(folder.size()));
  const mzp::MzpStatus status = state->container->Open(state->file.get(), probe.fileSize, name, options);
  if (status == mzp::MzpStatus::kUnsupportedVersion) {
    probe.format = kFormatMzp;
    probe.versionUnsupported = true;
    return true;
  }
  if (status != mzp::MzpStatus::kOk && status != mzp::MzpStatus::kPasswordNeeded) return false;
  mzp::MzpContainer& container = *state->container;
  if (status == mzp::MzpStatus::kPasswordNeeded) {
    const bool accepted = RequestPassword(probe, context, kPasswordLimit, [&container](const std::string& p) {
      // The service opens the container with the password in the ANSI code page: the check uses
      // the same bytes, so that a password accepted here also opens the mount.
      const std::string ansi = platform::WideToAnsi(platform::Utf8ToUtf16(p), platform::AnsiCodePage());
      switch (container.SetPassword(ansi)) {
        case mzp::MzpStatus::kOk:
          return PasswordCheck::kRight;
        case mzp::MzpStatus::kWrongPassword:
          return PasswordCheck::kWrong;
        default:
          return PasswordCheck::kGiveUp;
      }
    });
    if (!accepted) {
      probe.format = kFormatMzp;
      probe.passwordMissing = true;
      return true;
    }
  }
  // A split container is checked volume by volume before the mount (the missing-volumes
  // question); while one is missing its content cannot be looked into.
  bool allVolumes = true;
  if (container.volumeCount() > 1) {
    SplitVolumes v;
    v.count = container.volumeCount();
    // The reader accepted the first volume's name under its scheme: the name tells which.
    v.scheme = mzp::MzpVolumeName(name, 0, 0) == name ? 0 : 1;
    for (uint32_t i = 0; i < v.count; ++i)
      v.names.push_back(i == 0 ? probe.imagePath
                               : folder + platform::Utf16ToUtf8(mzp::MzpVolumeName(name, v.scheme, i)));
    InspectContext quiet = context;  // the missing-volumes question tells the user later
    quiet.prompts = nullptr;
    allVolumes = OpenAllVolumes(v, probe.imagePath, quiet);
    probe.volumes = std::move(v);
  }
  const bool found = ProbeWithMarfs(
      probe, [&container](uint32_t sector, uint8_t* out) { return container.ReadSector(sector, out) == 0; });
  if (!found && allVolumes) {
    // A container whose content cannot be read or holds nothing mountable is no MZP to mount.
    probe.password.clear();
    probe.passwordKnown = probe.encrypted = false;
    return false;
  }
  probe.format = kFormatMzp;
  probe.sectorSize = kSectorSize;
  probe.dataOffset = 0;
  probe.startOffset = 0;
  probe.sectorCount = static_cast<int32_t>(std::min<uint32_t>(container.sectorCount(), INT32_MAX));
  state->volumeCount = container.volumeCount();
  state->keyBits = container.encrypted() ? container.keyBits() : 0;
  probe.mzp = std::move(state);
  return true;
}

bool TryIsz(ImageProbe& probe, InspectContext& context) {
  uint8_t header[sizeof(isz::Header)] = {};
  if (ReadHead(probe, 0, sizeof header, header) != sizeof header) return false;
  if (std::memcmp(header, isz::kSignature, sizeof isz::kSignature) != 0) return false;
  std::string password;
  const uint8_t encryption = header[offsetof(isz::Header, encryption)];
  if (encryption != 0) {
    // No check is possible: a wrong key shows as a failed file-system probe.
    if (!RequestPassword(probe, context, kIszPasswordLimit, [&](const std::string& p) {
          password = p;
          return true;
        }))
      return false;
  }
  if (!OpenWithReader(probe, RequestFor(kFormatIsz, kSectorSize, 0, 0, password))) return false;
  if (probe.format != kFormatIsz) return false;
  if (encryption != 0) AcceptPassword(probe, password);
  return true;
}

bool TryNrg(ImageProbe& probe) {
  uint8_t tail[12] = {};
  const size_t tailSize = static_cast<size_t>(std::min<int64_t>(12, probe.fileSize));
  if (tailSize < 8 || ReadHead(probe, static_cast<uint64_t>(probe.fileSize) - tailSize, tailSize, tail) != tailSize)
    return false;
  int64_t listOffset = 0;
  uint32_t listSize = 0;
  if (!LocateNrgChunkList(tail, probe.fileSize, &listOffset, &listSize)) return false;
  std::vector<uint8_t> list(listSize);
  if (ReadHead(probe, static_cast<uint64_t>(listOffset), listSize, list.data()) != listSize) return false;
  auto nrg = std::make_unique<NrgLayout>();
  if (!WalkNrgChunks(list.data(), listSize, nrg.get()) || nrg->count == 0) return false;

  bool audio = false, data = false;
  for (uint32_t i = 0; i < nrg->count; ++i) (nrg->tracks[i].kind == NrgTrackKind::kAudio ? audio : data) = true;
  if (audio) {
    auto layout = std::make_unique<DiscLayout>();
    layout->trackCount = static_cast<int32_t>(nrg->count);
    for (uint32_t i = 0; i < nrg->count; ++i) {
      const NrgTrack& t = nrg->tracks[i];
      layout->mode[i] = t.kind == NrgTrackKind::kAudio ? TRACK_AUDIO : TRACK_NRG_DATA;
      layout->start[i] = static_cast<int32_t>(t.start);
      layout->length[i] = static_cast<int32_t>(t.length);
      layout->fileOffset[i] = (t.start + 150) * int64_t{kRawSectorSize};
    }
    layout->imagePath = layout->descriptorPath = probe.imagePath;
    probe.layout = std::move(layout);
    probe.layoutFromImage = true;
    probe.sectorSize = kRawSectorSize;
    probe.startOffset = 0;
    if (!data) {
      probe.format = kFormatAudioDisc;
      probe.sectorCount = LayoutSectors(*probe.layout);
      return true;
    }
    // Audio and data: the data track is read through the NRG reader.
    if (!OpenWithReader(probe, RequestFor(kFormatNrg, kSectorSize, 0, 0, ""))) return false;
    probe.sectorSize = kRawSectorSize;
    probe.startOffset = 0;
    probe.sectorCount = static_cast<int32_t>(probe.fileSystem.volumeSpaceSize);
    return probe.format == kFormatNrg;
  }
  if (!IsServableNrgLayout(*nrg)) return false;  // several data tracks, or not Mode 1
  if (!OpenWithReader(probe, RequestFor(kFormatNrg, kSectorSize, 0, 0, ""))) return false;
  probe.sectorCount = static_cast<int32_t>(probe.fileSystem.volumeSpaceSize);
  return probe.format == kFormatNrg;
}

bool TryPlain(ImageProbe& probe, int32_t code) {
  uint32_t sectorSize = kSectorSize, dataOffset = 0;
  int64_t startOffset = 0;
  if (code == kFormatBin) {
    sectorSize = kRawSectorSize;
    dataOffset = 16;
  } else if (IsPlainGeometryFormat(code)) {
    if (!probe.rawScanned) RawScan(probe);
    const size_t candidate = static_cast<size_t>(code - kFormatPlainFirst) / 2;
    if (candidate >= probe.rawCandidates.size()) return false;
    sectorSize = static_cast<uint32_t>(probe.rawCandidates[candidate]);
    startOffset = probe.rawDescriptorOffset - 16 * int64_t{sectorSize};
    if ((code - kFormatPlainFirst) % 2 == 1) startOffset += 150 * int64_t{sectorSize};
    if (startOffset < INT32_MIN || startOffset > INT32_MAX) return false;
  }
  if (!OpenWithReader(probe, RequestFor(code, sectorSize, dataOffset, static_cast<int32_t>(startOffset), "")))
    return false;
  if (probe.format != code) return false;
  probe.sectorCount = static_cast<int32_t>(
      std::min<int64_t>(INT32_MAX, std::max<int64_t>(0, probe.fileSize - startOffset) / sectorSize));
  return true;
}

}  // namespace

uint16_t OpenResultText(int32_t result) {
  switch (result) {
    case kOpenTooLarge:
      return 270;
    case kOpenUnrecognised:
      return 280;
    case kOpenPasswordRequired:
      return 260;
    case kOpenVersionUnsupported:
      return 410;
    case kOpenWrongPassword:
      return 710;
    case kOpenNoMemory:
      return 830;
    default:
      return 0;
  }
}

std::string FormatLabel(int32_t format) {
  if (format == kFormatArchive) return "archive";
  if (format == kFormatAudioDisc) return "audio";
  if (IsPlainGeometryFormat(format)) return "raw";
  if (const char* name = ImageSource::FormatName(format)) return name;
  return "unknown";
}

int32_t FormatOfExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return kFormatUnusable;
  const std::string ext = Lower(path.substr(dot + 1));
  if (ext.size() > 5) return kFormatUnusable;
  for (int32_t code = 0; code < kFormatTableCount; ++code)
    if (ext == ImageSource::FormatName(code)) return code;
  if (ext == "gbi" || ext == "exe") return kFormatDaa;
  if (ext == "7z" || ext == "zip") return kFormatArchive;
  return kFormatUnusable;
}

bool LooksLikeArchive(ImageProbe& probe) {
  uint8_t head[208] = {};
  const size_t got = ReadHead(probe, 0, sizeof head, head);
  const std::string name = Lower(probe.imagePath);
  if (got == sizeof head && std::memcmp(head, "MSWIM\0\0\0", 8) == 0) return true;
  if (EndsWith(name, ".tar") || EndsWith(name, ".tar.001")) return true;
  if ((EndsWith(name, ".zip") || EndsWith(name, ".zip.001") || EndsWith(name, ".zipx")) && got >= 2 && head[0] == 'P' &&
      head[1] == 'K')
    return true;
  if (EndsWith(name, ".rar")) {
    static const uint8_t rar[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    static const uint8_t old[4] = {0x52, 0x45, 0x7E, 0x5E};
    if (got >= 7 && std::memcmp(head, rar, 7) == 0) return true;
    if (got >= 4 && std::memcmp(head, old, 4) == 0) return true;
  }
  if ((EndsWith(name, ".7z") || EndsWith(name, ".7z.001")) && got >= 4 && head[0] == 0x37 && head[1] == 0x7A &&
      head[2] == 0xBC && head[3] == 0xAF)
    return true;
  return false;
}

bool RawScan(ImageProbe& probe) {
  probe.rawScanned = true;
  probe.rawDescriptorOffset = -1;
  probe.rawCandidates.clear();
  std::vector<uint8_t> window(kScanWindow);
  static const uint8_t pvd[6] = {0x01, 'C', 'D', '0', '0', '1'};
  static const uint8_t end[6] = {0xFF, 'C', 'D', '0', '0', '1'};
  auto find = [&](size_t got, const uint8_t* what) -> int64_t {
    if (got < 6) return -1;
    const auto it = std::search(window.begin(), window.begin() + static_cast<ptrdiff_t>(got), what, what + 6);
    return it == window.begin() + static_cast<ptrdiff_t>(got) ? -1 : it - window.begin();
  };
  int64_t p = -1;
  for (int w = 0; w < kScanWindows && p < 0; ++w) {
    const uint64_t at = uint64_t{static_cast<uint32_t>(w)} * (kScanWindow - 16);
    if (static_cast<int64_t>(at) >= probe.fileSize) break;
    const int64_t hit = find(ReadHead(probe, at, kScanWindow, window.data()), pvd);
    if (hit >= 0) p = static_cast<int64_t>(at) + hit;
  }
  if (p < 0) return false;
  const int64_t hit = find(ReadHead(probe, static_cast<uint64_t>(p) + 1024, kScanWindow, window.data()), end);
  if (hit < 0) return false;
  probe.rawDescriptorOffset = p;
  const int64_t d = 1024 + hit;
  for (int k = 1; k <= 16 && probe.rawCandidates.size() < 4; ++k)
    if (d % k == 0 && d / k >= 2048 && d / k <= 3071) probe.rawCandidates.push_back(static_cast<int32_t>(d / k));
  return !probe.rawCandidates.empty();
}

bool TryFormat(ImageProbe& probe, int32_t code, InspectContext& context) {
  if (code == kFormatDmg) return false;
  bool ok = false;
  {
    ImageFile file(std::make_unique<BorrowedFile>(probe.file.get()));
    if (file.ok() && daa::HasValidLocator(file, probe.fileSize)) code = kFormatDaa;
  }
  if (code == kFormatDaa) {
    ok = TryDaa(probe, context);
  } else if (code == kFormatIsz) {
    ok = TryIsz(probe, context);
  } else if (code == kFormatNrg) {
    ok = TryNrg(probe);
  } else if (code == kFormatUif) {
    // The UIF reader tries its three geometries itself.
    ok = OpenWithReader(probe, RequestFor(kFormatUif, kSectorSize, 0, 0, "")) && probe.format == kFormatUif;
  } else if (code == kFormatMzp) {
    ok = TryMzp(probe, context);
  } else if (code == kFormatIso || code == kFormatBin || IsPlainGeometryFormat(code)) {
    ok = TryPlain(probe, code);
  }
  if (!ok) {
    probe.format = kFormatUnusable;
    probe.layout.reset();
    probe.layoutFromImage = false;
    ReleaseReader(probe);
  }
  return ok;
}

void IdentifyImage(ImageProbe& probe, int32_t hint, InspectContext& context) {
  if (hint == kFormatUnusable) hint = FormatOfExtension(probe.imagePath);
  probe.format = kFormatUnusable;
  bool found = hint >= 0 && hint < kFormatTableCount && TryFormat(probe, hint, context);
  for (int32_t code = 0; !found && code < kFormatTableCount; ++code)
    if (code != hint) found = TryFormat(probe, code, context);
  if (!found) {
    if (LooksLikeArchive(probe)) return;
    if (RawScan(probe))
      for (int32_t code = kFormatPlainFirst; !found && code <= kFormatPlainLast; ++code)
        found = TryFormat(probe, code, context);
  }
  if (!probe.descriptorPath.empty()) {
    auto layout = ParseDescriptor(probe.descriptorPath);
    if (layout) {
      probe.layout = std::move(layout);
      probe.layoutFromImage = false;
    }
  }
  if (probe.layout && !probe.layoutFromImage && LeadingAudioRun(*probe.layout)) {
    probe.format = kFormatAudioDisc;
    probe.startOffset = 0;
    probe.sectorSize = kRawSectorSize;
    probe.sectorCount = LayoutSectors(*probe.layout);
  }
}

MzpState::MzpState() = default;
MzpState::~MzpState() = default;

int32_t OpenImage(const std::string& imagePath, const std::string& descriptorPath, std::unique_ptr<RawFile> file,
                  InspectContext& context, std::unique_ptr<ImageProbe>* out) {
  out->reset();
  if (!file) return kOpenUnrecognised;
  std::unique_ptr<ImageProbe> probe(new (std::nothrow) ImageProbe());
  if (!probe) return kOpenNoMemory;
  probe->imagePath = imagePath;
  probe->descriptorPath = descriptorPath;
  probe->file = std::move(file);
  if (!descriptorPath.empty()) probe->layout = ParseDescriptor(descriptorPath);
  probe->fileSize = probe->file->Size();
  if (probe->fileSize > kLargestFile) return kOpenTooLarge;
  if (probe->fileSize < 0) return kOpenUnrecognised;
  IdentifyImage(*probe, kFormatUnusable, context);
  if (probe->format == kFormatUnusable) return kOpenUnrecognised;
  if (probe->format == kFormatDaa || probe->format == kFormatMzp) {
    if (probe->passwordMissing) return kOpenPasswordRequired;
    if (probe->versionUnsupported) return kOpenVersionUnsupported;
  }
  *out = std::move(probe);
  return kOpenOk;
}

std::vector<uint8_t> BuildMountRequest(ImageProbe& probe, const std::u16string& ntName) {
  const size_t nameBytes = std::min<size_t>(ntName.size() * 2, 0xFFFF - 2);
  std::vector<uint8_t> buffer(kMountRequestMinSize + nameBytes, 0);
  auto* r = reinterpret_cast<MountRequest*>(buffer.data());
  r->Flags = 1;
  r->Format = probe.format;
  r->SectorSize = static_cast<uint32_t>(probe.sectorSize);
  r->DataOffset = static_cast<uint32_t>(probe.dataOffset);
  r->StartOffset = probe.startOffset;
  std::memcpy(r->Password, probe.password.data(), std::min(probe.password.size(), kPasswordLimit));
  if (probe.layout && probe.layout->trackCount > 0) {
    auto fields = std::make_unique<MountRequest>();
    std::memset(fields.get(), 0, sizeof *fields);
    CopyLayoutToRequest(*probe.layout, fields.get());
    std::memcpy(&r->TrackCount, &fields->TrackCount,
                offsetof(MountRequest, Reserved1) - offsetof(MountRequest, TrackCount));
  }
  r->DaaKeyWord = probe.daaKeyWord;
  r->DaaTableKey = probe.daaTableKey;
  r->NameLength = static_cast<uint16_t>(nameBytes);
  std::memcpy(buffer.data() + kMountRequestFixedSize, ntName.data(), nameBytes);
  return buffer;
}

}  // namespace kv::inspect
