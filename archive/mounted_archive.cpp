#include "archive/mounted_archive.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "archive/codec_streams.h"
#include "archive/compressed_file.h"
#include "archive/format_choice.h"
#include "archive/libarchive_fallback.h"
#include "archive/wide_text.h"

namespace kv::archive {
namespace {

// How far into a file a handler may look for the start of its archive.
constexpr uint64_t kMaxCheckStartPosition = 1u << 23;
// More items than this are left out: the tree would not fit an image anyway.
constexpr uint32_t kMaxItems = 16u * 1024 * 1024;
constexpr size_t kMaxVolumeIdentifier = 512;

std::u16string BaseName(std::u16string_view path) {
  const size_t slash = path.find_last_of(u"/\\");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string WithoutExtension(std::u16string_view name) {
  const size_t dot = name.rfind(u'.');
  return std::u16string(dot == std::u16string_view::npos ? name : name.substr(0, dot));
}

// The library's LZMA handlers take a header with no signature and allocate whatever dictionary
// it names, up to 4 GiB, when an item is read; no LZMA encoder writes one over 1.5 GiB.
bool PlausibleLzmaHeader(const std::u16string& format, abi::IInStream* stream) {
  const bool lzma86 = EqualsIgnoreAsciiCase(format, u"lzma86");
  if (!lzma86 && !EqualsIgnoreAsciiCase(format, u"lzma")) return true;
  constexpr uint32_t kMaxDictionary = 1536u << 20;
  // The stream is left where the handler's open left it.
  uint64_t position = 0;
  if (stream->Seek(0, abi::kSeekCur, &position) != abi::S_OK) return false;
  uint8_t head[6] = {};
  const size_t at = lzma86 ? 2 : 1;  // after the properties byte (and lzma86's filter byte)
  const size_t got = ReadStreamHead(stream, head, sizeof head);
  if (stream->Seek(static_cast<int64_t>(position), abi::kSeekSet, nullptr) != abi::S_OK || got < at + 4) return false;
  const uint32_t dictionary = head[at] | head[at + 1] << 8 | head[at + 2] << 16 | uint32_t{head[at + 3]} << 24;
  return dictionary <= kMaxDictionary;
}

// Opens `stream` with the first format in the chosen order that accepts it.
abi::Ref<abi::IInArchive> OpenFirstFormat(const CodecLibrary& library, abi::IInStream* stream, std::u16string_view name,
                                          OpenCallback* callback, std::u16string* format) {
  std::vector<size_t> order;
  const ReadHead head = [stream](uint8_t* buffer, size_t size) { return ReadStreamHead(stream, buffer, size); };
  if (!ChooseFormatOrder(library.formats(), name, head, &order)) return {};
  for (size_t index : order) {
    if (stream->Seek(0, abi::kSeekSet, nullptr) != abi::S_OK) return {};
    abi::Ref<abi::IInArchive> handler = library.CreateHandler(index);
    if (!handler) continue;
    const uint64_t maxStart = kMaxCheckStartPosition;
    if (handler->Open(stream, &maxStart, static_cast<abi::IArchiveOpenCallback*>(callback)) == abi::S_OK &&
        PlausibleLzmaHeader(library.formats()[index].name, stream)) {
      *format = library.formats()[index].name;
      return handler;
    }
    handler->Close();
  }
  return {};
}

}  // namespace

std::u16string VolumeIdentifierFor(const std::string& archivePath) {
  std::u16string id = WithoutExtension(BaseName(Utf8ToUtf16(archivePath)));
  if (id.size() > kMaxVolumeIdentifier) id.resize(kMaxVolumeIdentifier);
  return id;
}

// ---------------------------------------------------------------------------------------------
// Opening and enumeration

std::unique_ptr<MountedArchive> MountedArchive::Open(const OpenRequest& request, OpenError* error) {
  OpenError ignored;
  if (!error) error = &ignored;
  std::unique_ptr<MountedArchive> archive(new MountedArchive());
  if (!archive->OpenWith(request, error)) return nullptr;
  *error = OpenError::kNone;
  return archive;
}

bool MountedArchive::OpenWith(const OpenRequest& request, OpenError* error) {
  if (request.driveIndex < 0 || request.driveIndex > 22 || request.path.empty()) {
    *error = OpenError::kBadArguments;
    return false;
  }
  library_ = LibraryForDrive(request.driveIndex, request.installDir);
  if (!library_) {
    *error = OpenError::kNoLibrary;
    return false;
  }
  const size_t slash = request.path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : request.path.substr(0, slash));
  const std::string fileName = slash == std::string::npos ? request.path : request.path.substr(slash + 1);
  archiveName_ = Utf8ToUtf16(fileName);

