// Named events and file mappings shared between processes ("Global\Name", or the kernel's
// "\BaseNamedObjects\Name" for the same object). Each object is a small file under the platform
// root, mapped shared; an event is a futex word in it.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv::platform {

// File under the platform root that holds the named object; empty for an invalid name.
std::string NamedObjectPath(const std::string& name);

class NamedEvent {
 public:
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates the event, or opens it when it exists (then `manualReset` and `initialState` are
  // ignored, as on Windows). The creator removes the name when it closes its handle. `mode` is
  // the file mode of a new object (0666: everybody may open it). Null with *error (errno) on
  // failure.
  static std::unique_ptr<NamedEvent> Create(const std::string& name, bool manualReset, bool initialState, int* error,
                                            mode_t mode = 0666);
  static std::unique_ptr<NamedEvent> Open(const std::string& name, int* error);
  // An event without a name, for use inside one process.
  static std::unique_ptr<NamedEvent> CreateAnonymous(bool manualReset, bool initialState);

  void Set();
  void Reset();
  // Waits at most timeoutMs (negative: without limit). True when signalled (an auto-reset event is
  // then reset), false on timeout.
  bool Wait(int64_t timeoutMs);
  bool created() const { return created_; }

 private:
  struct Shared;
  NamedEvent() = default;
  Shared* shared_ = nullptr;
  std::string path_;
  bool created_ = false;
};

class NamedMapping {
 public:
  ~NamedMapping();
  NamedMapping(const NamedMapping&) = delete;
  NamedMapping& operator=(const NamedMapping&) = delete;

  // Creates a zero-filled mapping of `size` bytes, or opens an existing one of at least that size.
  static std::unique_ptr<NamedMapping> Create(const std::string& name, size_t size, int* error, mode_t mode = 0666);
  static std::unique_ptr<NamedMapping> Open(const std::string& name, int* error);

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool created() const { return created_; }

 private:
  NamedMapping() = default;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::string path_;
  bool created_ = false;
};

}  // namespace kv::platform
