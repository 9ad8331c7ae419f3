#include "service/marfs_volume.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_set>
#include <vector>

#include "formats/mzp/marfs_format.h"
#include "formats/raw_file.h"
#include "platform/wide_text.h"

namespace kv::service {
namespace {

constexpr size_t kPasswordLimit = 256;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint64_t Le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::u16string Utf16At(const uint8_t* p, size_t units) {
  std::u16string s(units, u'\0');
  for (size_t i = 0; i < units; ++i) s[i] = static_cast<char16_t>(Le16(p + 2 * i));
  return s;
}

}  // namespace

const char* MzpOpenResultText(MzpOpenResult result) {
  switch (result) {
    case MzpOpenResult::kOk:
      return "ok";
    case MzpOpenResult::kCannotOpenFile:
      return "the file cannot be opened";
    case MzpOpenResult::kNotMzp:
      return "not an MZP container holding a MARFS volume";
    case MzpOpenResult::kBroken:
      return "the MZP container is damaged";
    case MzpOpenResult::kUnsupportedVersion:
      return "unsupported MZP container version";
    case MzpOpenResult::kPasswordNeeded:
      return "the MZP container is encrypted: give its password";
    case MzpOpenResult::kWrongPassword:
      return "wrong password";
    case MzpOpenResult::kNoMemory:
      return "out of memory";
  }
  return "unknown";
}

std::optional<int64_t> MarfsTimeToUnix(const uint8_t time[12]) {
  const uint16_t typeAndZone = Le16(time);
  const uint16_t year = Le16(time + 2);
  const uint8_t month = time[4], day = time[5], hour = time[6], minute = time[7], second = time[8];
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  int zone = typeAndZone & 0xFFF;
  if (zone & 0x800) zone -= 0x1000;
  // UDF: -2047 means no zone was recorded.
  if ((typeAndZone >> 12) == mzp::kMarfsTimeTypeZone && zone != -2047 && zone >= -1440 && zone <= 1440)
    return static_cast<int64_t>(timegm(&t)) - int64_t{zone} * 60;
  t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t));
}

