#include "manager/inspect/disc_layout.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "manager/inspect/descriptor_file.h"
#include "platform/wide_text.h"

namespace kv::inspect {

TrackInfo* DiscLayout::Info(int slot) {
  if (slot < 0 || slot >= kMaxTracks) return nullptr;
  if (!info[slot]) info[slot].reset(new (std::nothrow) TrackInfo());
  return info[slot].get();
}

std::string Narrow(const std::u16string& path) {
  return platform::Utf16ToUtf8(path);
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::u16string Extension(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"/");
  const size_t dot = path.find_last_of(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return {};
  return path.substr(dot + 1);
}

std::unique_ptr<RawFile> OpenWidePath(const std::u16string& path, std::string* reason) {
  int error = 0;
  auto file = OpenPosixFile(Narrow(path), &error);
  if (!file && reason) *reason = Narrow(path) + ": " + std::strerror(error);
  return file;
}

bool ReadDescriptorFile(const std::u16string& path, std::vector<uint8_t>* data, size_t* size, std::string* reason) {
  auto file = OpenWidePath(path, reason);
  if (!file) return false;
  const int64_t n = file->Size();
  if (n <= 0 || n >= kMaxDescriptorSize) {
    if (reason) *reason = n <= 0 ? "the file is empty" : "larger than a descriptor can be (128 KiB)";
    return false;
  }
  data->assign(static_cast<size_t>(n) + 16, 0);
  uint32_t got = 0;
  if (!file->Read(0, static_cast<uint32_t>(n), data->data(), &got) || got != static_cast<uint32_t>(n)) {
    if (reason) *reason = "cannot read the file";
    return false;
  }
  *size = static_cast<size_t>(n);
  return true;
}

std::u16string ResolveDescriptorName(const std::u16string& descriptorPath, const std::u16string& name) {
  if (name.empty()) return {};
  std::u16string result;
  if (name.size() >= 2 && name[0] == u'*' && name[1] == u'.') {
    // "*.mdf": the descriptor's own name with that extension.
    const std::u16string ext = Extension(descriptorPath);
    result = ext.empty() && (descriptorPath.empty() || descriptorPath.back() != u'.')
                 ? descriptorPath
                 : descriptorPath.substr(0, descriptorPath.size() - ext.size() - 1);
    result += name.substr(1);
  } else {
    // Names written on Windows separate folders with backslashes.
    std::u16string n = name;
    for (char16_t& c : n)
      if (c == u'\\') c = u'/';
    if (n.size() >= 2 && n[1] == u':') {
      // A drive path stands as it is; the platform's system disk C: is the root folder.
      result = (n[0] == u'C' || n[0] == u'c') ? n.substr(2) : n;
    } else if (n[0] == u'/') {
      result = n;
    } else {
      const size_t slash = descriptorPath.find_last_of(u'/');
      // A descriptor named without a folder lies in the current folder, where its names are too.
      if (slash != std::u16string::npos) result = descriptorPath.substr(0, slash + 1);
      result += n;
    }
  }
  if (result.empty() || result.size() >= kPathLimit) return {};
  return result;
}

bool IsValidLayout(const DiscLayout& layout) {
  if (layout.trackCount < 1 || layout.trackCount > kMaxLayoutTracks) return false;
  for (int i = 1; i < layout.trackCount; ++i)
    if (layout.start[i] <= layout.start[i - 1]) return false;
  return true;
}

bool LeadingAudioRun(DiscLayout* layout) {
  if (layout->trackCount < 1 || layout->mode[0] != TRACK_AUDIO) return false;
  int n = 1;
  while (n < layout->trackCount && layout->mode[n] == TRACK_AUDIO) ++n;
  layout->trackCount = n;
  layout->mode[n] = TRACK_AUDIO;
  return true;
}

int32_t LayoutSectors(const DiscLayout& layout) {
  if (layout.trackCount < 1 || layout.trackCount > kMaxLayoutTracks) return 0;
  const int t = layout.trackCount - 1;
  return layout.start[t] + layout.length[t] + layout.postgap[t];
}

int32_t ServedTrackCount(const DiscLayout& layout) {
  int32_t n = 0;
  while (n < layout.trackCount && n < kMaxLayoutTracks &&
         (layout.trackFilePath[n].empty() || layout.trackFilePath[n] == layout.imagePath))
    ++n;
  return n;
}

void CopyLayoutToMountRequest(const DiscLayout& layout, MountRequest* request) {
  const int32_t count = ServedTrackCount(layout);
  request->TrackCount = static_cast<uint32_t>(count);
  std::memcpy(request->TrackMode, layout.mode, sizeof request->TrackMode);
  std::memcpy(request->TrackStart, layout.start, sizeof request->TrackStart);
  std::memcpy(request->TrackPregap, layout.pregap, sizeof request->TrackPregap);
  std::memcpy(request->TrackPregapInFile, layout.pregapInFile, sizeof request->TrackPregapInFile);
  std::memcpy(request->TrackPostgap, layout.postgap, sizeof request->TrackPostgap);
  std::memcpy(request->TrackPostgapInFile, layout.postgapInFile, sizeof request->TrackPostgapInFile);
  std::memcpy(request->TrackLength, layout.length, sizeof request->TrackLength);
  std::memcpy(request->TrackFileOffset, layout.fileOffset, sizeof request->TrackFileOffset);
  std::memcpy(request->TrackFileEnd, layout.fileEnd, sizeof request->TrackFileEnd);
  std::memcpy(request->TrackSectorSize, layout.sectorSize, sizeof request->TrackSectorSize);
  if (count < 1) return;
  // Tracks left out (they live in other files) must not reach the driver.
  for (int i = count + 1; i < kMaxTracks; ++i) {
    request->TrackMode[i] = 0;
    request->TrackStart[i] = request->TrackPregap[i] = request->TrackPregapInFile[i] = 0;
    request->TrackPostgap[i] = request->TrackPostgapInFile[i] = request->TrackLength[i] = 0;
    request->TrackFileOffset[i] = request->TrackFileEnd[i] = 0;
    request->TrackSectorSize[i] = 0;
  }
  if (request->TrackStart[count] == 0 || count < layout.trackCount) {
    // The lead-out follows the last served track and its post-gap.
    request->TrackStart[count] = layout.start[count - 1] + layout.length[count - 1] + layout.postgap[count - 1];
    request->TrackMode[count] = layout.mode[count - 1];
    request->TrackPregap[count] = request->TrackPregapInFile[count] = 0;
    request->TrackPostgap[count] = request->TrackPostgapInFile[count] = request->TrackLength[count] = 0;
    request->TrackFileOffset[count] = request->TrackFileEnd[count] = 0;
    request->TrackSectorSize[count] = 0;
  }
  if (count == 1 && request->TrackStart[1] > kMaxSingleTrackSectors) request->TrackCount = 0;
}

bool LooksLikeDescriptorName(const std::u16string& path) {
  const std::string ext = Narrow(Extension(path));
  return EqualsIgnoringCase(ext, "cue") || EqualsIgnoringCase(ext, "mds");
}

std::unique_ptr<DiscLayout> ParseDescriptor(const std::u16string& path, const std::u16string& expectedImage,
                                            ParseFailure* failure) {
  ParseFailure cue, mds;
  for (int kind = 0; kind < 2; ++kind) {
    ParseFailure& why = kind == 0 ? cue : mds;
    auto layout = kind == 0 ? ParseCueSheet(path, &why) : ParseMediaDescriptor(path, &why);
    if (!layout) continue;
    if (!IsValidLayout(*layout)) {
      Fail(&why, "the track start addresses do not increase");
      continue;
    }
    if (!expectedImage.empty() && layout->imagePath != expectedImage) {
      Fail(&why, "it describes " + Narrow(layout->imagePath) + ", not " + Narrow(expectedImage));
      continue;
    }
    return layout;
  }
  if (failure) {
    // The media descriptor's reason when the file carries its signature, else the cue sheet's.
    const bool mdsSigned = mds.reason.find("signature") == std::string::npos;
    failure->reason = mdsSigned ? mds.reason : cue.reason;
  }
  return nullptr;
}

std::unique_ptr<DiscLayout> FindDescriptorFor(const std::u16string& dataPath) {
  const std::u16string ext = Extension(dataPath);
  const std::string narrowExt = Narrow(ext);
  const bool bin = EqualsIgnoringCase(narrowExt, "bin");
  if (!bin && !EqualsIgnoringCase(narrowExt, "mdf")) return nullptr;
  const std::u16string stem = dataPath.substr(0, dataPath.size() - ext.size());
  // The platform's names are case-sensitive: an upper-case data file's companion may be too.
  const bool upper = !ext.empty() && ext[0] >= u'A' && ext[0] <= u'Z';
  static constexpr const char16_t* kCompanions[2][2] = {{u"cue", u"CUE"}, {u"mds", u"MDS"}};
  for (const char16_t* companion : kCompanions[bin ? 0 : 1]) {
    if (companion[0] >= u'A' && companion[0] <= u'Z' && !upper) break;
    auto layout = bin ? ParseCueSheet(stem + companion) : ParseMediaDescriptor(stem + companion);
    if (layout && IsValidLayout(*layout) && layout->imagePath == dataPath) return layout;
  }
  return nullptr;
}

DescriptorChoice ChooseDescriptor(const std::u16string& picked) {
  DescriptorChoice choice;
  choice.layout = ParseDescriptor(picked, {}, &choice.failure);
  if (choice.layout) {
    choice.imagePath = choice.layout->imagePath;
    choice.descriptorPath = picked;
    return choice;
  }
  choice.imagePath = picked;
  choice.layout = FindDescriptorFor(picked);
  if (choice.layout) choice.descriptorPath = choice.layout->descriptorPath;
  return choice;
}

const char* TrackModeName(uint8_t mode) {
  switch (mode) {
    case TRACK_AUDIO:
      return "AUDIO";
    case TRACK_MODE1_2048:
      return "MODE1/2048";
    case TRACK_MODE1_RAW:
      return "MODE1/2352";
    case TRACK_MODE2_2336:
      return "MODE2/2336";
    case TRACK_MODE2_FORM1:
      return "MODE2/FORM1";
    case TRACK_MODE2_FORM2:
      return "MODE2/FORM2";
    case TRACK_MODE2_RAW:
      return "MODE2/2352";
    case TRACK_NRG_DATA:
      return "NRG-DATA";
    default:
      return "UNKNOWN";
  }
}

}  // namespace kv::inspect