  abi::Ref<abi::IInStream> stream(FileInStream::OpenFile(request.path));
  if (!stream) {
    *error = OpenError::kCannotOpenFile;
    return false;
  }
  abi::Ref<OpenCallback> callback(new OpenCallback(*library_, folder, fileName, request.password));
  std::u16string itemsArchiveName = archiveName_;
  uint8_t head[kCompressionHeadSize] = {};
  const size_t headSize = ReadStreamHead(stream.get(), head, sizeof head);
  if (DetectCompression(head, headSize) != Compression::kNone) {
    // A file compressed as one stream is decompressed here, with seek points: the library's
    // handlers of these formats give neither the true size nor random access into the contents.
    IndexOptions options;
    options.folder = request.storeFolder;
    options.progress = request.progress;
    IndexError indexError = IndexError::kNone;
    std::unique_ptr<SeekableDecompressor> d = SeekableDecompressor::Create(request.path, options, &indexError);
    if (indexError == IndexError::kCancelled) {
      *error = OpenError::kCancelled;
      return false;
    }
    if (d) {
      decompressor_ = std::move(d);
      formatName_ = Utf8ToUtf16(CompressionName(decompressor_->compression()));
      const std::u16string name = Utf8ToUtf16(DecompressedName(fileName));
      outer_ = abi::Ref<abi::IInArchive>(new CompressedFileArchive(*library_, decompressor_, name));
      abi::Ref<DecompressedInStream> contents(new DecompressedInStream(decompressor_));
      callback->SetSubArchiveName(Utf16ToWide(name).c_str());
      inner_ = OpenFirstFormat(*library_, contents.get(), name, callback.get(), &innerFormatName_);
      archive_ = inner_ ? inner_.get() : outer_.get();
      if (inner_) itemsArchiveName = BaseName(name);
    }
  }
  if (!archive_) {
    outer_ = OpenFirstFormat(*library_, stream.get(), archiveName_, callback.get(), &formatName_);
    if (!outer_) {
      if (request.passwordAsked) *request.passwordAsked = callback->passwordAsked();
      *error = OpenError::kNoFormat;
      return false;
    }
    archive_ = outer_.get();
  }

