// Media descriptors (MDS): the first session's track blocks, their extra blocks and the footer
// that names the data file.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "manager/inspect/disc_layout.h"
#include "platform/wide_text.h"

namespace kv {
namespace {

constexpr size_t kTrackBlockSize = 80;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint32_t Le16(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8;
}

uint8_t ModeOf(uint32_t value) {
  switch (value) {
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

std::unique_ptr<DiscLayout> ParseMediaDescriptor(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!ReadDescriptorFile(path, &bytes)) return nullptr;
  const size_t size = bytes.size() - 16;
  const uint8_t* d = bytes.data();
  if (size <= 112 || strncasecmp(reinterpret_cast<const char*>(d), "MEDIA DESCRIPTOR", 16) != 0) return nullptr;
  std::unique_ptr<DiscLayout> layout(new (std::nothrow) DiscLayout());
  if (!layout) return nullptr;
  DiscLayout& l = *layout;
  l.descriptorPath = path;
  const uint32_t blocks = d[0x62];
  const uint64_t firstBlock = Le32(d + 0x6C);
  uint64_t footer = 0;
  int64_t pregapBytes = 0;
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint64_t at = firstBlock + uint64_t{b} * kTrackBlockSize;
    if (at + kTrackBlockSize > size) break;
    const uint8_t* block = d + at;
    if (block[4] > 99) continue;  // lead-in entries
    const int t = l.trackCount;
    if (t >= kMaxTracks - 1) return nullptr;
    if (t == 0) footer = Le32(block + 52);
    l.mode[t] = ModeOf(Le16(block));
    l.start[t] = (block[9] * 60 + block[10]) * 75 + block[11] - 150;
    l.fileOffset[t] = int64_t{l.start[t]} * kRawSectorSize;
    l.sectorSize[t] = static_cast<int32_t>(Le16(block + 16));
    const uint64_t extra = Le32(block + 12);
    if (extra != 0 && extra + 8 < size) {
      const uint32_t pregap = Le32(d + extra), length = Le32(d + extra + 4);
      if (length > INT32_MAX || pregap > INT32_MAX) return nullptr;
      l.length[t] = static_cast<int32_t>(length);
      l.pregap[t] = static_cast<int32_t>(pregap) - (t == 0 ? 150 : 0);
      pregapBytes += int64_t{l.pregap[t]} * kRawSectorSize;
      l.fileOffset[t] -= pregapBytes;
      l.fileEnd[t] = l.fileOffset[t] + int64_t{l.length[t]} * l.sectorSize[t];
    } else if (t > 0) {
      l.length[t - 1] = l.start[t] - l.start[t - 1];
      l.fileEnd[t - 1] = l.fileOffset[t - 1] + int64_t{l.length[t - 1]} * l.sectorSize[t - 1];
    }
    if (l.fileOffset[t] < 0) l.fileOffset[t] = 0;
    ++l.trackCount;
  }
  if (footer == 0 || footer + 4 > size || l.trackCount < 1) return nullptr;
  const uint64_t nameAt = Le32(d + footer);
  if (nameAt >= size) return nullptr;
  // The name is NUL-terminated inside the buffer (16 zero bytes follow the file). A footer whose
  // wide-name flag is set holds UTF-16; read as narrow text it would end after one character.
  std::string name;
  if (footer + 8 <= size && Le32(d + footer + 4) != 0) {
    std::u16string wide;
    for (uint64_t at = nameAt; at + 1 < size + 16 && wide.size() < kMaxPathLength; at += 2) {
      const char16_t c = static_cast<char16_t>(Le16(d + at));
      if (c == 0) break;
      wide.push_back(c);
    }
    name = platform::Utf16ToUtf8(wide);  // the platform's file names are UTF-8
  } else {
    name = reinterpret_cast<const char*>(d + nameAt);
  }
  l.imagePath = ResolveDescriptorName(path, name);
  if (l.imagePath.empty()) return nullptr;
  for (int t = 0; t < l.trackCount; ++t) l.trackFile[t] = l.imagePath;
  const int n = l.trackCount;
  if (l.length[n - 1] == 0 && l.fileEnd[n - 1] == 0 && l.sectorSize[n - 1] > 0) {
    // Without an extra block only the data file's size gives the last track's length.
    struct stat st {};
    if (stat(l.imagePath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > l.fileOffset[n - 1]) {
      const int64_t sectors = (st.st_size - l.fileOffset[n - 1]) / l.sectorSize[n - 1];
      l.length[n - 1] = static_cast<int32_t>(std::min<int64_t>(sectors, INT32_MAX - int64_t{l.start[n - 1]}));
      l.fileEnd[n - 1] = l.fileOffset[n - 1] + int64_t{l.length[n - 1]} * l.sectorSize[n - 1];
    }
  }
  l.start[n] = l.start[n - 1] + l.length[n - 1];
  return layout;
}

}  // namespace kv
