// The builder as stages over the tree: enter items → name → order → number path tables → size →
// place → emit. Each stage is one function with one job; emission only appends to the map.
#include "service/image_builder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/localtime.h"
#include "service/bridge_descriptors.h"

namespace kv::service {

namespace b = bridge;

namespace {
enum DataFrom : uint8_t { kFromItem = 0, kFromHostFile = 1, kFromSourceVolume = 2 };
}  // namespace

// Names live in the builder's name pool: `name` as given (UTF-16), the ISO name (bytes) and the
// Joliet name (UTF-16, usually the given name's own offset). Offsets are even.
struct TreeEntry {
  uint64_t size = 0;
  uint32_t name = 0;
  uint32_t nameLength = 0;  // UTF-16 units
  uint32_t isoName = 0;
  uint32_t jolietName = 0;
  uint32_t dir = 0;   // owning directory
  int32_t node = -1;  // the directory this entry names
  uint32_t start = 0;
  uint32_t ref = 0;  // by `from`: item index, host path index or first source-volume sector
  uint32_t feSector = 0;
  uint8_t date[7] = {};
  uint8_t isoLength = 0, jolietLength = 0;
  uint8_t from = 0;  // DataFrom
  bool named = false;
};

namespace {

constexpr uint32_t kIsoNameLimit = 221;
constexpr uint32_t kJolietNameLimit = 110;
constexpr uint32_t kMangleLimit = 999999;
constexpr uint32_t kChunkBytes = 32768;
constexpr uint64_t kMaxSectors = 0x7FFFFFFF;

struct DirNode {
  uint32_t parent = 0;
  TreeEntry* entry = nullptr;
  uint32_t depth = 0;
  std::vector<uint32_t> children;  // in creation order
  // Entry numbers: oldest first (the insertion list is this reversed), then the two orders.
  std::vector<uint32_t> entries;
  std::vector<uint32_t> isoOrder;
  std::vector<uint32_t> jolietOrder;
  std::vector<uint32_t> isoChildren;
  std::vector<uint32_t> jolietChildren;
  uint32_t isoExtent = 0, isoSize = 0, jolietExtent = 0, jolietSize = 0;
  uint32_t feSector = 0, streamBytes = 0;
  uint32_t isoNumber = 0, jolietNumber = 0;
  // Where this directory's sectors start in Impl's isoStarts, jolietStarts and fidStarts.
  uint32_t isoStartAt = 0, jolietStartAt = 0, fidStartAt = 0;
};

// The first record of a directory sector or FID-stream sector, so that any one sector can be made
// without the ones before it. `pos` 0 and 1 are "." and ".." (the parent FID), 2 + i the i-th entry
// of the order (1 + i for FIDs); `at` is the extent number within the entry (directories) or the
// record's stream offset (FIDs).
struct RecordStart {
  uint32_t pos;
  uint32_t at;
};

uint64_t CeilDiv(uint64_t a, uint64_t b) {
  return (a + b - 1) / b;
}
uint32_t RoundSector(uint32_t bytes) {
  return static_cast<uint32_t>(CeilDiv(bytes, 2048) * 2048);
}
uint64_t IsoExtentCount(uint64_t size) {
  return size == 0 ? 1 : CeilDiv(size, b::kMaxIsoExtentBytes);
}

int IsoRank(uint8_t c) {
  return c == ';' ? 0 : c == '.' ? 1 : c + 2;
}

bool IsoLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t x = static_cast<uint8_t>(a[i]), y = static_cast<uint8_t>(b[i]);
    if (x == ';' && y == ';') return false;
    if (x != y) return IsoRank(x) < IsoRank(y);
  }
  return a.size() < b.size();
}

uint16_t Swapped(char16_t c) {
  return static_cast<uint16_t>((c >> 8) | (c << 8));
}

bool JolietLess(std::u16string_view a, std::u16string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return Swapped(a[i]) < Swapped(b[i]);
  return a.size() < b.size();
}

// The "~N" form of `full` (Algorithms 2). `next` remembers where the search for `full` stopped:
// the used set only grows, so the first free N never moves backwards.
template <class S, class Free, class Next>
bool Mangle(const S& full, size_t limit, bool twoByteRule, Free isFree, Next& next, S* out) {
  const size_t dot = full.rfind(static_cast<typename S::value_type>('.'));
  const S base = dot == S::npos ? full : full.substr(0, dot);
  const S ext = dot == S::npos ? S() : full.substr(dot);
  uint32_t& n = next[full];
  for (; n <= kMangleLimit; ++n) {
    char digits[16];
    const int d = std::snprintf(digits, sizeof digits, "%u", n);
    S e = ext;
    if (e.size() >= limit - d - 4) e.resize(limit - d - 4);
    const size_t room = limit - 1 - d - e.size();
    size_t keep = 0;
    if (twoByteRule) {
      while (keep < base.size()) {
        const size_t w = static_cast<uint8_t>(base[keep]) >= 0x80 ? std::min<size_t>(2, base.size() - keep) : 1;
        if (keep + w > room) break;
        keep += w;
      }
    } else {
      keep = std::min(base.size(), room);
    }
    S name = base.substr(0, keep);
    name.push_back('~');
    for (int i = 0; i < d; ++i) name.push_back(static_cast<typename S::value_type>(digits[i]));
    name += e;
    if (isFree(name)) {
      *out = std::move(name);
      ++n;
      return true;
    }
  }
  return false;
}

