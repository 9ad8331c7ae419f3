#include "platform/message_pipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/paths.h"
#include "platform/processes.h"

namespace kv::platform {
namespace {

constexpr const char* kPipePrefix = "\\\\.\\pipe\\";
constexpr size_t kMaxMessageBytes = 64 * 1024;

bool Address(const std::string& path, sockaddr_un* addr) {
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  *addr = {};
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string PipeSocketPath(const std::string& pipeName) {
  const size_t n = std::strlen(kPipePrefix);
  if (pipeName.size() <= n || pipeName.size() > n + 100 || pipeName.compare(0, n, kPipePrefix) != 0) return {};
  std::string file;
  for (unsigned char c : pipeName.substr(n)) {
    if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return {};
    file += static_cast<char>(c);
  }
  return PlatformPath("pipes/" + file);
}

MessagePipeServer::~MessagePipeServer() {
  for (int fd : clients_) close(fd);
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(path_.c_str());
  }
}

std::unique_ptr<MessagePipeServer> MessagePipeServer::Create(const std::string& pipeName, int maxInstances,
                                                             bool restricted, int* error) {
  sockaddr_un addr;
  const std::string path = PipeSocketPath(pipeName);
  if (maxInstances < 1 || maxInstances > 255 || !Address(path, &addr)) {
    *error = EINVAL;
    return nullptr;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EADDRINUSE) {
      *error = errno;
      close(fd);
      return nullptr;
    }
    // Somebody answers on it: a live server. Else it is left from a dead one.
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      close(fd);
      *error = EADDRINUSE;
      return nullptr;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      *error = errno;
      close(fd);
      return nullptr;
    }
  }
  const bool modeSet = restricted ? RestrictToSystemUsers(path.c_str(), 0660) : chmod(path.c_str(), 0666) == 0;
  if (!modeSet || listen(fd, 255) != 0) {
    *error = errno;
    close(fd);
    unlink(path.c_str());
    return nullptr;
  }
  std::unique_ptr<MessagePipeServer> server(new MessagePipeServer);
  server->listenFd_ = fd;
  server->maxInstances_ = maxInstances;
  server->path_ = path;
  return server;
}

void MessagePipeServer::AcceptWaiting() {
  for (;;) {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    pollfd p{fd, 0, 0};
    const bool gone = poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
    if (gone || static_cast<int>(clients_.size()) >= maxInstances_) {
      close(fd);  // left already, or every instance is busy
      continue;
    }
    clients_.push_back(fd);
  }
}

int MessagePipeServer::Write(const void* data, size_t length) {
  std::lock_guard<std::mutex> g(lock_);
  AcceptWaiting();
  int delivered = 0;
  for (auto it = clients_.begin(); it != clients_.end();) {
    const ssize_t n = send(*it, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(length)) {
      ++delivered;
    } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
      close(*it);
      it = clients_.erase(it);
      continue;
    }
    ++it;
  }
  return delivered;
}

int MessagePipeServer::ClientCount() {
  std::lock_guard<std::mutex> g(lock_);
  AcceptWaiting();
  // A client that left shows as a hang-up on its socket.
  for (auto it = clients_.begin(); it != clients_.end();) {
    pollfd p{*it, 0, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR))) {
      close(*it);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  return static_cast<int>(clients_.size());
}

MessagePipeClient::~MessagePipeClient() {
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<MessagePipeClient> MessagePipeClient::Connect(const std::string& pipeName, int* error) {
  sockaddr_un addr;
  if (!Address(PipeSocketPath(pipeName), &addr)) {
    *error = EINVAL;
    return nullptr;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errno;
    if (fd >= 0) close(fd);
    return nullptr;
  }
  std::unique_ptr<MessagePipeClient> client(new MessagePipeClient);
  client->fd_ = fd;
  return client;
}

bool MessagePipeClient::Peek(uint32_t* bytes) {
  *bytes = 0;
  char probe;
  const ssize_t n = recv(fd_, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (n > 0) {
    *bytes = static_cast<uint32_t>(n);
    return true;
  }
  if (n == 0) {
    // Either an empty message or the end: only a hang-up tells them apart.
    pollfd p{fd_, POLLIN, 0};
    return !(poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) && !(p.revents & POLLIN));
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool MessagePipeClient::Read(std::vector<uint8_t>* message, int timeoutMs, bool* closed) {
  *closed = false;
  pollfd p{fd_, POLLIN, 0};
  const int ready = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  if (ready <= 0) return false;
  char probe;
  const ssize_t size = recv(fd_, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size < 0) {
    *closed = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    return false;
  }
  message->assign(std::min<size_t>(static_cast<size_t>(size), kMaxMessageBytes), 0);
  const ssize_t n = recv(fd_, message->data(), message->size(), MSG_DONTWAIT);
  if (n <= 0) {
    *closed = n == 0 && (p.revents & POLLHUP);
    message->clear();
    return n == 0 && !*closed;
  }
  message->resize(static_cast<size_t>(n));
  return true;
}

}  // namespace kv::platform
