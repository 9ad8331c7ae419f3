#include "archive/seekable_decompressor.h"

#include <bzlib.h>
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kv::archive {
namespace {

constexpr size_t kWindow = 32768;  // what a deflate stream may refer back to
constexpr size_t kInputBuffer = 256 * 1024;
constexpr uint64_t kXzMemoryLimit = 256ull << 20;  // xz -9e needs 65 MiB; a hostile header may claim more
// LZMA encoders write dictionaries of up to 1.5 GiB into a .lzma header; the decoder sets the
// whole dictionary aside, though only what it decodes is ever touched.
constexpr uint64_t kLzmaMemoryLimit = (1536ull << 20) + (1ull << 20);
constexpr uint64_t kProgressStep = 16ull << 20;

const uint8_t kGzipMagic[] = {0x1F, 0x8B};
const uint8_t kBzip2Magic[] = {'B', 'Z', 'h'};
const uint8_t kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

bool StartsWith(const uint8_t* data, size_t size, const uint8_t* magic, size_t length) {
  return size >= length && std::memcmp(data, magic, length) == 0;
}

bool IsZstdFrame(const uint8_t* data, size_t size) {
  if (size < 4) return false;
  const uint32_t m = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
  return m == 0xFD2FB528u || (m & 0xFFFFFFF0u) == 0x184D2A50u;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  if (s.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - tail.size() + i])) != tail[i]) return false;
  return true;
}

// An LZMA_Alone (.lzma) header has no signature; xz takes one for it on what it checks here: the
// properties, a dictionary of 2^n or 2^n + 2^(n-1) bytes, and a size unknown or under 256 GiB.
bool IsLzmaAloneHeader(const uint8_t* head, size_t size) {
  if (size < 13 || head[0] > (4 * 5 + 4) * 9 + 8) return false;
  const unsigned lc = head[0] % 9, lp = head[0] / 9 % 5;
  if (lc + lp > 4) return false;
  uint32_t dictionary = 0;
  for (int i = 0; i < 4; ++i) dictionary |= uint32_t{head[1 + i]} << (8 * i);
  uint64_t length = 0;
  for (int i = 0; i < 8; ++i) length |= uint64_t{head[5 + i]} << (8 * i);
  if (length != UINT64_MAX && length >= (uint64_t{1} << 38)) return false;
  if (dictionary == UINT32_MAX) return true;
  for (int n = 12; n < 32; ++n)
    if (dictionary == uint32_t{1} << n || (n < 31 && dictionary == (uint32_t{1} << n) + (uint32_t{1} << (n - 1))))
      return true;
  return false;
}

}  // namespace

Compression DetectCompression(const uint8_t* head, size_t size) {
  if (StartsWith(head, size, kGzipMagic, 2) && size >= 3 && head[2] == 8) return Compression::kGzip;
  if (StartsWith(head, size, kBzip2Magic, 3) && size >= 4 && head[3] >= '1' && head[3] <= '9')
    return Compression::kBzip2;
  if (StartsWith(head, size, kXzMagic, 6)) return Compression::kXz;
  if (IsZstdFrame(head, size)) return Compression::kZstd;
  if (IsLzmaAloneHeader(head, size)) return Compression::kLzma;
  return Compression::kNone;
}

const char* CompressionName(Compression c) {
  switch (c) {
    case Compression::kGzip:
      return "gzip";
    case Compression::kBzip2:
      return "bzip2";
    case Compression::kXz:
      return "xz";
    case Compression::kZstd:
      return "zstd";
    case Compression::kLzma:
      return "lzma";
    default:
      return "none";
  }
}

std::string DecompressedName(const std::string& fileName) {
  static const std::pair<const char*, const char*> kRenames[] = {
      {".tgz", ".tar"},  {".taz", ".tar"}, {".tbz2", ".tar"}, {".tbz", ".tar"}, {".txz", ".tar"},
      {".tzst", ".tar"}, {".gz", ""},      {".bz2", ""},      {".xz", ""},      {".zst", ""},
      {".z", ""},        {".tlz", ".tar"}, {".lzma", ""}};
  for (const auto& [tail, replacement] : kRenames) {
    if (EndsWith(fileName, tail) && fileName.size() > std::strlen(tail))
      return fileName.substr(0, fileName.size() - std::strlen(tail)) + replacement;
  }
  return fileName;
}

// ---------------------------------------------------------------------------------------------
// Compressed input read with pread, so that several decoders never share a file position.

