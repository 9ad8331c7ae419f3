#include "tools/mzppack/marfs_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/wide_text.h"

namespace kv::mzp {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxDepth = 1000;
constexpr uint64_t kMaxMetadata = uint64_t{1} << 31;

struct Entry {
  std::u16string name;
  bool directory = false;
  uint64_t size = 0;
  int64_t time = 0;
  size_t child = 0;  // directory index
  size_t file = 0;   // file index
};

struct Dir {
  fs::path path;
  size_t depth = 0;
  int64_t time = 0;
  std::vector<Entry> entries;
  uint64_t start = 0, size = 0;
};

int64_t ModifiedSeconds(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtime);
}

uint64_t RecordLength(const Entry& e) {
  return sizeof(MarfsRecord) + e.name.size() * 2;
}

void PutRecord(uint8_t* at, uint16_t length, uint32_t start, uint64_t size, bool directory, int64_t time,
               const std::u16string& name) {
  MarfsRecord r{};
  r.length = length;
  r.start = start;
  r.size = size;
  r.flags = directory ? kMarfsDirectory : 0;
  r.time = MarfsTimeOf(time);
  r.nameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(at, &r, sizeof r);
  for (size_t i = 0; i < name.size(); ++i) {
    at[sizeof r + 2 * i] = static_cast<uint8_t>(name[i]);
    at[sizeof r + 2 * i + 1] = static_cast<uint8_t>(name[i] >> 8);
  }
}

}  // namespace

MarfsTime MarfsTimeOf(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  localtime_r(&t, &local);
  const int zone = static_cast<int>(local.tm_gmtoff / 60);
  MarfsTime m{};
  m.typeAndZone = static_cast<uint16_t>(kMarfsTimeTypeZone << 12 | (static_cast<unsigned>(zone) & 0xFFF));
  m.year = static_cast<uint16_t>(local.tm_year + 1900);
  m.month = static_cast<uint8_t>(local.tm_mon + 1);
  m.day = static_cast<uint8_t>(local.tm_mday);
  m.hour = static_cast<uint8_t>(local.tm_hour);
  m.minute = static_cast<uint8_t>(local.tm_min);
  m.second = static_cast<uint8_t>(local.tm_sec);
  return m;
}

MarfsVolumeWriter::~MarfsVolumeWriter() {
  if (fd_ >= 0) close(fd_);
}