// The MetadataPool (and the name pool): anonymous memory, zero until written and backed by huge
// pages where the system allows, grown by the larger of the request and 1 MiB while keeping its
// contents without a copy (no doubling peak). Offsets into it are 32-bit, so it holds at most 4 GiB.
class MetadataPool {
 public:
  MetadataPool() = default;
  ~MetadataPool() { Release(); }
  MetadataPool(const MetadataPool&) = delete;
  MetadataPool& operator=(const MetadataPool&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  void Reserve(uint64_t bytes) {
    if (bytes > capacity_) Map(std::min<uint64_t>(bytes, kLimit));
  }
  // Appends `bytes` zero bytes; returns their offset.
  uint32_t Append(uint64_t bytes) {
    if (size_ + bytes > kLimit) throw std::length_error("metadata pool limit");
    if (size_ + bytes > capacity_) Map(capacity_ + std::max<uint64_t>(bytes, uint64_t{1} << 20));
    const uint32_t at = static_cast<uint32_t>(size_);
    size_ += bytes;
    return at;
  }
  void Release() {
    if (data_ != nullptr) munmap(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  static constexpr uint64_t kLimit = 0xFFFFF000ull;
  void Map(uint64_t want) {
    want = (want + (uint64_t{2} << 20) - 1) & ~((uint64_t{2} << 20) - 1);
    void* p = data_ == nullptr ? mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                               : mremap(data_, capacity_, want, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, want, MADV_HUGEPAGE);
    data_ = static_cast<uint8_t*>(p);
    capacity_ = want;
  }
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
};

// The names given so far in one directory, as (pool offset, bytes) in an open-addressing table:
// a few bytes per entry while a directory of a million entries is named. "\0" and "\1" (the
// directory's own records) count as given.
template <class C>
class NameSet {
 public:
  NameSet(const MetadataPool& pool, size_t expected) : pool_(pool) {
    size_t capacity = 16;
    while (capacity < 2 * expected + 4) capacity *= 2;
    slots_.assign(capacity, 0);
  }
  bool Contains(std::basic_string_view<C> name) const {
    if (name.size() == 1 && (name[0] == 0 || name[0] == 1)) return true;
    const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
    const size_t n = name.size() * sizeof(C);
    for (size_t i = Hash(bytes, n) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return false;
      if ((slot & 0xFFFF) == n && std::memcmp(pool_.data() + Offset(slot), bytes, n) == 0) return true;
    }
  }
  // `bytes` (1..65,535) of a name not yet given, stored in the pool at `offset`.
  void Insert(uint32_t offset, size_t bytes) {
    if (2 * (count_ + 1) > slots_.size()) Grow();
    Place(kPresent | (uint64_t{offset} << 16) | bytes);
    ++count_;
  }

 private:
  static constexpr uint64_t kPresent = uint64_t{1} << 63;
  static size_t Offset(uint64_t slot) { return static_cast<size_t>((slot >> 16) & 0xFFFFFFFF); }
  static size_t Hash(const uint8_t* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  void Place(uint64_t slot) {
    size_t i = Hash(pool_.data() + Offset(slot), slot & 0xFFFF) & (slots_.size() - 1);
    while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = slot;
  }
  void Grow() {
    std::vector<uint64_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    for (uint64_t slot : old)
      if (slot != 0) Place(slot);
  }
  const MetadataPool& pool_;
  std::vector<uint64_t> slots_;
  size_t count_ = 0;
};

// Places records of the given lengths by Algorithms 4; returns the offset after the last one.
class RecordPlacer {
 public:
  explicit RecordPlacer(uint64_t offset = 0) : offset_(offset) {}
  uint64_t Place(size_t length) {
    if (offset_ % 2048 + length >= 2048) offset_ = CeilDiv(offset_, 2048) * 2048;
    const uint64_t at = offset_;
    offset_ += length;
    return at;
  }
  uint64_t size() const { return offset_; }

 private:
  uint64_t offset_ = 0;
};

std::vector<uint8_t> JolietBytes(std::u16string_view name) {
  std::vector<uint8_t> out(name.size() * 2);
  for (size_t i = 0; i < name.size(); ++i) b::Put16Be(out.data() + 2 * i, name[i]);
  return out;
}

// `dst` arrives zeroed, so holes of sparse files are skipped rather than read.
bool ReadHostFile(const char* path, uint64_t offset, uint8_t* dst, size_t length) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= offset + length;
  const uint64_t end = offset + length;
  uint64_t pos = offset;
  bool plain = false;  // the file system tells no holes: read everything
  while (ok && pos < end) {
    const off_t data = lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
    if (data < 0) {
      plain = errno != ENXIO;  // ENXIO: only a hole remains
      break;
    }
    if (static_cast<uint64_t>(data) >= end) break;
    pos = static_cast<uint64_t>(data);
    const off_t hole = lseek(fd, data, SEEK_HOLE);
    const uint64_t stop = hole < 0 ? end : std::min<uint64_t>(end, static_cast<uint64_t>(hole));
    while (pos < stop) {
      const ssize_t n = pread(fd, dst + (pos - offset), stop - pos, static_cast<off_t>(pos));
      if (n <= 0) {
        ok = false;
        break;
      }
      pos += static_cast<uint64_t>(n);
    }
  }
  if (ok && plain) {
    while (pos < end) {
      const ssize_t n = pread(fd, dst + (pos - offset), end - pos, static_cast<off_t>(pos));
      if (n <= 0) {
        ok = false;
        break;
      }
      pos += static_cast<uint64_t>(n);
    }
  }
  close(fd);
  return ok;
}

}  // namespace

BuildClock SystemBuildClock() {
  BuildClock c;
  c.unixSeconds = static_cast<int64_t>(std::time(nullptr));
  c.processTicks = static_cast<uint32_t>(std::clock());
  return c;
}

struct ImageBuilder::Impl {
  ItemDataSource* source = nullptr;
  BuildClock now;
  uint8_t buildDate[7] = {};
  uint32_t codePage = 1252;
  std::u16string volumeId;
  const std::atomic<bool>* cancel = nullptr;

  std::deque<TreeEntry> entries;  // numbered in creation order
  MetadataPool names;
  std::vector<DirNode> dirs;
  std::unordered_map<std::u16string, uint32_t> dirLookup;
  std::vector<std::string> hostPaths;
  bool used = false;  // Build() was called

  std::vector<uint32_t> isoPreorder, jolietPreorder;
  std::vector<uint32_t> isoPathOrder, jolietPathOrder;
  uint32_t isoPathBytes = 0, jolietPathBytes = 0, isoPathSectors = 0, jolietPathSectors = 0;
  uint32_t isoPathL = 0, isoPathM = 0, jolietPathL = 0, jolietPathM = 0;
  uint32_t nextUniqueId = 0, closingAnchor = 0, sectorCount = 0;
  uint32_t fileCount = 0, directoryCount = 0;
  uint64_t refBytes = 0;

  std::vector<SectorRecord> map;
  MetadataPool pool;
  std::vector<uint32_t> runStarts;                              // first sector of every file's data, ascending
  std::vector<RecordStart> isoStarts, jolietStarts, fidStarts;  // one per directory/FID sector
  bool built = false;

  bool Cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }

  std::u16string Key(uint32_t parent, std::u16string_view name) const {
    std::u16string key;
    key.push_back(static_cast<char16_t>(parent & 0xFFFF));
    key.push_back(static_cast<char16_t>(parent >> 16));
    key += platform::UpperCaseForCodePage(name, 65001);
    return key;
  }

  // Appends `bytes` bytes to the name pool at an even offset.
  uint32_t PutName(const void* data, size_t bytes) {
    const uint32_t at = names.Append((bytes + 1) & ~size_t{1});
    if (bytes != 0) std::memcpy(names.data() + at, data, bytes);
    return at;
  }
  // Views into the name pool; valid until the next PutName.
  std::u16string_view Name(const TreeEntry& e) const {
    return {reinterpret_cast<const char16_t*>(names.data() + e.name), e.nameLength};
  }
  std::string_view IsoName(const TreeEntry& e) const {
    return {reinterpret_cast<const char*>(names.data() + e.isoName), e.isoLength};
  }
  std::u16string_view JolietName(const TreeEntry& e) const {
    return {reinterpret_cast<const char16_t*>(names.data() + e.jolietName), e.jolietLength};
  }

  TreeEntry* NewEntry(uint32_t dir, std::u16string_view name) {
    const uint32_t at = PutName(name.data(), name.size() * 2);
    const auto number = static_cast<uint32_t>(entries.size());
    TreeEntry& e = entries.emplace_back();
    e.dir = dir;
    e.name = at;
    e.nameLength = static_cast<uint32_t>(name.size());
    dirs[dir].entries.push_back(number);
    return &e;
  }

  uint32_t NewDirectory(uint32_t parent, std::u16string_view name, const uint8_t* date) {
    const uint32_t index = static_cast<uint32_t>(dirs.size());
    dirLookup.emplace(Key(parent, name), index);
    DirNode node;
    node.parent = parent;
    node.depth = dirs[parent].depth + 1;
    dirs.push_back(std::move(node));
    TreeEntry* e = NewEntry(parent, name);
    e->node = static_cast<int32_t>(index);
    std::memcpy(e->date, date, 7);
    dirs[index].entry = e;
    dirs[parent].children.push_back(index);
    return index;
  }

  int64_t FindDirectory(uint32_t parent, std::u16string_view name) const {
    const auto it = dirLookup.find(Key(parent, name));
    return it == dirLookup.end() ? int64_t{-1} : int64_t{it->second};
  }

  TreeEntry* Add(std::u16string_view path, bool isDirectory, uint64_t size, std::optional<uint64_t> fileTime,
                 DataFrom from, uint32_t ref);

  // Two passes over the insertion list (newest first), as the naming rules give them: the wanted
  // names first, then "~N" forms for the rest. char: ISO names (bytes), char16_t: Joliet names.
  // Names come out within their limits (221 bytes, 110 units), so their lengths fit a byte.
  template <class C>
  bool NameDirectory(const std::vector<TreeEntry*>& newestFirst) {
    using S = std::basic_string<C>;
    constexpr bool iso = sizeof(C) == 1;
    const size_t limit = iso ? kIsoNameLimit : kJolietNameLimit;
    NameSet<C> used(names, newestFirst.size());
    std::unordered_map<S, uint32_t> next;
    auto wanted = [&](const TreeEntry& e) {
      if constexpr (iso) {
        return platform::WideToAnsiUpper(Name(e), codePage);
      } else {
        return S(Name(e));
      }
    };
    auto isFree = [&](const S& n) { return !used.Contains(n); };
    auto give = [&](TreeEntry& e, const S& n, bool ownName) {
      const uint32_t at = ownName ? e.name : PutName(n.data(), n.size() * sizeof(C));
      used.Insert(at, n.size() * sizeof(C));
      (iso ? e.isoName : e.jolietName) = at;
      (iso ? e.isoLength : e.jolietLength) = static_cast<uint8_t>(n.size());
      e.named = true;
    };
    for (TreeEntry* e : newestFirst) e->named = false;
    for (TreeEntry* e : newestFirst) {
      const S w = wanted(*e);
      if (w.size() > limit) continue;
      S name;
      if (!used.Contains(w)) {
        give(*e, w, !iso);
      } else if (Mangle(w, limit, iso, isFree, next, &name)) {
        give(*e, name, false);
      } else {
        return false;
      }
    }
    for (TreeEntry* e : newestFirst) {
      if (e->named) continue;
      S name;
      if (!Mangle(wanted(*e), limit, iso, isFree, next, &name)) return false;
      give(*e, name, false);
    }
    return true;
  }
  BuildError NameAll();
  void OrderAll();
  BuildError NumberPathTables();
  BuildError SizeAll();
  BuildError PlaceAll();
  BuildError Emit();
  void FillVolumeFacts(b::VolumeFacts* f) const;

  // Calls f(pos, extentNumber, length) for the records of `d` from (pos, extentNumber) on while it
  // returns true.
  template <class F>
  void ForEachRecord(const DirNode& d, bool iso, uint32_t pos, uint64_t extentNumber, F f) const {
    const std::vector<uint32_t>& order = iso ? d.isoOrder : d.jolietOrder;
    for (; pos < 2; ++pos)
      if (!f(pos, uint64_t{0}, size_t{34})) return;
    for (; pos - 2 < order.size(); ++pos, extentNumber = 0) {
      const TreeEntry& e = entries[order[pos - 2]];
      const uint64_t records = e.node >= 0 ? 1 : IsoExtentCount(e.size);
      const size_t length = b::DirectoryRecordLength(iso ? e.isoLength : e.jolietLength * 2u);
      for (; extentNumber < records; ++extentNumber)
        if (!f(pos, extentNumber, length)) return;
    }
  }
  // Sector `k` of directory `di`'s ISO or Joliet extent, or of its FID stream, into zeroed `dst`.
  void MakeDirectorySector(bool iso, uint32_t di, uint32_t k, uint8_t* dst) const;
  void MakeFidSector(uint32_t di, uint32_t k, uint8_t* dst) const;
};

namespace {

// Path components: "" and "." are skipped, ".." cannot name an entry and becomes "__", and NUL
// (which no file system's identifier may hold) becomes "_".
std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(u'/', i);
    if (j == std::u16string_view::npos) j = path.size();
    std::u16string part(path.substr(i, j - i));
    for (char16_t& c : part)
      if (c == 0) c = u'_';
    if (part == u"..") part = u"__";
    if (!part.empty() && part != u".") parts.push_back(std::move(part));
    i = j + 1;
  }
  return parts;
}

}  // namespace