class Input {
 public:
  Input(int fd, uint64_t size) : fd_(fd), size_(size), buffer_(kInputBuffer) {}
  void Seek(uint64_t position) {
    position_ = std::min(position, size_);
    next_ = buffer_.data();
    available_ = 0;
  }
  // Makes at least `n` bytes available unless the file ends first; false when it ends first.
  bool Ensure(size_t n) {
    if (available_ >= n) return true;
    std::memmove(buffer_.data(), next_, available_);
    next_ = buffer_.data();
    while (available_ < n && position_ + available_ < size_) {
      const size_t room = buffer_.size() - available_;
      const ssize_t got = pread(fd_, buffer_.data() + available_, room, static_cast<off_t>(position_ + available_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      available_ += static_cast<size_t>(got);
    }
    return available_ >= n;
  }
  const uint8_t* next() const { return next_; }
  size_t available() const { return available_; }
  void Consume(size_t n) {
    next_ += n;
    available_ -= n;
    position_ += n;
  }
  uint64_t position() const { return position_; }  // of next()

 private:
  int fd_;
  uint64_t size_;
  std::vector<uint8_t> buffer_;
  const uint8_t* next_ = nullptr;
  size_t available_ = 0;
  uint64_t position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Decoders: each starts at a seek point and hands out decompressed bytes, telling where it may
// be started again.

struct Step {
  long produced = 0;      // bytes written; 0 with !boundary: the end; -1: the stream fails here
  bool boundary = false;  // decoding could start again right after the bytes produced
  SeekPoint point;        // when boundary: where (its `out` is filled in by the caller)
};

class Decoder {
 public:
  explicit Decoder(Input input) : in_(std::move(input)) {}
  virtual ~Decoder() = default;
  virtual bool Start(const SeekPoint& point, const std::vector<uint8_t>& window) = 0;
  virtual Step Next(uint8_t* out, size_t size) = 0;
  virtual uint64_t position() const { return in_.position(); }
  // The decoder's whole state at the last boundary it reported with `state` set.
  virtual bool SaveState(std::vector<uint8_t>*) const { return false; }

 protected:
  Input in_;
};

// After a gzip member: another one follows (what else follows is ignored, as gzip ignores
// trailing garbage).
bool MemberFollows(Input& in) {
  return in.Ensure(3) && in.next()[0] == 0x1F && in.next()[1] == 0x8B && in.next()[2] == 8;
}

class GzipDecoder final : public Decoder {
 public:
  using Decoder::Decoder;
  ~GzipDecoder() override { End(); }

  bool Start(const SeekPoint& point, const std::vector<uint8_t>& window) override {
    End();
    ended_ = failed_ = false;
    trailer_ = 0;
    if (point.member) {
      in_.Seek(point.in);
      return Init(31);
    }
    if (point.bits > 7 || (point.bits != 0 && point.in == 0)) return false;
    in_.Seek(point.bits ? point.in - 1 : point.in);
    if (!Init(-15)) return false;
    if (point.bits) {
      if (!in_.Ensure(1)) return false;
      const int byte = in_.next()[0];
      in_.Consume(1);
      if (inflatePrime(&z_, point.bits, byte >> (8 - point.bits)) != Z_OK) return false;
    }
    return window.empty() || inflateSetDictionary(&z_, window.data(), static_cast<uInt>(window.size())) == Z_OK;
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (failed_) step.produced = -1;
    if (failed_ || ended_ || !initialised_) return step;
    size = std::min<size_t>(size, UINT32_MAX);
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(size);
    while (z_.avail_out > 0) {
      if (trailer_ > 0) {
        // A raw start decodes the member's data only: its CRC and length are stepped over.
        if (!in_.Ensure(1)) {
          ended_ = true;
          break;
        }
        const size_t n = std::min<size_t>(trailer_, in_.available());
        in_.Consume(n);
        trailer_ -= n;
        if (trailer_ > 0) continue;
        if (!NextMember()) break;
        step.boundary = true;
        step.point = SeekPoint{in_.position(), 0, 0, true, 0, 0};
        break;
      }
      // At the end of the input the decoder may still hold output: it is asked once more.
      const bool more = in_.Ensure(1);
      z_.next_in = const_cast<Bytef*>(in_.next());
      z_.avail_in = more ? static_cast<uInt>(std::min<size_t>(in_.available(), UINT32_MAX)) : 0;
      const uInt before = z_.avail_in;
      const uInt room = z_.avail_out;
      const int r = inflate(&z_, Z_BLOCK);
      in_.Consume(before - z_.avail_in);
      if (r == Z_STREAM_END) {
        if (raw_) {
          trailer_ = 8;
          continue;
        }
        if (!NextMember()) break;
        step.boundary = true;
        step.point = SeekPoint{in_.position(), 0, 0, true, 0, 0};
        break;
      }
      if ((r != Z_OK && r != Z_BUF_ERROR) || (!more && z_.avail_out == room)) {
        failed_ = true;  // damaged, or cut short
        break;
      }
      if ((z_.data_type & 128) && !(z_.data_type & 64)) {
        step.boundary = true;
        step.point = SeekPoint{in_.position(), 0, static_cast<uint8_t>(z_.data_type & 7), false, 0, 0};
        break;
      }
    }
    step.produced = static_cast<long>(size - z_.avail_out);
    if (failed_ && step.produced == 0) step.produced = -1;
    return step;
  }

 private:
  // A new member in the middle of a Next keeps the output room it was given.
  bool Init(int windowBits) {
    Bytef* const nextOut = z_.next_out;
    const uInt availOut = z_.avail_out;
    std::memset(&z_, 0, sizeof z_);
    z_.next_out = nextOut;
    z_.avail_out = availOut;
    initialised_ = inflateInit2(&z_, windowBits) == Z_OK;
    raw_ = windowBits < 0;
    return initialised_;
  }
  void End() {
    if (initialised_) inflateEnd(&z_);
    initialised_ = false;
  }
  // After a member: another one follows, or the stream ends.
  bool NextMember() {
    if (!MemberFollows(in_)) {
      ended_ = true;
      return false;
    }
    End();
    return Init(31);
  }

  z_stream z_{};
  bool initialised_ = false;
  bool raw_ = false;
  bool ended_ = false;
  bool failed_ = false;
  size_t trailer_ = 0;
};

// Clean gzip streams are decoded with ISA-L's inflate, about three times as fast as zlib's here.
// ISA-L reports no block boundaries, but its decoder state is one plain structure (tables, bit
// buffer, the window of recent output) with no pointers into the caller's memory but the
// input and output cursors: a copy of it, taken anywhere inside a member, is a seek point.
class FastGzipDecoder final : public Decoder {
 public:
  using Decoder::Decoder;

  bool Start(const SeekPoint& point, const std::vector<uint8_t>& state) override {
    ended_ = failed_ = false;
    in_.Seek(point.in);
    if (point.member) {
      Init();
      return true;
    }
    if (!point.state || state.size() != sizeof s_) return false;
    std::memcpy(&s_, state.data(), sizeof s_);
    s_.next_in = nullptr;
    s_.avail_in = 0;
    s_.next_out = nullptr;
    s_.avail_out = 0;
    return true;
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (failed_) step.produced = -1;
    if (failed_ || ended_) return step;
    size = std::min<size_t>(size, UINT32_MAX);
    s_.next_out = out;
    s_.avail_out = static_cast<uint32_t>(size);
    while (s_.avail_out > 0) {
      // At the end of the input the decoder may still hold output: it is asked once more.
      const bool more = in_.Ensure(1);
      s_.next_in = const_cast<uint8_t*>(in_.next());
      s_.avail_in = more ? static_cast<uint32_t>(std::min<size_t>(in_.available(), UINT32_MAX)) : 0;
      const uint32_t before = s_.avail_in;
      const uint32_t room = s_.avail_out;
      const int r = isal_inflate(&s_);
      const bool finished = r == ISAL_DECOMP_OK && s_.block_state == ISAL_BLOCK_FINISH;
      if (s_.avail_in <= before && !finished) {
        in_.Consume(before - s_.avail_in);
      } else {
        // At a member's end the decoder reads ahead: it gives back some whole bytes (possibly
        // more than this call gave it) and may keep others in its bit buffer; neither are the
        // member's.
        const uint64_t back = (finished ? static_cast<uint64_t>(s_.read_in_length / 8) : 0) +
                              (s_.avail_in > before ? s_.avail_in - before : 0);
        const uint64_t at = in_.position() + (s_.avail_in <= before ? before - s_.avail_in : 0);
        in_.Seek(at - std::min(at, back));
      }
      if (r != ISAL_DECOMP_OK) {
        failed_ = true;
        break;
      }
      if (finished) {
        if (!MemberFollows(in_)) {
          ended_ = true;
          break;
        }
        Init();
        step.boundary = true;
        step.point = SeekPoint{in_.position(), 0, 0, true, 0, 0};
        break;
      }
      // Nothing taken and nothing given: only more input can help (none: cut short).
      if (s_.avail_in == before && s_.avail_out == room && (!more || !in_.Ensure(in_.available() + 1))) {
        failed_ = true;
        break;
      }
    }
    step.produced = static_cast<long>(size - s_.avail_out);
    if (failed_ && step.produced == 0) step.produced = -1;
    // Inside a member every stop is a point: the state says where.
    if (!failed_ && !ended_ && !step.boundary && step.produced > 0) {
      step.boundary = true;
      step.point = SeekPoint{in_.position(), 0, 0, false, 0, 0};
      step.point.state = true;
    }
    return step;
  }

  bool SaveState(std::vector<uint8_t>* state) const override {
    if (s_.tmp_out_valid < 0 || static_cast<size_t>(s_.tmp_out_valid) > sizeof s_.tmp_out_buffer ||
        s_.tmp_out_processed < 0 || s_.tmp_out_processed > s_.tmp_out_valid)
      return false;
    // The cursors are the caller's; of the output buffer only the window before the end of what
    // was decoded and what is not handed out yet count: the rest is stale and would cost index
    // bytes.
    auto copy = std::make_unique<inflate_state>();
    std::memcpy(copy.get(), &s_, sizeof s_);
    copy->next_in = copy->next_out = nullptr;
    copy->avail_in = copy->avail_out = 0;
    const size_t valid = static_cast<size_t>(s_.tmp_out_valid);
    const size_t history = std::min<size_t>(static_cast<size_t>(s_.tmp_out_processed),
                                            valid > ISAL_DEF_HIST_SIZE ? valid - ISAL_DEF_HIST_SIZE : 0);
    std::memset(copy->tmp_out_buffer, 0, history);
    std::memset(copy->tmp_out_buffer + valid, 0, sizeof copy->tmp_out_buffer - valid);
    state->assign(reinterpret_cast<const uint8_t*>(copy.get()), reinterpret_cast<const uint8_t*>(copy.get() + 1));
    return true;
  }

 private:
  void Init() {
    // A new member keeps the output room it was given.
    uint8_t* const nextOut = s_.next_out;
    const uint32_t availOut = s_.avail_out;
    isal_inflate_init(&s_);
    s_.crc_flag = ISAL_GZIP;
    s_.next_out = nextOut;
    s_.avail_out = availOut;
  }

  inflate_state s_{};
  bool ended_ = false;
  bool failed_ = false;
};

// Bzip2 is decoded block by block, so that every block start is a seek point. Blocks are
// bit-aligned and their length is written nowhere: a block ends where the next block's (or the
// stream end's) 48-bit magic starts. Each block is decoded as a stream of its own — "BZh<level>",
// the block's bits moved to byte alignment, and an end marker whose combined CRC is the block's
// own — so libbz2 checks the block's CRC, and a magic that only happens to occur inside the
// compressed data fails that check and is passed over. A block point keeps its bit offset in
// `bits` and the stream's level in `level`.
class Bzip2Decoder final : public Decoder {
 public:
  Bzip2Decoder(int fd, uint64_t size) : Decoder(Input(fd, size)), fd_(fd), size_(size) {}

  bool Start(const SeekPoint& point, const std::vector<uint8_t>&) override {
    ended_ = failed_ = false;
    pending_.clear();
    taken_ = 0;
    if (point.member) {
      at_ = point.in * 8;
      state_ = State::kStreamHeader;
      return true;
    }
    if (point.bits > 7 || point.level < '1' || point.level > '9') return false;
    at_ = point.in * 8 + point.bits;
    level_ = point.level;
    fromStreamStart_ = false;
    state_ = State::kBlock;
    return true;
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (failed_) step.produced = -1;
    if (failed_ || ended_) return step;
    size_t produced = 0;
    while (produced < size && !failed_ && !ended_ && !step.boundary) {
      if (taken_ < pending_.size()) {
        const size_t n = std::min(size - produced, pending_.size() - taken_);
        std::memcpy(out + produced, pending_.data() + taken_, n);
        taken_ += n;
        produced += n;
        if (taken_ == pending_.size()) AfterBlock(&step);
        continue;
      }
      if (state_ == State::kStreamHeader) {
        if (!StreamHeader()) failed_ = true;
        continue;
      }
      if (!DecodeBlock()) {
        failed_ = true;
        break;
      }
      if (pending_.empty()) AfterBlock(&step);  // a block of nothing
    }
    step.produced = static_cast<long>(produced);
    if (failed_ && produced == 0) step.produced = -1;
    return step;
  }

  uint64_t position() const override { return at_ / 8; }

 private:
  enum class State { kStreamHeader, kBlock };
  static constexpr uint64_t kBlockMagic = 0x314159265359ull;
  static constexpr uint64_t kEndMagic = 0x177245385090ull;
  static constexpr uint64_t kMask48 = (uint64_t{1} << 48) - 1;
  // Far more than a block of 900,000 bytes codes to (at most 20 bits a symbol, plus its tables).
  static constexpr size_t kMaxBlockBytes = 3u << 20;
  // What one block may decode to: its run-length coding expands 5 bytes to 255 at most.
  static constexpr size_t kMaxBlockOutput = 48u << 20;

  bool StreamHeader() {
    if (!Load(at_ / 8, 4) || std::memcmp(At(at_ / 8), kBzip2Magic, 3) != 0) return false;
    level_ = At(at_ / 8)[3];
    if (level_ < '1' || level_ > '9') return false;
    at_ += 32;
    combined_ = 0;
    fromStreamStart_ = true;
    state_ = State::kBlock;
    return true;
  }

  // Decodes the block at `at_` into pending_ and moves `at_` to its end; at the stream's end
  // marker, checks the combined CRC and goes on to the next stream, if any.
  bool DecodeBlock() {
    pending_.clear();
    taken_ = 0;
    // The magic and the CRC that follows it.
    if (!Load(at_ / 8, static_cast<size_t>((at_ + 80 + 7) / 8 - at_ / 8))) return false;
    const uint64_t magic = Bits(at_, 48);
    if (magic == kEndMagic) {
      const uint32_t stored = static_cast<uint32_t>(Bits(at_ + 48, 32));
      if (fromStreamStart_ && stored != combined_) return false;
      at_ = (at_ + 80 + 7) / 8 * 8;
      if (!Load(at_ / 8, 4) || std::memcmp(At(at_ / 8), kBzip2Magic, 3) != 0) {
        ended_ = true;  // what follows the last stream is ignored, as bzip2 ignores it
        return true;
      }
      state_ = State::kStreamHeader;
      nextIsStream_ = true;
      return true;
    }
    if (magic != kBlockMagic) return false;
    const uint32_t blockCrc = static_cast<uint32_t>(Bits(at_ + 48, 32));
    const uint64_t first = at_ / 8;
    Load(first, kMaxBlockBytes + 16);
    const uint64_t last = std::min<uint64_t>(base_ + window_.size(), first + kMaxBlockBytes);
    // Every later magic of either kind is a candidate end, nearest first.
    uint64_t v = 0;
    for (uint64_t byte = first; byte < last; ++byte) {
      v = (v << 8) | At(byte)[0];
      if (byte < first + 6) continue;
      for (int shift = 7; shift >= 0; --shift) {
        const uint64_t m = (v >> shift) & kMask48;
        if (m != kBlockMagic && m != kEndMagic) continue;
        const uint64_t end = (byte + 1) * 8 - static_cast<uint64_t>(shift) - 48;
        if (end < at_ + 80) continue;
        if (TryBlock(at_, end, blockCrc)) {
          if (fromStreamStart_) combined_ = ((combined_ << 1) | (combined_ >> 31)) ^ blockCrc;
          at_ = end;
          return true;
        }
      }
    }
    return false;  // cut short or damaged: no end that makes the block whole
  }

  // Decodes the bits [from, end) as a stream of one block.
  bool TryBlock(uint64_t from, uint64_t end, uint32_t blockCrc) {
    const uint64_t count = end - from;
    const int shift = static_cast<int>(from % 8);
    const uint8_t* src = At(from / 8);
    const size_t whole = static_cast<size_t>(count / 8);
    synthetic_.resize(4 + whole);
    uint8_t* dst = synthetic_.data();
    dst[0] = 'B';
    dst[1] = 'Z';
    dst[2] = 'h';
    dst[3] = level_;
    dst += 4;
    if (shift == 0) {
      std::memcpy(dst, src, whole);
    } else {
      for (size_t i = 0; i < whole; ++i) dst[i] = static_cast<uint8_t>((src[i] << shift) | (src[i + 1] >> (8 - shift)));
    }
    uint64_t acc = 0;
    int accBits = 0;
    const auto put = [&](uint64_t value, int n) {
      for (int i = n - 1; i >= 0; --i) {
        acc = (acc << 1) | ((value >> i) & 1);
        if (++accBits == 8) {
          synthetic_.push_back(static_cast<uint8_t>(acc));
          acc = 0;
          accBits = 0;
        }
      }
    };
    const int rest = static_cast<int>(count % 8);
    if (rest) put(Bits(from + whole * 8, rest), rest);
    put(kEndMagic, 48);
    put(blockCrc, 32);
    if (accBits) put(0, 8 - accBits);

    bz_stream b{};
    if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return false;
    b.next_in = reinterpret_cast<char*>(synthetic_.data());
    b.avail_in = static_cast<unsigned>(synthetic_.size());
    int r = BZ_OK;
    while (r == BZ_OK) {
      if (pending_.size() - taken_ == 0) {
        if (pending_.size() >= kMaxBlockOutput) break;
        pending_.resize(pending_.size() + (1u << 20));
      }
      b.next_out = reinterpret_cast<char*>(pending_.data() + taken_);
      b.avail_out = static_cast<unsigned>(pending_.size() - taken_);
      const unsigned room = b.avail_out;
      r = BZ2_bzDecompress(&b);
      taken_ += room - b.avail_out;
      if (r == BZ_OK && room == b.avail_out && b.avail_in == 0) break;  // wants more: cut short
    }
    BZ2_bzDecompressEnd(&b);
    const bool complete = r == BZ_STREAM_END && b.avail_in == 0;
    pending_.resize(complete ? taken_ : 0);
    taken_ = 0;
    return complete;
  }

  void AfterBlock(Step* step) {
    pending_.clear();
    taken_ = 0;
    if (nextIsStream_) {
      nextIsStream_ = false;
      step->boundary = true;
      step->point = SeekPoint{at_ / 8, 0, 0, true, 0, 0, 0};
      return;
    }
    if (ended_ || !Load(at_ / 8, 7) || Bits(at_, 48) != kBlockMagic) return;
    step->boundary = true;
    step->point = SeekPoint{at_ / 8, 0, static_cast<uint8_t>(at_ % 8), false, 0, 0, level_};
  }

  // Makes the window hold [byte, byte + n) (less at the end of the file); false when the file
  // ends first. Bytes the window already holds are kept.
  bool Load(uint64_t byte, size_t n) {
    const uint64_t end = std::min<uint64_t>(byte + n, size_);
    if (byte >= base_ && end <= base_ + window_.size()) return end == byte + n;
    if (byte > size_) return false;
    std::vector<uint8_t> fresh(
        static_cast<size_t>(std::max<uint64_t>(end - byte, std::min<uint64_t>(size_ - byte, 1u << 20))));
    size_t have = 0;
    if (byte >= base_ && byte < base_ + window_.size()) {
      have = std::min<size_t>(fresh.size(), static_cast<size_t>(base_ + window_.size() - byte));
      std::memcpy(fresh.data(), window_.data() + (byte - base_), have);
    }
    while (have < fresh.size()) {
      const ssize_t got = pread(fd_, fresh.data() + have, fresh.size() - have, static_cast<off_t>(byte + have));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      have += static_cast<size_t>(got);
    }
    fresh.resize(have);
    window_ = std::move(fresh);
    base_ = byte;
    return base_ + window_.size() >= byte + n;
  }
  const uint8_t* At(uint64_t byte) const { return window_.data() + (byte - base_); }
  // Up to 57 bits at bit position `bit`, most significant first; the window holds them.
  uint64_t Bits(uint64_t bit, int n) const {
    const uint8_t* p = At(bit / 8);
    const size_t avail = static_cast<size_t>(base_ + window_.size() - bit / 8);
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < avail ? p[i] : 0);
    return (v << (bit % 8)) >> (64 - n);
  }

  int fd_;
  uint64_t size_;
  std::vector<uint8_t> window_;  // compressed bytes from base_
  uint64_t base_ = 0;
  std::vector<uint8_t> synthetic_;
  std::vector<uint8_t> pending_;  // the block decoded, handed out from taken_
  size_t taken_ = 0;
  uint64_t at_ = 0;  // bit position of the next block, stream end or header
  uint8_t level_ = '9';
  uint32_t combined_ = 0;
  bool fromStreamStart_ = false;  // the combined CRC can be checked
  bool nextIsStream_ = false;
  State state_ = State::kStreamHeader;
  bool ended_ = false;
  bool failed_ = false;
};

// Xz is decoded block by block, so that every block start (xz -T0 and parallel compressors write
// many) is a seek point; a block point keeps its stream's check type in `bits`.
// One lzma_code call from `in` into out[*produced, size); `stuck`: it neither read nor wrote
// with the input at its end (a stream cut short).
struct LzmaStep {
  lzma_ret result;
  bool stuck;
};
LzmaStep CodeOnce(lzma_stream& s, Input& in, uint8_t* out, size_t size, size_t* produced) {
  const bool more = in.Ensure(1);
  s.next_in = in.next();
  s.avail_in = in.available();
  s.next_out = out + *produced;
  s.avail_out = size - *produced;
  const size_t before = s.avail_in;
  const size_t room = s.avail_out;
  const lzma_ret r = lzma_code(&s, more ? LZMA_RUN : LZMA_FINISH);
  in.Consume(before - s.avail_in);
  *produced += room - s.avail_out;
  return {r, !more && before == 0 && room == s.avail_out};
}

class XzDecoder final : public Decoder {
 public:
  using Decoder::Decoder;
  ~XzDecoder() override { End(); }

  bool Start(const SeekPoint& point, const std::vector<uint8_t>&) override {
    End();
    in_.Seek(point.in);
    ended_ = failed_ = false;
    if (point.member) {
      state_ = State::kStreamHeader;
    } else {
      if (point.bits > LZMA_CHECK_ID_MAX) return false;
      check_ = static_cast<lzma_check>(point.bits);
      state_ = State::kBlockHeader;
    }
    return true;
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (failed_) step.produced = -1;
    if (failed_ || ended_) return step;
    size_t produced = 0;
    while (produced < size && !failed_ && !ended_ && !step.boundary) {
      switch (state_) {
        case State::kStreamHeader: {
          lzma_stream_flags flags;
          if (!in_.Ensure(LZMA_STREAM_HEADER_SIZE) || lzma_stream_header_decode(&flags, in_.next()) != LZMA_OK) {
            failed_ = true;
            break;
          }
          in_.Consume(LZMA_STREAM_HEADER_SIZE);
          check_ = flags.check;
          state_ = State::kBlockHeader;
          break;
        }
        case State::kBlockHeader: {
          if (!in_.Ensure(1)) {
            failed_ = true;
            break;
          }
          if (in_.next()[0] == 0) {  // the index: the stream's blocks are done
            End();
            active_ = lzma_index_decoder(&s_, &index_, kXzMemoryLimit) == LZMA_OK;
            if (!active_) failed_ = true;
            state_ = State::kIndex;
            break;
          }
          End();
          // The block decoder keeps a pointer to the block: it lives in the object.
          block_ = lzma_block{};
          block_.version = 1;
          block_.check = check_;
          block_.filters = filters_;
          block_.header_size = lzma_block_header_size_decode(in_.next()[0]);
          if (!in_.Ensure(block_.header_size) || lzma_block_header_decode(&block_, nullptr, in_.next()) != LZMA_OK) {
            failed_ = true;
            break;
          }
          filtersSet_ = true;
          in_.Consume(block_.header_size);
          active_ = lzma_block_decoder(&s_, &block_) == LZMA_OK;
          if (!active_) failed_ = true;
          state_ = State::kBlock;
          break;
        }
        case State::kBlock:
        case State::kIndex: {
          const LzmaStep c = CodeOnce(s_, in_, out, size, &produced);
          if (c.result == LZMA_STREAM_END) {
            End();
            if (state_ == State::kBlock) {
              state_ = State::kBlockHeader;
              step.boundary = true;
              step.point = SeekPoint{in_.position(), 0, static_cast<uint8_t>(check_), false, 0, 0};
            } else {
              AfterIndex(&step);
            }
          } else if (c.result != LZMA_OK || c.stuck) {
            failed_ = true;
          }
          break;
        }
      }
    }
    step.produced = static_cast<long>(produced);
    if (failed_ && produced == 0) step.produced = -1;
    return step;
  }

 private:
  enum class State { kStreamHeader, kBlockHeader, kBlock, kIndex };

  // After the index: the stream footer, padding, then another stream or the end.
  void AfterIndex(Step* step) {
    if (index_ != nullptr) lzma_index_end(index_, nullptr);
    index_ = nullptr;
    if (!in_.Ensure(LZMA_STREAM_HEADER_SIZE)) {
      failed_ = true;
      return;
    }
    in_.Consume(LZMA_STREAM_HEADER_SIZE);
    while (in_.Ensure(4) && std::memcmp(in_.next(), "\0\0\0\0", 4) == 0) in_.Consume(4);
    if (!in_.Ensure(6) || !StartsWith(in_.next(), in_.available(), kXzMagic, 6)) {
      ended_ = true;
      return;
    }
    state_ = State::kStreamHeader;
    step->boundary = true;
    step->point = SeekPoint{in_.position(), 0, 0, true, 0, 0};
  }

  void End() {
    if (active_) lzma_end(&s_);
    s_ = LZMA_STREAM_INIT;
    active_ = false;
    if (index_ != nullptr) lzma_index_end(index_, nullptr);
    index_ = nullptr;
    if (filtersSet_) {
      // The block header decoder allocated the filters' options.
      for (lzma_filter& f : filters_) {
        if (f.id == LZMA_VLI_UNKNOWN) break;
        free(f.options);
        f.options = nullptr;
      }
      filtersSet_ = false;
    }
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
  bool active_ = false;
  lzma_index* index_ = nullptr;
  lzma_block block_{};
  lzma_filter filters_[LZMA_FILTERS_MAX + 1] = {};
  bool filtersSet_ = false;
  lzma_check check_ = LZMA_CHECK_NONE;
  State state_ = State::kStreamHeader;
  bool ended_ = false;
  bool failed_ = false;
};

class ZstdDecoder final : public Decoder {
 public:
  explicit ZstdDecoder(Input input) : Decoder(std::move(input)), d_(ZSTD_createDStream()) {}
  ~ZstdDecoder() override { ZSTD_freeDStream(d_); }

  bool Start(const SeekPoint& point, const std::vector<uint8_t>&) override {
    in_.Seek(point.in);
    ended_ = failNext_ = false;
    return d_ != nullptr && !ZSTD_isError(ZSTD_DCtx_reset(d_, ZSTD_reset_session_only));
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (ended_ || d_ == nullptr) {
      if (failNext_) step.produced = -1;
      return step;
    }
    ZSTD_outBuffer o{out, size, 0};
    bool failed = false;
    while (o.pos < o.size) {
      if (!inFrame_) {
        // Between frames: another frame (skippable ones included) or the end.
        if (!in_.Ensure(4) || !IsZstdFrame(in_.next(), in_.available())) {
          ended_ = true;
          break;
        }
        inFrame_ = true;
      }
      const bool more = in_.Ensure(1);
      ZSTD_inBuffer i{in_.next(), in_.available(), 0};
      const size_t before = o.pos;
      const size_t r = ZSTD_decompressStream(d_, &o, &i);
      in_.Consume(i.pos);
      if (ZSTD_isError(r)) {
        failed = true;
        break;
      }
      if (r == 0) {
        inFrame_ = false;
        if (!in_.Ensure(4) || !IsZstdFrame(in_.next(), in_.available())) {
          ended_ = true;
          break;
        }
        step.boundary = true;
        step.point = SeekPoint{in_.position(), 0, 0, true, 0, 0};
        break;
      }
      if (!more && i.pos == 0 && o.pos == before) {
        failed = true;  // the frame is cut short
        break;
      }
    }
    step.produced = static_cast<long>(o.pos);
    if (failed) {
      ended_ = true;
      failNext_ = true;
      if (step.produced == 0) step.produced = -1;
    }
    return step;
  }

 private:
  ZSTD_DStream* d_;
  bool inFrame_ = false;
  bool ended_ = false;
  bool failNext_ = false;
};

// .lzma: one stream with no boundaries inside, so its only point is its start.
class LzmaDecoder final : public Decoder {
 public:
  using Decoder::Decoder;
  ~LzmaDecoder() override { End(); }

  bool Start(const SeekPoint& point, const std::vector<uint8_t>&) override {
    End();
    in_.Seek(point.in);
    ended_ = failed_ = false;
    active_ = lzma_alone_decoder(&s_, kLzmaMemoryLimit) == LZMA_OK;
    return active_;
  }

  Step Next(uint8_t* out, size_t size) override {
    Step step;
    if (failed_) step.produced = -1;
    if (failed_ || ended_) return step;
    size_t produced = 0;
    while (produced < size && !failed_ && !ended_) {
      const LzmaStep c = CodeOnce(s_, in_, out, size, &produced);
      if (c.result == LZMA_STREAM_END) {
        ended_ = true;  // what follows the stream is not the stream's
      } else if (c.result != LZMA_OK || c.stuck) {
        failed_ = true;
      }
    }
    step.produced = static_cast<long>(produced);
    if (failed_ && produced == 0) step.produced = -1;
    return step;
  }

 private:
  void End() {
    if (active_) lzma_end(&s_);
    s_ = LZMA_STREAM_INIT;
    active_ = false;
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
  bool active_ = false;
  bool ended_ = false;
  bool failed_ = false;
};

// `fast`: gzip through ISA-L, whose points are saved states.
std::unique_ptr<Decoder> MakeDecoder(Compression c, int fd, uint64_t size, bool fast) {
  switch (c) {
    case Compression::kGzip:
      if (fast) return std::make_unique<FastGzipDecoder>(Input(fd, size));
      return std::make_unique<GzipDecoder>(Input(fd, size));
    case Compression::kBzip2:
      return std::make_unique<Bzip2Decoder>(fd, size);
    case Compression::kXz:
      return std::make_unique<XzDecoder>(Input(fd, size));
    case Compression::kZstd:
      return std::make_unique<ZstdDecoder>(Input(fd, size));
    case Compression::kLzma:
      return std::make_unique<LzmaDecoder>(Input(fd, size));
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<SeekableDecompressor> SeekableDecompressor::Create(const std::string& path, const IndexOptions& options,
                                                                   IndexError* error) {
  IndexError ignored;
  if (error == nullptr) error = &ignored;
  std::unique_ptr<SeekableDecompressor> d = Index(path, options, error, true);
  // Zlib decodes a gzip stream that ISA-L cannot decode to its end as far as it goes.
  if (d && d->compression_ == Compression::kGzip && d->damaged_) d = Index(path, options, error, false);
  return d;
}

std::unique_ptr<SeekableDecompressor> SeekableDecompressor::Index(const std::string& path, const IndexOptions& options,
                                                                  IndexError* error, bool fast) {
  std::unique_ptr<SeekableDecompressor> d(new SeekableDecompressor());
  d->fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (d->fd_ < 0 || fstat(d->fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = IndexError::kCannotOpen;
    return nullptr;
  }
  d->compressedSize_ = static_cast<uint64_t>(st.st_size);
  d->fileTime_ = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                 static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  uint8_t head[kCompressionHeadSize] = {};
  const ssize_t got = pread(d->fd_, head, sizeof head, 0);
  d->compression_ = got > 0 ? DetectCompression(head, static_cast<size_t>(got)) : Compression::kNone;
  if (d->compression_ == Compression::kNone) {
    *error = IndexError::kNotCompressed;
    return nullptr;
  }
  d->span_ = std::max<uint64_t>(options.span, kWindow);
  d->edge_ = std::min<size_t>(options.edge, size_t{64} << 20);
  d->fast_ = fast && d->compression_ == Compression::kGzip;
  if (!d->BuildIndex(options, error)) return nullptr;
  *error = IndexError::kNone;
  return d;
}

SeekableDecompressor::~SeekableDecompressor() {
  cursor_.reset();
  if (fd_ >= 0) close(fd_);
  if (indexFd_ >= 0) close(indexFd_);
}

bool SeekableDecompressor::BuildIndex(const IndexOptions& options, IndexError* error) {
  if (compression_ == Compression::kGzip) {
    // The index file has no name: it is gone with the mount, whatever ends the process.
    indexFd_ = open(options.folder.empty() ? "/tmp" : options.folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (indexFd_ < 0) {
      *error = IndexError::kIndexFile;
      return false;
    }
  }
  std::unique_ptr<Decoder> decoder = MakeDecoder(compression_, fd_, compressedSize_, fast_);
  const SeekPoint start{};
  points_.push_back(start);
  if (!decoder || !decoder->Start(start, {})) {
    damaged_ = true;
    return true;
  }
  std::vector<uint8_t> buffer(1u << 20);
  std::vector<uint8_t> ring(compression_ == Compression::kGzip && !fast_ ? kWindow : 0);
  uint64_t out = 0;
  uint64_t nextProgress = 0;
  for (;;) {
    // A decoder whose every stop is a point stops where the next one is due.
    const uint64_t due = points_.back().out + span_;
    const size_t want = out < due ? static_cast<size_t>(std::min<uint64_t>(buffer.size(), due - out)) : buffer.size();
    const Step step = decoder->Next(buffer.data(), want);
    if (step.produced < 0) {
      damaged_ = true;
      break;
    }
    const size_t n = static_cast<size_t>(step.produced);
    if (!ring.empty() && n > 0) {
      // The ring holds output position p at p % kWindow; only the last kWindow bytes matter.
      for (size_t done = n > kWindow ? n - kWindow : 0; done < n;) {
        const size_t at = static_cast<size_t>((out + done) % kWindow);
        const size_t take = std::min(n - done, kWindow - at);
        std::memcpy(ring.data() + at, buffer.data() + done, take);
        done += take;
      }
    }
    if (n > 0 && nextRecord_ != UINT64_MAX) KeepTarRecords(buffer.data(), n, out);
    if (head_.size() < edge_)
      head_.insert(head_.end(), buffer.begin(), buffer.begin() + std::min(n, edge_ - head_.size()));
    for (size_t done = edge_ == 0 ? n : n > edge_ ? n - edge_ : 0; done < n;) {
      const size_t at = static_cast<size_t>((out + done) % edge_);
      const size_t take = std::min(n - done, edge_ - at);
      if (tail_.size() < edge_) tail_.resize(edge_);
      std::memcpy(tail_.data() + at, buffer.data() + done, take);
      done += take;
    }
    out += n;
    if (step.boundary && out - points_.back().out >= span_) {
      SeekPoint p = step.point;
      p.out = out;
      std::vector<uint8_t> state;
      const bool saved = p.member || compression_ != Compression::kGzip ||
                         (p.state ? decoder->SaveState(&state) && SaveBlob(state.data(), state.size(), &p)
                                  : SaveWindow(ring, out, &p));
      if (!saved) {
        *error = IndexError::kIndexFile;
        return false;
      }
      points_.push_back(p);
    }
    if (n == 0 && !step.boundary) break;
    if (options.progress && out >= nextProgress) {
      nextProgress = out + kProgressStep;
      if (!options.progress(decoder->position(), compressedSize_)) {
        *error = IndexError::kCancelled;
        return false;
      }
    }
  }
  size_ = out;
  // The ring holds position p at p % edge_: put the end in order.
  const size_t kept = static_cast<size_t>(std::min<uint64_t>(out, edge_));
  std::vector<uint8_t> tail(kept);
  for (size_t i = 0; i < kept; ++i) tail[i] = tail_[(out - kept + i) % edge_];
  tail_ = std::move(tail);
  if (options.progress) options.progress(compressedSize_, compressedSize_);
  return true;
}

namespace {

constexpr size_t kRecord = 512;
constexpr size_t kMaxRecordBytes = 64u << 20;   // 128 Ki headers; the rest are decoded when listed
constexpr uint32_t kMaxMetaRecord = 64 * 1024;  // long names and extended headers kept with theirs

// The size field of a tar header (octal, or base-256 when its first bit is set); false when it is
// neither.
bool TarSize(const uint8_t* h, uint64_t* size) {
  const uint8_t* f = h + 124;
  uint64_t v = 0;
  if (f[0] & 0x80) {
    for (int i = 1; i < 12; ++i) {
      if (v >> 55) return false;
      v = (v << 8) | f[i];
    }
    *size = v;
    return (f[0] & 0x7F) == 0;
  }
  int i = 0;
  while (i < 12 && f[i] == ' ') ++i;
  bool digits = false;
  for (; i < 12 && f[i] >= '0' && f[i] <= '7'; ++i) {
    v = (v << 3) | static_cast<uint64_t>(f[i] - '0');
    digits = true;
  }
  *size = v;
  return digits && (i == 12 || f[i] == ' ' || f[i] == 0);
}

bool TarChecksumHolds(const uint8_t* h) {
  uint32_t sum = 0;
  for (size_t i = 0; i < kRecord; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
  uint32_t stored = 0;
  int i = 148;
  while (i < 156 && h[i] == ' ') ++i;
  bool digits = false;
  for (; i < 156 && h[i] >= '0' && h[i] <= '7'; ++i) {
    stored = (stored << 3) | static_cast<uint32_t>(h[i] - '0');
    digits = true;
  }
  return digits && stored == sum;
}

}  // namespace

// Follows the tar headers through the output of the index pass: each header (with the data of a
// long name or extended header behind it) is kept; a record that is no header ends the walk.
void SeekableDecompressor::KeepTarRecords(const uint8_t* data, size_t n, uint64_t out) {
  while (nextRecord_ != UINT64_MAX && nextRecord_ < out + n) {
    if (records_.empty() || records_.back().out != nextRecord_) {
      if (recordBytes_.size() + kRecord + kMaxMetaRecord > kMaxRecordBytes || nextRecord_ < out) {
        nextRecord_ = UINT64_MAX;  // too many, or a record that began before this output
        return;
      }
      records_.push_back(Record{nextRecord_, recordBytes_.size(), 0});
      recordSize_ = kRecord;
    }
    Record& r = records_.back();
    const uint64_t from = r.out + r.size;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(out + n - from, recordSize_ - r.size));
    recordBytes_.insert(recordBytes_.end(), data + (from - out), data + (from - out) + take);
    r.size += static_cast<uint32_t>(take);
    if (r.size < recordSize_) return;  // the rest comes with the next output
    const uint8_t* h = recordBytes_.data() + r.at;
    if (r.size > kRecord) {  // a long name or extended header is whole: its entry follows
      nextRecord_ = r.out + r.size;
      continue;
    }
    uint64_t size = 0;
    if (!TarChecksumHolds(h) || !TarSize(h, &size)) {
      nextRecord_ = UINT64_MAX;  // the end of the archive (zeros), or no tar
      return;
    }
    const uint8_t type = h[156];
    const uint64_t padded = (size + kRecord - 1) / kRecord * kRecord;
    // Long names ('L', 'K') and extended headers ('x', 'g') are read by the listing too.
    if ((type == 'L' || type == 'K' || type == 'x' || type == 'g') && padded > 0 && padded <= kMaxMetaRecord) {
      recordSize_ = static_cast<uint32_t>(kRecord + padded);
      continue;
    }
    if (r.out > UINT64_MAX - kRecord - padded) {
      nextRecord_ = UINT64_MAX;
      return;
    }
    nextRecord_ = r.out + kRecord + padded;
  }
}

bool SeekableDecompressor::ReadRecord(uint64_t offset, uint8_t* out, size_t size) const {
  const auto after =
      std::upper_bound(records_.begin(), records_.end(), offset, [](uint64_t o, const Record& r) { return o < r.out; });
  if (after == records_.begin()) return false;
  const Record& r = *(after - 1);
  if (offset + size > r.out + r.size) return false;
  std::memcpy(out, recordBytes_.data() + r.at + (offset - r.out), size);
  return true;
}

bool SeekableDecompressor::SaveWindow(const std::vector<uint8_t>& ring, uint64_t out, SeekPoint* point) {
  const size_t length = static_cast<size_t>(std::min<uint64_t>(out, kWindow));
  std::vector<uint8_t> window(length);
  for (size_t i = 0; i < length; ++i) window[i] = ring[(out - length + i) % kWindow];
  return SaveBlob(window.data(), length, point);
}

bool SeekableDecompressor::SaveBlob(const uint8_t* data, size_t length, SeekPoint* point) {
  uLongf packed = compressBound(static_cast<uLong>(length));
  std::vector<uint8_t> compressed(packed);
  if (compress2(compressed.data(), &packed, data, static_cast<uLong>(length), 1) != Z_OK) return false;
  point->windowAt = windowBytes_;
  point->windowSize = static_cast<uint32_t>(packed);
  for (size_t done = 0; done < packed;) {
    const ssize_t w =
        pwrite(indexFd_, compressed.data() + done, packed - done, static_cast<off_t>(windowBytes_ + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  windowBytes_ += packed;
  return true;
}

bool SeekableDecompressor::LoadWindow(const SeekPoint& point, std::vector<uint8_t>* window) const {
  window->clear();
  if (point.member || compression_ != Compression::kGzip) return true;
  std::vector<uint8_t> compressed(point.windowSize);
  if (pread(indexFd_, compressed.data(), compressed.size(), static_cast<off_t>(point.windowAt)) !=
      static_cast<ssize_t>(compressed.size()))
    return false;
  const size_t most = point.state ? sizeof(inflate_state) : kWindow;
  window->resize(most);
  uLongf length = most;
  if (uncompress(window->data(), &length, compressed.data(), static_cast<uLong>(compressed.size())) != Z_OK)
    return false;
  window->resize(length);
  return true;
}

bool SeekableDecompressor::StartAt(const SeekPoint& point) {
  if (!cursor_) cursor_ = MakeDecoder(compression_, fd_, compressedSize_, fast_);
  std::vector<uint8_t> window;
  cursorValid_ = cursor_ && LoadWindow(point, &window) && cursor_->Start(point, window);
  cursorOut_ = point.out;
  return cursorValid_;
}

size_t SeekableDecompressor::Read(uint64_t offset, uint8_t* out, size_t size) {
  std::lock_guard<std::mutex> g(lock_);
  if (offset >= size_) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  if (offset + size <= head_.size()) {
    std::memcpy(out, head_.data() + offset, size);
    return size;
  }
  if (offset >= size_ - tail_.size()) {
    std::memcpy(out, tail_.data() + (offset - (size_ - tail_.size())), size);
    return size;
  }
  if (ReadRecord(offset, out, size)) return size;
  // The last point at or before the offset; a cursor between it and the offset goes on from
  // where it stands.
  const auto after = std::upper_bound(points_.begin(), points_.end(), offset,
                                      [](uint64_t o, const SeekPoint& p) { return o < p.out; });
  const SeekPoint& point = *(after - 1);
  if (!cursorValid_ || cursorOut_ > offset || cursorOut_ < point.out) {
    if (!StartAt(point)) return 0;
  }
  if (scratch_.empty()) scratch_.resize(256 * 1024);
  while (cursorOut_ < offset) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(offset - cursorOut_, scratch_.size()));
    const Step step = cursor_->Next(scratch_.data(), want);
    if (step.produced < 0 || (step.produced == 0 && !step.boundary)) {
      cursorValid_ = false;
      return 0;
    }
    cursorOut_ += static_cast<uint64_t>(step.produced);
    decoded_ += static_cast<uint64_t>(step.produced);
  }
  size_t done = 0;
  while (done < size) {
    const Step step = cursor_->Next(out + done, size - done);
    if (step.produced < 0 || (step.produced == 0 && !step.boundary)) {
      cursorValid_ = false;
      break;
    }
    done += static_cast<size_t>(step.produced);
    cursorOut_ += static_cast<uint64_t>(step.produced);
    decoded_ += static_cast<uint64_t>(step.produced);
  }
  return done;
}

uint64_t SeekableDecompressor::decodedBytes() const {
  std::lock_guard<std::mutex> g(lock_);
  return decoded_;
}

}  // namespace kv::archive
