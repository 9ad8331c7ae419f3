// Windows of a class reachable from other processes: FindWindow and PostMessage by class name.
// A registered class is a datagram socket under the platform root; the owner takes posted
// messages from it (the manager does on its timer tick).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kv::platform {

// A posted message as it travels between processes.
struct PostedMessage {
  uint32_t message;
  uint32_t reserved;  // zero
  uint64_t wParam;
  uint64_t lParam;
};
static_assert(sizeof(PostedMessage) == 24);
static_assert(offsetof(PostedMessage, wParam) == 8);
static_assert(offsetof(PostedMessage, lParam) == 16);

std::string WindowClassSocketPath(std::u16string_view className);

class WindowClassEndpoint {
 public:
  ~WindowClassEndpoint();
  WindowClassEndpoint(const WindowClassEndpoint&) = delete;
  WindowClassEndpoint& operator=(const WindowClassEndpoint&) = delete;

  // Null with *error = EADDRINUSE when a live window of the class exists (one left by a process
  // that died is replaced), or another errno on failure.
  static std::unique_ptr<WindowClassEndpoint> Register(std::u16string_view className, int* error);

  // The next posted message, without waiting; false when none waits.
  bool Take(PostedMessage* message);
  int fd() const { return fd_; }

 private:
  WindowClassEndpoint() = default;
  int fd_ = -1;
  std::string path_;
};

// True when a live window of the class exists.
bool FindWindowByClass(std::u16string_view className);
// False when no window of the class exists or its queue is full.
bool PostMessageToClass(std::u16string_view className, uint32_t message, uint64_t wParam = 0, uint64_t lParam = 0);

}  // namespace kv::platform