TreeEntry* ImageBuilder::Impl::Add(std::u16string_view path, bool isDirectory, uint64_t size,
                                   std::optional<uint64_t> fileTime, DataFrom from, uint32_t ref) {
  if (used) return nullptr;
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) return nullptr;
  uint8_t date[7] = {};
  if (fileTime) b::MakeDate7(platform::FileTimeToUnixSeconds(*fileTime), date);
  if (isDirectory) {
    int64_t d = 0;
    for (size_t i = 0; i < parts.size() && d >= 0; ++i) d = FindDirectory(static_cast<uint32_t>(d), parts[i]);
    if (d > 0) {
      TreeEntry* e = dirs[d].entry;
      if (fileTime) std::memcpy(e->date, date, 7);
      return e;
    }
  }
  uint32_t parent = 0;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const int64_t d = FindDirectory(parent, parts[i]);
    parent = d >= 0 ? static_cast<uint32_t>(d) : NewDirectory(parent, parts[i], buildDate);
  }
  if (isDirectory) return dirs[NewDirectory(parent, parts.back(), date)].entry;
  TreeEntry* e = NewEntry(parent, parts.back());
  e->size = size;
  e->from = from;
  e->ref = ref;
  std::memcpy(e->date, date, 7);
  return e;
}

BuildError ImageBuilder::Impl::NameAll() {
  for (uint32_t d = 0; d < dirs.size(); ++d) {
    if (Cancelled()) return BuildError::kCancelled;
    std::vector<TreeEntry*> newestFirst;
    newestFirst.reserve(dirs[d].entries.size());
    for (auto k = dirs[d].entries.rbegin(); k != dirs[d].entries.rend(); ++k) newestFirst.push_back(&entries[*k]);
    if (!NameDirectory<char>(newestFirst) || !NameDirectory<char16_t>(newestFirst)) return BuildError::kRecordTooLong;
    for (const TreeEntry* e : newestFirst) {
      if (b::DirectoryRecordLength(e->isoLength) >= 256) return BuildError::kRecordTooLong;
      if (b::DirectoryRecordLength(e->jolietLength * 2) >= 256) return BuildError::kRecordTooLong;
    }
  }
  return BuildError::kNone;
}