  // A one-item container (compressor, split volumes) holds the archive that is meant.
  uint32_t outerCount = 0;
  auto getStream = decompressor_ ? abi::Ref<abi::IInArchiveGetStream>()
                                 : outer_.As<abi::IInArchiveGetStream>(abi::IID_IInArchiveGetStream);
  if (getStream && outer_->GetNumberOfItems(&outerCount) == abi::S_OK && outerCount == 1) {
    abi::Ref<abi::ISequentialInStream> sub;
    if (getStream->GetStream(0, sub.Put()) == abi::S_OK && sub) {
      auto subStream = sub.As<abi::IInStream>(abi::IID_IInStream);
      if (subStream) {
        PropValue value(*library_);
        std::u16string name;
        if (outer_->GetProperty(0, abi::kpidPath, value.Put()) == abi::S_OK) name = WideToUtf16(value.String());
        if (name.empty()) {
          name = WithoutExtension(archiveName_);
          if (EqualsIgnoreAsciiCase(formatName_, u"7z") && AsciiLower(ExtensionOf(name)) != u"7z") name += u".7z";
        }
        callback->SetSubArchiveName(Utf16ToWide(name).c_str());
        inner_ = OpenFirstFormat(*library_, subStream.get(), name, callback.get(), &innerFormatName_);
        if (inner_) {
          archive_ = inner_.get();
          itemsArchiveName = BaseName(name);
        }
      }
    }
  }
  volumes_ = callback->volumes();
  if (request.passwordAsked) *request.passwordAsked = callback->passwordAsked();
  archivePath_ = request.path;
  archiveFolder_ = folder;
  password_ = request.password;
  driveLetter_ = request.driveLetter;
  driveLetterNow_ = request.driveLetterNow;
  messages_ = request.messages;
  store_ = std::make_unique<TemporaryStore>(request.storeFolder);
  ReadComment();
  if (request.encryptionOnly) {
    ReadEncryptionOnly();
    return true;
  }
  ReadItemProperties(itemsArchiveName);
  return true;
}

void MountedArchive::ReadComment() {
  // A hostile archive may claim any length: more than the comment box shows is not kept.
  constexpr size_t kMaxCommentChars = 1 << 20;
  PropValue value(*library_);
  if (archive_->GetArchiveProperty(abi::kpidComment, value.Put()) != abi::S_OK || !value.IsString()) return;
  std::wstring text = value.String();
  if (text.size() > kMaxCommentChars) text.resize(kMaxCommentChars);
  comment_ = WideToUtf16(text);
}

void MountedArchive::ReadEncryptionOnly() {
  uint32_t count = 0;
  if (archive_->GetNumberOfItems(&count) != abi::S_OK) count = 0;
  count = std::min(count, kMaxItems);
  items_.resize(count);
  PropValue value(*library_);
  for (uint32_t i = 0; i < count && !encrypted_; ++i)
    if (archive_->GetProperty(i, abi::kpidEncrypted, value.Put()) == abi::S_OK && value.Bool(false))
      items_[i].encrypted = encrypted_ = true;
  state_.resize(count);
}

void MountedArchive::ReadItemProperties(const std::u16string& archiveName) {
  uint32_t count = 0;
  if (archive_->GetNumberOfItems(&count) != abi::S_OK) count = 0;
  count = std::min(count, kMaxItems);
  items_.resize(count);
  PropValue value(*library_);
  for (uint32_t i = 0; i < count; ++i) {
    ArchiveItem& item = items_[i];
    if (archive_->GetProperty(i, abi::kpidPath, value.Put()) == abi::S_OK) item.path = WideToUtf16(value.String());
    if (item.path.empty()) {
      item.path = WithoutExtension(archiveName);
      if (archive_->GetProperty(i, abi::kpidExtension, value.Put()) == abi::S_OK && value.IsString()) {
        const std::wstring extension = value.String();
        if (!extension.empty()) item.path += u"." + WideToUtf16(extension);
      }
    }
    std::replace(item.path.begin(), item.path.end(), u'\\', u'/');
    if (archive_->GetProperty(i, abi::kpidIsDir, value.Put()) == abi::S_OK) item.isDirectory = value.Bool(false);
    uint64_t n = 0;
    if (archive_->GetProperty(i, abi::kpidSize, value.Put()) == abi::S_OK && value.UInt64(&n)) item.size = n;
    if (item.isDirectory) item.size = 0;
    if (archive_->GetProperty(i, abi::kpidMTime, value.Put()) == abi::S_OK && value.get().vt == abi::VT_FILETIME)
      item.fileTime = (uint64_t{value.get().filetime.high} << 32) | value.get().filetime.low;
    if (archive_->GetProperty(i, abi::kpidPackSize, value.Put()) == abi::S_OK && value.UInt64(&n)) {
      item.packedSize = n;
      totalPackedSize_ += n;
    }
    if (archive_->GetProperty(i, abi::kpidEncrypted, value.Put()) == abi::S_OK && value.Bool(false)) {
      item.encrypted = true;
      encrypted_ = true;
    }
  }
  if (archive_->GetArchiveProperty(abi::kpidSolid, value.Put()) == abi::S_OK) solid_ = value.Bool(false);
  // Contents that can only be decoded from the start are read best in one pass, as a solid
  // archive is: item by item, each out-of-order item would decode everything before it again.
  if (decompressor_ && decompressor_->pointCount() == 1 && decompressor_->size() > (uint64_t{4} << 20) &&
      archive_ == inner_.get())
    solid_ = true;
  state_.resize(count);
}

size_t MountedArchive::AddItemsTo(service::ImageBuilder& builder) {
  size_t added = 0;
  for (uint32_t i = 0; i < items_.size(); ++i) {
    const ArchiveItem& item = items_[i];
    if (builder.AddItem(item.path, item.isDirectory, item.size, item.fileTime, i)) ++added;
  }
  return added;
}

// ---------------------------------------------------------------------------------------------
// Library objects of an extraction

// Output stream bound to one item: stores what the library writes into the item's chunks.
class MountedArchive::ItemOutStream final : public abi::IOutStream {
  KV_CODEC_REFCOUNT
 public:
  ItemOutStream(MountedArchive* owner, uint32_t itemIndex) : owner_(owner), itemIndex_(itemIndex) {}

  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override {
    if (iid == abi::IID_IUnknown || iid == abi::IID_ISequentialOutStream || iid == abi::IID_IOutStream) {
      *out = static_cast<abi::IOutStream*>(this);
      AddRef();
      return abi::S_OK;
    }
    *out = nullptr;
    return abi::E_NOINTERFACE;
  }
  abi::HRESULT Write(const void* data, uint32_t size, uint32_t* processed) override {
    if (processed) *processed = 0;
    if (!owner_->StoreBytes(itemIndex_, position_, static_cast<const uint8_t*>(data), size)) {
      std::lock_guard<std::mutex> g(owner_->lock_);
      return owner_->stop_ ? abi::E_ABORT : abi::E_FAIL;
    }
    position_ += size;
    if (processed) *processed = size;
    return abi::S_OK;
  }
  abi::HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override {
    int64_t base = 0;
    if (origin == abi::kSeekCur) {
      base = static_cast<int64_t>(position_);
    } else if (origin == abi::kSeekEnd) {
      base = static_cast<int64_t>(std::min<uint64_t>(owner_->items_[itemIndex_].size, INT64_MAX));
    } else if (origin != abi::kSeekSet) {
      return abi::STG_E_INVALIDFUNCTION;
    }
    if ((offset < 0 && base < -offset) || (offset > 0 && base > INT64_MAX - offset)) return abi::E_INVALIDARG;
    position_ = static_cast<uint64_t>(base + offset);
    if (newPosition) *newPosition = position_;
    return abi::S_OK;
  }
  abi::HRESULT SetSize(uint64_t) override { return abi::S_OK; }

