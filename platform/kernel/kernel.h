// What the driver needs of a kernel: requests, device objects and names, system threads,
// events, spin-locked queues, tagged pool memory, unbuffered files and client security.
// Single process: the kvemu host serves these objects to user processes.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ntstatus.h"

namespace kv::kernel {

// ---- Requests -------------------------------------------------------------------------------

enum class MajorFunction : uint8_t { Create, Close, Read, Write, DeviceControl };

inline constexpr int IO_NO_INCREMENT = 0;
inline constexpr int IO_CD_ROM_INCREMENT = 1;

// Identity of the user process that sent a request (peer credentials of its connection).
struct ClientIdentity {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  bool Elevated() const { return uid == 0; }
};

// A file descriptor with one owner.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Largest view of shared memory a requesting process can take (the room it reserves).
inline constexpr uint32_t kRequestorViewRoom = 64u << 10;

struct Irp;
using IrpCompletion = std::function<void(Irp&)>;

// One I/O request. Input and output are separate buffers; Read requests deliver into `output`
// (`length` bytes at `byteOffset`).
struct Irp {
  MajorFunction major = MajorFunction::DeviceControl;
  uint32_t ioControlCode = 0;
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;  // sized to the caller's output length
  uint64_t byteOffset = 0;      // Read/Write
  uint32_t length = 0;          // Read/Write
  ClientIdentity requestor;

  // Set at completion.
  NTSTATUS status = STATUS_PENDING;
  uint64_t information = 0;
  int priorityBoost = 0;

  // Room the requesting process reserved for a view of shared memory: a user address below
  // 4 GiB with kRequestorViewRoom bytes free behind it (0: none).
  uint64_t requestorViewRoom = 0;
  // What the requestor must do with its address space when the reply arrives: map `viewFd` at
  // `viewAddress`, or, without a descriptor, unmap the view at `viewAddress` (0: nothing).
  UniqueFd viewFd;
  uint32_t viewAddress = 0;

  // A Read whose bytes go straight into memory the requesting process shares with the host
  // (`length` bytes there; `output` stays empty). The owner keeps that memory mapped until the
  // request is freed, even when the requestor is gone by then.
  uint8_t* sharedOutput = nullptr;
  std::shared_ptr<void> sharedOutputOwner;
  uint8_t* ReadBuffer() { return sharedOutput != nullptr ? sharedOutput : output.data(); }
  size_t ReadCapacity() const { return sharedOutput != nullptr ? length : output.size(); }

  // Called once, in the completing thread, after status and information are set.
  IrpCompletion onComplete;
  bool pending = false;  // IoMarkIrpPending

  uint32_t InputLength() const { return static_cast<uint32_t>(input.size()); }
  uint32_t OutputLength() const { return static_cast<uint32_t>(output.size()); }

 private:
  friend void IoCompleteRequest(Irp* irp, NTSTATUS status, uint64_t information, int boost);
  std::atomic<bool> completed_{false};
};

inline void IoMarkIrpPending(Irp* irp) {
  irp->pending = true;
}
// Completes exactly once; a second completion aborts the process (it is a driver bug).
void IoCompleteRequest(Irp* irp, NTSTATUS status, uint64_t information, int boost);

// ---- Devices and names ----------------------------------------------------------------------

struct DeviceObject;
struct DriverObject;
using DispatchRoutine = NTSTATUS (*)(DeviceObject*, Irp*);

inline constexpr uint32_t FILE_DEVICE_CD_ROM = 0x02;
inline constexpr uint32_t FILE_READ_ONLY_DEVICE = 0x02;
inline constexpr uint32_t FILE_REMOVABLE_MEDIA = 0x01;

struct DriverObject {
  DispatchRoutine majorFunction[5] = {};
  void (*driverUnload)(DriverObject*) = nullptr;
  DispatchRoutine& Dispatch(MajorFunction m) { return majorFunction[static_cast<int>(m)]; }
};

struct DeviceObject {
  DriverObject* driver = nullptr;
  std::string name;
  uint32_t deviceType = 0;
  uint32_t characteristics = 0;
  uint32_t alignmentRequirement = 0;
  bool directIo = false;
  void* deviceExtension = nullptr;
};

// Names are kernel object names ("\Device\KVEmu\KVEmuCd0"). "\DosDevices\", "\??\" and
// "\DosDevices\Global\" all name the global DOS device directory.
NTSTATUS ZwCreateDirectoryObject(const std::string& name);
NTSTATUS ZwMakeTemporaryObject(const std::string& name);  // removed when closed
NTSTATUS ZwCloseDirectoryObject(const std::string& name);
NTSTATUS IoCreateDevice(DriverObject* driver, size_t extensionSize, const std::string& name, uint32_t deviceType,
                        uint32_t characteristics, bool exclusive, DeviceObject** device);
void IoDeleteDevice(DeviceObject* device);
NTSTATUS IoCreateSymbolicLink(const std::string& link, const std::string& target);
NTSTATUS IoDeleteSymbolicLink(const std::string& link);

// Host side: resolve a name (following links) to a device; null when there is none.
DeviceObject* ObLookupDevice(const std::string& name);
// Host side: target of a symbolic link, or empty.
std::string ObQuerySymbolicLink(const std::string& link);
// Every name in the namespace (for tests and diagnostics), with link targets after " -> ".
std::vector<std::string> ObListNames();

// Sends a request to a device's dispatch routine. The completion runs exactly once, possibly
// before this returns. Returns what the dispatch routine returned. The kernel owns the request
// from here on and frees it right after its completion has run; a device without a routine for
// the request's major function completes it with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS IoCallDriver(DeviceObject* device, std::unique_ptr<Irp> irp);

// ---- Threads, events, locks -----------------------------------------------------------------

enum class EventType { Notification, Synchronization };

class KEvent {
 public:
  KEvent(EventType type, bool signalled);
  void Set();
  void Clear();
  // Waits at most timeoutMs milliseconds (negative: forever). STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS Wait(int64_t timeoutMs);
  bool IsSignalled() const;