void ImageBuilder::Impl::OrderAll() {
  for (DirNode& d : dirs) {
    std::reverse(d.entries.begin(), d.entries.end());  // newest first
    d.isoOrder = d.entries;
    std::stable_sort(d.isoOrder.begin(), d.isoOrder.end(),
                     [&](uint32_t x, uint32_t y) { return IsoLess(IsoName(entries[x]), IsoName(entries[y])); });
    d.jolietOrder = std::move(d.entries);
    std::stable_sort(d.jolietOrder.begin(), d.jolietOrder.end(), [&](uint32_t x, uint32_t y) {
      return JolietLess(JolietName(entries[x]), JolietName(entries[y]));
    });
    for (uint32_t k : d.isoOrder)
      if (entries[k].node >= 0) d.isoChildren.push_back(static_cast<uint32_t>(entries[k].node));
    for (uint32_t k : d.jolietOrder)
      if (entries[k].node >= 0) d.jolietChildren.push_back(static_cast<uint32_t>(entries[k].node));
    d.entries = std::vector<uint32_t>();
  }
  auto preorder = [&](bool iso) {
    std::vector<uint32_t> out, stack{0};
    out.reserve(dirs.size());
    while (!stack.empty()) {
      const uint32_t d = stack.back();
      stack.pop_back();
      out.push_back(d);
      const auto& kids = iso ? dirs[d].isoChildren : dirs[d].jolietChildren;
      stack.insert(stack.end(), kids.rbegin(), kids.rend());
    }
    return out;
  };
  isoPreorder = preorder(true);
  jolietPreorder = preorder(false);
}

// The fixpoint of "sort by (parent number, name), renumber" is the breadth-first order with each
// directory's children sorted by name; it is computed directly.
BuildError ImageBuilder::Impl::NumberPathTables() {
  auto number = [&](bool iso, std::vector<uint32_t>* order) {
    order->clear();
    order->push_back(0);
    (iso ? dirs[0].isoNumber : dirs[0].jolietNumber) = 1;
    for (size_t i = 0; i < order->size(); ++i) {
      const uint32_t d = (*order)[i];
      std::vector<uint32_t> kids = dirs[d].children;
      if (iso) {
        std::sort(kids.begin(), kids.end(),
                  [&](uint32_t x, uint32_t y) { return IsoName(*dirs[x].entry) < IsoName(*dirs[y].entry); });
      } else {
        std::sort(kids.begin(), kids.end(), [&](uint32_t x, uint32_t y) {
          return JolietLess(JolietName(*dirs[x].entry), JolietName(*dirs[y].entry));
        });
      }
      const uint32_t parentNumber = static_cast<uint32_t>(i + 1);
      if (!kids.empty() && parentNumber > 0xFFFF) return false;
      for (uint32_t k : kids) {
        order->push_back(k);
        (iso ? dirs[k].isoNumber : dirs[k].jolietNumber) = static_cast<uint32_t>(order->size());
      }
    }
    return true;
  };
  if (!number(true, &isoPathOrder) || !number(false, &jolietPathOrder)) return BuildError::kTooManyDirectories;
  uint64_t iso = 10, joliet = 10;
  for (size_t i = 1; i < dirs.size(); ++i) {
    const size_t n = dirs[i].entry->isoLength;
    iso += 8 + n + (n % 2);
    joliet += 8 + 2 * dirs[i].entry->jolietLength;
  }
  if (iso > 0xFFFFFFFFull || joliet > 0xFFFFFFFFull) return BuildError::kImageTooLarge;
  isoPathBytes = static_cast<uint32_t>(iso);
  jolietPathBytes = static_cast<uint32_t>(joliet);
  isoPathSectors = static_cast<uint32_t>(CeilDiv(CeilDiv(iso, 2048), 2) * 2);
  jolietPathSectors = static_cast<uint32_t>(CeilDiv(CeilDiv(joliet, 2048), 2) * 2);
  return BuildError::kNone;
}

BuildError ImageBuilder::Impl::SizeAll() {
  for (DirNode& d : dirs) {
    auto place = [&](bool isoSide, std::vector<RecordStart>* starts) {
      RecordPlacer placer;
      uint64_t sectors = 0;
      ForEachRecord(d, isoSide, 0, 0, [&](uint32_t pos, uint64_t extentNumber, size_t length) {
        if (placer.Place(length) / 2048 == sectors) {
          starts->push_back({pos, static_cast<uint32_t>(extentNumber)});
          ++sectors;
        }
        return placer.size() <= b::kMaxIsoExtentBytes;
      });
      return placer.size();
    };
    d.isoStartAt = static_cast<uint32_t>(isoStarts.size());
    d.jolietStartAt = static_cast<uint32_t>(jolietStarts.size());
    d.fidStartAt = static_cast<uint32_t>(fidStarts.size());
    const uint64_t iso = place(true, &isoStarts), joliet = place(false, &jolietStarts);
    uint64_t stream = 0, sectors = 0;
    for (uint32_t pos = 0; pos <= d.jolietOrder.size() && stream <= b::kMaxIsoExtentBytes; ++pos) {
      const uint64_t length =
          pos == 0 ? b::FidLength(u"", true) : b::FidLength(JolietName(entries[d.jolietOrder[pos - 1]]), false);
      for (; sectors * 2048 < stream + length; ++sectors) fidStarts.push_back({pos, static_cast<uint32_t>(stream)});
      stream += length;
    }
    if (iso > b::kMaxIsoExtentBytes || joliet > b::kMaxIsoExtentBytes || stream > b::kMaxIsoExtentBytes)
      return BuildError::kImageTooLarge;
    d.isoSize = static_cast<uint32_t>(iso);
    d.jolietSize = static_cast<uint32_t>(joliet);
    d.streamBytes = static_cast<uint32_t>(stream);
  }
  return BuildError::kNone;
}

