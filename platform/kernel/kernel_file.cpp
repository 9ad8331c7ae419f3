// Files opened for reading without intermediate buffering, and NT path translation.
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// Unbuffered handles demand sector-aligned offsets and lengths, whether or not the file system
// took O_DIRECT, so a reader that breaks the rule fails everywhere alike.
constexpr uint32_t kDirectAlignment = 512;

std::atomic<bool> g_useDirectIo{true};

constexpr uint32_t kAheadMax = 1u << 20;
// Read-ahead memory of the whole process: split images open a file per volume, and each volume
// read front to back would keep its buffers until the medium goes.
constexpr int64_t kAheadBudget = int64_t{48} << 20;
std::atomic<int64_t> g_aheadBytes{0};

bool Utf16ToUtf8(const std::u16string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

// Joins the components with '/', dropping empty ones and "."; ".." is refused rather than
// resolved, since a component may be a link.
bool Normalise(const std::string& path, char separator, std::string* out) {
  out->clear();
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find(separator, pos);
    if (next == std::string::npos) next = path.size();
    const std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    *out += "/" + part;
  }
  if (out->empty()) out->push_back('/');
  return true;
}

NTSTATUS StatusFromOpenErrno(int error, const std::string& path) {
  switch (error) {
    case ENOENT: {
      // A missing file in an existing folder is a missing name; a missing folder is a missing path.
      const size_t cut = path.rfind('/');
      const std::string parent = cut == 0 ? "/" : path.substr(0, cut);
      struct stat st {};
      if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return STATUS_OBJECT_NAME_NOT_FOUND;
      return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
    case ELOOP:
      return STATUS_OBJECT_NAME_INVALID;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

void KernelFileUseDirectIo(bool direct) {
  g_useDirectIo.store(direct);
}

bool NtPathToLinux(const std::u16string& ntPath, std::string* out) {
  std::string path;
  if (out == nullptr || !Utf16ToUtf8(ntPath, &path)) return false;
  for (const char* prefix : {"\\??\\", "\\DosDevices\\", "\\GLOBAL??\\"}) {
    if (StartsWithNoCase(path, prefix)) {
      path = path.substr(std::strlen(prefix));
      if (StartsWithNoCase(path, "Global\\")) path = path.substr(7);
      // Network paths are not served.
      if (StartsWithNoCase(path, "UNC\\") || strcasecmp(path.c_str(), "UNC") == 0) return false;
      if (!path.empty() && path[0] == '/') return Normalise(path, '/', out);
      // The system disk C: is the root file system; no other drive letter names a folder here.
      if (path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
          (path.size() == 2 || path[2] == '\\')) {
        return Normalise(path.substr(2), '\\', out);
      }
      return false;
    }
  }
  if (!path.empty() && path[0] == '/') return Normalise(path, '/', out);
  return false;
}

KernelFile::~KernelFile() {
  if (aio_ != 0) syscall(SYS_io_destroy, aio_);
  // Tearing the context down waits for a read-ahead still running, before its buffer goes.
  if (aheadAio_ != 0) syscall(SYS_io_destroy, aheadAio_);
  for (Ahead& a : ahead_) {
    if (a.buffer == nullptr) continue;
    std::free(a.buffer);
    g_aheadBytes.fetch_sub(kAheadMax);
  }
  if (fd_ >= 0) close(fd_);
}

NTSTATUS KernelFile::Open(const std::u16string& ntPath, std::unique_ptr<KernelFile>* file) {
  if (file == nullptr) return STATUS_INVALID_PARAMETER;
  file->reset();
  std::string path;
  if (!NtPathToLinux(ntPath, &path)) return STATUS_OBJECT_NAME_INVALID;
  // O_NONBLOCK keeps a FIFO from blocking the open; only files and block devices are accepted.
  const int base = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  bool direct = g_useDirectIo.load();
  int fd = direct ? open(path.c_str(), base | O_DIRECT) : -1;
  if (!direct || (fd < 0 && errno == EINVAL)) {
    direct = false;
    fd = open(path.c_str(), base);
  }
  if (fd < 0) return StatusFromOpenErrno(errno, path);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return STATUS_UNSUCCESSFUL;
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  int64_t size = st.st_size;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      close(fd);
      return STATUS_UNSUCCESSFUL;
    }
    size = static_cast<int64_t>(bytes);
  } else if (!S_ISREG(st.st_mode)) {
    close(fd);
    return STATUS_INVALID_PARAMETER;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto f = std::unique_ptr<KernelFile>(new KernelFile());
  f->fd_ = fd;
  f->size_ = size;
  f->direct_ = direct;
  f->alignment_ = kDirectAlignment - 1;  // an alignment mask, as Windows reports it
  *file = std::move(f);
  return STATUS_SUCCESS;
}

NTSTATUS KernelFile::Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  if (destination == nullptr || offset % kDirectAlignment != 0 || length % kDirectAlignment != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (offset >= static_cast<uint64_t>(size_)) return STATUS_END_OF_FILE;
  if (length == 0) return STATUS_SUCCESS;
  uint32_t done = 0;
  while (done < length && offset + done < static_cast<uint64_t>(size_)) {
    const ssize_t n =
        pread(fd_, static_cast<uint8_t*>(destination) + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EINVAL ? STATUS_INVALID_PARAMETER : STATUS_IO_DEVICE_ERROR;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  if (returned != nullptr) *returned = done;
  return STATUS_SUCCESS;
}

namespace {
constexpr size_t kMaxPiecesAtOnce = 64;
}  // namespace

bool KernelFile::SetUpAsync() {
  if (aio_ == 0 && !aioFailed_) {
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, kMaxPiecesAtOnce, &context) == 0) {
      aio_ = context;
    } else {
      aioFailed_ = true;  // the system's limit on contexts is reached: one at a time
    }
  }
  return aio_ != 0;
}

void KernelFile::StartAhead(Ahead& a, uint64_t offset, uint32_t length) {
  if (aheadAio_ == 0 && !aheadFailed_) {
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, kAheadSlots, &context) == 0) {
      aheadAio_ = context;
    } else {
      aheadFailed_ = true;
    }
  }
  if (aheadAio_ == 0) return;
  if (a.buffer == nullptr) {
    if (g_aheadBytes.fetch_add(kAheadMax) + kAheadMax > kAheadBudget) {
      g_aheadBytes.fetch_sub(kAheadMax);
      return;
    }
    a.buffer = static_cast<uint8_t*>(std::aligned_alloc(4096, kAheadMax));
    if (a.buffer == nullptr) {
      g_aheadBytes.fetch_sub(kAheadMax);
      return;
    }
  }
  iocb block{};
  block.aio_lio_opcode = IOCB_CMD_PREAD;
  block.aio_fildes = static_cast<uint32_t>(fd_);
  block.aio_buf = reinterpret_cast<uintptr_t>(a.buffer);
  block.aio_nbytes = length;
  block.aio_offset = static_cast<int64_t>(offset);
  block.aio_data = reinterpret_cast<uintptr_t>(&a);
  iocb* list[1] = {&block};
  a.offset = offset;
  a.length = length;
  a.valid = 0;
  long n;
  do {
    n = syscall(SYS_io_submit, aheadAio_, 1L, list);
  } while (n < 0 && errno == EINTR);
  a.pending = n == 1;
}

