// The track layout of a disc as a cue sheet or media descriptor describes it, and what the
// manager keeps beside it (texts, flags, index positions, CD-TEXT).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/raw_file.h"

namespace kv::inspect {

inline constexpr int kMaxLayoutTracks = 99;
// A descriptor is smaller than this; anything larger is never a descriptor.
inline constexpr int64_t kMaxDescriptorSize = 131072;
inline constexpr size_t kPathLimit = 1024;  // characters, exclusive
inline constexpr int kTrackTextCount = 18;
inline constexpr int kTextTitle = 0;  // CD-TEXT pack type 0x80 + k
inline constexpr int kTextPerformer = 1;
inline constexpr int kTextSongwriter = 2;
inline constexpr int kTextComposer = 3;
inline constexpr int kTextCode = 14;                       // UPC/EAN of the disc, ISRC of a track
inline constexpr int32_t kMaxSingleTrackSectors = 445500;  // 99 minutes

enum TrackFlag : uint32_t { kFlagDcp = 1, kFlag4Channel = 2, kFlagPreEmphasis = 4, kFlagScms = 8 };

// Side information of the disc (slot 0) or of one track (slot = track number).
struct TrackInfo {
  uint32_t flags = 0;
  int32_t lastIndex = 0;
  // [0]: INDEX 00 relative to INDEX 01 (0 or negative); [n >= 2]: INDEX n relative to INDEX 01.
  int32_t indexPosition[100] = {};
  std::string text[kTrackTextCount];
  std::u16string wideText[kTrackTextCount];
};

// One parsed descriptor. Slot i of every array is track number i + 1.
struct DiscLayout {
  // What leaves the manager (copied into the MountRequest).
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

  // What stays in the manager. Paths are the platform's file names as UTF-16.
  std::u16string imagePath;
  std::u16string descriptorPath;
  std::u16string trackFilePath[kMaxTracks];
  // Open only for tracks whose FILE is not the image file; closed with the layout.
  std::unique_ptr<RawFile> trackFile[kMaxTracks];
  int64_t trackDataOffset[kMaxTracks] = {};
  int32_t trackIndex1Position[kMaxTracks] = {};
  std::vector<uint8_t> cdText;
  std::unique_ptr<TrackInfo> info[kMaxTracks];

  // Creates the TrackInfo of `slot` on first use; null when memory runs out.
  TrackInfo* Info(int slot);
  const TrackInfo* FindInfo(int slot) const { return slot >= 0 && slot < kMaxTracks ? info[slot].get() : nullptr; }
};

// Why a parse failed, for the user's end (the parse itself stays silent).
struct ParseFailure {
  std::string reason;
};

std::unique_ptr<DiscLayout> ParseCueSheet(const std::u16string& path, ParseFailure* failure = nullptr);
std::unique_ptr<DiscLayout> ParseMediaDescriptor(const std::u16string& path, ParseFailure* failure = nullptr);
// Cue sheet first, then media descriptor; only a valid layout whose image path is
// `expectedImage` (when given) is accepted.
std::unique_ptr<DiscLayout> ParseDescriptor(const std::u16string& path, const std::u16string& expectedImage = {},
                                            ParseFailure* failure = nullptr);
// The companion descriptor of a data file: x.bin -> x.cue, x.mdf -> x.mds.
std::unique_ptr<DiscLayout> FindDescriptorFor(const std::u16string& dataPath);

bool IsValidLayout(const DiscLayout& layout);
bool LeadingAudioRun(DiscLayout* layout);
int32_t LayoutSectors(const DiscLayout& layout);

// What to mount when the user picks `picked`: the descriptor itself (image = its data file),
// a data file with a companion descriptor, or the file alone (layout null).
struct DescriptorChoice {
  std::u16string imagePath;
  std::u16string descriptorPath;  // empty without a descriptor
  std::unique_ptr<DiscLayout> layout;
  ParseFailure failure;  // why the picked file itself is no descriptor
};
DescriptorChoice ChooseDescriptor(const std::u16string& picked);

// True when the name says the file is meant as a descriptor (".cue", ".mds"): such a file that
// does not parse is refused instead of being mounted as an image.
bool LooksLikeDescriptorName(const std::u16string& path);

// Tracks from the first that live in the image file. A drive reads one file, so tracks in other
// files are never sent to it.
int32_t ServedTrackCount(const DiscLayout& layout);

// Copies the served tracks into the request's track fields, with the lead-out slot; a single track
// longer than 99 minutes is sent without a table (count 0).
void CopyLayoutToMountRequest(const DiscLayout& layout, MountRequest* request);

// Name resolution of FILE, CDTEXTFILE and descriptor footers: `name` is wide text already
// converted from the descriptor's code page. Empty on failure.
std::u16string ResolveDescriptorName(const std::u16string& descriptorPath, const std::u16string& name);

// Validates (and repairs single-bit errors in) a CD-TEXT file; the packs without the optional
// 4-byte header on success.
bool ValidateCdText(const std::vector<uint8_t>& file, std::vector<uint8_t>* packs, std::string* reason = nullptr);
// Spreads the texts of validated packs over the layout's TrackInfo records.
bool DistributeCdText(const std::vector<uint8_t>& packs, DiscLayout* layout);

// Track mode names as cue sheets spell them ("MODE2/FORM1" for the descriptor-only modes).
const char* TrackModeName(uint8_t mode);

}  // namespace kv::inspect
