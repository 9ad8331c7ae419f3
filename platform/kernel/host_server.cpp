#include "platform/kernel/host_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/ioctl.h"
#include "platform/devio.h"
#include "platform/devio_protocol.h"
#include "platform/paths.h"

namespace kv::kernel {
bool PoolAccount(uint32_t tag, int delta);  // pool.cpp
}

namespace kv::kernel::host {
namespace {

using platform::DecodeRequest;
using platform::DecodeResult;
using platform::ReplyHeader;
using platform::ReplyKind;
using platform::RequestHeader;
using platform::RequestKind;

// Per connection: requests in flight and their output bytes (until the reply is written) are
// capped; past a cap the host stops reading from that client until replies drain.
constexpr size_t kMaxInflight = 64;
constexpr size_t kMaxInflightBytes = 64u << 20;
constexpr size_t kMaxQueuedEvents = 1024;
constexpr size_t kReadChunk = 256u << 10;
// Output buffers of reads sent to a connection are kept for its next reads: no allocation and
// no clearing per read. They only ever held what this client was sent.
constexpr size_t kSpareOutputs = 4;
constexpr size_t kMaxSpareOutput = 1u << 20;
constexpr int kDrainSeconds = 2;

constexpr const char* kSystemVolume = "\\Device\\HarddiskVolume1";
constexpr const char* kOccupiedVolumePrefix = "\\Device\\HarddiskVolume";

std::string LetterLink(char letter) {
  return std::string("\\DosDevices\\Global\\") + letter + ":";
}

bool IsLetterName(const std::string& name, char* letter) {
  if (name.size() != 2 || name[1] != ':') return false;
  const char c = static_cast<char>(name[0] & ~0x20);
  if (c < 'A' || c > 'Z') return false;
  *letter = c;
  return true;
}

struct OutFrame {
  ReplyHeader header{};
  std::vector<uint8_t> payload;
  UniqueFd fd;  // passed with the frame's first byte (a view of shared memory)
  size_t sent = 0;
  size_t accounted = 0;   // in-flight bytes released when written
  bool reusable = false;  // the output buffer of a read
};

struct OpenFile {
  DeviceObject* device = nullptr;
};

constexpr uint32_t kRegionTag = PoolTag("Kvsr");

// Memory a client shares with the host for its reads, one region per connection. Sealed against
// resizing, so that the client cannot pull pages away from under a drive writing into them. Each
// read in flight holds it: a client that goes away leaves it mapped until its reads complete.
struct SharedRegion {
  uint8_t* data = nullptr;
  size_t size = 0;
  bool accounted = false;
  SharedRegion() = default;
  SharedRegion(const SharedRegion&) = delete;
  SharedRegion& operator=(const SharedRegion&) = delete;
  ~SharedRegion() {
    if (data != nullptr) munmap(data, size);
    if (accounted) PoolAccount(kRegionTag, -1);
  }

  static std::shared_ptr<SharedRegion> Create(size_t size, UniqueFd* fd) {
    auto region = std::make_shared<SharedRegion>();
    region->accounted = PoolAccount(kRegionTag, +1);
    if (!region->accounted) return nullptr;
    fd->reset(memfd_create("kvemu-reads", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd->get() < 0 || ftruncate(fd->get(), static_cast<off_t>(size)) != 0 ||
        fcntl(fd->get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
      return nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd->get(), 0);
    if (p == MAP_FAILED) return nullptr;
    region->data = static_cast<uint8_t*>(p);
    region->size = size;
    return region;
  }
};

class Host;

struct Connection {
  int fd = -1;
  ClientIdentity peer;
  std::vector<uint8_t> in;  // allocated once per size; `inUsed` bytes hold data
  size_t inUsed = 0;
  bool readPaused = false;
  bool wantWrite = false;
  bool subscriber = false;

  std::mutex mu;  // everything below
  bool closed = false;
  std::unordered_map<uint32_t, OpenFile> handles;
  uint32_t nextHandle = 1;
  std::deque<OutFrame> out;
  std::vector<std::vector<uint8_t>> spareOutputs;
  std::shared_ptr<SharedRegion> region;
  size_t inflight = 0;
  size_t inflightBytes = 0;
  size_t queuedEvents = 0;
};

class Host {
 public:
  Host() = default;
  ~Host() {
    for (int fd : {listenFd_, epollFd_, wakeFd_})
      if (fd >= 0) close(fd);
  }

  bool Start(const std::string& socketPath, std::string* error) {
    socketPath_ = socketPath;
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0) {
      *error = std::string("epoll: ") + std::strerror(errno);
      return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
      *error = "socket path too long: " + socketPath;
      return false;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    unlink(socketPath.c_str());  // a leftover of a crashed host; the lock says none runs
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(socketPath.c_str(), 0666) != 0 || listen(listenFd_, 128) != 0) {
      *error = socketPath + ": " + std::strerror(errno);
      return false;
    }
    Watch(listenFd_, EPOLLIN);
    Watch(wakeFd_, EPOLLIN);
    return true;
  }

  void Occupy(char letter) {
    std::string target = letter == 'C' ? kSystemVolume : kOccupiedVolumePrefix + std::to_string(letter - 'A' + 1);
    IoCreateSymbolicLink(LetterLink(letter), target);
  }

  // Serves until `stopFd` (a signalfd) is readable.
  void Serve(int stopFd) {
    Watch(stopFd, EPOLLIN);
    epoll_event events[64];
    for (;;) {
      const int n = epoll_wait(epollFd_, events, 64, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      bool stop = false;
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stopFd) {
          signalfd_siginfo si;
          while (read(stopFd, &si, sizeof si) == sizeof si) {
          }
          stop = true;
        } else if (fd == listenFd_) {
          Accept();
        } else if (fd == wakeFd_) {
          uint64_t v;
          while (read(wakeFd_, &v, sizeof v) == sizeof v) {
          }
          FlushDirty();
        } else {
          auto it = connections_.find(fd);
          if (it == connections_.end()) continue;
          auto c = it->second;
          if (events[i].events & (EPOLLERR | EPOLLHUP)) {
            Drop(c);
            continue;
          }
          if (events[i].events & EPOLLOUT) Flush(c);
          if (events[i].events & EPOLLIN) Receive(c);
        }
      }
      if (stop) break;
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, stopFd, nullptr);
  }

