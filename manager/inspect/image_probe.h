// What the manager decides about a picked file before it mounts it: the format, geometry and
// track layout of an image (through the same readers the driver uses), or an archive for the
// service; the first volume of a split image; the password where the format is encrypted.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "formats/raw_file.h"
#include "manager/inspect/disc_layout.h"
#include "manager/inspect/prompts.h"

namespace kv::mzp {
class MzpContainer;
}

namespace kv::inspect {

// Results of an open; the numbers are the MountError numbers.
enum OpenResult : int32_t {
  kOpenOk = 0,
  kOpenNoMemory = 6,
  kOpenTooLarge = 7,
  kOpenUnrecognised = 8,
  kOpenPasswordRequired = 14,
  kOpenVersionUnsupported = 15,
  kOpenWrongPassword = 18,
};
// The number of the user's text for a failed open (0 when there is none).
uint16_t OpenResultText(int32_t result);

inline constexpr size_t kPasswordLimit = 256;  // bytes in the system code page
inline constexpr size_t kIszPasswordLimit = 32;

// A DAA/GBI image split into volumes: their names and which of them opened.
struct SplitVolumes {
  uint32_t count = 0;
  uint32_t scheme = 0;
  std::vector<std::string> names;
  std::vector<bool> opened;
};

// An MZP container opened by the reader the service uses; the manager only looks at it.
struct MzpState {
  MzpState();
  ~MzpState();
  std::unique_ptr<ImageFile> file;  // over the probe's file
  std::unique_ptr<mzp::MzpContainer> container;
  uint32_t volumeCount = 1;
  uint32_t keyBits = 0;  // 0: not encrypted
};

// Sector 0 of a MARFS volume (inside an MZP container): its root record and the two u16 values
// after it.
struct MarfsVolumeRecord {
  uint8_t root[32] = {};
  uint16_t value52 = 0;
  uint16_t value54 = 0;
};

struct ImageProbe {
  std::string imagePath;
  std::string descriptorPath;  // empty: none
  std::unique_ptr<RawFile> file;
  int64_t fileSize = 0;
  int32_t format = kFormatUnusable;
  int32_t sectorSize = 0;
  int32_t dataOffset = 0;
  int32_t startOffset = 0;
  int32_t sectorCount = 0;
  // The raw scan: file offset of the first primary volume descriptor (-1: none), candidates.
  int64_t rawDescriptorOffset = -1;
  std::vector<int32_t> rawCandidates;
  bool rawScanned = false;
  std::unique_ptr<DiscLayout> layout;
  bool layoutFromImage = false;
  // The reader that accepted the file (the driver's readers, run here).
  std::unique_ptr<ImageSource> source;
  ProbeResult fileSystem;
  std::optional<SplitVolumes> volumes;  // a DAA/GBI image of several volumes
  // Flags of the DAA/GBI (or MZP) reader that decide results 14 and 15.
  bool passwordMissing = false;
  bool versionUnsupported = false;
  std::string password;  // accepted, in the system code page
  bool passwordKnown = false;
  bool encrypted = false;
  std::string comment;
  uint32_t daaKeyWord = 0;
  uint32_t daaTableKey = 0;
  // Archive state (format 151).
  bool isArchive = false;
  bool archivePasswordAsked = false;
  std::optional<std::u16string> archivePassword;
  std::string archiveFormat;
  uint32_t archiveItems = 0;
  // MZP (format 7): the container reader and the MARFS volume record the file-system probe kept.
  std::unique_ptr<MzpState> mzp;
  std::optional<MarfsVolumeRecord> marfs;
};

struct InspectContext {
  Prompts* prompts = nullptr;  // null: every question is cancelled
  TextLookup text = DefaultTextLookup;
  std::string installDir;  // holds the codec library (archives)
};

// The caller has opened `file` for reading.
int32_t OpenImage(const std::string& imagePath, const std::string& descriptorPath, std::unique_ptr<RawFile> file,
                  InspectContext& context, std::unique_ptr<ImageProbe>* probe);
// -1 hint: from the extension.
void IdentifyImage(ImageProbe& probe, int32_t hint, InspectContext& context);
bool TryFormat(ImageProbe& probe, int32_t code, InspectContext& context);
// The format of an extension (lower case compared), -1 when none.
int32_t FormatOfExtension(const std::string& path);
// True when the file carries the signature of an archive its name announces.
bool LooksLikeArchive(ImageProbe& probe);
// Fills the probe's raw-scan fields; true when a primary volume descriptor and candidates were found.
bool RawScan(ImageProbe& probe);

// Archives (format 151): opened with the codec library from the install folder.
int32_t OpenArchiveProbe(const std::string& path, bool checkPassword, InspectContext& context,
                         std::unique_ptr<ImageProbe>* probe);

// Passwords: asks until one is accepted or the user gives up. `check` decides whether a password
// (system code page) is right; `limit` is the reader's limit in bytes.
bool RequestPassword(ImageProbe& probe, InspectContext& context, size_t limit,
                     const std::function<bool(const std::string&)>& check);
// The same with a check that can also end the questions: a reader that fails for another reason
// than a wrong password (a damaged container) is not asked again.
enum class PasswordCheck { kRight, kWrong, kGiveUp };
bool RequestPassword(ImageProbe& probe, InspectContext& context, size_t limit,
                     const std::function<PasswordCheck(const std::string&)>& check);
// The user's text converted to the system code page, at most `limit` bytes, never a cut character.
std::string ToSystemCodePage(const std::u16string& text, size_t limit, bool* truncated);

// Split images: the first volume of a picked later volume ("" when it is missing: the user has
// been told), the name of volume `index` under a naming scheme, and the check of all volumes.
std::string FindFirstVolume(const std::string& picked, InspectContext& context);
std::string VolumeName(const std::string& base, uint32_t index, uint32_t scheme);
bool OpenAllVolumes(SplitVolumes& volumes, const std::string& firstVolume, InspectContext& context);
enum class VolumeDecision { kContinue = 1, kGiveUp = 2 };
VolumeDecision ConfirmVolumes(ImageProbe& probe, bool skipAllowed, InspectContext& context);

// The MountRequest of an identified image (format, geometry, password, track table, DAA words),
// named by `ntName` ("\??\C:\..." or the client's form).
std::vector<uint8_t> BuildMountRequest(ImageProbe& probe, const std::u16string& ntName);

// A name for a format code ("iso", "bin", "daa", ..., "raw" for 1000-1007, "audio", "archive").
std::string FormatLabel(int32_t format);

}  // namespace kv::inspect