BuildError ImageBuilder::Impl::PlaceAll() {
  uint64_t next = b::kPartitionStart + 2;  // after the file set descriptor and its terminator
  fileCount = 0;
  directoryCount = 0;
  for (uint32_t d : jolietPreorder) {
    dirs[d].feSector = static_cast<uint32_t>(next);
    if (d != 0) dirs[d].entry->feSector = dirs[d].feSector;
    next += 1 + CeilDiv(dirs[d].streamBytes, 2048);
    ++directoryCount;
    if (next > kMaxSectors) return BuildError::kImageTooLarge;
  }
  for (uint32_t d : jolietPreorder) {
    for (uint32_t k : dirs[d].jolietOrder) {
      TreeEntry* e = &entries[k];
      if (e->node >= 0) continue;
      if (e->size > b::kMaxShortAds * uint64_t{b::kMaxShortAdBytes}) return BuildError::kImageTooLarge;
      e->feSector = static_cast<uint32_t>(next++);
      ++fileCount;
    }
    if (next > kMaxSectors) return BuildError::kImageTooLarge;
  }
  nextUniqueId = static_cast<uint32_t>(next);
  isoPathL = static_cast<uint32_t>(next);
  isoPathM = isoPathL + isoPathSectors;
  jolietPathL = isoPathM + isoPathSectors;
  jolietPathM = jolietPathL + jolietPathSectors;
  next = uint64_t{jolietPathM} + jolietPathSectors;
  for (uint32_t d : isoPreorder) {
    dirs[d].isoExtent = static_cast<uint32_t>(next);
    next += std::max<uint64_t>(1, CeilDiv(dirs[d].isoSize, 2048));
    if (next > kMaxSectors) return BuildError::kImageTooLarge;
  }
  for (uint32_t d : jolietPreorder) {
    dirs[d].jolietExtent = static_cast<uint32_t>(next);
    next += std::max<uint64_t>(1, CeilDiv(dirs[d].jolietSize, 2048));
    if (next > kMaxSectors) return BuildError::kImageTooLarge;
  }
  refBytes = 0;
  for (uint32_t d : isoPreorder) {
    for (uint32_t k : dirs[d].isoOrder) {
      TreeEntry* e = &entries[k];
      if (e->node >= 0 || e->size == 0 || e->start != 0) continue;
      e->start = static_cast<uint32_t>(next);
      next += CeilDiv(e->size, 2048);
      if (next > kMaxSectors) return BuildError::kImageTooLarge;
      refBytes += e->from == kFromHostFile ? 4 + hostPaths[e->ref].size() + 1 : 4 * CeilDiv(e->size, kChunkBytes);
    }
  }
  closingAnchor = static_cast<uint32_t>(next);
  sectorCount = closingAnchor + 1;
  return BuildError::kNone;
}

void ImageBuilder::Impl::FillVolumeFacts(b::VolumeFacts* f) const {
  f->wideVolumeId = volumeId;
  f->isoVolumeId = platform::WideToAnsi(volumeId, codePage);
  if (f->isoVolumeId.size() > 32) f->isoVolumeId.resize(32);
  std::string trimmed = f->isoVolumeId;
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
  f->udfVolumeId = platform::AnsiToWide(trimmed, codePage);
  char set[32];
  std::snprintf(set, sizeof set, "%08X%08X", static_cast<uint32_t>(now.unixSeconds), now.processTicks);
  f->volumeSetId = set;
  std::memcpy(f->buildDate, buildDate, 7);
  b::MakeDate7(0, f->epochDate);
  f->sectorCount = sectorCount;
  f->partitionLength = closingAnchor - b::kPartitionStart;
  f->nextUniqueId = nextUniqueId;
  f->fileCount = fileCount;
  f->directoryCount = directoryCount;
  f->rootFileEntryBlock = dirs[0].feSector - b::kPartitionStart;
  f->iso = {isoPathBytes, isoPathL, isoPathM, dirs[0].isoExtent, RoundSector(dirs[0].isoSize)};
  f->joliet = {jolietPathBytes, jolietPathL, jolietPathM, dirs[0].jolietExtent, RoundSector(dirs[0].jolietSize)};
}