 private:
  ~ItemOutStream() = default;
  MountedArchive* owner_;
  uint32_t itemIndex_;
  uint64_t position_ = 0;
};

class MountedArchive::ExtractCallback final : public abi::IArchiveExtractCallback, public abi::ICryptoGetTextPassword {
  KV_CODEC_REFCOUNT
 public:
  ExtractCallback(MountedArchive* owner, bool allItems, uint32_t itemIndex)
      : owner_(owner), allItems_(allItems), itemIndex_(itemIndex) {}

  abi::HRESULT QueryInterface(const abi::GUID& iid, void** out) override {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IProgress || iid == abi::IID_IArchiveExtractCallback) {
      *out = static_cast<abi::IArchiveExtractCallback*>(this);
    } else if (iid == abi::IID_ICryptoGetTextPassword) {
      *out = static_cast<abi::ICryptoGetTextPassword*>(this);
    } else {
      *out = nullptr;
      return abi::E_NOINTERFACE;
    }
    AddRef();
    return abi::S_OK;
  }
  abi::HRESULT SetTotal(uint64_t) override { return abi::S_OK; }
  abi::HRESULT SetCompleted(const uint64_t* completed) override {
    if (completed) completed_ = *completed;
    std::lock_guard<std::mutex> g(owner_->lock_);
    return owner_->stop_ ? abi::E_ABORT : abi::S_OK;
  }
  abi::HRESULT GetStream(uint32_t index, abi::ISequentialOutStream** stream, int32_t askExtractMode) override {
    *stream = nullptr;
    bound_ = -1;
    if (index >= owner_->items_.size() || (!allItems_ && index != itemIndex_)) return abi::S_OK;
    // The result that follows belongs to this item even when the library only tests it (it
    // does so after a failed decryption).
    bound_ = index;
    if (askExtractMode != abi::kExtractModeExtract) return abi::S_OK;
    owner_->NoteStreamBound(index);
    *stream = new ItemOutStream(owner_, index);
    return abi::S_OK;
  }
  abi::HRESULT PrepareOperation(int32_t askExtractMode) override {
    mode_ = askExtractMode;
    return abi::S_OK;
  }
  abi::HRESULT SetOperationResult(int32_t result) override {
    if (bound_ >= 0) owner_->NoteOperationResult(static_cast<uint32_t>(bound_), result);
    bound_ = -1;
    return abi::S_OK;
  }
  abi::HRESULT CryptoGetTextPassword(abi::BSTR* password) override {
    *password = owner_->library_->AllocString(owner_->password_ ? Utf16ToWide(*owner_->password_) : std::wstring());
    return *password ? abi::S_OK : abi::E_OUTOFMEMORY;
  }

