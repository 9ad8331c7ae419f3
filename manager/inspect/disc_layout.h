// DiscLayout: a disc's tracks as a cue sheet or media descriptor describes them, the parsers
// that make one, and the choice of image and descriptor when the user picks a file.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"

namespace kv {

inline constexpr size_t kDescriptorSizeLimit = 131072;  // a descriptor is smaller than 128 KiB
inline constexpr size_t kMaxPathLength = 1024;
inline constexpr int kTrackTextCount = 18;

// Flags of a track (FLAGS line).
inline constexpr uint32_t kFlagDcp = 1, kFlag4Ch = 2, kFlagPre = 4, kFlagScms = 8;

// Side information of the disc (slot 0) or of one track (slot = track number).
struct TrackInfo {
  uint32_t flags = 0;
  int32_t lastIndex = 0;
  int32_t indexPosition[kMaxTracks] = {};  // [0] INDEX 00 relative to INDEX 01; [n >= 2] INDEX n
  std::string text[kTrackTextCount];       // CD-TEXT pack type 0x80 + k; [14] catalog / ISRC
  std::u16string wideText[kTrackTextCount];
};

// An open file of a track that lives in another FILE than the first.
class OwnedFile {
 public:
  OwnedFile() = default;
  explicit OwnedFile(int fd) : fd_(fd) {}
  ~OwnedFile();
  OwnedFile(OwnedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OwnedFile& operator=(OwnedFile&& other) noexcept;
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

struct DiscLayout {
  // The part that travels in the MountRequest.
  int32_t trackCount = 0;
  uint8_t mode[kMaxTracks] = {};
  int32_t start[kMaxTracks] = {};
  int32_t pregap[kMaxTracks] = {};
  int32_t pregapInFile[kMaxTracks] = {};
  int32_t postgap[kMaxTracks] = {};
  int32_t postgapInFile[kMaxTracks] = {};
  int32_t length[kMaxTracks] = {};
  int64_t fileEnd[kMaxTracks] = {};
  int64_t fileOffset[kMaxTracks] = {};
  int32_t sectorSize[kMaxTracks] = {};
  // The part that stays in the manager.
  std::string imagePath;
  std::string descriptorPath;
  std::string trackFile[kMaxTracks];
  OwnedFile trackOpenFile[kMaxTracks];
  int64_t trackDataOffset[kMaxTracks] = {};
  int32_t index1Position[kMaxTracks] = {};
  std::vector<uint8_t> cdText;
  std::unique_ptr<TrackInfo> info[kMaxTracks];
};

// Each returns null when the file is not a usable descriptor of its kind.
std::unique_ptr<DiscLayout> ParseCueSheet(const std::string& path);
std::unique_ptr<DiscLayout> ParseMediaDescriptor(const std::string& path);
// Cue sheet, then media descriptor; only a valid layout (whose image path equals
// `expectedImage` when that is given) is returned. Paths compare exactly: the platform's file
// names are case-sensitive, so "A.bin" and "a.bin" are different files.
std::unique_ptr<DiscLayout> ParseDescriptor(const std::string& path, const std::string& expectedImage = "");
bool IsValidLayout(const DiscLayout& layout);
// The companion descriptor of a data file: x.bin -> x.cue, x.mdf -> x.mds.
std::unique_ptr<DiscLayout> FindDescriptorFor(const std::string& dataPath);
bool LeadingAudioRun(DiscLayout& layout);
int32_t LayoutSectors(const DiscLayout& layout);

// What to mount for a picked file: the image and, when there is one, its layout.
struct ImageChoice {
  std::string image;
  std::string descriptor;  // empty: no descriptor
  std::unique_ptr<DiscLayout> layout;
};
ImageChoice ChooseImage(const std::string& picked);

// Null when the layout can be served by the driver, which reads one image file; otherwise why
// not (tracks that live in another file than the first).
const char* ServableFromOneFile(const DiscLayout& layout);

// Copies the track table into `request` with the lead-out slot; a single track longer than 99
// minutes is sent without a table.
void CopyLayoutToRequest(DiscLayout& layout, MountRequest* request);

// How a picked file is mounted: the image to open and, when a cue sheet or media descriptor
// describes it, the track table in `request` (format and geometry are left to the caller).
enum class DescriptorUse { kNone, kLayout, kRefused };
DescriptorUse PrepareDescriptorMount(const std::string& picked, MountRequest* request, std::string* image,
                                     std::string* reason, std::unique_ptr<DiscLayout>* layout = nullptr);

// CD-TEXT: validates (repairing packs with one wrong bit) the file's bytes in place; false when
// the file is not a CD-TEXT file.
bool ValidateCdText(std::vector<uint8_t>& bytes);
// Distributes the packs' texts into the layout's TrackInfo texts.
bool DistributeCdText(DiscLayout& layout);
// Creates the TrackInfo of `slot` on first use; null when out of memory.
TrackInfo* InfoFor(DiscLayout& layout, int slot);

// File-name resolution against the descriptor's folder; empty when the name cannot be resolved.
std::string ResolveDescriptorName(const std::string& descriptorPath, const std::string& name);

// The whole descriptor file with 16 zero bytes after it; false when it cannot be read or its
// size is 0 or not below 128 KiB.
bool ReadDescriptorFile(const std::string& path, std::vector<uint8_t>* bytes);

}  // namespace kv
