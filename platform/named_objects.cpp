#include "platform/named_objects.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"

namespace kv::platform {

namespace {

constexpr uint32_t kEventMagic = 0x4E564B45;  // "EKVN"
constexpr size_t kMaxMappingSize = size_t(1) << 30;

std::string StripNamespace(const std::string& name) {
  for (const char* prefix : {"Global\\", "Local\\", "\\BaseNamedObjects\\"}) {
    const size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) == 0) return name.substr(n);
  }
  return name;
}

int FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative) {
  return static_cast<int>(
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, relative, nullptr, 0));
}

void FutexWake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Opens or creates the object file and maps `size` bytes of it (0: the file's own size).
uint8_t* MapObject(const std::string& path, size_t size, bool create, mode_t mode, bool* created, size_t* mappedSize,
                   int* error) {
  *created = false;
  int fd = -1;
  if (create) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      *created = true;
      fchmod(fd, mode);  // not narrowed by the umask
    } else if (errno != EEXIST) {
      *error = errno;
      return nullptr;
    }
  }
  if (fd < 0) fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return nullptr;
  }
  if (*created) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      *error = errno;
      close(fd);
      unlink(path.c_str());
      return nullptr;
    }
  } else {
    const size_t have = static_cast<size_t>(st.st_size);
    if (size == 0) size = have;
    if (have < size || size == 0 || size > kMaxMappingSize) {
      *error = EINVAL;
      close(fd);
      return nullptr;
    }
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int mapErrno = errno;
  close(fd);
  if (p == MAP_FAILED) {
    *error = mapErrno;
    if (*created) unlink(path.c_str());
    return nullptr;
  }
  *mappedSize = size;
  return static_cast<uint8_t*>(p);
}

}  // namespace

std::string NamedObjectPath(const std::string& name) {
  const std::string bare = StripNamespace(name);
  if (bare.empty() || bare.size() > 200) return {};
  std::string file;
  for (unsigned char c : bare) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      file += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      file += hex;
    }
  }
  return PlatformPath("objects/" + file);
}

struct NamedEvent::Shared {
  uint32_t magic;
  uint32_t manualReset;
  std::atomic<uint32_t> state;  // 1 signalled
  uint32_t reserved;
};
static_assert(sizeof(std::atomic<uint32_t>) == 4);

NamedEvent::~NamedEvent() {
  if (shared_) munmap(shared_, sizeof(Shared));
  if (created_ && !path_.empty()) unlink(path_.c_str());
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool manualReset, bool initialState, int* error,
                                               mode_t mode) {
  std::unique_ptr<NamedEvent> e(new NamedEvent);
  e->path_ = NamedObjectPath(name);
  if (e->path_.empty()) {
    *error = EINVAL;
    return nullptr;
  }
  size_t mapped = 0;
  uint8_t* p = MapObject(e->path_, sizeof(Shared), true, mode, &e->created_, &mapped, error);
  if (!p) return nullptr;
  e->shared_ = reinterpret_cast<Shared*>(p);
  if (e->created_) {
    e->shared_->manualReset = manualReset ? 1 : 0;
    e->shared_->state.store(initialState ? 1 : 0);
    e->shared_->magic = kEventMagic;
  } else if (e->shared_->magic != kEventMagic) {
    *error = EINVAL;
    return nullptr;
  }
  return e;
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name, int* error) {
  std::unique_ptr<NamedEvent> e(new NamedEvent);
  const std::string path = NamedObjectPath(name);
  if (path.empty()) {
    *error = EINVAL;
    return nullptr;
  }
  size_t mapped = 0;
  bool created = false;
  uint8_t* p = MapObject(path, sizeof(Shared), false, 0, &created, &mapped, error);
  if (!p) return nullptr;
  e->shared_ = reinterpret_cast<Shared*>(p);
  if (e->shared_->magic != kEventMagic) {
    *error = EINVAL;
    return nullptr;
  }
  return e;
}

std::unique_ptr<NamedEvent> NamedEvent::CreateAnonymous(bool manualReset, bool initialState) {
  void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  std::unique_ptr<NamedEvent> e(new NamedEvent);
  e->shared_ = static_cast<Shared*>(p);
  e->shared_->magic = kEventMagic;
  e->shared_->manualReset = manualReset ? 1 : 0;
  e->shared_->state.store(initialState ? 1 : 0);
  return e;
}

void NamedEvent::Set() {
  shared_->state.store(1);
  FutexWake(&shared_->state, shared_->manualReset ? INT_MAX : 1);
}

void NamedEvent::Reset() {
  shared_->state.store(0);
}

bool NamedEvent::Wait(int64_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (shared_->manualReset) {
      if (shared_->state.load() == 1) return true;
    } else {
      uint32_t expected = 1;
      if (shared_->state.compare_exchange_strong(expected, 0)) return true;
    }
    timespec ts{};
    const timespec* tsp = nullptr;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      ts.tv_sec = static_cast<time_t>(left / 1000000000);
      ts.tv_nsec = static_cast<long>(left % 1000000000);
      tsp = &ts;
    }
    FutexWait(&shared_->state, 0, tsp);
  }
}

NamedMapping::~NamedMapping() {
  if (data_) munmap(data_, size_);
  if (created_ && !path_.empty()) unlink(path_.c_str());
}

std::unique_ptr<NamedMapping> NamedMapping::Create(const std::string& name, size_t size, int* error, mode_t mode) {
  if (size == 0 || size > kMaxMappingSize) {
    *error = EINVAL;
    return nullptr;
  }
  std::unique_ptr<NamedMapping> m(new NamedMapping);
  m->path_ = NamedObjectPath(name);
  if (m->path_.empty()) {
    *error = EINVAL;
    return nullptr;
  }
  m->data_ = MapObject(m->path_, size, true, mode, &m->created_, &m->size_, error);
  if (!m->data_) return nullptr;
  return m;
}

std::unique_ptr<NamedMapping> NamedMapping::Open(const std::string& name, int* error) {
  std::unique_ptr<NamedMapping> m(new NamedMapping);
  const std::string path = NamedObjectPath(name);
  if (path.empty()) {
    *error = EINVAL;
    return nullptr;
  }
  bool created = false;
  m->data_ = MapObject(path, 0, false, 0, &created, &m->size_, error);
  if (!m->data_) return nullptr;
  return m;
}

}  // namespace kv::platform
