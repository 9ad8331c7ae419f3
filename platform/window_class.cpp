#include "platform/window_class.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/wide_text.h"

namespace kv::platform {

namespace {

bool Address(const std::string& path, sockaddr_un* a) {
  if (path.size() >= sizeof(a->sun_path)) return false;
  std::memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A connected sending socket to the class's endpoint, or -1 with errno.
int ConnectTo(std::u16string_view className) {
  sockaddr_un a;
  if (!Address(WindowClassSocketPath(className), &a)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

std::string WindowClassSocketPath(std::u16string_view className) {
  // The class name may hold any character; the file name holds its UTF-8 bytes in hex.
  std::string hex;
  for (unsigned char c : Utf16ToUtf8(className)) {
    char b[3];
    std::snprintf(b, sizeof b, "%02x", c);
    hex += b;
  }
  if (hex.size() > 64) hex.resize(64);
  return PlatformPath("windows/" + hex);
}

WindowClassEndpoint::~WindowClassEndpoint() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(path_.c_str());
  }
}

std::unique_ptr<WindowClassEndpoint> WindowClassEndpoint::Register(std::u16string_view className, int* error) {
  int scratch = 0;
  if (!error) error = &scratch;
  const std::string path = WindowClassSocketPath(className);
  sockaddr_un a;
  if (!Address(path, &a)) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  for (int attempt = 0;; ++attempt) {
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    const int e = errno;
    if (e == EADDRINUSE && attempt == 0) {
      // Live when something answers the address; a file left by a dead owner is replaced.
      const int probe = ConnectTo(className);
      if (probe >= 0) {
        close(probe);
      } else if (errno == ECONNREFUSED) {
        unlink(path.c_str());
        continue;
      }
    }
    close(fd);
    *error = e;
    return nullptr;
  }
  std::unique_ptr<WindowClassEndpoint> endpoint(new WindowClassEndpoint);
  endpoint->fd_ = fd;
  endpoint->path_ = path;
  *error = 0;
  return endpoint;
}

bool WindowClassEndpoint::Take(PostedMessage* message) {
  PostedMessage m{};
  ssize_t got;
  do {
    got = recv(fd_, &m, sizeof m, MSG_DONTWAIT | MSG_TRUNC);
  } while (got < 0 && errno == EINTR);
  // Anything that is not exactly one record is not a message.
  while (got >= 0 && got != static_cast<ssize_t>(sizeof m)) {
    got = recv(fd_, &m, sizeof m, MSG_DONTWAIT | MSG_TRUNC);
  }
  if (got < 0) return false;
  *message = m;
  return true;
}

bool FindWindowByClass(std::u16string_view className) {
  const int fd = ConnectTo(className);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool PostMessageToClass(std::u16string_view className, uint32_t message, uint64_t wParam, uint64_t lParam) {
  const int fd = ConnectTo(className);
  if (fd < 0) return false;
  const PostedMessage m{message, 0, wParam, lParam};
  ssize_t sent;
  do {
    sent = send(fd, &m, sizeof m, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  close(fd);
  return sent == static_cast<ssize_t>(sizeof m);
}

}  // namespace kv::platform
