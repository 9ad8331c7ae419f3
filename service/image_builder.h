// ImageBuilder: the ISO 9660 + Joliet + UDF 1.02 bridge image of a tree of items, kept as a
// SectorMap; metadata sectors live in memory, file data is read from its source on demand. A
// file's File Entry is kept as its few facts, and directory and FID sectors as the entries, names
// (one pool) and orders they list; these are written when read.
//
// Usage:
//   MyArchiveSource source;                       // implements ItemDataSource
//   kv::service::ImageBuilder builder(&source);
//   builder.SetVolumeIdentifier(u"x");
//   builder.AddItem(u"docs/readme.txt", false, 5, fileTime, 0);   // archive item 0
//   builder.AddItem(u"docs", true, 0, fileTime, 1);               // directory item 1
//   builder.AddFileItem(u"a.bin", 4096, std::nullopt, "/home/u/a.bin");  // data from a named file
//   if (builder.Build() != kv::service::BuildError::kNone) ...;
//   uint8_t buf[16 * 2048];
//   uint32_t done = builder.ReadSectors(first, 16, buf);  // zeros past the end
//
// Not thread-safe: build on one thread, then read from one thread at a time.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::service {

inline constexpr uint32_t kSectorSize = 2048;

// 0, 1, 3, 6, 11 as the system defines them; the rest replace a process exit or an overflow.
enum class BuildError : int32_t {
  kNone = 0,
  kCancelled = 1,
  kAppendFailed = 3,         // a sector could not be appended to the map
  kOutOfMemory = 6,          // out of memory while mapping file data
  kSourceRead = 11,          // a source sector could not be read
  kRecordTooLong = 20,       // a directory record of 256 bytes or more; naming failed
  kTooManyDirectories = 21,  // a path-table parent number above 65,535
  kBrokenTree = 22,          // the tree and the layout disagree (a directory missing from its list)
  kImageTooLarge = 23,       // more sectors than a signed 32-bit count, or a File Entry overflow
  kNotBuilt = 24,            // Build() called twice, or after a failed build
};

// Where item bytes come from. The builder calls it only while serving reads.
class ItemDataSource {
 public:
  virtual ~ItemDataSource() = default;
  // Reads `length` bytes of item `itemIndex` starting at byte `offset` of the item into `dst`.
  // A run of sectors of one item within one read request arrives as one call. False on failure.
  virtual bool ReadItem(uint32_t itemIndex, uint64_t offset, void* dst, size_t length) = 0;
  // Reads `count` 2048-byte sectors of the source volume from sector `first` (MZP volumes).
  virtual bool ReadSourceSectors(uint32_t first, uint32_t count, void* dst) {
    (void)first, (void)count, (void)dst;
    return false;
  }
};

// Times the build stamps on descriptors and created directories.
struct BuildClock {
  int64_t unixSeconds = 0;    // the build's current time
  uint32_t processTicks = 0;  // process clock, used in the volume set identifier
};
// The real clock of the process.
BuildClock SystemBuildClock();

// One 8-byte record per image sector.
struct SectorRecord {
  uint32_t word;
  uint32_t value;
};
static_assert(sizeof(SectorRecord) == 8);

namespace sector_kind {
inline constexpr uint32_t kMask = 0xF0000000u;
inline constexpr uint32_t kSourceSector = 0x10000000u;  // value = sector of the source volume
inline constexpr uint32_t kItemFirst = 0x20000000u;     // value = pool offset of a 4-byte item reference
inline constexpr uint32_t kItemNext = 0x30000000u;
inline constexpr uint32_t kMetadata = 0x40000000u;  // value = pool offset of the sector's 2048 bytes
// A file's File Entry, written when read: value = the file's entry number in the kept tree.
inline constexpr uint32_t kFileEntry = 0x50000000u;
// Made when read from the tree kept after the build: value = the directory's number.
inline constexpr uint32_t kIsoDirectory = 0x60000000u;     // a sector of its ISO 9660 extent
inline constexpr uint32_t kJolietDirectory = 0x70000000u;  // a sector of its Joliet extent
inline constexpr uint32_t kFidRun = 0x80000000u;           // a sector of its UDF FID stream
inline constexpr uint32_t kLastInRun = 0x01000000u;
inline constexpr uint32_t kByteCountMask = 0x00FFFFFFu;  // item sectors: bytes of data (1..2048)
}  // namespace sector_kind

struct TreeEntry;  // opaque outside the builder

class ImageBuilder {
 public:
  // `source` may be null when every item comes from a named file; it must outlive the builder.
  explicit ImageBuilder(ItemDataSource* source, std::function<BuildClock()> clock = SystemBuildClock);
  ~ImageBuilder();
  ImageBuilder(const ImageBuilder&) = delete;
  ImageBuilder& operator=(const ImageBuilder&) = delete;

  // Replaces the source given at construction (before Build()).
  void SetItemDataSource(ItemDataSource* source);
  // The volume identifier (at most 512 characters are kept).
  void SetVolumeIdentifier(std::u16string_view name);
  // Set to true from any thread to stop a running Build() with kCancelled.
  void SetCancelFlag(const std::atomic<bool>* cancel);

  // Adds an archive item; `path` uses "/" between components. `fileTime` is a Windows FILETIME
  // (100 ns units since 1601). Returns the entry (valid until Build(), which frees the tree), or
  // nullptr when the path names nothing ("", "/", "."), after Build(), or for a file whose index
  // is 0xFFFFFFFF. Components "" and "." are skipped, ".." becomes "__" and NUL becomes "_".
  TreeEntry* AddItem(std::u16string_view path, bool isDirectory, uint64_t size, std::optional<uint64_t> fileTime,
                     uint32_t itemIndex);
  // Adds a file whose bytes are read from the host file `hostPath` while serving reads.
  TreeEntry* AddFileItem(std::u16string_view path, uint64_t size, std::optional<uint64_t> fileTime,
                         const std::string& hostPath);

  // The root directory's entry, parent of the first level of AddSourceEntry.
  TreeEntry* RootEntry();
  // Adds an entry under the directory entry `parent` whose file data are the source volume's
  // sectors from `sourceStart` on (ItemDataSource::ReadSourceSectors), mapped in runs of at most
  // 32 KiB. Entries go to the front of the parent's list; a directory is a new child of it even
  // when one of that name exists. Returns the entry, or nullptr for an empty name, a parent that
  // is not a directory, after Build() or when memory runs out.
  TreeEntry* AddSourceEntry(TreeEntry* parent, std::u16string_view name, bool isDirectory, uint64_t size,
                            std::optional<int64_t> unixSeconds, uint32_t sourceStart);

  // Names, sorts, lays out and emits the image. kNone on success.
  BuildError Build();
  BuildError error() const { return error_; }

  // Image size in sectors after a successful build.
  uint32_t SectorCount() const;
  // Fills count * 2048 bytes of `buffer` from sector `first`; sectors past the end are zeros.
  // Returns the sectors produced (fewer when a source read failed; the rest of the buffer is
  // then unspecified and the caller should answer zeros).
  uint32_t ReadSectors(uint32_t first, uint32_t count, uint8_t* buffer);

  // The map and its pool, for inspection.
  const std::vector<SectorRecord>& Map() const;
  // Bytes of the metadata pool at `offset`, or nullptr past its end.
  const uint8_t* PoolAt(uint32_t offset, uint32_t length) const;
  // Bytes held for the image (map + pool + tree), for measurements.
  size_t MemoryUsed() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  BuildError error_ = BuildError::kNone;
};

}  // namespace kv::service
