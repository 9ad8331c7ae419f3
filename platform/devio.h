// Device I/O for user-mode programs: how the service, the manager and the tools reach the
// driver's devices (\\.\KVEmuDevN, \\.\X:), the DOS device names and the device-change
// broadcast, all served by the kvemu host over its socket. Calls return a Boolean (or a value)
// and leave a Win32-style error for GetLastError().
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ntstatus.h"
#include "platform/registry.h"

namespace kv::platform {

// Win32 error values given by GetLastError(); the registry's header holds the common ones.
inline constexpr LSTATUS ERROR_INVALID_FUNCTION = 1;
inline constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_WRITE_PROTECT = 19;
inline constexpr LSTATUS ERROR_CRC = 23;
inline constexpr LSTATUS ERROR_BAD_LENGTH = 24;
inline constexpr LSTATUS ERROR_GEN_FAILURE = 31;
inline constexpr LSTATUS ERROR_SHARING_VIOLATION = 32;
inline constexpr LSTATUS ERROR_HANDLE_EOF = 38;
inline constexpr LSTATUS ERROR_NOT_SUPPORTED = 50;
inline constexpr LSTATUS ERROR_BROKEN_PIPE = 109;
inline constexpr LSTATUS ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LSTATUS ERROR_INVALID_NAME = 123;
inline constexpr LSTATUS ERROR_ALREADY_EXISTS = 183;
inline constexpr LSTATUS ERROR_OPERATION_ABORTED = 995;
inline constexpr LSTATUS ERROR_IO_PENDING = 997;
inline constexpr LSTATUS ERROR_NO_MEDIA_IN_DRIVE = 1112;
inline constexpr LSTATUS ERROR_IO_DEVICE = 1117;
inline constexpr LSTATUS ERROR_INTERNAL_ERROR = 1359;
inline constexpr LSTATUS ERROR_NO_SYSTEM_RESOURCES = 1450;

// The host went away while a request was outstanding.
inline constexpr NTSTATUS STATUS_PIPE_BROKEN = NtStatus(0xC000014B);

LSTATUS NtStatusToWin32Error(NTSTATUS status);
// Error of the calling thread's last failed call (ERROR_SUCCESS after a success).
LSTATUS GetLastError();
void SetLastError(LSTATUS error);
// The NTSTATUS behind the last error (STATUS_SUCCESS after a success).
NTSTATUS GetLastNtStatus();

// Access and sharing bits of CreateFile (kept for the callers' sake; the host checks none).
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t FILE_SHARE_READ = 0x1;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000u;

class DeviceConnection;
class SharedRead;

// An open device. Closing (or destroying) it closes the device in the host. Requests on one
// handle may be issued from several threads at once; each waits only for its own reply.
class Handle {
 public:
  Handle() = default;
  ~Handle();
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return connection_ != nullptr; }
  explicit operator bool() const { return valid(); }
  bool Close();

 private:
  friend Handle CreateFile(const std::string&, uint32_t, uint32_t, uint32_t);
  friend bool DeviceIoControl(const Handle&, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*);
  friend bool ReadFile(const Handle&, uint64_t, void*, uint32_t, uint32_t*);
  friend bool ReadFileShared(const Handle&, uint64_t, uint32_t, SharedRead*);
  std::shared_ptr<DeviceConnection> connection_;
  uint32_t id_ = 0;
};

// Opens "\\.\KVEmuDevN" or "\\.\X:" (the letter's DOS device link). A name that does not exist
// fails with ERROR_FILE_NOT_FOUND (also when the host is not running).
Handle CreateFile(const std::string& path, uint32_t access = GENERIC_READ, uint32_t share = FILE_SHARE_READ,
                  uint32_t flags = 0);
// Sends a control code; `returned` receives the output length. A failing status gives false
// (the returned length is still set: some failures carry a length).
bool DeviceIoControl(const Handle& handle, uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint32_t* returned);
// Reads `length` bytes at byte `offset` (at most 8 MiB per call).
bool ReadFile(const Handle& handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* read);