BuildError ImageBuilder::Impl::Emit() {
  b::VolumeFacts facts;
  FillVolumeFacts(&facts);
  uint64_t notInPool = fileCount;  // data, File Entries of files, directory and FID sectors
  for (const DirNode& d : dirs) {
    notInPool += std::max<uint64_t>(1, CeilDiv(d.isoSize, 2048)) + std::max<uint64_t>(1, CeilDiv(d.jolietSize, 2048)) +
                 CeilDiv(d.streamBytes, 2048);
    for (uint32_t k : d.isoOrder)
      if (entries[k].node < 0) notInPool += CeilDiv(entries[k].size, 2048);
  }
  try {
    map.reserve(sectorCount);
  } catch (const std::bad_alloc&) {
    return BuildError::kAppendFailed;
  }
  try {
    runStarts.reserve(fileCount);
    pool.Reserve((uint64_t{closingAnchor} - notInPool + 2) * 2048 + refBytes);  // an upper bound
  } catch (const std::bad_alloc&) {
    return BuildError::kOutOfMemory;
  }
  pool.Append(2048);  // offset 0: the zero sector every padding sector points to
  auto zeros = [&](uint64_t untilSector) {
    while (map.size() < untilSector) map.push_back({sector_kind::kMetadata, 0});
  };
  auto sectors = [&](uint32_t count) {  // appends metadata sectors, returns their pool offset
    const uint32_t offset = pool.Append(uint64_t{count} * 2048);
    for (uint32_t i = 0; i < count; ++i) map.push_back({sector_kind::kMetadata, offset + i * 2048});
    return offset;
  };
  auto at = [&](uint32_t offset) { return pool.data() + offset; };

  zeros(16);
  b::WritePrimaryVolumeDescriptor(at(sectors(1)), facts);
  b::WriteJolietVolumeDescriptor(at(sectors(1)), facts);
  b::WriteTerminator(at(sectors(1)));
  b::WriteRecognition(at(sectors(1)), "BEA01");
  b::WriteRecognition(at(sectors(1)), "NSR02");
  b::WriteRecognition(at(sectors(1)), "TEA01");
  std::memcpy(at(sectors(1)), "KORVENDRA", 9);
  for (uint32_t first : {b::kMainSequence, b::kReserveSequence}) {
    zeros(first);
    const uint32_t o = sectors(6);
    uint8_t* s[6];
    for (int i = 0; i < 6; ++i) s[i] = at(o + 2048 * i);
    b::WriteVolumeSequence(s, first, facts);
  }
  zeros(b::kIntegritySequence);
  b::WriteIntegrityDescriptor(at(sectors(1)), facts);
  b::WriteTerminatingDescriptor(at(sectors(1)), b::kIntegritySequence + 1);
  zeros(b::kFirstAnchor);
  b::WriteAnchor(at(sectors(1)), b::kFirstAnchor);
  b::WriteFileSetDescriptor(at(sectors(1)), facts);
  b::WriteTerminatingDescriptor(at(sectors(1)), 1);

  const uint32_t p = b::kPartitionStart;
  for (uint32_t di : jolietPreorder) {
    if (Cancelled()) return BuildError::kCancelled;
    const DirNode& d = dirs[di];
    if (map.size() != d.feSector) return BuildError::kBrokenTree;
    b::FileEntryFacts fe;
    fe.block = d.feSector - p;
    fe.directory = true;
    fe.linkCount = static_cast<uint16_t>(std::min<size_t>(0xFFFF, 1 + d.jolietChildren.size()));
    fe.length = d.streamBytes;
    fe.firstDataBlock = fe.block + 1;
    fe.date = d.entry->date;
    fe.uniqueId = di == 0 ? 0 : d.feSector;
    if (!b::WriteFileEntry(at(sectors(1)), fe)) return BuildError::kImageTooLarge;
    const uint32_t streamSectors = static_cast<uint32_t>(CeilDiv(d.streamBytes, 2048));
    for (uint32_t k = 0; k < streamSectors; ++k) map.push_back({sector_kind::kFidRun, di});
  }
  for (uint32_t di : jolietPreorder) {
    if (Cancelled()) return BuildError::kCancelled;
    for (uint32_t k : dirs[di].jolietOrder) {
      const TreeEntry* e = &entries[k];
      if (e->node >= 0) continue;
      if (map.size() != e->feSector) return BuildError::kBrokenTree;
      if (e->size > b::kMaxShortAds * uint64_t{b::kMaxShortAdBytes}) return BuildError::kImageTooLarge;
      map.push_back({sector_kind::kFileEntry, k});
    }
  }

  auto pathTable = [&](bool iso, bool bigEndian, uint32_t sectorCount) {
    const uint32_t o = sectors(sectorCount);
    uint8_t* t = at(o);
    const auto& order = iso ? isoPathOrder : jolietPathOrder;
    for (uint32_t di : order) {
      const DirNode& d = dirs[di];
      std::vector<uint8_t> name;
      if (di == 0) {
        name.assign(1, 0);
      } else if (iso) {
        const std::string_view n = IsoName(*d.entry);
        name.assign(n.begin(), n.end());
      } else {
        name = JolietBytes(JolietName(*d.entry));
      }
      const uint32_t extent = iso ? d.isoExtent : d.jolietExtent;
      const uint32_t parentNumber = di == 0 ? 1 : (iso ? dirs[d.parent].isoNumber : dirs[d.parent].jolietNumber);
      t[0] = static_cast<uint8_t>(name.size());
      t[1] = 0;
      if (bigEndian) {
        b::Put32Be(t + 2, extent);
        b::Put16Be(t + 6, static_cast<uint16_t>(parentNumber));
      } else {
        b::Put32(t + 2, extent);
        b::Put16(t + 6, static_cast<uint16_t>(parentNumber));
      }
      std::memcpy(t + 8, name.data(), name.size());
      t += 8 + name.size() + (name.size() % 2);
    }
  };
  if (map.size() != isoPathL) return BuildError::kBrokenTree;
  pathTable(true, false, isoPathSectors);
  pathTable(true, true, isoPathSectors);
  pathTable(false, false, jolietPathSectors);
  pathTable(false, true, jolietPathSectors);

  auto directories = [&](bool iso) {
    for (uint32_t di : iso ? isoPreorder : jolietPreorder) {
      if (Cancelled()) return BuildError::kCancelled;
      const DirNode& d = dirs[di];
      if (map.size() != (iso ? d.isoExtent : d.jolietExtent)) return BuildError::kBrokenTree;
      const uint64_t count = std::max<uint64_t>(1, CeilDiv(iso ? d.isoSize : d.jolietSize, 2048));
      for (uint64_t k = 0; k < count; ++k)
        map.push_back({iso ? sector_kind::kIsoDirectory : sector_kind::kJolietDirectory, di});
    }
    return BuildError::kNone;
  };
  if (BuildError r = directories(true); r != BuildError::kNone) return r;
  if (BuildError r = directories(false); r != BuildError::kNone) return r;

  for (uint32_t di : isoPreorder) {
    if (Cancelled()) return BuildError::kCancelled;
    for (uint32_t k : dirs[di].isoOrder) {
      const TreeEntry* e = &entries[k];
      if (e->node >= 0 || e->size == 0) continue;
      if (map.size() != e->start) return BuildError::kBrokenTree;
      runStarts.push_back(e->start);
      if (e->from == kFromSourceVolume) {
        // Runs of at most 32 KiB whose source sectors continue from the entry's start sector.
        const uint64_t count = CeilDiv(e->size, 2048);
        if (count > uint64_t{UINT32_MAX} + 1 - e->ref) return BuildError::kImageTooLarge;
        for (uint64_t k = 0; k < count; ++k) {
          uint32_t word = sector_kind::kSourceSector;
          if ((k + 1) % (kChunkBytes / 2048) == 0 || k + 1 == count) word |= sector_kind::kLastInRun;
          map.push_back({word, static_cast<uint32_t>(e->ref + k)});
        }
        continue;
      }
      uint32_t hostRef = 0;
      if (e->from == kFromHostFile) {
        const std::string& path = hostPaths[e->ref];
        hostRef = pool.Append(4 + path.size() + 1);
        std::memcpy(pool.data() + hostRef + 4, path.data(), path.size());
      }
      uint64_t left = e->size;
      bool first = true;
      while (left > 0) {
        uint32_t ref = hostRef;
        if (e->from == kFromItem) {
          ref = pool.Append(4);
          b::Put32(pool.data() + ref, e->ref + 1);
        }
        const uint64_t chunk = std::min<uint64_t>(left, kChunkBytes);
        for (uint64_t done = 0; done < chunk; done += 2048) {
          const uint32_t bytes = static_cast<uint32_t>(std::min<uint64_t>(2048, chunk - done));
          uint32_t word = (first ? sector_kind::kItemFirst : sector_kind::kItemNext) | bytes;
          if (left - done <= 2048) word |= sector_kind::kLastInRun;
          map.push_back({word, ref});
          first = false;
        }
        left -= chunk;
      }
    }
  }
  if (map.size() != closingAnchor) return BuildError::kBrokenTree;
  b::WriteAnchor(at(sectors(1)), closingAnchor);
  return BuildError::kNone;
}