 private:
  ~ExtractCallback() = default;
  MountedArchive* owner_;
  bool allItems_;
  uint32_t itemIndex_;
  int64_t bound_ = -1;
  uint64_t completed_ = 0;
  int32_t mode_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Reading side

MountedArchive::~MountedArchive() {
  Close();
}

void MountedArchive::Close() {
  if (closed_) return;
  closed_ = true;
  if (workerStarted_) {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    work_->Set();
    exit_->Wait(-1);
    worker_.join();
  }
  work_.reset();
  done_.reset();
  exit_.reset();
  if (store_) store_->Close();
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& s : state_) {
      std::vector<uint64_t>().swap(s.chunks);
      s.chunkTable = false;
    }
  }
  if (inner_) inner_->Close();
  inner_.Reset();
  if (outer_) outer_->Close();
  outer_.Reset();
  archive_ = nullptr;
}

void MountedArchive::StartWorker() {
  if (workerStarted_) return;
  work_ = platform::NamedEvent::CreateAnonymous(false, false);
  done_ = platform::NamedEvent::CreateAnonymous(false, false);
  exit_ = platform::NamedEvent::CreateAnonymous(false, false);
  worker_ = std::thread([this] { WorkerMain(); });
  workerStarted_ = true;
}

bool MountedArchive::JobSatisfiedLocked(const Job& job) const {
  if (job.mode == JobMode::kAllItems) return allExtracted_;
  const ItemState& s = state_[job.itemIndex];
  return s.complete || s.failed || s.highWater >= job.offset + job.length;
}

void MountedArchive::AnswerJobLocked() {
  if (!job_.pending) return;
  job_.pending = false;
  done_->Set();
}

void MountedArchive::RunJob(const Job& job) {
  bool wake;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (stop_ || JobSatisfiedLocked(job)) return;
    job_ = job;
    job_.pending = true;
    // While the library is inside Extract for this item, its writes answer the job.
    wake = !busy_;
  }
  if (wake) work_->Set();
  done_->Wait(-1);
}

uint64_t MountedArchive::ReadItemBytes(uint32_t itemIndex, void* dst, uint64_t offset, uint64_t length) {
  if (closed_ || itemIndex >= items_.size()) return 0;
  const uint64_t size = items_[itemIndex].size;
  if (offset >= size) return 0;
  length = std::min(length, size - offset);
  if (length == 0) return 0;
  auto* out = static_cast<uint8_t*>(dst);

  StartWorker();
  if (!firstReadDone_) {
    firstReadDone_ = true;
    if (!store_->Initialize()) PostStoreError(text_id::kErrorCreatingTemporaryFiles);
    bool extractAll;
    {
      std::lock_guard<std::mutex> g(lock_);
      extractAll = solid_ && !allExtracted_;
    }
    if (extractAll) {
      // The whole archive is extracted in one pass, and every read is answered as soon as its
      // own bytes are stored: the worker starts the pass when it takes the job posted below.
      std::lock_guard<std::mutex> g(lock_);
      for (auto& s : state_) s.chunkTable = true;
      wantAll_ = true;
    }
  }

  Job other;
  bool finishOther = false;
  {
    std::lock_guard<std::mutex> g(lock_);
    state_[itemIndex].chunkTable = true;
    // The one pass over a solid archive reaches every item by itself.
    if (!wantAll_ && currentItem_ >= 0 && static_cast<uint32_t>(currentItem_) != itemIndex) {
      const auto j = static_cast<uint32_t>(currentItem_);
      const ItemState& s = state_[j];
      if (!s.complete && !s.failed && items_[j].size > 0) {
        other.itemIndex = j;
        other.offset = items_[j].size - 1;
        other.length = 1;
        finishOther = true;
      }
    }
  }
  if (finishOther) RunJob(other);

  Job job;
  job.itemIndex = itemIndex;
  job.offset = offset;
  job.length = length;
  RunJob(job);

  // Copy chunk by chunk: stored bytes from the store, everything else as zeros.
  bool readError = false;
  uint64_t done = 0;
  while (done < length) {
    const uint64_t position = offset + done;
    const uint64_t chunk = position / kChunkSize;
    const uint64_t inChunk = position % kChunkSize;
    const uint64_t piece = std::min(length - done, kChunkSize - inChunk);
    uint64_t storeOffset = 0;
    uint64_t stored = 0;  // bytes of this piece below the high-water mark
    {
      std::lock_guard<std::mutex> g(lock_);
      const ItemState& s = state_[itemIndex];
      if (chunk < s.chunks.size()) storeOffset = s.chunks[chunk];
      if (s.highWater > position) stored = std::min(piece, s.highWater - position);
    }
    if (storeOffset != 0 && stored > 0) {
      if (!store_->Read(storeOffset + inChunk, out + done, static_cast<size_t>(stored))) {
        std::memset(out + done, 0, static_cast<size_t>(stored));
        readError = true;
      }
    } else {
      stored = 0;
    }
    std::memset(out + done + stored, 0, static_cast<size_t>(piece - stored));
    done += piece;
  }
  if (readError) PostStoreError(text_id::kErrorReadingTemporaryFiles);
  return length;
}