  // Stops taking requests and waits (bounded) until every request in flight has completed and
  // its reply is written. Returns the number still outstanding.
  size_t Drain() {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
    close(listenFd_);
    listenFd_ = -1;
    unlink(socketPath_.c_str());
    draining_ = true;
    for (auto& [fd, c] : connections_) Rearm(c);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDrainSeconds);
    for (;;) {
      size_t outstanding = 0;
      for (auto& [fd, c] : connections_) {
        std::lock_guard<std::mutex> g(c->mu);
        outstanding += c->inflight;
      }
      if (outstanding == 0 || std::chrono::steady_clock::now() >= deadline) return outstanding;
      epoll_event events[64];
      const int n = epoll_wait(epollFd_, events, 64, 50);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
          uint64_t v;
          while (read(wakeFd_, &v, sizeof v) == sizeof v) {
          }
          FlushDirty();
        } else if (auto it = connections_.find(fd); it != connections_.end()) {
          auto c = it->second;
          if (events[i].events & (EPOLLERR | EPOLLHUP)) {
            Drop(c);
          } else if (events[i].events & EPOLLOUT) {
            Flush(c);
          }
        }
      }
    }
  }

  // Before unload: the devices are about to go, so no handle may reach them any more.
  void ForgetDevices() {
    devicesGone_ = true;
    for (auto& [fd, c] : connections_) {
      std::lock_guard<std::mutex> g(c->mu);
      c->handles.clear();
    }
    std::lock_guard<std::mutex> g(locksMu_);
    locks_.clear();
  }

  // Writes what is still queued (replies of requests the unload completed), for at most a second.
  void FlushRemaining() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
      FlushDirty();
      bool pending = false;
      std::vector<std::shared_ptr<Connection>> all;
      for (auto& [fd, c] : connections_) all.push_back(c);
      for (auto& c : all) {
        Flush(c);
        std::lock_guard<std::mutex> g(c->mu);
        pending |= !c->closed && !c->out.empty();
      }
      if (!pending || std::chrono::steady_clock::now() >= deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // After unload: the devices are gone, so every handle is forgotten without a close request.
  void CloseAll() {
    std::vector<std::shared_ptr<Connection>> all;
    for (auto& [fd, c] : connections_) all.push_back(c);
    for (auto& c : all) {
      {
        std::lock_guard<std::mutex> g(c->mu);
        c->handles.clear();
      }
      Drop(c);
    }
  }

 private:
  void Watch(int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
  }

  void Rearm(const std::shared_ptr<Connection>& c) {
    epoll_event ev{};
    ev.events = (c->readPaused || draining_ ? 0u : uint32_t(EPOLLIN)) | (c->wantWrite ? uint32_t(EPOLLOUT) : 0u);
    ev.data.fd = c->fd;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, c->fd, &ev);
  }

  void Accept() {
    for (;;) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
          // Out of descriptors: stop listening until a client leaves, instead of spinning.
          epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
          listenPaused_ = true;
        }
        return;
      }
      auto c = std::make_shared<Connection>();
      c->fd = fd;
      ucred cred{};
      socklen_t len = sizeof cred;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        close(fd);
        continue;
      }
      c->peer.pid = cred.pid;
      c->peer.uid = cred.uid;
      c->peer.gid = cred.gid;
      gid_t groups[256];
      socklen_t glen = sizeof groups;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &glen) == 0)
        c->peer.groups.assign(groups, groups + glen / sizeof(gid_t));
      // Room for a few whole transfers, so that a completing thread can usually write its reply.
      const int buffer = 4 << 20;
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
      connections_[fd] = c;
      ++processConnections_[c->peer.pid];
      Watch(fd, EPOLLIN);
    }
  }

  void Drop(const std::shared_ptr<Connection>& c) {
    std::unordered_map<uint32_t, OpenFile> handles;
    {
      std::lock_guard<std::mutex> g(c->mu);
      if (c->closed) return;
      c->closed = true;
      handles.swap(c->handles);
      c->out.clear();
      c->spareOutputs.clear();
      c->region.reset();
    }
    for (auto& [id, f] : handles) CloseFile(c.get(), id, f);
    // A process's last connection (a process that holds a channel view keeps one) ends with it.
    if (auto it = processConnections_.find(c->peer.pid); it != processConnections_.end() && --it->second == 0) {
      processConnections_.erase(it);
      if (!devicesGone_) PsNotifyProcessExit(c->peer.pid);
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    connections_.erase(c->fd);
    if (listenPaused_ && listenFd_ >= 0) {
      listenPaused_ = false;
      Watch(listenFd_, EPOLLIN);
    }
    {
      std::lock_guard<std::mutex> g(subscribersMu_);
      subscribers_.erase(c);
    }
  }

  void Receive(const std::shared_ptr<Connection>& c) {
    for (;;) {
      if (c->in.size() < c->inUsed + kReadChunk) c->in.resize(c->inUsed + kReadChunk);
      const ssize_t n = recv(c->fd, c->in.data() + c->inUsed, kReadChunk, 0);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        Drop(c);
        return;
      }
      c->inUsed += static_cast<size_t>(n);
      if (!Parse(c)) return;
      if (c->readPaused || static_cast<size_t>(n) < kReadChunk) break;
    }
  }

  // Executes every whole frame in the buffer; false when the client was dropped.
  bool Parse(const std::shared_ptr<Connection>& c) {
    size_t pos = 0;
    for (;;) {
      {
        std::lock_guard<std::mutex> g(c->mu);
        if (c->inflight >= kMaxInflight || c->inflightBytes >= kMaxInflightBytes) {
          c->readPaused = true;
          break;
        }
      }
      RequestHeader h;
      size_t frameSize = 0;
      const DecodeResult r = DecodeRequest(c->in.data() + pos, c->inUsed - pos, &h, &frameSize);
      if (r == DecodeResult::Malformed) {
        Drop(c);
        return false;
      }
      if (r == DecodeResult::NeedMore) break;
      Execute(c, h, c->in.data() + pos + sizeof h, h.PayloadLength);
      pos += frameSize;
      if (c->closed) return false;
    }
    if (pos) {
      std::memmove(c->in.data(), c->in.data() + pos, c->inUsed - pos);
      c->inUsed -= pos;
    }
    // A large buffer left from one big frame is given back once it is empty.
    if (c->inUsed == 0 && c->in.size() > 4 * kReadChunk) std::vector<uint8_t>().swap(c->in);
    if (c->readPaused) Rearm(c);
    return true;
  }

  // Queues a reply (any thread). Drops it when the client is gone.
  void Reply(const std::shared_ptr<Connection>& c, uint32_t requestId, NTSTATUS status, uint32_t value,
             uint64_t information, std::vector<uint8_t> payload, bool counted) {
    OutFrame f;
    f.header.Magic = platform::kReplyMagic;
    f.header.Kind = static_cast<uint32_t>(ReplyKind::Reply);
    f.header.RequestId = requestId;
    f.header.Status = status;
    f.header.Value = value;
    f.header.Information = information;
    f.header.PayloadLength = static_cast<uint32_t>(payload.size());
    f.payload = std::move(payload);
    Deliver(c, std::move(f), counted);
  }

  // Sends as much of `f` as the socket takes now; false on a socket error. Caller holds c->mu.
  static bool SendSome(Connection& c, OutFrame& f) {
    const size_t headerSize = sizeof f.header;
    while (f.sent < headerSize + f.payload.size()) {
      iovec iov[2];
      int count = 0;
      if (f.sent < headerSize) {
        iov[count++] = {reinterpret_cast<uint8_t*>(&f.header) + f.sent, headerSize - f.sent};
        if (!f.payload.empty()) iov[count++] = {f.payload.data(), f.payload.size()};
      } else {
        iov[count++] = {f.payload.data() + (f.sent - headerSize), f.payload.size() - (f.sent - headerSize)};
      }
      msghdr m{};
      m.msg_iov = iov;
      m.msg_iovlen = static_cast<size_t>(count);
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
      if (f.sent == 0 && f.fd.get() >= 0) {
        std::memset(control, 0, sizeof control);
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* cm = CMSG_FIRSTHDR(&m);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        const int fd = f.fd.get();
        std::memcpy(CMSG_DATA(cm), &fd, sizeof fd);
      }
      const ssize_t n = sendmsg(c.fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      if (n > 0) f.fd.reset();  // it went with the first byte
      f.sent += static_cast<size_t>(n);
    }
    return true;
  }

  static bool FullySent(const OutFrame& f) { return f.sent == sizeof f.header + f.payload.size(); }

  // Caller holds c.mu.
  static void KeepOutput(Connection& c, OutFrame& f) {
    if (f.reusable && c.spareOutputs.size() < kSpareOutputs && f.payload.capacity() <= kMaxSpareOutput)
      c.spareOutputs.push_back(std::move(f.payload));
  }

  // A kept output buffer of at least `size` bytes (else an empty one): cutting it to size
  // clears nothing. Caller holds c.mu.
  static std::vector<uint8_t> SpareOutput(Connection& c, size_t size) {
    std::vector<uint8_t> output;
    for (size_t i = c.spareOutputs.size(); i-- > 0;) {
      if (c.spareOutputs[i].size() >= size) {
        output = std::move(c.spareOutputs[i]);
        c.spareOutputs.erase(c.spareOutputs.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    return output;
  }

  // Hands a reply or event to its connection (any thread). When nothing waits before it, the
  // completing thread writes it at once, which spares the loop a wake-up per request; the rest
  // goes through the queue. Dropped when the client is gone.
  void Deliver(const std::shared_ptr<Connection>& c, OutFrame f, bool counted) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> g(c->mu);
      if (counted) --c->inflight;
      if (c->closed) {
        c->inflightBytes -= f.accounted;
        return;
      }
      const bool isEvent = f.header.Kind == static_cast<uint32_t>(ReplyKind::Event);
      if (c->out.empty() && SendSome(*c, f) && FullySent(f)) {
        c->inflightBytes -= f.accounted;
        if (isEvent) --c->queuedEvents;
        KeepOutput(*c, f);
        wake = c->readPaused;  // the loop decides whether to read again
      } else {
        c->out.push_back(std::move(f));
        wake = true;
      }
    }
    if (wake) MarkDirty(c);
  }

  void MarkDirty(const std::shared_ptr<Connection>& c) {
    {
      std::lock_guard<std::mutex> g(dirtyMu_);
      dirty_.push_back(c);
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(wakeFd_, &one, sizeof one);
  }

  void FlushDirty() {
    std::vector<std::shared_ptr<Connection>> dirty;
    {
      std::lock_guard<std::mutex> g(dirtyMu_);
      dirty.swap(dirty_);
    }
    for (auto& c : dirty) Flush(c);
  }

  void Flush(const std::shared_ptr<Connection>& c) {
    bool resume = false;
    bool failed = false;
    {
      std::lock_guard<std::mutex> g(c->mu);
      if (c->closed) return;
      while (!c->out.empty()) {
        OutFrame& f = c->out.front();
        if (!SendSome(*c, f)) {
          failed = true;
          break;
        }
        if (!FullySent(f)) break;
        c->inflightBytes -= f.accounted;
        if (f.header.Kind == static_cast<uint32_t>(ReplyKind::Event)) --c->queuedEvents;
        KeepOutput(*c, f);
        c->out.pop_front();
      }
      const bool wantWrite = !c->out.empty() && !failed;
      if (c->readPaused && c->inflight < kMaxInflight && c->inflightBytes < kMaxInflightBytes) {
        c->readPaused = false;
        resume = true;
      }
      if (wantWrite != c->wantWrite) {
        c->wantWrite = wantWrite;
        resume = true;
      }
    }
    if (failed) {
      Drop(c);
      return;
    }
    if (resume) {
      Rearm(c);
      // Frames may already wait in the buffer.
      if (!c->readPaused && !draining_) Parse(c);
    }
  }

  void Broadcast(uint32_t eventType, uint32_t mask) {
    if (mask == 0) return;
    std::vector<std::shared_ptr<Connection>> subs;
    {
      std::lock_guard<std::mutex> g(subscribersMu_);
      subs.assign(subscribers_.begin(), subscribers_.end());
    }
    for (auto& s : subs) {
      OutFrame f;
      f.header.Magic = platform::kReplyMagic;
      f.header.Kind = static_cast<uint32_t>(ReplyKind::Event);
      f.header.Value = eventType;
      f.header.Information = mask;
      {
        // A subscriber that does not read its events loses them; the next one it reads still
        // tells it to look again.
        std::lock_guard<std::mutex> g(s->mu);
        if (s->closed || s->queuedEvents >= kMaxQueuedEvents) continue;
        ++s->queuedEvents;
      }
      Deliver(s, std::move(f), false);
    }
  }

  static uint32_t LettersOf(DeviceObject* device) {
    uint32_t mask = 0;
    for (char l = 'A'; l <= 'Z'; ++l)
      if (ObLookupDevice(LetterLink(l)) == device) mask |= 1u << (l - 'A');
    return mask;
  }

  static uint32_t PresentLetters() {
    uint32_t mask = 0;
    for (char l = 'A'; l <= 'Z'; ++l)
      if (!ObQuerySymbolicLink(LetterLink(l)).empty()) mask |= 1u << (l - 'A');
    return mask;
  }

  bool MayChangeNames(const Connection& c) const { return c.peer.uid == 0 || c.peer.uid == geteuid(); }

  void CloseFile(Connection* c, uint32_t id, const OpenFile& f) {
    ReleaseLock(c, id);
    if (devicesGone_) return;
    auto irp = std::make_unique<Irp>();
    irp->major = MajorFunction::Close;
    irp->requestor = c->peer;
    IoCallDriver(f.device, std::move(irp));
  }

  void ReleaseLock(Connection* c, uint32_t id) {
    std::lock_guard<std::mutex> g(locksMu_);
    for (auto it = locks_.begin(); it != locks_.end();) {
      if (it->second.first == c && it->second.second == id) {
        it = locks_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // True when another handle holds the volume lock of `device`.
  bool LockedByOther(DeviceObject* device, Connection* c, uint32_t id) {
    std::lock_guard<std::mutex> g(locksMu_);
    auto it = locks_.find(device);
    return it != locks_.end() && !(it->second.first == c && it->second.second == id);
  }

  void Execute(const std::shared_ptr<Connection>& c, const RequestHeader& h, const uint8_t* payload, uint32_t size) {
    const auto kind = static_cast<RequestKind>(h.Kind);
    const std::string text(reinterpret_cast<const char*>(payload), size);
    switch (kind) {
      case RequestKind::Open:
        return Open(c, h, text);
      case RequestKind::Close: {
        OpenFile f;
        bool found;
        {
          std::lock_guard<std::mutex> g(c->mu);
          auto it = c->handles.find(h.Handle);
          found = it != c->handles.end();
          if (found) {
            f = it->second;
            c->handles.erase(it);
          }
        }
        if (found) CloseFile(c.get(), h.Handle, f);
        return Reply(c, h.RequestId, found ? STATUS_SUCCESS : STATUS_INVALID_HANDLE, 0, 0, {}, false);
      }
      case RequestKind::DeviceControl:
      case RequestKind::Read:
      case RequestKind::ReadShared:
        return Transfer(c, h, payload, size);
      case RequestKind::ShareMemory:
        return ShareMemory(c, h);
      case RequestKind::LogicalDrives:
        return Reply(c, h.RequestId, STATUS_SUCCESS, PresentLetters(), 0, {}, false);
      case RequestKind::DefineDosDevice:
        return Define(c, h, text);
      case RequestKind::QueryDosDevice:
        return Query(c, h, text);
      case RequestKind::Subscribe: {
        c->subscriber = true;
        {
          std::lock_guard<std::mutex> g(subscribersMu_);
          subscribers_.insert(c);
        }
        return Reply(c, h.RequestId, STATUS_SUCCESS, 0, 0, {}, false);
      }
      case RequestKind::Broadcast: {
        Broadcast(h.Code, static_cast<uint32_t>(h.Offset));
        return Reply(c, h.RequestId, STATUS_SUCCESS, 0, 0, {}, false);
      }
      case RequestKind::OccupyLetter: {
        char letter;
        NTSTATUS status = STATUS_SUCCESS;
        if (!MayChangeNames(*c)) {
          status = STATUS_ACCESS_DENIED;
        } else if (!IsLetterName(text + ":", &letter)) {
          status = STATUS_OBJECT_NAME_INVALID;
        } else if (h.Code != 0) {
          const std::string current = ObQuerySymbolicLink(LetterLink(letter));
          if (current.empty()) {
            Occupy(letter);
          } else if (current.rfind(kOccupiedVolumePrefix, 0) != 0) {
            status = STATUS_OBJECT_NAME_COLLISION;
          }
        } else if (letter == 'C') {
          status = STATUS_ACCESS_DENIED;
        } else if (ObQuerySymbolicLink(LetterLink(letter)).rfind(kOccupiedVolumePrefix, 0) == 0) {
          IoDeleteSymbolicLink(LetterLink(letter));
        } else {
          status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        return Reply(c, h.RequestId, status, 0, 0, {}, false);
      }
      case RequestKind::Kinds:
        break;
    }
    Reply(c, h.RequestId, STATUS_INVALID_PARAMETER, 0, 0, {}, false);
  }

  void Open(const std::shared_ptr<Connection>& c, const RequestHeader& h, const std::string& path) {
    DeviceObject* device = nullptr;
    if (path.size() > 4 && path.compare(0, 4, "\\\\.\\") == 0 && path.find('\0') == std::string::npos)
      device = ObLookupDevice("\\DosDevices\\Global\\" + path.substr(4));
    if (device == nullptr) return Reply(c, h.RequestId, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, {}, false);
    uint32_t id;
    {
      std::lock_guard<std::mutex> g(c->mu);
      id = c->nextHandle++;
      if (c->nextHandle == 0) c->nextHandle = 1;
    }
    const bool viaLetter = path.size() == 6 && path[5] == ':';
    if (viaLetter && LockedByOther(device, c.get(), id))
      return Reply(c, h.RequestId, STATUS_ACCESS_DENIED, 0, 0, {}, false);
    {
      std::lock_guard<std::mutex> g(c->mu);
      ++c->inflight;
    }
    auto irp = std::make_unique<Irp>();
    irp->major = MajorFunction::Create;
    irp->requestor = c->peer;
    const uint32_t requestId = h.RequestId;
    irp->onComplete = [this, c, id, device, requestId](Irp& done) {
      bool opened = false;
      if (NT_SUCCESS(done.status)) {
        std::lock_guard<std::mutex> g(c->mu);
        if (!c->closed) {
          c->handles[id] = OpenFile{device};
          opened = true;
        }
      }
      if (NT_SUCCESS(done.status) && !opened && !devicesGone_) {
        // The client went away while the open was pending: the device still gets its close.
        auto irp2 = std::make_unique<Irp>();
        irp2->major = MajorFunction::Close;
        irp2->requestor = c->peer;
        IoCallDriver(device, std::move(irp2));
      }
      Reply(c, requestId, done.status, opened ? id : 0, 0, {}, true);
    };
    IoCallDriver(device, std::move(irp));
  }

  void ShareMemory(const std::shared_ptr<Connection>& c, const RequestHeader& h) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (h.OutputLength == 0 || h.OutputLength > platform::kMaxSharedRegion || h.OutputLength % page != 0)
      return Reply(c, h.RequestId, STATUS_INVALID_PARAMETER, 0, 0, {}, false);
    bool given;
    {
      // Once per connection: reads in flight keep naming the region they were given.
      std::lock_guard<std::mutex> g(c->mu);
      given = c->region != nullptr;
    }
    if (given) return Reply(c, h.RequestId, STATUS_INVALID_DEVICE_REQUEST, 0, 0, {}, false);
    UniqueFd fd;
    auto region = SharedRegion::Create(h.OutputLength, &fd);
    if (!region) return Reply(c, h.RequestId, STATUS_INSUFFICIENT_RESOURCES, 0, 0, {}, false);
    {
      std::lock_guard<std::mutex> g(c->mu);
      c->region = std::move(region);
    }
    OutFrame f;
    f.header.Magic = platform::kReplyMagic;
    f.header.Kind = static_cast<uint32_t>(ReplyKind::Reply);
    f.header.RequestId = h.RequestId;
    f.header.Status = STATUS_SUCCESS;
    f.header.Information = h.OutputLength;
    f.fd = std::move(fd);
    Deliver(c, std::move(f), false);
  }

  void Transfer(const std::shared_ptr<Connection>& c, const RequestHeader& h, const uint8_t* payload, uint32_t size) {
    OpenFile f;
    const bool shared = static_cast<RequestKind>(h.Kind) == RequestKind::ReadShared;
    std::shared_ptr<SharedRegion> region;
    {
      std::lock_guard<std::mutex> g(c->mu);
      auto it = c->handles.find(h.Handle);
      if (it != c->handles.end()) f = it->second;
      if (shared) region = c->region;
    }
    if (f.device == nullptr) return Reply(c, h.RequestId, STATUS_INVALID_HANDLE, 0, 0, {}, false);
    if (shared && (!region || uint64_t{h.Code} + h.OutputLength > region->size))
      return Reply(c, h.RequestId, STATUS_INVALID_PARAMETER, 0, 0, {}, false);
    const bool read = static_cast<RequestKind>(h.Kind) == RequestKind::Read || shared;
    if (!read && (h.Code == FSCTL_LOCK_VOLUME || h.Code == FSCTL_UNLOCK_VOLUME || h.Code == FSCTL_DISMOUNT_VOLUME))
      return Volume(c, h, f.device);
    if (read && LockedByOther(f.device, c.get(), h.Handle))
      return Reply(c, h.RequestId, STATUS_ACCESS_DENIED, 0, 0, {}, false);

    auto irp = std::make_unique<Irp>();
    irp->requestor = c->peer;
    if (read) {
      irp->major = MajorFunction::Read;
      irp->byteOffset = h.Offset;
      irp->length = h.OutputLength;
    } else {
      irp->major = MajorFunction::DeviceControl;
      irp->ioControlCode = h.Code;
      irp->input.assign(payload, payload + size);
      irp->requestorViewRoom = h.Offset;
    }
    // Bytes of a shared read wait in the client's region, not in the host.
    const uint32_t accounted = shared ? 0 : h.OutputLength;
    if (shared) {
      irp->sharedOutput = region->data + h.Code;
      irp->sharedOutputOwner = std::move(region);
    }
    {
      std::lock_guard<std::mutex> g(c->mu);
      if (read && !shared) irp->output = SpareOutput(*c, h.OutputLength);
      ++c->inflight;
      c->inflightBytes += accounted;
    }
    if (!shared) irp->output.resize(h.OutputLength);
    const uint32_t requestId = h.RequestId;
    DeviceObject* device = f.device;
    irp->onComplete = [this, c, requestId, accounted, device, read](Irp& done) {
      if (done.major == MajorFunction::DeviceControl) Notify(done, device);
      std::vector<uint8_t> data;
      if (NT_SUCCESS(done.status)) {
        data = std::move(done.output);
        if (done.information < data.size()) data.resize(done.information);
      }
      OutFrame f;
      f.header.Magic = platform::kReplyMagic;
      f.header.Kind = static_cast<uint32_t>(ReplyKind::Reply);
      f.header.RequestId = requestId;
      f.header.Status = done.status;
      f.header.Information = done.information;
      f.header.Value = done.viewAddress;
      f.header.PayloadLength = static_cast<uint32_t>(data.size());
      f.payload = std::move(data);
      f.fd = std::move(done.viewFd);
      f.accounted = accounted;
      f.reusable = read && !done.sharedOutput;
      Deliver(c, std::move(f), true);
    };
    IoCallDriver(device, std::move(irp));
  }

  // Letters and media that come and go are announced to the subscribers.
  void Notify(const Irp& done, DeviceObject* device) {
    if (!NT_SUCCESS(done.status)) return;
    switch (done.ioControlCode) {
      case IOCTL_CDEMU_CREATE_DRIVE_LETTER: {
        char letter;
        if (!done.input.empty() && IsLetterName(std::string(1, char(done.input[0])) + ":", &letter))
          Broadcast(platform::DBT_DEVICEARRIVAL, 1u << (letter - 'A'));
        break;
      }
      case IOCTL_CDEMU_DELETE_DRIVE_LETTER: {
        char letter;
        if (!done.output.empty() && IsLetterName(std::string(1, char(done.output[0])) + ":", &letter))
          Broadcast(platform::DBT_DEVICEREMOVECOMPLETE, 1u << (letter - 'A'));
        break;
      }
      case IOCTL_CDEMU_MOUNT_IMAGE:
      case IOCTL_CDEMU_MOUNT_SHARED_MEDIA: {
        uint32_t error = 0;
        if (done.information >= 4 && done.output.size() >= 4) std::memcpy(&error, done.output.data(), 4);
        if (error == 0) Broadcast(platform::DBT_DEVICEARRIVAL, LettersOf(device));
        break;
      }
      case IOCTL_CDEMU_UNMOUNT:
        Broadcast(platform::DBT_DEVICEREMOVECOMPLETE, LettersOf(device));
        break;
      default:
        break;
    }
  }

  void Volume(const std::shared_ptr<Connection>& c, const RequestHeader& h, DeviceObject* device) {
    NTSTATUS status = STATUS_SUCCESS;
    std::lock_guard<std::mutex> g(locksMu_);
    auto it = locks_.find(device);
    const bool mine = it != locks_.end() && it->second.first == c.get() && it->second.second == h.Handle;
    if (h.Code == FSCTL_LOCK_VOLUME) {
      if (it == locks_.end()) {
        locks_[device] = {c.get(), h.Handle};
      } else if (!mine) {
        status = STATUS_ACCESS_DENIED;
      }
    } else if (h.Code == FSCTL_UNLOCK_VOLUME) {
      if (mine) {
        locks_.erase(it);
      } else {
        status = STATUS_NOT_SUPPORTED;  // ERROR_NOT_LOCKED has no NTSTATUS of ours
      }
    } else if (it != locks_.end() && !mine) {
      status = STATUS_ACCESS_DENIED;  // dismount while someone else holds the lock
    }
    Reply(c, h.RequestId, status, 0, 0, {}, false);
  }

  void Define(const std::shared_ptr<Connection>& c, const RequestHeader& h, const std::string& text) {
    const size_t nul = text.find('\0');
    const std::string name = text.substr(0, nul);
    const std::string target = nul == std::string::npos ? std::string() : text.substr(nul + 1);
    char letter;
    NTSTATUS status = STATUS_SUCCESS;
    if (!MayChangeNames(*c)) {
      status = STATUS_ACCESS_DENIED;
    } else if (!IsLetterName(name, &letter) || target.find('\0') != std::string::npos) {
      status = STATUS_OBJECT_NAME_INVALID;
    } else if (h.Code & platform::DDD_REMOVE_DEFINITION) {
      const std::string current = ObQuerySymbolicLink(LetterLink(letter));
      if (current.empty()) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
      } else if (current.rfind(kOccupiedVolumePrefix, 0) == 0) {
        status = STATUS_ACCESS_DENIED;  // not ours to remove
      } else if ((h.Code & platform::DDD_EXACT_MATCH_ON_REMOVE) && current != target) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
      } else {
        status = IoDeleteSymbolicLink(LetterLink(letter));
        if (NT_SUCCESS(status)) Broadcast(platform::DBT_DEVICEREMOVECOMPLETE, 1u << (letter - 'A'));
      }
    } else if (!(h.Code & platform::DDD_RAW_TARGET_PATH) || target.empty() || target[0] != '\\') {
      status = STATUS_INVALID_PARAMETER;
    } else {
      const std::string current = ObQuerySymbolicLink(LetterLink(letter));
      if (current == target) {
        status = STATUS_SUCCESS;
      } else if (!current.empty()) {
        status = STATUS_OBJECT_NAME_COLLISION;
      } else {
        status = IoCreateSymbolicLink(LetterLink(letter), target);
        if (NT_SUCCESS(status)) Broadcast(platform::DBT_DEVICEARRIVAL, 1u << (letter - 'A'));
      }
    }
    Reply(c, h.RequestId, status, 0, 0, {}, false);
  }

  void Query(const std::shared_ptr<Connection>& c, const RequestHeader& h, const std::string& name) {
    std::string out;
    if (name.empty()) {
      const std::string prefix = "\\GLOBAL??\\";
      for (const std::string& n : ObListNames()) {
        const size_t arrow = n.find(" -> ");
        if (arrow == std::string::npos || n.compare(0, prefix.size(), prefix) != 0) continue;
        out += n.substr(prefix.size(), arrow - prefix.size());
        out.push_back('\0');
      }
    } else if (name.find('\\') == std::string::npos && name.find('\0') == std::string::npos) {
      out = ObQuerySymbolicLink("\\DosDevices\\Global\\" + name);
    }
    if (out.empty()) return Reply(c, h.RequestId, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, {}, false);
    if (out.size() > h.OutputLength) return Reply(c, h.RequestId, STATUS_BUFFER_TOO_SMALL, 0, out.size(), {}, false);
    Reply(c, h.RequestId, STATUS_SUCCESS, 0, out.size(), std::vector<uint8_t>(out.begin(), out.end()), false);
  }

  std::string socketPath_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;
  bool draining_ = false;
  bool listenPaused_ = false;
  std::atomic<bool> devicesGone_{false};
  std::unordered_map<pid_t, int> processConnections_;  // open connections of each peer process
  std::unordered_map<int, std::shared_ptr<Connection>> connections_;
  std::mutex dirtyMu_;
  std::vector<std::shared_ptr<Connection>> dirty_;
  std::mutex subscribersMu_;
  std::set<std::shared_ptr<Connection>> subscribers_;
  std::mutex locksMu_;
  std::map<DeviceObject*, std::pair<Connection*, uint32_t>> locks_;
};

// The lock file of the root: held for the host's life; a lock on a file that another host
// already unlinked does not count, so the path is checked again after locking.
int LockRoot(const std::string& path) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return -2;
    }
    struct stat a {
    }, b{};
    if (fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev) {
      const std::string pid = std::to_string(getpid()) + "\n";
      [[maybe_unused]] int t = ftruncate(fd, 0);
      [[maybe_unused]] ssize_t w = pwrite(fd, pid.data(), pid.size(), 0);
      return fd;
    }
    close(fd);
  }
  return -1;
}

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: kvemu [--occupy X:]... [--page-cache]\n"
               "Loads the virtual drive driver and serves its devices to user programs until SIGTERM or\n"
               "SIGINT. The platform root is KV_PLATFORM_ROOT (or the per-user default).\n"
               "  --occupy X:     declare drive letter X as present in the system (not one of ours)\n"
               "  --page-cache    read images through the page cache instead of unbuffered (benchmarks)\n");
}

}  // namespace

