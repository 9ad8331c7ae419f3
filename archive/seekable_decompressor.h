// Random access into a file compressed as one stream (gzip, bzip2, xz, zstd, .lzma). One sequential
// pass learns the true size and records seek points; a read then decodes from the nearest point
// before it only. Gzip points carry the 32 KiB window the deflate stream may refer back to
// (the zlib "zran" technique); those windows are kept compressed in an index file of the mount's
// store, so memory stays small whatever the size of the stream. A clean gzip stream is decoded
// with ISA-L's faster inflater instead, whose points are its saved decoder states (kept the same
// way); a stream it cannot decode to its end is indexed and read with zlib. Bzip2 blocks, xz
// blocks and streams, and zstd frames are points of their own. Inside one xz block or one zstd
// frame no point can be made: their decoders' state (the dictionary of up to 64 MiB or the
// window, the range coder or entropy tables, the repeat offsets) cannot be handed to the
// libraries again; a .lzma stream, which has no blocks, is read from its start.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kv::archive {

enum class Compression : uint8_t { kNone, kGzip, kBzip2, kXz, kZstd, kLzma };

// The compression of a file that starts with `head` (kNone when it is none of ours), of which
// kCompressionHeadSize bytes tell all (fewer if the file is shorter).
inline constexpr size_t kCompressionHeadSize = 13;
Compression DetectCompression(const uint8_t* head, size_t size);
const char* CompressionName(Compression c);
// The name of what a compressed file holds: "a.tar.gz" -> "a.tar", "a.tgz" -> "a.tar".
std::string DecompressedName(const std::string& fileName);

struct SeekPoint {
  uint64_t in = 0;        // compressed position where decoding starts
  uint64_t out = 0;       // decompressed position it stands for
  uint8_t bits = 0;       // gzip inside a member: bits of the byte before `in` still to decode
  bool member = true;     // at the header of a gzip member, bzip2 or xz stream, or zstd frame
  uint64_t windowAt = 0;  // gzip inside a member: its compressed window in the index file
  uint32_t windowSize = 0;
  uint8_t level = 0;   // bzip2 inside a stream: the stream's block size digit; `bits` is the bit offset
  bool state = false;  // gzip read with ISA-L: windowAt/windowSize hold the decoder's saved state
};

struct IndexOptions {
  std::string folder;                                           // where the index file goes
  std::function<bool(uint64_t done, uint64_t total)> progress;  // compressed bytes; false cancels
  uint64_t span = uint64_t{1} << 20;                            // decompressed bytes between points
  size_t edge = size_t{1} << 20;                                // decoded bytes kept of the start and of the end
};

enum class IndexError { kNone, kCannotOpen, kNotCompressed, kCancelled, kIndexFile };

class Decoder;

class SeekableDecompressor {
 public:
  // Indexes the file; null with *error on failure. A stream that is cut short or damaged stays
  // usable up to the last byte that decodes (see damaged()).
  static std::unique_ptr<SeekableDecompressor> Create(const std::string& path, const IndexOptions& options,
                                                      IndexError* error);
  ~SeekableDecompressor();
  SeekableDecompressor(const SeekableDecompressor&) = delete;
  SeekableDecompressor& operator=(const SeekableDecompressor&) = delete;

  // Reads up to `size` bytes at `offset`; fewer only at the end or when the stream fails there.
  size_t Read(uint64_t offset, uint8_t* out, size_t size);

  Compression compression() const { return compression_; }
  uint64_t size() const { return size_; }
  uint64_t compressedSize() const { return compressedSize_; }
  uint64_t fileTime() const { return fileTime_; }  // the file's modification time (FILETIME)
  bool damaged() const { return damaged_; }
  size_t pointCount() const { return points_.size(); }
  // Bytes the index keeps: its points in memory and the compressed windows in the index file.
  uint64_t indexBytes() const {
    return points_.size() * sizeof(SeekPoint) + windowBytes_ + records_.size() * sizeof(Record) + recordBytes_.size();
  }
  // Bytes decoded by reads since the index was made (for tests and benchmarks).
  uint64_t decodedBytes() const;

 private:
  SeekableDecompressor() = default;
  static std::unique_ptr<SeekableDecompressor> Index(const std::string& path, const IndexOptions& options,
                                                     IndexError* error, bool fast);
  bool BuildIndex(const IndexOptions& options, IndexError* error);
  bool SaveWindow(const std::vector<uint8_t>& ring, uint64_t out, SeekPoint* point);
  bool SaveBlob(const uint8_t* data, size_t length, SeekPoint* point);
  bool LoadWindow(const SeekPoint& point, std::vector<uint8_t>* window) const;
  bool StartAt(const SeekPoint& point);
  void KeepTarRecords(const uint8_t* data, size_t n, uint64_t out);
  bool ReadRecord(uint64_t offset, uint8_t* out, size_t size) const;

  Compression compression_ = Compression::kNone;
  int fd_ = -1;
  int indexFd_ = -1;
  uint64_t compressedSize_ = 0;
  uint64_t size_ = 0;
  uint64_t fileTime_ = 0;
  uint64_t span_ = 0;
  size_t edge_ = 0;
  bool damaged_ = false;
  std::vector<SeekPoint> points_;
  uint64_t windowBytes_ = 0;
  // The first and last bytes, where the library's format checks look: kept so that trying
  // formats never decodes the stream again.
  std::vector<uint8_t> head_;
  std::vector<uint8_t> tail_;
  // The headers of a tar inside (with the long names and extended headers that follow them),
  // kept from the index pass: listing the tar then decodes nothing.
  struct Record {
    uint64_t out = 0;  // decompressed position
    uint64_t at = 0;   // in recordBytes_
    uint32_t size = 0;
  };
  std::vector<Record> records_;
  std::vector<uint8_t> recordBytes_;
  uint64_t nextRecord_ = 0;  // where the next header is expected; UINT64_MAX: no more
  uint32_t recordSize_ = 512;

  mutable std::mutex lock_;  // one read at a time: the cursor is shared
  std::unique_ptr<Decoder> cursor_;
  bool cursorValid_ = false;
  bool fast_ = false;  // gzip through ISA-L: its points are its saved states
  uint64_t cursorOut_ = 0;
  uint64_t decoded_ = 0;
  std::vector<uint8_t> scratch_;
};

}  // namespace kv::archive
