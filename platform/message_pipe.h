// Named pipes in message mode ("\\.\pipe\NAME"): a SOCK_SEQPACKET socket under the platform root.
// The server side writes whole messages to every connected client without ever waiting; a client
// peeks at the size of the waiting message and reads messages whole.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kv::platform {

// Socket file of a pipe name ("\\.\pipe\NAME"); empty for a name of another form.
std::string PipeSocketPath(const std::string& pipeName);

class MessagePipeServer {
 public:
  ~MessagePipeServer();
  MessagePipeServer(const MessagePipeServer&) = delete;
  MessagePipeServer& operator=(const MessagePipeServer&) = delete;

  // Creates the pipe for up to `maxInstances` clients at once (1..255); `restricted`: only the
  // system users' group may connect, else everybody. A pipe left by a dead server is replaced.
  // Null with *error (errno) on failure; EADDRINUSE when a live server has the name.
  static std::unique_ptr<MessagePipeServer> Create(const std::string& pipeName, int maxInstances, bool restricted,
                                                   int* error);

  // Takes the clients that are waiting to connect (never blocks) and writes the message to every
  // connected client; a client whose buffer is full misses it, a client that left is dropped.
  // Returns how many clients received it.
  int Write(const void* data, size_t length);
  // Clients connected after taking the waiting ones.
  int ClientCount();

 private:
  MessagePipeServer() = default;
  void AcceptWaiting();

  std::mutex lock_;
  int listenFd_ = -1;
  int maxInstances_ = 1;
  std::vector<int> clients_;
  std::string path_;
};

class MessagePipeClient {
 public:
  ~MessagePipeClient();
  MessagePipeClient(const MessagePipeClient&) = delete;
  MessagePipeClient& operator=(const MessagePipeClient&) = delete;

  // Null with *error (errno: ENOENT no such pipe, ECONNREFUSED no server, EAGAIN all instances busy).
  static std::unique_ptr<MessagePipeClient> Connect(const std::string& pipeName, int* error);

  // Size of the waiting message (0 when none), without taking it. False when the server went away.
  bool Peek(uint32_t* bytes);
  // Waits up to timeoutMs (negative: without limit) and reads one whole message. False on
  // timeout (then *closed is false) or when the server went away (*closed true).
  bool Read(std::vector<uint8_t>* message, int timeoutMs, bool* closed);
  int fd() const { return fd_; }

 private:
  MessagePipeClient() = default;
  int fd_ = -1;
};

}  // namespace kv::platform