bool MarfsVolumeWriter::Layout(const std::string& folder, const std::u16string& volumeName,
                               std::vector<std::string>* skipped, std::string* error) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "not a folder";
    return false;
  }
  std::vector<Dir> dirs(1);
  dirs[0].path = folder;
  dirs[0].time = ModifiedSeconds(st);
  std::vector<File> files;
  // Breadth first, so that no recursion depends on the folder's depth.
  for (size_t d = 0; d < dirs.size(); ++d) {
    std::error_code ec;
    std::vector<fs::path> children;
    for (fs::directory_iterator it(dirs[d].path, ec), end; !ec && it != end; it.increment(ec))
      children.push_back(it->path());
    if (ec) {
      *error = dirs[d].path.string() + ": " + ec.message();
      return false;
    }
    std::sort(children.begin(), children.end());
    for (const fs::path& p : children) {
      struct stat cs;
      if (lstat(p.c_str(), &cs) != 0 || !(S_ISREG(cs.st_mode) || S_ISDIR(cs.st_mode))) {
        skipped->push_back(p.string());
        continue;
      }
      Entry e;
      e.name = platform::Utf8ToUtf16(p.filename().string());
      if (e.name.size() * 2 + sizeof(MarfsRecord) > UINT16_MAX) {
        skipped->push_back(p.string());
        continue;
      }
      e.time = ModifiedSeconds(cs);
      if (S_ISDIR(cs.st_mode)) {
        if (dirs[d].depth + 1 > kMaxDepth) {
          skipped->push_back(p.string());
          continue;
        }
        e.directory = true;
        e.child = dirs.size();
        Dir child;
        child.path = p;
        child.depth = dirs[d].depth + 1;
        child.time = e.time;
        dirs.push_back(std::move(child));
      } else {
        e.size = static_cast<uint64_t>(cs.st_size);
        e.file = files.size();
        files.push_back({0, e.size, p.string()});
      }
      dirs[d].entries.push_back(std::move(e));
    }
  }
  // Directory streams follow sector 0, each a whole number of sectors, so that a reader that
  // takes whole sectors sees every record.
  uint64_t next = 1;
  for (Dir& dir : dirs) {
    uint64_t bytes = 0;
    for (const Entry& e : dir.entries) bytes += RecordLength(e);
    dir.size = (bytes + 2047) / 2048 * 2048;
    dir.start = dir.size == 0 ? 0 : next;
    next += dir.size / 2048;
  }
  if (next * 2048 > kMaxMetadata) {
    *error = "too many files for one volume";
    return false;
  }
  const uint64_t metadataSectors = next;
  for (File& f : files) {
    f.start = f.size == 0 ? 0 : next;
    next += (f.size + 2047) / 2048;
    dataBytes_ += f.size;
  }
  if (next > UINT32_MAX) {
    *error = "the folder is too large for a volume of 2^32 sectors";
    return false;
  }
  metadata_.assign(metadataSectors * 2048, 0);
  std::memcpy(metadata_.data(), kMarfsMagic, sizeof kMarfsMagic);
  const std::u16string name =
      (volumeName.empty() ? platform::Utf8ToUtf16(fs::path(folder).lexically_normal().filename().string()) : volumeName)
          .substr(0, kMarfsVolumeNameMax - 1);
  PutRecord(metadata_.data() + kMarfsRootRecordOffset, kMarfsRootRecordSize, static_cast<uint32_t>(dirs[0].start),
            dirs[0].size, true, dirs[0].time, u"");
  std::memset(metadata_.data() + kMarfsRootRecordOffset + kMarfsRootRecordSize, 0,
              kMarfsVolumeNameOffset - kMarfsRootRecordOffset - kMarfsRootRecordSize);
  for (size_t i = 0; i < name.size(); ++i) {
    metadata_[kMarfsVolumeNameOffset + 2 * i] = static_cast<uint8_t>(name[i]);
    metadata_[kMarfsVolumeNameOffset + 2 * i + 1] = static_cast<uint8_t>(name[i] >> 8);
  }
  for (const Dir& dir : dirs) {
    uint8_t* at = metadata_.data() + dir.start * 2048;
    for (const Entry& e : dir.entries) {
      const auto length = static_cast<uint16_t>(RecordLength(e));
      if (e.directory)
        PutRecord(at, length, static_cast<uint32_t>(dirs[e.child].start), dirs[e.child].size, true, e.time, e.name);
      else
        PutRecord(at, length, static_cast<uint32_t>(files[e.file].start), e.size, false, e.time, e.name);
      at += length;
    }
  }
  files_.clear();
  for (File& f : files)
    if (f.size > 0) files_.push_back(std::move(f));
  sectors_ = next;
  return true;
}

bool MarfsVolumeWriter::Read(uint64_t first, uint32_t count, uint8_t* out, std::string* error) {
  std::memset(out, 0, size_t{count} * 2048);
  const uint64_t metadataSectors = metadata_.size() / 2048;
  for (uint64_t s = first; s < first + count;) {
    uint8_t* dst = out + (s - first) * 2048;
    if (s < metadataSectors) {
      std::memcpy(dst, metadata_.data() + s * 2048, 2048);
      ++s;
      continue;
    }
    auto it = std::upper_bound(files_.begin(), files_.end(), s, [](uint64_t v, const File& f) { return v < f.start; });
    if (it == files_.begin()) {
      ++s;
      continue;
    }
    const size_t index = static_cast<size_t>(it - files_.begin() - 1);
    const File& f = files_[index];
    const uint64_t offset = (s - f.start) * 2048;
    if (offset >= f.size) {
      ++s;
      continue;
    }
    if (openFile_ != index) {
      if (fd_ >= 0) close(fd_);
      fd_ = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
      openFile_ = fd_ >= 0 ? index : SIZE_MAX;
      if (fd_ < 0) {
        *error = f.path + ": " + std::strerror(errno);
        return false;
      }
    }
    const uint64_t sectorsLeft = first + count - s;
    const uint64_t want = std::min<uint64_t>(f.size - offset, sectorsLeft * 2048);
    for (uint64_t done = 0; done < want;) {
      const ssize_t n = pread(fd_, dst + done, want - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = f.path + ": the file became shorter while it was read";
        return false;
      }
      done += static_cast<uint64_t>(n);
    }
    s += (want + 2047) / 2048;
  }
  return true;
}

}  // namespace kv::mzp