// The bytes of one read, left where the drive wrote them: in memory this process shares with the
// host (set up once per handle at its first read), so that only the request and its completion
// cross the socket. When the shared memory is all taken by other reads in flight, they came
// through the socket instead. Valid until the lease is released or destroyed.
class SharedRead {
 public:
  SharedRead() = default;
  ~SharedRead() { Release(); }
  SharedRead(SharedRead&& other) noexcept { *this = std::move(other); }
  SharedRead& operator=(SharedRead&& other) noexcept;
  SharedRead(const SharedRead&) = delete;
  SharedRead& operator=(const SharedRead&) = delete;
  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  void Release();

 private:
  friend bool ReadFileShared(const Handle&, uint64_t, uint32_t, SharedRead*);
  std::shared_ptr<DeviceConnection> connection_;
  uint32_t rangeOffset_ = 0;
  uint32_t rangeLength_ = 0;  // 0: no range of the region is held
  std::vector<uint8_t> copy_;
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};
// Reads `length` bytes at byte `offset` (at most 8 MiB) into a lease; false with the error as
// ReadFile gives it (the lease is then empty).
bool ReadFileShared(const Handle& handle, uint64_t offset, uint32_t length, SharedRead* result);
bool CloseHandle(Handle& handle);

// Length of the view of shared memory that a reply of the host mapped at `address` in this
// process (the channel buffer of IOCTL_CDEMU_CREATE_SHARED_MEMORY); 0 when there is none.
size_t MappedViewSize(uint32_t address);

// Volume requests on a drive-letter handle: lock (exclusive among handles of the device: other
// handles' requests are refused while it is held), dismount, unlock.
bool LockVolume(const Handle& handle);
bool DismountVolume(const Handle& handle);
bool UnlockVolume(const Handle& handle);

// Bit n set: letter 'A'+n is present (the system disk C:, letters declared occupied, and every
// letter with a DOS device link). Without a host only C: is present.
uint32_t GetLogicalDrives();
// Defines "X:" as the raw target (DDD_RAW_TARGET_PATH) or removes it (DDD_REMOVE_DEFINITION,
// with DDD_EXACT_MATCH_ON_REMOVE only when the target matches). Only letters can be defined.
bool DefineDosDevice(uint32_t flags, const std::string& deviceName, const std::string& targetPath);
// Target of "X:" or "KVEmuDevN"; false with ERROR_FILE_NOT_FOUND when it is not defined.
bool QueryDosDevice(const std::string& deviceName, std::string* target);
// Declares a letter present in the system without being a device of ours (tests, the host's
// --occupy option), or takes the declaration back. C: cannot be released.
bool OccupyDriveLetter(char letter, bool occupied);
// Sends a device-change event (DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE with a letter mask)
// to every subscriber. The host also sends one itself whenever a letter link or a medium comes
// or goes.
bool BroadcastDeviceChange(uint32_t eventType, uint32_t unitMask);

struct DeviceChange {
  uint32_t eventType = 0;
  uint32_t unitMask = 0;
};

// Receives the device-change broadcast on its own connection.
class DeviceChangeSubscription {
 public:
  DeviceChangeSubscription() = default;
  ~DeviceChangeSubscription();
  DeviceChangeSubscription(const DeviceChangeSubscription&) = delete;
  DeviceChangeSubscription& operator=(const DeviceChangeSubscription&) = delete;
  bool Open();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Waits up to timeoutMs (negative: without limit) for the next event. False on timeout, or
  // when the host went away (then connected() turns false).
  bool Next(DeviceChange* change, int timeoutMs);

 private:
  int fd_ = -1;
};

// The same calls for callers that keep their names as UTF-16 (the service and the manager).
Handle CreateFile(const std::u16string& path, uint32_t access = GENERIC_READ, uint32_t share = FILE_SHARE_READ,
                  uint32_t flags = 0);
bool DefineDosDevice(uint32_t flags, const std::u16string& deviceName, const std::u16string& targetPath);
bool QueryDosDevice(const std::u16string& deviceName, std::u16string* target);

// Where the host listens and keeps its lock.
std::string HostSocketPath();
std::string HostLockPath();

}  // namespace kv::platform
