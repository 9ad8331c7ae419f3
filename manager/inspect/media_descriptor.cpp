// Media descriptors (MDS version 1): the first session's track blocks and the footer's file name.
#include <algorithm>
#include <cstring>
#include <new>

#include "manager/inspect/descriptor_file.h"
#include "platform/codepage.h"

namespace kv::inspect {
namespace {

constexpr size_t kTrackBlockSize = 80;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint8_t ModeOf(uint16_t modeAndSubchannel) {
  switch (modeAndSubchannel) {
    case 0x00A9:
      return TRACK_AUDIO;
    case 0x00AA:
      return TRACK_MODE1_RAW;
    case 0x00AB:
      return TRACK_MODE2_RAW;
    case 0x00AC:
      return TRACK_MODE2_FORM1;
    case 0x00AD:
      return TRACK_MODE2_FORM2;
    default:
      return TRACK_UNKNOWN;
  }
}

}  // namespace

std::unique_ptr<DiscLayout> ParseMediaDescriptor(const std::u16string& path, ParseFailure* failure) {
  std::vector<uint8_t> data;
  size_t size = 0;
  std::string why;
  if (!ReadDescriptorFile(path, &data, &size, &why)) {
    Fail(failure, why);
    return nullptr;
  }
  static constexpr char kSignature[] = "MEDIA DESCRIPTOR";
  if (size <= 112 || !EqualsIgnoringCase(std::string(reinterpret_cast<const char*>(data.data()), 16), kSignature)) {
    Fail(failure, "no MEDIA DESCRIPTOR signature");
    return nullptr;
  }
  std::unique_ptr<DiscLayout> layout(new (std::nothrow) DiscLayout());
  if (!layout) return nullptr;
  DiscLayout& L = *layout;
  L.descriptorPath = path;
  const uint8_t* d = data.data();
  const int blocks = d[98];
  const uint64_t first = Le32(d + 108);
  uint64_t footer = 0;
  bool footerSeen = false;
  bool lastHasExtra = false;
  int64_t pregapBytes = 0;
  for (int i = 0; i < blocks; ++i) {
    const uint64_t at = first + kTrackBlockSize * static_cast<uint64_t>(i);
    if (at + kTrackBlockSize > size) break;
    const uint8_t* b = d + at;
    if (b[4] > 99) continue;  // lead-in entries (A0, A1, A2)
    const int t = L.trackCount;
    if (t >= kMaxLayoutTracks) {
      Fail(failure, "more than 99 tracks");
      return nullptr;
    }
    if (!footerSeen) {
      footer = Le32(b + 52);
      footerSeen = true;
    }
    L.mode[t] = ModeOf(Le16(b));
    L.start[t] = (b[9] * 60 + b[10]) * 75 + b[11] - 150;
    L.fileOffset[t] = int64_t{L.start[t]} * 2352;
    L.sectorSize[t] = Le16(b + 16);
    const uint64_t extra = Le32(b + 12);
    lastHasExtra = extra != 0 && extra + 8 < size;
    if (lastHasExtra) {
      const uint32_t pregap = Le32(d + extra);
      const uint32_t length = Le32(d + extra + 4);
      const int64_t ownPregap = int64_t{pregap} - (t == 0 ? 150 : 0);
      if (length > INT32_MAX || ownPregap < 0 || ownPregap > INT32_MAX) {
        Fail(failure, "track " + std::to_string(t + 1) + " has an impossible pregap or length");
        return nullptr;
      }
      L.length[t] = static_cast<int32_t>(length);
      L.pregap[t] = static_cast<int32_t>(ownPregap);
      pregapBytes += ownPregap * 2352;
      L.fileOffset[t] -= pregapBytes;
      L.fileEnd[t] = L.fileOffset[t] + int64_t{L.length[t]} * L.sectorSize[t];
    } else if (t > 0) {
      L.length[t - 1] = L.start[t] - L.start[t - 1];
      L.fileEnd[t - 1] = L.fileOffset[t - 1] + int64_t{L.length[t - 1]} * L.sectorSize[t - 1];
    }
    if (L.fileOffset[t] < 0) L.fileOffset[t] = 0;
    ++L.trackCount;
  }
  if (!footerSeen || footer == 0 || footer + 8 > size) {
    Fail(failure, "no footer with the data file's name");
    return nullptr;
  }
  const uint64_t nameAt = Le32(d + footer);
  if (nameAt >= size) {
    Fail(failure, "the data file's name lies outside the descriptor");
    return nullptr;
  }
  // The footer's flag says the name is UTF-16; the 16 zero bytes after the data end both kinds.
  std::u16string name;
  if (Le32(d + footer + 4) != 0) {
    for (uint64_t at = nameAt; at + 1 < size + 16 && name.size() < kPathLimit; at += 2) {
      const char16_t c = Le16(d + at);
      if (c == 0) break;
      name.push_back(c);
    }
  } else {
    const char* narrow = reinterpret_cast<const char*>(d + nameAt);
    name = platform::AnsiToWide(std::string(narrow, strnlen(narrow, size - nameAt)), platform::AnsiCodePage());
  }
  L.imagePath = ResolveDescriptorName(path, name);
  if (L.imagePath.empty()) {
    Fail(failure, "the data file's name cannot be resolved");
    return nullptr;
  }
  if (L.trackCount < 1) {
    Fail(failure, "no tracks in the first session");
    return nullptr;
  }
  const int last = L.trackCount - 1;
  if (!lastHasExtra && L.length[last] == 0 && L.sectorSize[last] > 0) {
    // Without an extra block nothing gives the last track's length but the data file's size.
    std::string ignored;
    if (auto file = OpenWidePath(L.imagePath, &ignored); file && file->Size() > L.fileOffset[last]) {
      const int64_t sectors = (file->Size() - L.fileOffset[last]) / L.sectorSize[last];
      L.length[last] = static_cast<int32_t>(std::min<int64_t>(sectors, INT32_MAX - L.start[last]));
      L.fileEnd[last] = L.fileOffset[last] + int64_t{L.length[last]} * L.sectorSize[last];
    }
  }
  L.start[L.trackCount] = L.start[last] + L.length[last];
  return layout;
}

}  // namespace kv::inspect