 private:
  EventType type_;
  // A futex word (1: signalled) and the number of threads that may sleep on it: a set with
  // nobody waiting makes no system call, and a woken waiter takes no lock.
  std::atomic<uint32_t> signalled_;
  std::atomic<uint32_t> sleepers_{0};
};

class SystemThread {
 public:
  explicit SystemThread(std::function<void()> body);
  ~SystemThread();  // joins
  void Join();

 private:
  std::thread thread_;
};

// Scheduling priority of the calling system thread (0..31); returns the previous value.
int KeSetPriorityThread(int priority);
int KeQueryPriorityThread();

using KSpinLock = std::mutex;

// A spin-locked list: insert at the tail from dispatch, remove from the head in the worker.
template <class T>
class InterlockedQueue {
 public:
  void InsertTail(T item) {
    std::lock_guard<KSpinLock> g(lock_);
    items_.push_back(std::move(item));
  }
  bool RemoveHead(T* item) {
    std::lock_guard<KSpinLock> g(lock_);
    if (items_.empty()) return false;
    *item = std::move(items_.front());
    items_.pop_front();
    return true;
  }

 private:
  KSpinLock lock_;
  std::deque<T> items_;
};

// ---- Pool memory ----------------------------------------------------------------------------

constexpr uint32_t PoolTag(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
         uint32_t(uint8_t(t[3])) << 24;
}

// Zero-filled; null when the allocation fails (or a test limit is reached).
void* ExAllocatePoolWithTag(size_t size, uint32_t tag);
void ExFreePoolWithTag(void* p, uint32_t tag);
// Live allocations of a tag (for leak checks after unload).
int64_t PoolLiveCount(uint32_t tag);
// Tests: fail every allocation after `n` more (negative: never).
void PoolFailAfter(int64_t n);

// ---- Shared memory --------------------------------------------------------------------------

// Non-paged memory of the kernel that can also be mapped into a requesting process (a memory
// file). Counted in the pool counters under its tag while it exists.
class SharedSection {
 public:
  // Zero-filled; null when the memory cannot be had (or a test limit is reached).
  static std::unique_ptr<SharedSection> Create(size_t size, uint32_t tag);
  ~SharedSection();
  SharedSection(const SharedSection&) = delete;
  SharedSection& operator=(const SharedSection&) = delete;
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  friend NTSTATUS MmMapSectionIntoRequestor(Irp* irp, const SharedSection& section, uint32_t* userAddress);
  SharedSection() = default;
  UniqueFd fd_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint32_t tag_ = 0;
};

// Maps `section` into the address space of the process that sent `irp`, at the room it reserved;
// the mapping takes effect when the reply reaches it. STATUS_INVALID_PARAMETER when the requestor
// offered no room large enough.
NTSTATUS MmMapSectionIntoRequestor(Irp* irp, const SharedSection& section, uint32_t* userAddress);
// Removes the view at `userAddress` from the address space of the process that sent `irp`.
void MmUnmapFromRequestor(Irp* irp, uint32_t userAddress);

// ---- Client security ------------------------------------------------------------------------

struct ClientSecurity {
  ClientIdentity identity;
};

// Captures the requestor of `irp` (impersonation level, static tracking off).
NTSTATUS SeCreateClientSecurity(const Irp& irp, ClientSecurity* out);
// The calling thread takes the client's file-system identity until PsRevertToSelf: its fsuid and
// fsgid only, because Linux applies supplementary groups to the whole process. Fails with
// STATUS_ACCESS_DENIED (and stays itself) when the identity cannot be taken.
NTSTATUS SeImpersonateClient(const ClientSecurity& client);
void PsRevertToSelf();

// ---- Files ----------------------------------------------------------------------------------

// A file opened for reading with sharing for readers, without intermediate buffering
// (O_DIRECT where the file system accepts it).
class KernelFile {
 public:
  ~KernelFile();
  // `ntPath` is "\??\C:\..." style or a plain absolute path. Errors: STATUS_OBJECT_NAME_NOT_FOUND,
  // STATUS_OBJECT_PATH_NOT_FOUND, STATUS_ACCESS_DENIED, STATUS_FILE_IS_A_DIRECTORY, ...
  static NTSTATUS Open(const std::u16string& ntPath, std::unique_ptr<KernelFile>* file);
  // STATUS_END_OF_FILE at or past the end. Direct reads need 512-aligned offset and length.
  NTSTATUS Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned);
  // Several reads, each as Read does it; an unbuffered file has the system run them side by side
  // (at most 64 at once). All have ended when it returns; statuses[i] and returned[i] per read.
  // An unbuffered file read front to back in such calls reads the next stretch ahead.
  struct Piece {
    uint64_t offset;
    uint32_t length;
    void* destination;
  };
  void ReadPieces(const Piece* pieces, size_t count, NTSTATUS* statuses, uint32_t* returned);
  int64_t Size() const { return size_; }
  uint32_t AlignmentRequirement() const { return alignment_; }

