#include "manager/inspect/disc_layout.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace kv {

OwnedFile::~OwnedFile() {
  if (fd_ >= 0) close(fd_);
}

OwnedFile& OwnedFile::operator=(OwnedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool ReadDescriptorFile(const std::string& path, std::vector<uint8_t>* bytes) {
  OwnedFile f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!f || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) >= kDescriptorSizeLimit) return false;
  const size_t size = static_cast<size_t>(st.st_size);
  try {
    bytes->assign(size + 16, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (size_t done = 0; done < size;) {
    const ssize_t n = read(f.get(), bytes->data() + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  bytes->resize(size + 16);
  return true;
}

std::string ResolveDescriptorName(const std::string& descriptorPath, const std::string& given) {
  if (given.empty()) return {};
  // Sheets written elsewhere separate folders with backslashes.
  std::string name = given;
  for (char& c : name)
    if (c == '\\') c = '/';
  std::string out;
  if (name.size() >= 2 && name[0] == '*' && name[1] == '.') {
    const size_t slash = descriptorPath.find_last_of('/');
    const size_t dot = descriptorPath.find_last_of('.');
    const size_t cut =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : descriptorPath.size();
    out = descriptorPath.substr(0, cut) + name.substr(1);
  } else if ((name.size() >= 2 && name[1] == ':') || name[0] == '/') {
    out = name;
  } else {
    const size_t slash = descriptorPath.find_last_of('/');
    out = (slash == std::string::npos ? std::string() : descriptorPath.substr(0, slash + 1)) + name;
  }
  if (out.empty() || out.size() >= kMaxPathLength) return {};
  return out;
}

TrackInfo* InfoFor(DiscLayout& layout, int slot) {
  if (slot < 0 || slot >= kMaxTracks) return nullptr;
  if (!layout.info[slot]) layout.info[slot].reset(new (std::nothrow) TrackInfo());
  return layout.info[slot].get();
}

bool IsValidLayout(const DiscLayout& l) {
  if (l.trackCount < 1 || l.trackCount > kMaxTracks - 1) return false;
  for (int i = 1; i < l.trackCount; ++i)
    if (l.start[i] <= l.start[i - 1]) return false;
  return true;
}

std::unique_ptr<DiscLayout> ParseDescriptor(const std::string& path, const std::string& expectedImage) {
  for (auto parse : {ParseCueSheet, ParseMediaDescriptor}) {
    std::unique_ptr<DiscLayout> layout = parse(path);
    if (layout && IsValidLayout(*layout) && (expectedImage.empty() || layout->imagePath == expectedImage))
      return layout;
  }
  return nullptr;
}

std::unique_ptr<DiscLayout> FindDescriptorFor(const std::string& dataPath) {
  const size_t dot = dataPath.find_last_of('.');
  const size_t slash = dataPath.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  const std::string extension = dataPath.substr(dot + 1);
  std::unique_ptr<DiscLayout> layout;
  if (strcasecmp(extension.c_str(), "bin") == 0)
    layout = ParseCueSheet(dataPath.substr(0, dot + 1) + "cue");
  else if (strcasecmp(extension.c_str(), "mdf") == 0)
    layout = ParseMediaDescriptor(dataPath.substr(0, dot + 1) + "mds");
  if (!layout || !IsValidLayout(*layout) || layout->imagePath != dataPath) return nullptr;
  return layout;
}

ImageChoice ChooseImage(const std::string& picked) {
  ImageChoice choice;
  if ((choice.layout = ParseDescriptor(picked))) {
    choice.image = choice.layout->imagePath;
    choice.descriptor = picked;
  } else if ((choice.layout = FindDescriptorFor(picked))) {
    choice.image = picked;
    choice.descriptor = choice.layout->descriptorPath;
  } else {
    choice.image = picked;
  }
  return choice;
}

bool LeadingAudioRun(DiscLayout& l) {
  if (l.trackCount < 1 || l.mode[0] != TRACK_AUDIO) return false;
  int n = 0;
  while (n < l.trackCount && l.mode[n] == TRACK_AUDIO) ++n;
  l.trackCount = n;
  l.mode[n] = TRACK_AUDIO;
  return true;
}

int32_t LayoutSectors(const DiscLayout& l) {
  if (l.trackCount < 1 || l.trackCount > kMaxTracks - 1) return 0;
  const int t = l.trackCount - 1;
  const int64_t end = int64_t{l.start[t]} + l.length[t] + l.postgap[t];
  return end > INT32_MAX ? INT32_MAX : static_cast<int32_t>(end);
}

const char* ServableFromOneFile(const DiscLayout& l) {
  for (int i = 0; i < l.trackCount && i < kMaxTracks - 1; ++i)
    if (l.trackFile[i] != l.imagePath) return "tracks lie in more than one file; the drive reads one image file";
  return nullptr;
}

void CopyLayoutToRequest(DiscLayout& l, MountRequest* r) {
  const int n = l.trackCount;
  if (n >= 1 && n < kMaxTracks && l.start[n] == 0) {
    // The lead-out follows the last track's post-gap, so that the post-gap stays on the disc.
    l.start[n] = LayoutSectors(l);
    l.mode[n] = l.mode[n - 1];
  }
  r->TrackCount = static_cast<uint32_t>(n < 0 ? 0 : n);
  if (n == 1 && l.start[1] > 445500) r->TrackCount = 0;  // longer than 99 minutes: no table
  std::memcpy(r->TrackMode, l.mode, sizeof r->TrackMode);
  std::memcpy(r->TrackStart, l.start, sizeof r->TrackStart);
  std::memcpy(r->TrackPregap, l.pregap, sizeof r->TrackPregap);
  std::memcpy(r->TrackPregapInFile, l.pregapInFile, sizeof r->TrackPregapInFile);
  std::memcpy(r->TrackPostgap, l.postgap, sizeof r->TrackPostgap);
  std::memcpy(r->TrackPostgapInFile, l.postgapInFile, sizeof r->TrackPostgapInFile);
  std::memcpy(r->TrackLength, l.length, sizeof r->TrackLength);
  std::memcpy(r->TrackFileOffset, l.fileOffset, sizeof r->TrackFileOffset);
  std::memcpy(r->TrackFileEnd, l.fileEnd, sizeof r->TrackFileEnd);
  std::memcpy(r->TrackSectorSize, l.sectorSize, sizeof r->TrackSectorSize);
}

DescriptorUse PrepareDescriptorMount(const std::string& picked, MountRequest* request, std::string* image,
                                     std::string* reason, std::unique_ptr<DiscLayout>* layoutOut) {
  ImageChoice choice = ChooseImage(picked);
  *image = choice.image;
  if (!choice.layout) {
    // A file named as a descriptor that does not parse is not mounted as an image of text.
    const size_t dot = picked.find_last_of('.');
    const std::string extension = dot == std::string::npos ? "" : picked.substr(dot + 1);
    if (strcasecmp(extension.c_str(), "cue") == 0 || strcasecmp(extension.c_str(), "mds") == 0) {
      *reason = "not a cue sheet or media descriptor";
      return DescriptorUse::kRefused;
    }
    return DescriptorUse::kNone;
  }
  if (const char* why = ServableFromOneFile(*choice.layout)) {
    *reason = why;
    return DescriptorUse::kRefused;
  }
  CopyLayoutToRequest(*choice.layout, request);
  if (layoutOut) *layoutOut = std::move(choice.layout);
  return DescriptorUse::kLayout;
}

}  // namespace kv