void KernelFile::ReapAhead(const Ahead* until) {
  // Nothing running, nothing to ask the system about.
  if (std::none_of(std::begin(ahead_), std::end(ahead_), [](const Ahead& a) { return a.pending; })) return;
  while (aheadAio_ != 0 && (until == nullptr || until->pending)) {
    io_event events[kAheadSlots];
    timespec now{};
    const long n = syscall(SYS_io_getevents, aheadAio_, until ? 1L : 0L, static_cast<long>(kAheadSlots), events,
                           until ? nullptr : &now);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && until != nullptr)) {
      // Tearing the context down waits for what it still runs.
      syscall(SYS_io_destroy, aheadAio_);
      aheadAio_ = 0;
      aheadFailed_ = true;
      for (Ahead& a : ahead_) a.pending = false;
      return;
    }
    for (long e = 0; e < n; ++e) {
      Ahead& a = *reinterpret_cast<Ahead*>(static_cast<uintptr_t>(events[e].data));
      a.pending = false;
      a.valid = events[e].res > 0 ? static_cast<uint32_t>(std::min<int64_t>(events[e].res, a.length)) : 0;
    }
    if (until == nullptr) return;
  }
}

void KernelFile::ReadPieces(const Piece* pieces, size_t count, NTSTATUS* statuses, uint32_t* returned) {
  if (!direct_ || count == 0) return ReadTogether(pieces, count, statuses, returned);
  bool run = true;
  for (size_t i = 1; i < count && run; ++i) run = pieces[i].offset == pieces[i - 1].offset + pieces[i - 1].length;
  const uint64_t start = pieces[0].offset;
  const uint64_t end = pieces[count - 1].offset + pieces[count - 1].length;
  const uint64_t lastEnd = lastEnd_;
  lastEnd_ = run ? end : UINT64_MAX;
  // What the read-ahead holds of this call is waited for; what missed runs on.
  ReapAhead(nullptr);
  for (Ahead& a : ahead_)
    if (a.pending && a.offset < end && start < a.offset + a.length) ReapAhead(&a);
  // From the second call in a row that goes on where the last ended, the stretches after it are
  // asked for, each as long as this call, up to kAheadDepth of them; after a jump the window
  // starts again at the end of the call.
  if (run && start == lastEnd && end % kDirectAlignment == 0) {
    const uint64_t length =
        (std::min<uint64_t>(end - start, kAheadMax) + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    if (aheadEnd_ < end || aheadEnd_ > end + kAheadDepth * length) aheadEnd_ = end;
    while (aheadEnd_ < static_cast<uint64_t>(size_) && aheadEnd_ < end + kAheadDepth * length) {
      Ahead* spare = nullptr;
      for (Ahead& a : ahead_)
        if (!a.pending && (a.valid == 0 || !(a.offset < aheadEnd_ && start < a.offset + a.valid))) spare = &a;
      if (spare == nullptr) break;
      StartAhead(*spare, aheadEnd_, static_cast<uint32_t>(length));
      if (!spare->pending) break;
      aheadEnd_ += length;
    }
  }
  // Pieces wholly in a finished read-ahead are copied from it (at the end of the file, as far as
  // the file goes); the rest are read.
  std::vector<Piece> rest;
  std::vector<size_t> restIndex;
  for (size_t i = 0; i < count; ++i) {
    const Piece& p = pieces[i];
    const Ahead* from = nullptr;
    if (p.destination != nullptr && p.length > 0 && p.offset % kDirectAlignment == 0 &&
        p.length % kDirectAlignment == 0) {
      for (const Ahead& a : ahead_) {
        const uint64_t validEnd = a.offset + a.valid;
        const bool reachesEnd = validEnd == static_cast<uint64_t>(size_);
        if (!a.pending && a.valid > 0 && p.offset >= a.offset && p.offset < validEnd &&
            (p.offset + p.length <= validEnd || reachesEnd))
          from = &a;
      }
    }
    if (from == nullptr) {
      rest.push_back(p);
      restIndex.push_back(i);
      continue;
    }
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(p.length, from->offset + from->valid - p.offset));
    std::memcpy(p.destination, from->buffer + (p.offset - from->offset), n);
    statuses[i] = STATUS_SUCCESS;
    returned[i] = n;
  }
  if (rest.empty()) return;
  if (rest.size() == count) return ReadTogether(pieces, count, statuses, returned);
  std::vector<NTSTATUS> restStatuses(rest.size());
  std::vector<uint32_t> restReturned(rest.size());
  ReadTogether(rest.data(), rest.size(), restStatuses.data(), restReturned.data());
  for (size_t k = 0; k < rest.size(); ++k) {
    statuses[restIndex[k]] = restStatuses[k];
    returned[restIndex[k]] = restReturned[k];
  }
}