int HostMain(int argc, char** argv, DriverEntryRoutine driverEntry) {
  std::vector<char> occupied;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    char letter;
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--page-cache") {
      KernelFileUseDirectIo(false);
    } else if (a == "--occupy" && i + 1 < argc) {
      std::string v = argv[++i];
      if (v.size() == 1) v += ":";
      if (!IsLetterName(v, &letter)) {
        std::fprintf(stderr, "kvemu: --occupy needs a drive letter, not '%s'\n", v.c_str());
        return 2;
      }
      occupied.push_back(letter);
    } else {
      std::fprintf(stderr, "kvemu: unknown argument '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  // Every client holds a descriptor.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  const std::string root = platform::PlatformRoot();
  const std::string lockPath = platform::HostLockPath();
  const int lockFd = LockRoot(lockPath);
  if (lockFd == -2) {
    std::fprintf(stderr, "kvemu: already running on %s\n", root.c_str());
    return 1;
  }
  if (lockFd < 0) {
    std::fprintf(stderr, "kvemu: %s: %s\n", lockPath.c_str(), std::strerror(errno));
    return 1;
  }

  // Before any thread exists, so that every thread inherits the mask and the signals reach
  // the signalfd only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int stopFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

  int exitCode = 0;
  {
    DriverObject driver;
    const NTSTATUS loaded = driverEntry(&driver);
    if (!NT_SUCCESS(loaded)) {
      std::fprintf(stderr, "kvemu: the driver failed to load (status 0x%08X)\n", static_cast<unsigned>(loaded));
      unlink(lockPath.c_str());
      close(lockFd);
      return 1;
    }
    Host host;
    host.Occupy('C');
    for (char l : occupied) host.Occupy(l);
    std::string error;
    if (!host.Start(platform::HostSocketPath(), &error)) {
      std::fprintf(stderr, "kvemu: %s\n", error.c_str());
      exitCode = 1;
    } else {
      std::fprintf(stderr, "kvemu: serving %s\n", platform::HostSocketPath().c_str());
      host.Serve(stopFd);
      const size_t outstanding = host.Drain();
      if (outstanding)
        std::fprintf(stderr, "kvemu: %zu requests still outstanding when the driver unloads\n", outstanding);
    }
    host.ForgetDevices();
    if (driver.driverUnload) driver.driverUnload(&driver);
    host.FlushRemaining();
    host.CloseAll();
    unlink(platform::HostSocketPath().c_str());
    // The letters of the system disk and of occupied drives belong to the host, not the driver.
    for (char l = 'A'; l <= 'Z'; ++l) {
      const std::string link = LetterLink(l);
      if (ObQuerySymbolicLink(link).rfind(kOccupiedVolumePrefix, 0) == 0) IoDeleteSymbolicLink(link);
    }
  }
  int64_t live = 0;
  std::fprintf(stderr, "kvemu: pool after unload:");
  for (const char* tag : {"Kkss", "Ddk ", "MapM", "Kvsr"}) {
    uint32_t t = 0;
    std::memcpy(&t, tag, 4);
    const int64_t n = PoolLiveCount(t);
    live += n;
    std::fprintf(stderr, " '%s' %lld", tag, static_cast<long long>(n));
  }
  std::fprintf(stderr, "\n");
  if (live != 0 && exitCode == 0) exitCode = 3;
  close(stopFd);
  unlink(lockPath.c_str());
  close(lockFd);
  return exitCode;
}

}  // namespace kv::kernel::host