bool MountedArchive::ReadItem(uint32_t itemIndex, uint64_t offset, void* dst, size_t length) {
  if (itemIndex >= items_.size()) return false;
  const uint64_t size = items_[itemIndex].size;
  if (offset > size || length > size - offset) {
    std::memset(dst, 0, length);
    return false;
  }
  const uint64_t delivered = ReadItemBytes(itemIndex, dst, offset, length);
  // After Close nothing is delivered: the caller still gets defined bytes.
  if (delivered < length) std::memset(static_cast<uint8_t*>(dst) + delivered, 0, length - delivered);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Worker side

void MountedArchive::WorkerMain() {
  for (;;) {
    work_->Wait(-1);
    for (;;) {
      Job job;
      {
        std::lock_guard<std::mutex> g(lock_);
        if (stop_) break;
        if (wantAll_ && !allExtracted_) {
          job.mode = JobMode::kAllItems;
        } else {
          if (!job_.pending) break;
          if (JobSatisfiedLocked(job_)) {
            AnswerJobLocked();
            continue;
          }
          job = job_;
        }
        busy_ = true;
        log_.push_back(Extraction{job.mode == JobMode::kAllItems, job.itemIndex});
      }
      Extract(job);
      std::lock_guard<std::mutex> g(lock_);
      busy_ = false;
      // A job about what was just extracted is answered with whatever the extraction gave; a
      // job about another item is taken up by the next round.
      if (job_.pending &&
          (job.mode == JobMode::kAllItems || (job_.mode == JobMode::kOneItem && job_.itemIndex == job.itemIndex)))
        AnswerJobLocked();
    }
    std::lock_guard<std::mutex> g(lock_);
    if (stop_) break;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (job_.pending) AnswerJobLocked();
  }
  done_->Set();
  exit_->Set();
}

void MountedArchive::Extract(const Job& job) {
  const bool all = job.mode == JobMode::kAllItems;
  abi::Ref<ExtractCallback> callback(new ExtractCallback(this, all, job.itemIndex));
  abi::HRESULT result;
  if (all) {
    // With decoder threads the library hands a solid block's output over only near its end;
    // with one thread it writes each item as it is decoded, so early items are answered early.
    void* set = nullptr;
    if (archive_->QueryInterface(abi::IID_ISetProperties, &set) == abi::S_OK && set != nullptr) {
      auto* properties = static_cast<abi::ISetProperties*>(set);
      const wchar_t* names[] = {L"mt"};
      abi::PROPVARIANT values[1] = {};
      values[0].vt = abi::VT_UI4;
      values[0].ulVal = 1;
      properties->SetProperties(names, values, 1);  // a handler without the switch keeps its threads
      properties->Release();
    }
    result = archive_->Extract(nullptr, UINT32_MAX, 0, callback.get());
  } else {
    const uint32_t index = job.itemIndex;
    result = archive_->Extract(&index, 1, 0, callback.get());
  }
  ExtractPendingWithLibarchive();
  std::lock_guard<std::mutex> g(lock_);
  // An extraction that ended is never repeated: what it did not deliver reads as zeros.
  if (all) {
    for (auto& s : state_) {
      if (result != abi::S_OK && !s.complete) s.failed = true;
      s.complete = true;
    }
    allExtracted_ = true;
  } else {
    ItemState& s = state_[job.itemIndex];
    if (result != abi::S_OK && !s.complete) s.failed = true;
    s.complete = true;
  }
}

void MountedArchive::NoteStreamBound(uint32_t itemIndex) {
  std::lock_guard<std::mutex> g(lock_);
  currentItem_ = itemIndex;
  state_[itemIndex].chunkTable = true;
}

bool MountedArchive::StoreBytes(uint32_t itemIndex, uint64_t position, const uint8_t* data, size_t size) {
  const uint64_t itemSize = items_[itemIndex].size;
  size_t done = 0;
  while (done < size) {
    const uint64_t p = position + done;
    // Bytes past the size the archive declared have no place in the image.
    if (p >= itemSize) break;
    const uint64_t chunk = p / kChunkSize;
    const uint64_t inChunk = p % kChunkSize;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>({size - done, kChunkSize - inChunk, itemSize - p}));
    uint64_t storeOffset = 0;
    bool full = false;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (stop_) return false;
      ItemState& s = state_[itemIndex];
      if (chunk >= store_->Capacity() / kChunkSize) {
        full = true;
      } else if (chunk >= s.chunks.size()) {
        s.chunks.resize(chunk + 1, 0);
      }
      if (!full && s.chunks[chunk] == 0) {
        const uint64_t chunkBytes = std::min(kChunkSize, itemSize - chunk * kChunkSize);
        uint64_t offset;
        if (store_->Reserve(chunkBytes, &offset))
          s.chunks[chunk] = offset;
        else
          full = true;
      }
      if (!full) storeOffset = s.chunks[chunk];
    }
    if (full) {
      PostStoreError(text_id::kErrorCreatingTemporaryFiles);
      return false;
    }
    if (!store_->Write(storeOffset + inChunk, data + done, piece)) {
      PostStoreError(text_id::kErrorCreatingTemporaryFiles);
      return false;
    }
    done += piece;
    if (storedBlockHook_) storedBlockHook_();
  }
  std::lock_guard<std::mutex> g(lock_);
  ItemState& s = state_[itemIndex];
  const uint64_t end = std::min<uint64_t>(position + done, itemSize);
  if (end > s.highWater) s.highWater = end;
  if (s.highWater >= itemSize) s.complete = true;
  if (job_.pending && job_.mode == JobMode::kOneItem && job_.itemIndex == itemIndex && JobSatisfiedLocked(job_))
    AnswerJobLocked();
  return true;
}

