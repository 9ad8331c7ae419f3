// MountedArchive: an archive opened through the 7-Zip codec library, its items entered into an
// ImageBuilder, and the bytes of any item supplied on demand from a private store of temporary
// files, filled by an extraction worker the first time a read needs them.
//
// Usage (the mount sequence of the service):
//   kv::archive::OpenRequest request{path, driveIndex, installDir, password, storeFolder, u'E', &sink};
//   kv::archive::OpenError error;
//   auto archive = kv::archive::MountedArchive::Open(request, &error);
//   auto builder = std::make_unique<kv::service::ImageBuilder>(archive.get());
//   builder->SetVolumeIdentifier(kv::archive::VolumeIdentifierFor(path));
//   archive->AddItemsTo(*builder);
//   builder->Build();  ...  builder->ReadSectors(...)  // item bytes come through ReadItem
//   builder.reset(); archive.reset();   // the archive closes: worker stopped, store deleted
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_messages.h"
#include "archive/codec_library.h"
#include "archive/seekable_decompressor.h"
#include "archive/temporary_store.h"
#include "platform/named_objects.h"
#include "service/image_builder.h"

namespace kv::archive {

inline constexpr uint64_t kChunkSize = 1u << 20;

struct OpenRequest {
  std::string path;                        // the archive file (its further volumes lie beside it)
  int driveIndex = 0;                      // 0..22: selects the drive's library instance
  std::string installDir;                  // folder that holds the codec library
  std::optional<std::u16string> password;  // from the mount command, when one was given
  std::string storeFolder;                 // temporary folder for the store
  char16_t driveLetter = u'?';             // shown in messages
  // When set, asked for the letter each time a message is made: a letter may be given to the
  // drive after the medium was opened. 0 stands for none yet.
  std::function<char16_t()> driveLetterNow;
  // Progress of the one pass over a file compressed as one stream (compressed bytes done and in
  // all); returning false cancels the open. May be empty.
  std::function<bool(uint64_t done, uint64_t total)> progress;
  MessageSink* messages = nullptr;  // may be null
  // Set when the library asked for a password while opening (the manager's password check).
  bool* passwordAsked = nullptr;
  // Only whether some item is encrypted is read (the manager's check before a mount); the items
  // keep no other property and the archive cannot be served.
  bool encryptionOnly = false;
};

enum class OpenError : int32_t {
  kNone = 0,
  kNoLibrary = 1,       // no library in the install folder, or one without CreateObject
  kCannotOpenFile = 2,  // the file cannot be opened for reading
  kNoFormat = 3,        // no format opens the file (also: empty file, too many candidates)
  kBadArguments = 4,
  kCancelled = 5,  // the progress function cancelled the open
};

// One archive item as the library describes it.
struct ArchiveItem {
  std::u16string path;  // "/" between components
  bool isDirectory = false;
  uint64_t size = 0;
  std::optional<uint64_t> fileTime;  // Windows FILETIME
  uint64_t packedSize = 0;
  bool encrypted = false;
};

// The volume identifier of an archive's image: its file name without folder and extension,
// at most 512 characters.
std::u16string VolumeIdentifierFor(const std::string& archivePath);

class MountedArchive final : public service::ItemDataSource {
 public:
  // Opens the archive (format choice, volumes, password, one level of nesting) and reads every
  // item's properties. Null with *error on failure.
  static std::unique_ptr<MountedArchive> Open(const OpenRequest& request, OpenError* error);
  ~MountedArchive() override;  // Close()
  MountedArchive(const MountedArchive&) = delete;
  MountedArchive& operator=(const MountedArchive&) = delete;

  // Enters every item into `builder` in index order; items the builder refuses are left out.
  // Returns the number of items entered.
  size_t AddItemsTo(service::ImageBuilder& builder);

  // Bytes of item `itemIndex` at `offset`: extracts on first need, then serves from the store.
  // Parts that failed or were never stored read as zeros. Returns the bytes delivered (the range
  // clamped to the item's size).
  uint64_t ReadItemBytes(uint32_t itemIndex, void* dst, uint64_t offset, uint64_t length);
  // ItemDataSource: ReadItemBytes for the builder; false only for an item index that does not
  // exist or a range outside the item.
  bool ReadItem(uint32_t itemIndex, uint64_t offset, void* dst, size_t length) override;

  // Stops the worker, closes and deletes the store files, releases the library objects.
  // Called by the destructor; further reads answer zeros.
  void Close();

  // Called after every block of extracted data stored (activity counter, channel heartbeat).
  // Set before the first read.
  void SetStoredBlockHook(std::function<void()> hook) { storedBlockHook_ = std::move(hook); }