void KernelFile::ReadTogether(const Piece* pieces, size_t count, NTSTATUS* statuses, uint32_t* returned) {
  size_t done = 0;
  // Through the page cache a submission would read in place, one after the other, all the same.
  if (direct_ && count > 1 && SetUpAsync()) {
    while (done < count && aio_ != 0) {
      const size_t batch = std::min(count - done, kMaxPiecesAtOnce);
      iocb blocks[kMaxPiecesAtOnce] = {};
      iocb* list[kMaxPiecesAtOnce];
      size_t asked = 0;
      for (size_t i = 0; i < batch; ++i) {
        const Piece& p = pieces[done + i];
        // What Read refuses or ends at once is left to it.
        if (p.destination == nullptr || p.offset % kDirectAlignment != 0 || p.length % kDirectAlignment != 0 ||
            p.length == 0 || p.offset >= static_cast<uint64_t>(size_))
          break;
        iocb& b = blocks[i];
        b.aio_data = i;
        b.aio_lio_opcode = IOCB_CMD_PREAD;
        b.aio_fildes = static_cast<uint32_t>(fd_);
        b.aio_buf = reinterpret_cast<uintptr_t>(p.destination);
        b.aio_nbytes = p.length;
        b.aio_offset = static_cast<int64_t>(p.offset);
        list[i] = &b;
        ++asked;
      }
      if (asked == 0) break;
      size_t submitted = 0;
      while (submitted < asked) {
        const long n = syscall(SYS_io_submit, aio_, static_cast<long>(asked - submitted), list + submitted);
        if (n > 0) {
          submitted += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
          break;
        }
      }
      // Every submitted read is waited for: none may write into the caller's memory afterwards.
      int64_t results[kMaxPiecesAtOnce];
      bool reaped[kMaxPiecesAtOnce] = {};
      size_t waiting = submitted;
      while (waiting > 0) {
        io_event events[kMaxPiecesAtOnce];
        const long n = syscall(SYS_io_getevents, aio_, 1L, static_cast<long>(waiting), events, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          // The context cannot be trusted any more; tearing it down waits for what it still runs.
          syscall(SYS_io_destroy, aio_);
          aio_ = 0;
          aioFailed_ = true;
          break;
        }
        for (long e = 0; e < n; ++e) {
          const size_t i = static_cast<size_t>(events[e].data);
          if (i < submitted && !reaped[i]) {
            reaped[i] = true;
            results[i] = events[e].res;
            --waiting;
          }
        }
      }
      for (size_t i = 0; i < submitted; ++i) {
        const Piece& p = pieces[done + i];
        statuses[done + i] = STATUS_IO_DEVICE_ERROR;
        returned[done + i] = 0;
        if (!reaped[i]) continue;
        if (results[i] < 0) {
          statuses[done + i] = results[i] == -EINVAL ? STATUS_INVALID_PARAMETER : STATUS_IO_DEVICE_ERROR;
          continue;
        }
        // A short read before the end goes on as Read would.
        uint32_t got = static_cast<uint32_t>(results[i]);
        uint32_t more = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (got < p.length && p.offset + got < static_cast<uint64_t>(size_) && got % kDirectAlignment == 0) {
          status = Read(p.offset + got, p.length - got, static_cast<uint8_t*>(p.destination) + got, &more);
          if (status == STATUS_END_OF_FILE) status = STATUS_SUCCESS;
        }
        statuses[done + i] = status;
        returned[done + i] = NT_SUCCESS(status) ? got + more : 0;
      }
      done += submitted;
      if (submitted < batch) break;
    }
  }
  for (; done < count; ++done)
    statuses[done] = Read(pieces[done].offset, pieces[done].length, pieces[done].destination, &returned[done]);
}

}  // namespace kv::kernel
