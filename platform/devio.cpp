#include "platform/devio.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "common/ioctl.h"
#include "platform/devio_protocol.h"
#include "platform/kernel/kernel.h"
#include "platform/paths.h"
#include "platform/wide_text.h"

namespace kv::platform {

namespace {

thread_local LSTATUS tLastError = ERROR_SUCCESS;
thread_local NTSTATUS tLastStatus = STATUS_SUCCESS;

bool Fail(NTSTATUS status) {
  tLastStatus = status;
  tLastError = NtStatusToWin32Error(status);
  return false;
}

bool Succeed() {
  tLastStatus = STATUS_SUCCESS;
  tLastError = ERROR_SUCCESS;
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size) {
    const ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A reply that comes within this long is waited for awake: on an idle machine a thread woken
// from sleep takes some 50 µs to run again, longer than the host takes for a small read from
// the page cache. Only the thread reading a connection's replies waits so.
constexpr auto kAwakeWait = std::chrono::microseconds(150);

// Reads a reply header; a descriptor passed with its first byte lands in *passed (else -1).
bool ReadHeader(int fd, ReplyHeader* header, int* passed) {
  *passed = -1;
  const auto until = std::chrono::steady_clock::now() + kAwakeWait;
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 0) == 0 && std::chrono::steady_clock::now() < until) {
  }
  auto* p = reinterpret_cast<uint8_t*>(header);
  size_t size = sizeof *header;
  while (size) {
    iovec iov{p, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&m); cm != nullptr; cm = CMSG_NXTHDR(&m, cm)) {
      if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int received;
        std::memcpy(&received, CMSG_DATA(cm) + i * sizeof(int), sizeof received);
        if (*passed < 0) {
          *passed = received;
        } else {
          close(received);
        }
      }
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (size != 0 && *passed >= 0) {
    close(*passed);
    *passed = -1;
  }
  return size == 0;
}

// Views of shared memory mapped into this process by replies of the host: address and length.
std::mutex g_viewsMu;
std::map<uint32_t, size_t> g_views;

size_t PageSize() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

#ifndef MAP_32BIT
#define MAP_32BIT 0  // then only the address check below keeps the room under 4 GiB
#endif

// Room below 4 GiB for a view the host may hand over; 0 when none can be reserved.
uint32_t ReserveViewRoom() {
  void* p = mmap(nullptr, kernel::kRequestorViewRoom, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_32BIT, -1, 0);
  if (p == MAP_FAILED) return 0;
  const auto address = reinterpret_cast<uintptr_t>(p);
  if (address + kernel::kRequestorViewRoom > (uint64_t(1) << 32)) {
    munmap(p, kernel::kRequestorViewRoom);
    return 0;
  }
  return static_cast<uint32_t>(address);
}

void* AddressOf(uint32_t address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// Carries out what a reply asks of this address space: map the passed memory file into the
// room, or unmap a view the host had mapped here before. Unused room is given back.
void ApplyViewInstruction(uint32_t room, uint32_t address, int passed) {
  bool roomUsed = false;
  if (passed >= 0) {
    struct stat st {};
    if (room != 0 && address == room && fstat(passed, &st) == 0 && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= kernel::kRequestorViewRoom) {
      const size_t size = static_cast<size_t>(st.st_size);
      if (mmap(AddressOf(room), size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, passed, 0) != MAP_FAILED) {
        roomUsed = true;
        const size_t mapped = (size + PageSize() - 1) / PageSize() * PageSize();
        if (mapped < kernel::kRequestorViewRoom)
          munmap(static_cast<uint8_t*>(AddressOf(room)) + mapped, kernel::kRequestorViewRoom - mapped);
        std::lock_guard<std::mutex> g(g_viewsMu);
        g_views[room] = size;
      }
    }
    close(passed);
  } else if (address != 0 && address != room) {
    std::lock_guard<std::mutex> g(g_viewsMu);
    auto it = g_views.find(address);
    if (it != g_views.end()) {
      munmap(AddressOf(address), (it->second + PageSize() - 1) / PageSize() * PageSize());
      g_views.erase(it);
    }
  }
  if (room != 0 && !roomUsed) munmap(AddressOf(room), kernel::kRequestorViewRoom);
}

}  // namespace

class DeviceConnection;

namespace {

// The connection whose reply mapped a view stays open while the view is mapped: the host knows
// the process is alive while it has a connection, and the driver drops the channel of a process
// that is gone.
std::map<uint32_t, std::shared_ptr<DeviceConnection>> g_viewConnections;

void KeepConnectionWithView(uint32_t room, const std::shared_ptr<DeviceConnection>& connection) {
  std::vector<std::shared_ptr<DeviceConnection>> released;  // closed after the lock
  std::lock_guard<std::mutex> g(g_viewsMu);
  for (auto it = g_viewConnections.begin(); it != g_viewConnections.end();) {
    if (g_views.count(it->first) == 0) {
      released.push_back(std::move(it->second));
      it = g_viewConnections.erase(it);
    } else {
      ++it;
    }
  }
  if (room != 0 && g_views.count(room) != 0) g_viewConnections[room] = connection;
}

bool Discard(int fd, size_t size) {
  uint8_t sink[4096];
  while (size) {
    const size_t n = size < sizeof sink ? size : sizeof sink;
    if (!ReadAll(fd, sink, n)) return false;
    size -= n;
  }
  return true;
}

int ConnectHost() {
  const std::string path = HostSocketPath();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// One socket to the host. Several threads may wait on it at once: whichever finds no reader
// reads the next reply and hands it to its owner (replies come in any order).
class DeviceConnection {
 public:
  explicit DeviceConnection(int fd) : fd_(fd) {}
  ~DeviceConnection() {
    if (region_ != nullptr) munmap(const_cast<uint8_t*>(region_), kRegionSize);
    close(fd_);
  }

  struct Result {
    NTSTATUS status = STATUS_PIPE_BROKEN;
    uint32_t value = 0;
    uint64_t information = 0;
    uint32_t payloadLength = 0;  // bytes delivered into the destination
    int passedFd = -1;           // a descriptor that came with the reply (the caller closes it)
  };

  // Sends one request and waits for its reply; the reply payload lands in `out` (at most
  // `outCapacity` bytes, the rest is dropped).
  Result Call(RequestHeader header, const void* payload, size_t payloadLength, void* out, uint32_t outCapacity) {
    Waiter w;
    w.destination = static_cast<uint8_t*>(out);
    w.capacity = outCapacity;
    std::unique_lock<std::mutex> lk(mu_);
    if (broken_) return w.result;
    header.Magic = kRequestMagic;
    header.RequestId = ++nextId_;
    waiters_[header.RequestId] = &w;
    lk.unlock();
    const std::vector<uint8_t> frame = EncodeRequest(header, payload, payloadLength);
    bool sent;
    {
      std::lock_guard<std::mutex> g(sendMu_);
      sent = WriteAll(fd_, frame.data(), frame.size());
    }
    lk.lock();
    if (!sent && !w.done) {
      // The reader (if any) notices the dead socket and releases everyone else.
      waiters_.erase(header.RequestId);
      w.done = true;
      broken_ = true;
      shutdown(fd_, SHUT_RDWR);
    }
    while (!w.done) {
      if (!readerBusy_) {
        readerBusy_ = true;
        lk.unlock();
        const bool ok = ReadOneFrame();
        lk.lock();
        readerBusy_ = false;
        if (!ok) MarkBroken();
        cv_.notify_all();
      } else {
        cv_.wait(lk);
      }
    }
    return w.result;
  }

  // A range of the region shared with the host for reads, for `length` bytes, first fit in
  // 64 KiB units; the region is set up at the first call. False when the host gives none or all
  // of it is taken by reads in flight or leases.
  bool TakeRange(uint32_t length, uint32_t* offset, uint32_t* units) {
    if (length == 0 || length > kRegionSize || !SetUpRegion()) return false;
    const uint32_t need = (length + kUnit - 1) / kUnit;
    std::lock_guard<std::mutex> g(regionMu_);
    uint32_t run = 0;
    for (uint32_t i = 0; i < kUnits; ++i) {
      run = used_[i] ? 0 : run + 1;
      if (run < need) continue;
      const uint32_t first = i + 1 - need;
      for (uint32_t u = first; u <= i; ++u) used_[u] = true;
      *offset = first * kUnit;
      *units = need;
      return true;
    }
    return false;
  }

  void GiveRange(uint32_t offset, uint32_t units) {
    std::lock_guard<std::mutex> g(regionMu_);
    for (uint32_t u = offset / kUnit; u < offset / kUnit + units && u < kUnits; ++u) used_[u] = false;
  }

  const uint8_t* RegionData() const { return region_; }

  // A read of `length` bytes at `offset` of the device into the region at `rangeOffset`.
  Result ReadShared(uint32_t handle, uint64_t offset, uint32_t length, uint32_t rangeOffset) {
    RequestHeader h{};
    h.Kind = static_cast<uint32_t>(RequestKind::ReadShared);
    h.Handle = handle;
    h.Offset = offset;
    h.OutputLength = length;
    h.Code = rangeOffset;
    return Call(h, nullptr, 0, nullptr, 0);
  }

 private:
  static constexpr uint32_t kRegionSize = kMaxSharedRegion;
  static constexpr uint32_t kUnit = 64u << 10;
  static constexpr uint32_t kUnits = kRegionSize / kUnit;

  bool SetUpRegion() {
    const int state = regionState_.load(std::memory_order_acquire);
    if (state != 0) return state == 1;
    std::lock_guard<std::mutex> g(setupMu_);
    if (regionState_.load() != 0) return regionState_.load() == 1;
    RequestHeader h{};
    h.Kind = static_cast<uint32_t>(RequestKind::ShareMemory);
    h.OutputLength = kRegionSize;
    const Result r = Call(h, nullptr, 0, nullptr, 0);
    struct stat st {};
    void* p = MAP_FAILED;
    if (NT_SUCCESS(r.status) && r.passedFd >= 0 && fstat(r.passedFd, &st) == 0 && st.st_size == kRegionSize)
      p = mmap(nullptr, kRegionSize, PROT_READ, MAP_SHARED, r.passedFd, 0);
    if (r.passedFd >= 0) close(r.passedFd);
    if (p == MAP_FAILED) {
      regionState_.store(2, std::memory_order_release);
      return false;
    }
    region_ = static_cast<const uint8_t*>(p);
    regionState_.store(1, std::memory_order_release);
    return true;
  }

  struct Waiter {
    uint8_t* destination = nullptr;
    uint32_t capacity = 0;
    bool done = false;
    Result result;
  };

  void MarkBroken() {
    broken_ = true;
    for (auto& [id, w] : waiters_) w->done = true;
    waiters_.clear();
  }

  bool ReadOneFrame() {
    ReplyHeader h;
    int passed = -1;
    if (!ReadHeader(fd_, &h, &passed)) return false;
    size_t frameSize = 0;
    // Only the header is validated here; the payload is read into place below.
    if (DecodeReply(reinterpret_cast<const uint8_t*>(&h), sizeof h, &h, &frameSize) == DecodeResult::Malformed) {
      if (passed >= 0) close(passed);
      return false;
    }
    Waiter* w = nullptr;
    if (h.Kind == static_cast<uint32_t>(ReplyKind::Reply)) {
      std::lock_guard<std::mutex> g(mu_);
      auto it = waiters_.find(h.RequestId);
      if (it != waiters_.end()) w = it->second;
    }
    if (!w && passed >= 0) close(passed);
    if (!w) return Discard(fd_, h.PayloadLength);
    w->result.passedFd = passed;
    const uint32_t take = h.PayloadLength < w->capacity ? h.PayloadLength : w->capacity;
    if (take && !ReadAll(fd_, w->destination, take)) return false;
    if (!Discard(fd_, h.PayloadLength - take)) return false;
    std::lock_guard<std::mutex> g(mu_);
    w->result.status = h.Status;
    w->result.value = h.Value;
    w->result.information = h.Information;
    w->result.payloadLength = take;
    w->done = true;
    waiters_.erase(h.RequestId);
    return true;
  }

  int fd_;
  std::mutex sendMu_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool readerBusy_ = false;
  bool broken_ = false;
  uint32_t nextId_ = 0;
  std::map<uint32_t, Waiter*> waiters_;

  std::mutex setupMu_;
  std::atomic<int> regionState_{0};  // 0 not asked yet, 1 mapped, 2 not to be had
  const uint8_t* region_ = nullptr;
  std::mutex regionMu_;
  bool used_[kUnits] = {};
};

namespace {

// A short-lived connection for calls that need no handle.
DeviceConnection::Result CallOnce(RequestKind kind, uint32_t code, uint64_t offset, const std::string& payload,
                                  std::string* replyText) {
  const int fd = ConnectHost();
  if (fd < 0) return {};
  DeviceConnection c(fd);
  RequestHeader h{};
  h.Kind = static_cast<uint32_t>(kind);
  h.Code = code;
  h.Offset = offset;
  h.OutputLength = replyText ? kMaxNameLength * 32 : 0;
  std::vector<char> out(h.OutputLength);
  auto r = c.Call(h, payload.data(), payload.size(), out.data(), h.OutputLength);
  if (replyText) replyText->assign(out.data(), r.payloadLength);
  return r;
}

}  // namespace

LSTATUS NtStatusToWin32Error(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return ERROR_SUCCESS;
    case STATUS_PENDING:
      return ERROR_IO_PENDING;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_NO_SUCH_FILE:
      return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_NAME_INVALID:
      return ERROR_INVALID_NAME;
    case STATUS_ACCESS_DENIED:
    case STATUS_FILE_IS_A_DIRECTORY:
      return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE:
      return ERROR_INVALID_HANDLE;
    case STATUS_NO_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_MEDIA_WRITE_PROTECTED:
      return ERROR_WRITE_PROTECT;
    case STATUS_DATA_ERROR:
      return ERROR_CRC;
    case STATUS_INFO_LENGTH_MISMATCH:
      return ERROR_BAD_LENGTH;
    case STATUS_SHARING_VIOLATION:
      return ERROR_SHARING_VIOLATION;
    case STATUS_END_OF_FILE:
      return ERROR_HANDLE_EOF;
    case STATUS_NOT_SUPPORTED:
      return ERROR_NOT_SUPPORTED;
    case STATUS_INVALID_PARAMETER:
      return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_DEVICE_REQUEST:
      return ERROR_INVALID_FUNCTION;
    case STATUS_PIPE_BROKEN:
      return ERROR_BROKEN_PIPE;
    case STATUS_BUFFER_TOO_SMALL:
      return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_COLLISION:
      return ERROR_ALREADY_EXISTS;
    case STATUS_CANCELLED:
      return ERROR_OPERATION_ABORTED;
    case STATUS_NO_MEDIA_IN_DEVICE:
      return ERROR_NO_MEDIA_IN_DRIVE;
    case STATUS_IO_DEVICE_ERROR:
      return ERROR_IO_DEVICE;
    case STATUS_DRIVER_INTERNAL_ERROR:
      return ERROR_INTERNAL_ERROR;
    case STATUS_INSUFFICIENT_RESOURCES:
      return ERROR_NO_SYSTEM_RESOURCES;
    default:
      return NT_SUCCESS(status) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
  }
}

LSTATUS GetLastError() {
  return tLastError;
}
void SetLastError(LSTATUS error) {
  tLastError = error;
}
NTSTATUS GetLastNtStatus() {
  return tLastStatus;
}

std::string HostSocketPath() {
  return PlatformPath("kvemu.sock");
}
std::string HostLockPath() {
  return PlatformPath("kvemu.lock");
}

Handle::~Handle() {
  if (!connection_) return;
  // Going out of scope must not disturb the caller's last error.
  const LSTATUS error = tLastError;
  const NTSTATUS status = tLastStatus;
  Close();
  tLastError = error;
  tLastStatus = status;
}

Handle::Handle(Handle&& other) noexcept : connection_(std::move(other.connection_)), id_(other.id_) {
  other.connection_.reset();
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    if (connection_) Close();
    connection_ = std::move(other.connection_);
    id_ = other.id_;
    other.connection_.reset();
  }
  return *this;
}

bool Handle::Close() {
  if (!connection_) return Fail(STATUS_INVALID_HANDLE);
  RequestHeader h{};
  h.Kind = static_cast<uint32_t>(RequestKind::Close);
  h.Handle = id_;
  const auto r = connection_->Call(h, nullptr, 0, nullptr, 0);
  connection_.reset();
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

Handle CreateFile(const std::string& path, uint32_t access, uint32_t, uint32_t) {
  Handle handle;
  if (path.empty() || path.size() > kMaxNameLength) {
    Fail(STATUS_OBJECT_NAME_INVALID);
    return handle;
  }
  const int fd = ConnectHost();
  if (fd < 0) {
    Fail(STATUS_OBJECT_NAME_NOT_FOUND);
    return handle;
  }
  auto c = std::make_shared<DeviceConnection>(fd);
  RequestHeader h{};
  h.Kind = static_cast<uint32_t>(RequestKind::Open);
  h.Code = access;
  const auto r = c->Call(h, path.data(), path.size(), nullptr, 0);
  if (!NT_SUCCESS(r.status)) {
    Fail(r.status);
    return handle;
  }
  handle.connection_ = std::move(c);
  handle.id_ = r.value;
  Succeed();
  return handle;
}

bool DeviceIoControl(const Handle& handle, uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint32_t* returned) {
  if (returned) *returned = 0;
  if (!handle.connection_) return Fail(STATUS_INVALID_HANDLE);
  if (inputLength > kMaxRequestPayload || outputLength > kMaxTransfer || (inputLength && !input) ||
      (outputLength && !output))
    return Fail(STATUS_INVALID_PARAMETER);
  RequestHeader h{};
  h.Kind = static_cast<uint32_t>(RequestKind::DeviceControl);
  h.Handle = handle.id_;
  h.Code = code;
  h.OutputLength = outputLength;
  // The driver maps the channel buffer into its caller, as a kernel would.
  const uint32_t room = code == IOCTL_CDEMU_CREATE_SHARED_MEMORY ? ReserveViewRoom() : 0;
  h.Offset = room;
  const auto r = handle.connection_->Call(h, input, inputLength, output, outputLength);
  ApplyViewInstruction(room, r.value, r.passedFd);
  KeepConnectionWithView(room, handle.connection_);
  // A failure brings no bytes but may name a length (the size a too small buffer needed).
  if (returned)
    *returned =
        NT_SUCCESS(r.status) ? r.payloadLength : static_cast<uint32_t>(std::min<uint64_t>(r.information, UINT32_MAX));
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

bool ReadFile(const Handle& handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* read) {
  if (read) *read = 0;
  if (!handle.connection_) return Fail(STATUS_INVALID_HANDLE);
  if (length > kMaxTransfer || (length && !buffer)) return Fail(STATUS_INVALID_PARAMETER);
  DeviceConnection& c = *handle.connection_;
  uint32_t rangeOffset = 0;
  uint32_t units = 0;
  if (c.TakeRange(length, &rangeOffset, &units)) {
    const auto r = c.ReadShared(handle.id_, offset, length, rangeOffset);
    const uint32_t n = NT_SUCCESS(r.status) ? static_cast<uint32_t>(std::min<uint64_t>(r.information, length)) : 0;
    if (n) std::memcpy(buffer, c.RegionData() + rangeOffset, n);
    c.GiveRange(rangeOffset, units);
    if (read) *read = n;
    return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
  }
  RequestHeader h{};
  h.Kind = static_cast<uint32_t>(RequestKind::Read);
  h.Handle = handle.id_;
  h.OutputLength = length;
  h.Offset = offset;
  const auto r = c.Call(h, nullptr, 0, buffer, length);
  if (read) *read = r.payloadLength;
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

SharedRead& SharedRead::operator=(SharedRead&& other) noexcept {
  if (this != &other) {
    Release();
    connection_ = std::move(other.connection_);
    rangeOffset_ = other.rangeOffset_;
    rangeLength_ = other.rangeLength_;
    copy_ = std::move(other.copy_);
    data_ = other.data_;
    size_ = other.size_;
    other.connection_.reset();
    other.rangeLength_ = 0;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void SharedRead::Release() {
  if (connection_ && rangeLength_) connection_->GiveRange(rangeOffset_, rangeLength_);
  connection_.reset();
  rangeLength_ = 0;
  copy_.clear();
  data_ = nullptr;
  size_ = 0;
}

bool ReadFileShared(const Handle& handle, uint64_t offset, uint32_t length, SharedRead* result) {
  result->Release();
  if (!handle.connection_) return Fail(STATUS_INVALID_HANDLE);
  if (length > kMaxTransfer) return Fail(STATUS_INVALID_PARAMETER);
  const auto& c = handle.connection_;
  uint32_t rangeOffset = 0;
  uint32_t units = 0;
  if (c->TakeRange(length, &rangeOffset, &units)) {
    const auto r = c->ReadShared(handle.id_, offset, length, rangeOffset);
    if (!NT_SUCCESS(r.status)) {
      c->GiveRange(rangeOffset, units);
      return Fail(r.status);
    }
    result->connection_ = c;
    result->rangeOffset_ = rangeOffset;
    result->rangeLength_ = units;
    result->data_ = c->RegionData() + rangeOffset;
    result->size_ = static_cast<uint32_t>(std::min<uint64_t>(r.information, length));
    return Succeed();
  }
  result->copy_.resize(length);
  uint32_t n = 0;
  if (!ReadFile(handle, offset, result->copy_.data(), length, &n)) {
    result->copy_.clear();
    return false;
  }
  result->data_ = result->copy_.data();
  result->size_ = n;
  return Succeed();
}

size_t MappedViewSize(uint32_t address) {
  std::lock_guard<std::mutex> g(g_viewsMu);
  auto it = g_views.find(address);
  return it == g_views.end() ? 0 : it->second;
}

bool CloseHandle(Handle& handle) {
  return handle.Close();
}

bool LockVolume(const Handle& handle) {
  uint32_t n;
  return DeviceIoControl(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n);
}
bool DismountVolume(const Handle& handle) {
  uint32_t n;
  return DeviceIoControl(handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n);
}
bool UnlockVolume(const Handle& handle) {
  uint32_t n;
  return DeviceIoControl(handle, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n);
}

uint32_t GetLogicalDrives() {
  const auto r = CallOnce(RequestKind::LogicalDrives, 0, 0, {}, nullptr);
  if (r.status == STATUS_PIPE_BROKEN) {
    Succeed();
    return 1u << ('C' - 'A');
  }
  if (!NT_SUCCESS(r.status)) {
    Fail(r.status);
    return 0;
  }
  Succeed();
  return r.value;
}

bool DefineDosDevice(uint32_t flags, const std::string& deviceName, const std::string& targetPath) {
  std::string payload = deviceName;
  payload.push_back('\0');
  payload += targetPath;
  if (payload.size() > 2 * kMaxNameLength) return Fail(STATUS_OBJECT_NAME_INVALID);
  const auto r = CallOnce(RequestKind::DefineDosDevice, flags, 0, payload, nullptr);
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

bool QueryDosDevice(const std::string& deviceName, std::string* target) {
  if (deviceName.size() > kMaxNameLength) return Fail(STATUS_OBJECT_NAME_INVALID);
  std::string text;
  const auto r = CallOnce(RequestKind::QueryDosDevice, 0, 0, deviceName, &text);
  if (r.status == STATUS_PIPE_BROKEN) return Fail(STATUS_OBJECT_NAME_NOT_FOUND);
  if (!NT_SUCCESS(r.status)) return Fail(r.status);
  if (target) *target = text;
  return Succeed();
}

bool OccupyDriveLetter(char letter, bool occupied) {
  const auto r = CallOnce(RequestKind::OccupyLetter, occupied ? 1 : 0, 0, std::string(1, letter), nullptr);
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

bool BroadcastDeviceChange(uint32_t eventType, uint32_t unitMask) {
  const auto r = CallOnce(RequestKind::Broadcast, eventType, unitMask, {}, nullptr);
  return NT_SUCCESS(r.status) ? Succeed() : Fail(r.status);
}

Handle CreateFile(const std::u16string& path, uint32_t access, uint32_t share, uint32_t flags) {
  return CreateFile(Utf16ToUtf8(path), access, share, flags);
}

bool DefineDosDevice(uint32_t flags, const std::u16string& deviceName, const std::u16string& targetPath) {
  return DefineDosDevice(flags, Utf16ToUtf8(deviceName), Utf16ToUtf8(targetPath));
}

bool QueryDosDevice(const std::u16string& deviceName, std::u16string* target) {
  std::string t;
  if (!QueryDosDevice(Utf16ToUtf8(deviceName), &t)) return false;
  if (target) *target = Utf8ToUtf16(t);
  return true;
}

DeviceChangeSubscription::~DeviceChangeSubscription() {
  if (fd_ >= 0) close(fd_);
}

bool DeviceChangeSubscription::Open() {
  if (fd_ >= 0) return Succeed();
  const int fd = ConnectHost();
  if (fd < 0) return Fail(STATUS_OBJECT_NAME_NOT_FOUND);
  RequestHeader h{};
  h.Magic = kRequestMagic;
  h.Kind = static_cast<uint32_t>(RequestKind::Subscribe);
  h.RequestId = 1;
  ReplyHeader r;
  size_t frameSize = 0;
  if (!WriteAll(fd, &h, sizeof h) || !ReadAll(fd, &r, sizeof r) ||
      DecodeReply(reinterpret_cast<const uint8_t*>(&r), sizeof r, &r, &frameSize) != DecodeResult::Frame ||
      !NT_SUCCESS(r.Status)) {
    close(fd);
    return Fail(STATUS_PIPE_BROKEN);
  }
  fd_ = fd;
  return Succeed();
}

bool DeviceChangeSubscription::Next(DeviceChange* change, int timeoutMs) {
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    const int n = poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return false;
    ReplyHeader r;
    size_t frameSize = 0;
    if (n < 0 || !ReadAll(fd_, &r, sizeof r) ||
        DecodeReply(reinterpret_cast<const uint8_t*>(&r), sizeof r, &r, &frameSize) == DecodeResult::Malformed ||
        !Discard(fd_, r.PayloadLength)) {
      close(fd_);
      fd_ = -1;
      return Fail(STATUS_PIPE_BROKEN);
    }
    if (r.Kind != static_cast<uint32_t>(ReplyKind::Event)) continue;
    change->eventType = r.Value;
    change->unitMask = static_cast<uint32_t>(r.Information);
    return Succeed();
  }
  return Fail(STATUS_PIPE_BROKEN);
}

}  // namespace kv::platform