  const std::vector<ArchiveItem>& items() const { return items_; }
  uint32_t itemCount() const { return static_cast<uint32_t>(items_.size()); }
  bool solid() const { return solid_; }
  bool encrypted() const { return encrypted_; }
  // The archive's own comment as the library gives it (empty: none).
  const std::u16string& comment() const { return comment_; }
  uint64_t totalPackedSize() const { return totalPackedSize_; }
  const std::u16string& formatName() const { return formatName_; }
  // The seekable view of a file compressed as one stream; null for other archives.
  const SeekableDecompressor* decompressor() const { return decompressor_.get(); }
  const std::u16string& innerFormatName() const { return innerFormatName_; }  // empty: not nested
  const std::vector<std::string>& volumes() const { return volumes_; }

  // Observation for tests and tools.
  struct Extraction {
    bool allItems = false;
    uint32_t itemIndex = 0;
  };
  std::vector<Extraction> ExtractionLog() const;
  uint32_t LibarchivePasses() const;  // passes over the archive that read items with libarchive
  bool WorkerStarted() const;
  // The worker is inside the library's extraction; its failures are posted before this turns false.
  bool ExtractionRunning() const;
  bool ItemComplete(uint32_t itemIndex) const;
  bool ItemFailed(uint32_t itemIndex) const;
  uint64_t HighWaterMark(uint32_t itemIndex) const;
  std::vector<std::string> StoreFiles() const;
  // For tests of the 2 GiB file boundary: a store with smaller files. Before the first read.
  void SetStoreFileShiftForTest(int shift);

 private:
  class ExtractCallback;
  class ItemOutStream;
  friend class ExtractCallback;
  friend class ItemOutStream;

  struct ItemState {
    std::vector<uint64_t> chunks;  // store offset per 1 MiB chunk; 0 = not stored
    bool chunkTable = false;
    uint64_t highWater = 0;
    bool complete = false;
    bool failed = false;
  };
  enum class JobMode { kOneItem, kAllItems };
  struct Job {
    JobMode mode = JobMode::kOneItem;
    uint32_t itemIndex = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    bool pending = false;  // posted and not yet answered on `done`
  };

  MountedArchive() = default;
  bool OpenWith(const OpenRequest& request, OpenError* error);
  void ReadItemProperties(const std::u16string& archiveName);
  void ReadEncryptionOnly();
  void ReadComment();

  // Reading side.
  void StartWorker();
  void RunJob(const Job& job);
  bool JobSatisfiedLocked(const Job& job) const;
  void AnswerJobLocked();

  // Worker side.
  void WorkerMain();
  void Extract(const Job& job);
  bool StoreBytes(uint32_t itemIndex, uint64_t position, const uint8_t* data, size_t size);
  void NoteStreamBound(uint32_t itemIndex);
  void NoteOperationResult(uint32_t itemIndex, int32_t result);
  bool IsRar() const;
  void ExtractPendingWithLibarchive();
  void PostFailure(uint32_t itemIndex, int32_t result);

  void PostMessage(uint32_t textId, uint32_t reasonTextId, std::u16string_view argument);
  void PostStoreError(uint32_t textId);
  std::u16string ItemTextForMessage(uint32_t itemIndex) const;

  const CodecLibrary* library_ = nullptr;
  std::shared_ptr<SeekableDecompressor> decompressor_;  // a file compressed as one stream
  abi::Ref<abi::IInArchive> outer_;
  abi::Ref<abi::IInArchive> inner_;
  abi::IInArchive* archive_ = nullptr;  // inner_ when nested, else outer_
  std::u16string formatName_;
  std::u16string innerFormatName_;
  std::vector<std::string> volumes_;
  std::string archivePath_;    // the archive file
  std::string archiveFolder_;  // its folder, where its further volumes lie
  // Items of a RAR archive that the codec library could not decode: read with libarchive after
  // the library's extraction ends (guarded by lock_).
  std::vector<std::pair<uint32_t, int32_t>> fallbackPending_;  // item, the library's result
  std::u16string archiveName_;

  std::vector<ArchiveItem> items_;
  uint64_t totalPackedSize_ = 0;
  bool solid_ = false;
  bool encrypted_ = false;
  std::u16string comment_;
  std::optional<std::u16string> password_;
  char16_t driveLetter_ = u'?';
  std::function<char16_t()> driveLetterNow_;
  MessageSink* messages_ = nullptr;
  std::function<void()> storedBlockHook_;

  std::unique_ptr<TemporaryStore> store_;
  bool firstReadDone_ = false;
  bool allExtracted_ = false;
  bool closed_ = false;

  // Shared between the reading thread and the worker.
  mutable std::mutex lock_;
  std::vector<ItemState> state_;
  Job job_;
  bool busy_ = false;     // the worker is inside the library's Extract
  bool wantAll_ = false;  // a solid archive: the first read asked for the one pass over all items
  bool stop_ = false;
  int64_t currentItem_ = -1;
  std::vector<Extraction> log_;
  uint32_t libarchivePasses_ = 0;

  std::thread worker_;
  bool workerStarted_ = false;
  std::unique_ptr<platform::NamedEvent> work_;
  std::unique_ptr<platform::NamedEvent> done_;
  std::unique_ptr<platform::NamedEvent> exit_;
};

}  // namespace kv::archive