void ImageBuilder::Impl::MakeDirectorySector(bool iso, uint32_t di, uint32_t k, uint8_t* dst) const {
  const DirNode& d = dirs[di];
  const DirNode& parent = dirs[d.parent];
  const std::vector<RecordStart>& starts = iso ? isoStarts : jolietStarts;
  const uint32_t size = iso ? d.isoSize : d.jolietSize;
  if (uint64_t{k} * 2048 >= size) return;
  const RecordStart first = starts[(iso ? d.isoStartAt : d.jolietStartAt) + k];
  const uint64_t from = uint64_t{k} * 2048;
  RecordPlacer place(from);
  const uint8_t dotName = 0, dotDotName = 1;
  ForEachRecord(d, iso, first.pos, first.at, [&](uint32_t pos, uint64_t r, size_t length) {
    const uint64_t where = place.Place(length);
    if (where >= from + 2048) return false;
    uint8_t* at = dst + (where - from);
    if (pos < 2) {
      const DirNode& x = pos == 0 ? d : parent;
      b::WriteDirectoryRecord(at, iso ? x.isoExtent : x.jolietExtent, RoundSector(iso ? x.isoSize : x.jolietSize),
                              d.entry->date, 2, pos == 0 ? &dotName : &dotDotName, 1);
      return true;
    }
    const TreeEntry& e = entries[(iso ? d.isoOrder : d.jolietOrder)[pos - 2]];
    uint8_t jname[2 * kJolietNameLimit];
    const uint8_t* name = reinterpret_cast<const uint8_t*>(IsoName(e).data());
    size_t n = e.isoLength;
    if (!iso) {
      const std::u16string_view j = JolietName(e);
      for (size_t i = 0; i < j.size(); ++i) b::Put16Be(jname + 2 * i, j[i]);
      name = jname;
      n = 2 * j.size();
    }
    if (e.node >= 0) {
      const DirNode& c = dirs[e.node];
      b::WriteDirectoryRecord(at, iso ? c.isoExtent : c.jolietExtent, RoundSector(iso ? c.isoSize : c.jolietSize),
                              e.date, 2, name, n);
      return true;
    }
    const uint64_t records = IsoExtentCount(e.size);
    const uint64_t offset = r * b::kMaxIsoExtentBytes;
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(e.size - offset, b::kMaxIsoExtentBytes));
    const uint32_t ext = e.size == 0 ? 0 : e.start + static_cast<uint32_t>(offset / 2048);
    b::WriteDirectoryRecord(at, ext, len, e.date, r + 1 < records ? 0x80 : 0, name, n);
    return true;
  });
}

void ImageBuilder::Impl::MakeFidSector(uint32_t di, uint32_t k, uint8_t* dst) const {
  const DirNode& d = dirs[di];
  const uint64_t from = uint64_t{k} * 2048;
  if (from >= d.streamBytes) return;
  const RecordStart first = fidStarts[d.fidStartAt + k];
  // The first record may begin in an earlier sector and the last run into the next one.
  uint8_t run[4096] = {};
  const uint32_t p = b::kPartitionStart;
  const uint32_t firstBlock = d.feSector + 1 - p;
  uint64_t pos = first.at;
  for (uint32_t i = first.pos; i <= d.jolietOrder.size() && pos < from + 2048; ++i) {
    const TreeEntry* e = i == 0 ? nullptr : &entries[d.jolietOrder[i - 1]];
    const std::u16string_view name = e == nullptr ? std::u16string_view() : JolietName(*e);
    if (pos - first.at + b::FidLength(name, e == nullptr) > sizeof run) return;
    uint8_t* at = run + (pos - first.at);
    const auto block = firstBlock + static_cast<uint32_t>(pos / 2048);
    if (e == nullptr) {
      const DirNode& parent = dirs[d.parent];
      pos += b::WriteFid(at, block, 8, name, parent.feSector - p, d.parent == 0 ? 0 : parent.feSector);
    } else {
      const uint32_t target = e->node >= 0 ? dirs[e->node].feSector : e->feSector;
      pos += b::WriteFid(at, block, e->node >= 0 ? 2 : 0, name, target - p, target);
    }
  }
  std::memcpy(dst, run + (from - first.at), static_cast<size_t>(std::min<uint64_t>(2048, d.streamBytes - from)));
}

ImageBuilder::ImageBuilder(ItemDataSource* source, std::function<BuildClock()> clock) : impl_(new Impl) {
  impl_->source = source;
  impl_->now = clock ? clock() : SystemBuildClock();
  impl_->codePage = platform::AnsiCodePage();
  b::MakeDate7(impl_->now.unixSeconds, impl_->buildDate);
  impl_->dirs.emplace_back();
  TreeEntry& root = impl_->entries.emplace_back();  // the root's entry: empty name, no date
  root.node = 0;
  impl_->dirs[0].entry = &root;
}

ImageBuilder::~ImageBuilder() = default;

void ImageBuilder::SetItemDataSource(ItemDataSource* source) {
  impl_->source = source;
}

void ImageBuilder::SetVolumeIdentifier(std::u16string_view name) {
  impl_->volumeId = std::u16string(name.substr(0, 512));
}

void ImageBuilder::SetCancelFlag(const std::atomic<bool>* cancel) {
  impl_->cancel = cancel;
}