void MountedArchive::NoteOperationResult(uint32_t itemIndex, int32_t result) {
  if (result == abi::kResultOk) return;
  // Debian's library has no RAR codec: it reports such items as an unsupported method, RAR5 ones
  // also as a data error. libarchive may decode them; a wrong password it cannot mend.
  if (IsRar() && (result == abi::kResultUnsupportedMethod ||
                  (result == abi::kResultDataError && !encrypted_ && !items_[itemIndex].encrypted))) {
    std::lock_guard<std::mutex> g(lock_);
    fallbackPending_.push_back({itemIndex, result});
    return;
  }
  PostFailure(itemIndex, result);
}

bool MountedArchive::IsRar() const {
  const std::u16string& format = archive_ == inner_.get() ? innerFormatName_ : formatName_;
  return EqualsIgnoreAsciiCase(format, u"Rar") || EqualsIgnoreAsciiCase(format, u"Rar5");
}

void MountedArchive::ExtractPendingWithLibarchive() {
  std::vector<std::pair<uint32_t, int32_t>> pending;
  {
    std::lock_guard<std::mutex> g(lock_);
    pending.swap(fallbackPending_);
  }
  if (pending.empty()) return;
  // The pass also stores the other items not yet read (the solid case has them all already):
  // the codec library fails on them as well, and one pass per item read would decode, or at
  // least step over, the archive before each item again. Half the free space of the store's
  // folder bounds what is stored ahead, so that it never fills the disk that reads need.
  std::vector<bool> want(items_.size(), false);
  for (const auto& [index, result] : pending) want[index] = true;
  struct statvfs fsInfo {};
  uint64_t budget = 0;
  if (statvfs(store_->folder().c_str(), &fsInfo) == 0)
    budget = static_cast<uint64_t>(fsInfo.f_bavail) * fsInfo.f_frsize / 2;
  {
    std::lock_guard<std::mutex> g(lock_);
    ++libarchivePasses_;
    if (!solid_) {
      for (uint32_t j = 0; j < items_.size(); ++j) {
        ItemState& s = state_[j];
        if (want[j] || items_[j].isDirectory || items_[j].size == 0 || s.complete || s.failed || s.highWater > 0)
          continue;
        if (items_[j].size > budget) break;
        budget -= items_[j].size;
        want[j] = true;
        s.chunkTable = true;
      }
    }
  }
  std::vector<FallbackItem> wanted;
  std::map<std::u16string, uint32_t> seen;
  uint32_t ordinal = 0;
  for (uint32_t j = 0; j < items_.size(); ++j) {
    if (items_[j].isDirectory) continue;
    const uint32_t occurrence = seen[items_[j].path]++;
    const uint32_t itemOrdinal = ordinal++;
    if (!want[j]) continue;
    FallbackItem item;
    item.path = Utf16ToUtf8(items_[j].path);
    item.itemIndex = j;
    item.size = items_[j].size;
    item.ordinal = itemOrdinal;
    item.occurrence = occurrence;
    wanted.push_back(std::move(item));
  }
  std::vector<std::string> files{archivePath_};
  for (const std::string& v : volumes_) files.push_back(archiveFolder_ + "/" + v);
  const std::vector<uint32_t> delivered =
      ExtractWithLibarchive(files, wanted, [this](uint32_t item, uint64_t position, const uint8_t* data, size_t size) {
        return StoreBytes(item, position, data, size);
      });
  // What libarchive cannot decode either keeps the codec library's verdict.
  for (const auto& [index, result] : pending)
    if (std::find(delivered.begin(), delivered.end(), index) == delivered.end()) PostFailure(index, result);
}