std::unique_ptr<MzpVolumeSource> MzpVolumeSource::Open(const std::string& path, std::string_view password,
                                                       ImageBuilder& builder, MzpNotices* notices,
                                                       MzpOpenResult* result, const MarfsLimits& limits) {
  std::unique_ptr<MzpVolumeSource> s(new (std::nothrow) MzpVolumeSource);
  if (!s) {
    *result = MzpOpenResult::kNoMemory;
    return nullptr;
  }
  s->path_ = path;
  s->notices_ = notices;
  int error = 0;
  auto raw = OpenPosixFile(path, &error);
  if (!raw) {
    *result = MzpOpenResult::kCannotOpenFile;
    return nullptr;
  }
  const int64_t size = raw->Size();
  s->file_ = std::make_unique<ImageFile>(std::move(raw));
  s->container_ = std::make_unique<mzp::MzpContainer>();
  mzp::MzpOpenOptions options;
  options.password = password.substr(0, kPasswordLimit);
  const std::string folder = path.find('/') == std::string::npos ? std::string() : path.substr(0, path.rfind('/') + 1);
  options.openVolume = [folder](const std::u16string& name) {
    std::string volume = platform::Utf16ToUtf8(name);
    if (volume.find('/') == std::string::npos) volume = folder + volume;
    int e = 0;
    return OpenPosixFile(volume, &e);
  };
  // Later volumes are named after the first one (matched without regard to case) in its folder.
  const std::u16string name = platform::Utf8ToUtf16(path.substr(folder.size()));
  switch (s->container_->Open(s->file_.get(), size, name, options)) {
    case mzp::MzpStatus::kOk:
      break;
    case mzp::MzpStatus::kNotMzp:
      *result = MzpOpenResult::kNotMzp;
      return nullptr;
    case mzp::MzpStatus::kUnsupportedVersion:
      *result = MzpOpenResult::kUnsupportedVersion;
      return nullptr;
    case mzp::MzpStatus::kPasswordNeeded:
      *result = MzpOpenResult::kPasswordNeeded;
      return nullptr;
    case mzp::MzpStatus::kWrongPassword:
      *result = MzpOpenResult::kWrongPassword;
      return nullptr;
    case mzp::MzpStatus::kNoMemory:
      *result = MzpOpenResult::kNoMemory;
      return nullptr;
    case mzp::MzpStatus::kBroken:
      *result = MzpOpenResult::kBroken;
      return nullptr;
  }
  mzp::MzpContainer* c = s->container_.get();
  const MarfsSectorReader read = [c](uint32_t sector, uint8_t* out) { return c->ReadSector(sector, out) == 0; };
  try {
    uint8_t sector0[2048];
    if (!read(0, sector0)) {
      *result = MzpOpenResult::kBroken;
      return nullptr;
    }
    if (!ReadMarfsVolume(read, c->sectorCount(), builder, notices, path, limits, &s->walk_)) {
      *result = MzpOpenResult::kNotMzp;
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    *result = MzpOpenResult::kNoMemory;
    return nullptr;
  }
  builder.SetItemDataSource(s.get());
  *result = MzpOpenResult::kOk;
  return s;
}

bool ReadMarfsVolume(const MarfsSectorReader& read, uint32_t sectorCount, ImageBuilder& builder, MzpNotices* notices,
                     const std::string& where, const MarfsLimits& limits, MarfsWalk* walk) {
  uint8_t sector0[2048];
  if (sectorCount == 0 || !read(0, sector0)) return false;
  if (std::memcmp(sector0, mzp::kMarfsMagic, mzp::kMarfsMagicCompared) != 0) return false;
  size_t units = 0;
  while (units < mzp::kMarfsVolumeNameMax && Le16(sector0 + mzp::kMarfsVolumeNameOffset + 2 * units) != 0) ++units;
  builder.SetVolumeIdentifier(Utf16At(sector0 + mzp::kMarfsVolumeNameOffset, units));
  const uint8_t* rootRecord = sector0 + mzp::kMarfsRootRecordOffset;
  struct Pending {
    TreeEntry* entry;
    uint32_t start;
    uint64_t size;
    uint32_t depth;
    std::string path;
  };
  const uint32_t sectors = sectorCount;
  const auto skip = [&](const std::string& at, const std::string& what) {
    ++walk->skipped;
    if (notices) notices->Skipped(where + ":" + at, what);
  };
  // Every directory stream is read once: a record that names a stream already taken (its own,
  // an ancestor's) is a loop and is skipped.
  std::unordered_set<uint32_t> seen;
  std::vector<Pending> work;
  work.push_back({builder.RootEntry(), Le32(rootRecord + 2), Le64(rootRecord + 10), 0, "/"});
  seen.insert(work.back().start);
  uint64_t totalBytes = 0;
  std::vector<uint8_t> stream;
  while (!work.empty()) {
    Pending dir = std::move(work.back());
    work.pop_back();
    const uint64_t whole = dir.size / 2048;
    if (dir.size > limits.maxDirectoryBytes || totalBytes + dir.size > limits.maxTotalDirectoryBytes) {
      skip(dir.path, "directory stream too large; its entries are left out");
      continue;
    }
    if (whole > sectors || dir.start > sectors - whole) {
      skip(dir.path, "directory stream past the end of the volume; its entries are left out");
      continue;
    }
    totalBytes += dir.size;
    stream.assign(dir.size, 0);
    bool complete = true;
    for (uint64_t i = 0; i < whole && complete; ++i)
      complete = read(static_cast<uint32_t>(dir.start + i), stream.data() + i * 2048);
    if (!complete) {
      skip(dir.path, "directory stream cannot be read; its entries are left out");
      continue;
    }
    // Only whole sectors are read: records in a partial last sector are not seen.
    const uint64_t size = whole * 2048;
    for (uint64_t at = 0; at < size;) {
      const uint8_t* r = stream.data() + at;
      if (size - at < 2) break;
      const uint16_t length = Le16(r);
      if (length == 0 || length > size - at) break;
      at += length;
      if (length < sizeof(mzp::MarfsRecord)) {
        skip(dir.path, "record shorter than its fixed part");
        continue;
      }
      const uint16_t nameBytes = Le16(r + offsetof(mzp::MarfsRecord, nameLength));
      if (sizeof(mzp::MarfsRecord) + nameBytes > length) {
        skip(dir.path, "record whose name runs past it");
        continue;
      }
      if (nameBytes % 2 != 0 || nameBytes == 0) {
        skip(dir.path, "record with a name of odd or zero byte length");
        continue;
      }
      const std::u16string name = Utf16At(r + sizeof(mzp::MarfsRecord), nameBytes / 2);
      const std::string entryPath = dir.path + platform::Utf16ToUtf8(name);
      const uint32_t start = Le32(r + offsetof(mzp::MarfsRecord, start));
      const uint64_t fileSize = Le64(r + offsetof(mzp::MarfsRecord, size));
      const bool directory = (r[offsetof(mzp::MarfsRecord, flags)] & mzp::kMarfsDirectory) != 0;
      const std::optional<int64_t> time = MarfsTimeToUnix(r + offsetof(mzp::MarfsRecord, time));
      if (walk->entries >= limits.maxEntries) {
        skip(entryPath, "too many entries; the rest are left out");
        return true;
      }
      if (directory) {
        if (dir.depth + 1 > limits.maxDepth) {
          skip(entryPath, "directory nested too deep");
          continue;
        }
        if (!seen.insert(start).second) {
          skip(entryPath, "directory whose stream is already part of the tree (a loop)");
          continue;
        }
      } else if (fileSize > 0) {
        const uint64_t need = (fileSize - 1) / 2048 + 1;
        if (need > sectors || start > sectors - need) {
          skip(entryPath, "file data past the end of the volume");
          continue;
        }
      }
      TreeEntry* e = builder.AddSourceEntry(dir.entry, name, directory, directory ? 0 : fileSize, time, start);
      if (!e) throw std::bad_alloc();
      ++walk->entries;
      if (directory) work.push_back({e, start, fileSize, dir.depth + 1, entryPath + "/"});
    }
  }
  return true;
}

bool MzpVolumeSource::ReadSourceSectors(uint32_t first, uint32_t count, void* dst) {
  auto* out = static_cast<uint8_t*>(dst);
  for (uint32_t i = 0; i < count; ++i) {
    if (container_->ReadSector(first + i, out + size_t{i} * 2048) != 0) {
      if (notices_) notices_->ReadFailed(path_, first + i);
      return false;
    }
  }
  return true;
}

}  // namespace kv::service