TreeEntry* ImageBuilder::AddItem(std::u16string_view path, bool isDirectory, uint64_t size,
                                 std::optional<uint64_t> fileTime, uint32_t itemIndex) {
  // Item index + 1 is the reference in the map; the largest index has no reference.
  if (!isDirectory && itemIndex == 0xFFFFFFFF) return nullptr;
  try {
    return impl_->Add(path, isDirectory, size, fileTime, kFromItem, itemIndex);
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {  // the name pool is full
    return nullptr;
  }
}

TreeEntry* ImageBuilder::RootEntry() {
  return impl_->dirs[0].entry;
}

TreeEntry* ImageBuilder::AddSourceEntry(TreeEntry* parent, std::u16string_view name, bool isDirectory, uint64_t size,
                                        std::optional<int64_t> unixSeconds, uint32_t sourceStart) {
  Impl& m = *impl_;
  if (m.used || parent == nullptr || parent->node < 0 || name.empty()) return nullptr;
  try {
    std::u16string n(name);
    for (char16_t& c : n)
      if (c == 0 || c == u'/') c = u'_';
    if (n == u"." || n == u"..") n = u"__";
    uint8_t date[7] = {};
    if (unixSeconds) b::MakeDate7(*unixSeconds, date);
    const auto dir = static_cast<uint32_t>(parent->node);
    if (isDirectory) return m.dirs[m.NewDirectory(dir, n, date)].entry;
    TreeEntry* e = m.NewEntry(dir, n);
    e->size = size;
    e->ref = sourceStart;
    e->from = kFromSourceVolume;
    std::memcpy(e->date, date, 7);
    return e;
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

TreeEntry* ImageBuilder::AddFileItem(std::u16string_view path, uint64_t size, std::optional<uint64_t> fileTime,
                                     const std::string& hostPath) {
  if (hostPath.empty() || hostPath.find('\0') != std::string::npos) return nullptr;
  try {
    impl_->hostPaths.push_back(hostPath);
    TreeEntry* e =
        impl_->Add(path, false, size, fileTime, kFromHostFile, static_cast<uint32_t>(impl_->hostPaths.size() - 1));
    if (e == nullptr) impl_->hostPaths.pop_back();
    return e;
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

BuildError ImageBuilder::Build() {
  Impl& m = *impl_;
  if (m.used) return error_ = BuildError::kNotBuilt;
  m.used = true;
  try {
    BuildError r = m.NameAll();
    if (r == BuildError::kNone) {
      m.OrderAll();
      r = m.Cancelled() ? BuildError::kCancelled : m.NumberPathTables();
    }
    if (r == BuildError::kNone) r = m.SizeAll();
    if (r == BuildError::kNone) r = m.PlaceAll();
    if (r == BuildError::kNone) r = m.Emit();
    error_ = r;
  } catch (const std::bad_alloc&) {
    error_ = BuildError::kOutOfMemory;
  } catch (const std::length_error&) {
    error_ = BuildError::kImageTooLarge;
  }
  // Reads need the map, the pool, the data starts, and the entries, names and orders that the
  // directory sectors are made of.
  m.dirLookup.clear();
  m.hostPaths.clear();
  m.isoPreorder.clear();
  m.jolietPreorder.clear();
  m.isoPathOrder.clear();
  m.jolietPathOrder.clear();
  for (DirNode& d : m.dirs) {
    d.children = d.isoChildren = d.jolietChildren = d.entries = std::vector<uint32_t>();
  }
  if (error_ != BuildError::kNone) {
    m.entries.clear();
    m.entries.shrink_to_fit();
    m.names.Release();
    m.dirs.clear();
    m.dirs.shrink_to_fit();
    m.isoStarts.clear();
    m.jolietStarts.clear();
    m.fidStarts.clear();
    m.map.clear();
    m.map.shrink_to_fit();
    m.pool.Release();
    m.runStarts.clear();
    return error_;
  }
  m.built = true;
  return error_;
}

uint32_t ImageBuilder::SectorCount() const {
  return impl_->built ? impl_->sectorCount : 0;
}

const std::vector<SectorRecord>& ImageBuilder::Map() const {
  return impl_->map;
}

const uint8_t* ImageBuilder::PoolAt(uint32_t offset, uint32_t length) const {
  if (uint64_t{offset} + length > impl_->pool.size()) return nullptr;
  return impl_->pool.data() + offset;
}

size_t ImageBuilder::MemoryUsed() const {
  const Impl& m = *impl_;
  size_t orders = 0;
  for (const DirNode& d : m.dirs) orders += (d.isoOrder.capacity() + d.jolietOrder.capacity()) * sizeof(uint32_t);
  return m.map.capacity() * sizeof(SectorRecord) + static_cast<size_t>(m.pool.size()) +
         m.runStarts.capacity() * sizeof(uint32_t) + m.entries.size() * sizeof(TreeEntry) + m.names.size() +
         m.dirs.capacity() * sizeof(DirNode) + orders +
         (m.isoStarts.capacity() + m.jolietStarts.capacity() + m.fidStarts.capacity()) * sizeof(RecordStart);
}

uint32_t ImageBuilder::ReadSectors(uint32_t first, uint32_t count, uint8_t* buffer) {
  Impl& m = *impl_;
  std::memset(buffer, 0, size_t{count} * 2048);
  if (!m.built) return 0;
  const uint64_t total = m.map.size();
  uint32_t i = 0;
  while (i < count) {
    const uint64_t s = uint64_t{first} + i;
    if (s >= total) {
      ++i;
      continue;
    }
    const SectorRecord rec = m.map[s];
    const uint32_t kind = rec.word & sector_kind::kMask;
    uint8_t* dst = buffer + size_t{i} * 2048;
    if (kind == sector_kind::kMetadata) {
      if (uint64_t{rec.value} + 2048 <= m.pool.size()) std::memcpy(dst, m.pool.data() + rec.value, 2048);
      ++i;
    } else if (kind == sector_kind::kIsoDirectory || kind == sector_kind::kJolietDirectory) {
      if (rec.value < m.dirs.size()) {
        const bool iso = kind == sector_kind::kIsoDirectory;
        const DirNode& d = m.dirs[rec.value];
        const uint32_t extent = iso ? d.isoExtent : d.jolietExtent;
        if (s >= extent) m.MakeDirectorySector(iso, rec.value, static_cast<uint32_t>(s - extent), dst);
      }
      ++i;
    } else if (kind == sector_kind::kFidRun) {
      if (rec.value < m.dirs.size() && s > m.dirs[rec.value].feSector)
        m.MakeFidSector(rec.value, static_cast<uint32_t>(s - m.dirs[rec.value].feSector - 1), dst);
      ++i;
    } else if (kind == sector_kind::kFileEntry) {
      if (rec.value < m.entries.size() && m.entries[rec.value].node < 0) {
        const TreeEntry& e = m.entries[rec.value];
        b::FileEntryFacts fe;
        fe.block = static_cast<uint32_t>(s) - b::kPartitionStart;
        fe.length = e.size;
        fe.firstDataBlock = e.size == 0 ? 0 : e.start - b::kPartitionStart;
        fe.date = e.date;
        fe.uniqueId = s;
        b::WriteFileEntry(dst, fe);
      }
      ++i;
    } else if (kind == sector_kind::kSourceSector) {
      uint32_t j = i + 1;
      while (j < count && s + (j - i) < total && (m.map[s + (j - i)].word & sector_kind::kMask) == kind &&
             m.map[s + (j - i)].value == rec.value + (j - i))
        ++j;
      if (m.source == nullptr || !m.source->ReadSourceSectors(rec.value, j - i, dst)) {
        error_ = BuildError::kSourceRead;
        return i;
      }
      i = j;
    } else if (kind == sector_kind::kItemFirst || kind == sector_kind::kItemNext) {
      if (uint64_t{rec.value} + 4 > m.pool.size()) return i;
      uint32_t ref;
      std::memcpy(&ref, m.pool.data() + rec.value, 4);
      const auto run = std::upper_bound(m.runStarts.begin(), m.runStarts.end(), static_cast<uint32_t>(s));
      if (run == m.runStarts.begin()) return i;
      const uint64_t offset = (s - *(run - 1)) * 2048;
      size_t bytes = rec.word & sector_kind::kByteCountMask;
      bool last = (rec.word & sector_kind::kLastInRun) != 0;
      uint32_t j = i + 1;
      while (!last && j < count && s + (j - i) < total &&
             (m.map[s + (j - i)].word & sector_kind::kMask) == sector_kind::kItemNext) {
        bytes += m.map[s + (j - i)].word & sector_kind::kByteCountMask;
        last = (m.map[s + (j - i)].word & sector_kind::kLastInRun) != 0;
        ++j;
      }
      bool ok;
      if (ref != 0) {
        ok = m.source != nullptr && m.source->ReadItem(ref - 1, offset, dst, bytes);
      } else {
        const char* path = reinterpret_cast<const char*>(m.pool.data() + rec.value + 4);
        const size_t room = m.pool.size() - rec.value - 4;
        ok = std::memchr(path, 0, room) != nullptr && ReadHostFile(path, offset, dst, bytes);
      }
      if (!ok) return i;
      i = j;
    } else {
      ++i;
    }
  }
  return count;
}

}  // namespace kv::service