void MountedArchive::PostFailure(uint32_t itemIndex, int32_t result) {
  {
    std::lock_guard<std::mutex> g(lock_);
    state_[itemIndex].failed = true;
    // A read waiting for this item during the pass over a solid archive gets what was stored.
    if (job_.pending && job_.mode == JobMode::kOneItem && job_.itemIndex == itemIndex) AnswerJobLocked();
  }
  const uint32_t reason = ReasonForResult(result, encrypted_ || items_[itemIndex].encrypted);
  if (!messages_) return;
  ArchiveMessage m;
  m.textId = text_id::kFailedReading;
  m.reasonTextId = reason;
  m.text = FormatText(messages_->Text(text_id::kFailedReading),
                      {ItemTextForMessage(itemIndex), u":::", messages_->Text(reason)});
  messages_->Post(m);
}

std::u16string MountedArchive::ItemTextForMessage(uint32_t itemIndex) const {
  std::u16string path = items_[itemIndex].path;
  std::replace(path.begin(), path.end(), u'/', u'\\');
  const char16_t now = driveLetterNow_ ? driveLetterNow_() : driveLetter_;
  return std::u16string(1, now != 0 ? now : u'?') + u":" + path;
}

void MountedArchive::PostStoreError(uint32_t textId) {
  if (!messages_) return;
  ArchiveMessage m;
  m.textId = textId;
  m.text = FormatText(messages_->Text(textId), {Utf8ToUtf16(store_->folder())});
  messages_->Post(m);
}

// ---------------------------------------------------------------------------------------------
// Observation

uint32_t MountedArchive::LibarchivePasses() const {
  std::lock_guard<std::mutex> g(lock_);
  return libarchivePasses_;
}

std::vector<MountedArchive::Extraction> MountedArchive::ExtractionLog() const {
  std::lock_guard<std::mutex> g(lock_);
  return log_;
}

bool MountedArchive::WorkerStarted() const {
  return workerStarted_;
}

bool MountedArchive::ExtractionRunning() const {
  std::lock_guard<std::mutex> g(lock_);
  return busy_;
}

bool MountedArchive::ItemComplete(uint32_t itemIndex) const {
  std::lock_guard<std::mutex> g(lock_);
  return itemIndex < state_.size() && state_[itemIndex].complete;
}

bool MountedArchive::ItemFailed(uint32_t itemIndex) const {
  std::lock_guard<std::mutex> g(lock_);
  return itemIndex < state_.size() && state_[itemIndex].failed;
}

uint64_t MountedArchive::HighWaterMark(uint32_t itemIndex) const {
  std::lock_guard<std::mutex> g(lock_);
  return itemIndex < state_.size() ? state_[itemIndex].highWater : 0;
}

std::vector<std::string> MountedArchive::StoreFiles() const {
  return store_ ? store_->FilePaths() : std::vector<std::string>{};
}

void MountedArchive::SetStoreFileShiftForTest(int shift) {
  if (!firstReadDone_ && store_) store_ = std::make_unique<TemporaryStore>(store_->folder(), shift);
}

}  // namespace kv::archive
