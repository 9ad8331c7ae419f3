// MZP containers in the service: the MARFS volume inside is entered into an ImageBuilder as a tree
// whose file data map to the container's own sectors, so nothing is extracted; the builder then
// reads those sectors through this source while serving.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "formats/mzp/mzp_container.h"
#include "service/image_builder.h"

namespace kv::service {

// Told about a sector that cannot be read while serving, and about skipped entries while the tree
// is read (one line each, without a trailing newline).
class MzpNotices {
 public:
  virtual ~MzpNotices() = default;
  virtual void ReadFailed(const std::string& path, uint32_t sector) = 0;
  virtual void Skipped(const std::string& path, const std::string& what) = 0;
};

enum class MzpOpenResult : uint8_t {
  kOk,
  kCannotOpenFile,
  kNotMzp,  // no container, or no MARFS volume inside
  kBroken,
  kUnsupportedVersion,
  kPasswordNeeded,
  kWrongPassword,
  kNoMemory,
};
const char* MzpOpenResultText(MzpOpenResult result);

struct MarfsLimits {
  uint32_t maxDepth = 1000;                      // deeper directories are skipped
  uint64_t maxDirectoryBytes = 64ull << 20;      // a larger stream contributes no entries
  uint64_t maxTotalDirectoryBytes = 1ull << 30;  // over the whole tree
  uint64_t maxEntries = 10'000'000;
};

// Reads one volume sector; false when it cannot be read.
using MarfsSectorReader = std::function<bool(uint32_t sector, uint8_t* out)>;
struct MarfsWalk {
  uint64_t entries = 0;
  uint64_t skipped = 0;
};
// Checks sector 0 of a MARFS volume of `sectorCount` sectors and enters its tree into `builder`
// (volume identifier: the volume's name), each file mapped to its source sectors. False when
// sector 0 cannot be read or holds no MARFS magic. `where` prefixes the notices.
bool ReadMarfsVolume(const MarfsSectorReader& read, uint32_t sectorCount, ImageBuilder& builder, MzpNotices* notices,
                     const std::string& where, const MarfsLimits& limits, MarfsWalk* walk);

class MzpVolumeSource final : public ItemDataSource {
 public:
  // Opens the container at `path` with `password` (system code page; cut to 256 bytes), checks
  // its MARFS sector 0, and enters the volume's tree into `builder` (volume identifier: the
  // volume's name). Null with *result on failure; the builder is then to be discarded.
  static std::unique_ptr<MzpVolumeSource> Open(const std::string& path, std::string_view password,
                                               ImageBuilder& builder, MzpNotices* notices, MzpOpenResult* result,
                                               const MarfsLimits& limits = {});

  bool ReadItem(uint32_t, uint64_t, void*, size_t) override { return false; }
  bool ReadSourceSectors(uint32_t first, uint32_t count, void* dst) override;

  // Keeps `notices` for the messages of later reads (replacing the one given to Open).
  void AdoptNotices(std::unique_ptr<MzpNotices> notices) {
    ownedNotices_ = std::move(notices);
    notices_ = ownedNotices_.get();
  }
  const mzp::MzpContainer& container() const { return *container_; }
  uint64_t entryCount() const { return walk_.entries; }
  uint64_t skippedCount() const { return walk_.skipped; }

 private:
  MzpVolumeSource() = default;

  std::string path_;
  MzpNotices* notices_ = nullptr;
  std::unique_ptr<MzpNotices> ownedNotices_;
  std::unique_ptr<ImageFile> file_;
  std::unique_ptr<mzp::MzpContainer> container_;
  MarfsWalk walk_;
};

// Seconds since 1970 of a MARFS timestamp (its zone offset applied; local time when it has none);
// empty when the fields are no date.
std::optional<int64_t> MarfsTimeToUnix(const uint8_t time[12]);

}  // namespace kv::service