 private:
  // A stretch asked of the system before it is wanted, so that the disk is not idle while the
  // caller hands on the last one and waits for the next request.
  struct Ahead {
    uint8_t* buffer = nullptr;
    uint64_t offset = 0;
    uint32_t length = 0;  // asked for
    uint32_t valid = 0;   // the file's bytes from offset, once reaped
    bool pending = false;
  };
  static constexpr size_t kAheadSlots = 3;
  static constexpr uint64_t kAheadDepth = kAheadSlots - 1;  // one slot is being copied from
  bool SetUpAsync();
  void ReadTogether(const Piece* pieces, size_t count, NTSTATUS* statuses, uint32_t* returned);
  void StartAhead(Ahead& a, uint64_t offset, uint32_t length);
  // Takes the read-aheads that have ended; with `until`, waits until that one has.
  void ReapAhead(const Ahead* until);
  int fd_ = -1;
  unsigned long aio_ = 0;  // the asynchronous I/O context, once set up
  bool aioFailed_ = false;
  unsigned long aheadAio_ = 0;  // a context of its own: ReadTogether never reaps a read-ahead
  bool aheadFailed_ = false;
  Ahead ahead_[kAheadSlots];
  uint64_t lastEnd_ = UINT64_MAX;  // where the last call's run of pieces ended
  uint64_t aheadEnd_ = 0;          // where the stretches asked for ahead end
  int64_t size_ = 0;
  uint32_t alignment_ = 0;
  bool direct_ = false;
};

// Whether later KernelFile::Open calls try O_DIRECT (the default, true). Without it reads go
// through the page cache; the alignment rules stay the same either way.
void KernelFileUseDirectIo(bool direct);

// Turns a driver NT path into a Linux path: "\??\C:\dir\f.iso" maps through the DOS drive
// table of the platform ("C:" is the root file system), "\??\UNC\..." is refused, a plain "/..."
// path is taken as it is.
bool NtPathToLinux(const std::u16string& ntPath, std::string* out);

// ---- Debug output ---------------------------------------------------------------------------

void DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Tests: every DbgPrint text is also passed to `hook` (empty function: none).
void DbgSetCaptureHook(std::function<void(const std::string&)> hook);

// ---- Processes ------------------------------------------------------------------------------

// A process leaves the host's view when its last connection to the host closes (it exited or
// was killed). Registered routines learn of it with create = false, as Windows's create-process
// notify routines do; a routine is not called again once its removal has returned.
using CreateProcessNotifyRoutine = void (*)(pid_t processId, bool create);
NTSTATUS PsSetCreateProcessNotifyRoutine(CreateProcessNotifyRoutine routine, bool remove);
// Host side: the process is gone.
void PsNotifyProcessExit(pid_t processId);

}  // namespace kv::kernel
