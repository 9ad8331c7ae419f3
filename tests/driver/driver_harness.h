// Loads the driver into the in-process kernel and sends it requests the way the host does:
// IoCallDriver, then wait for the completion and keep what it reported.
#pragma once
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "driver/driver.h"
#include "platform/kernel/kernel.h"

namespace kv::test {

struct Completion {
  NTSTATUS returned = 0;  // what IoCallDriver returned
  NTSTATUS status = STATUS_PENDING;
  uint64_t information = 0;
  int boost = -1;
  int completions = 0;
  std::vector<uint8_t> output;
};

// A request on its way; Wait() blocks until the completion ran.
class PendingRequest {
 public:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    Completion result;
    std::atomic<int> completions{0};
  };

  PendingRequest(kernel::DeviceObject* device, std::unique_ptr<kernel::Irp> irp) : state_(std::make_shared<State>()) {
    auto state = state_;
    irp->onComplete = [state](kernel::Irp& done) {
      const int n = ++state->completions;
      std::lock_guard<std::mutex> g(state->m);
      state->result.status = done.status;
      state->result.information = done.information;
      state->result.boost = done.priorityBoost;
      state->result.output = done.output;
      state->result.completions = n;
      state->cv.notify_all();
    };
    returned_ = kernel::IoCallDriver(device, std::move(irp));
  }

  // False when no completion came within the time limit.
  bool Wait(Completion* out, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> g(state_->m);
    if (!state_->cv.wait_for(g, limit, [&] { return state_->result.completions > 0; })) return false;
    *out = state_->result;
    out->returned = returned_;
    out->completions = state_->completions.load();
    return true;
  }

 private:
  std::shared_ptr<State> state_;
  NTSTATUS returned_ = 0;
};

inline kernel::ClientIdentity CurrentIdentity() {
  kernel::ClientIdentity id;
  id.pid = getpid();
  id.uid = geteuid();
  id.gid = getegid();
  return id;
}

inline std::unique_ptr<kernel::Irp> ControlIrp(uint32_t code, std::vector<uint8_t> input, size_t outputLength) {
  auto irp = std::make_unique<kernel::Irp>();
  irp->major = kernel::MajorFunction::DeviceControl;
  irp->ioControlCode = code;
  irp->input = std::move(input);
  irp->output.assign(outputLength, 0);
  irp->requestor = CurrentIdentity();
  return irp;
}

inline std::unique_ptr<kernel::Irp> ReadIrp(uint64_t offset, uint32_t length, kernel::MajorFunction major) {
  auto irp = std::make_unique<kernel::Irp>();
  irp->major = major;
  irp->byteOffset = offset;
  irp->length = length;
  irp->output.assign(major == kernel::MajorFunction::Read ? length : 0, 0);
  irp->requestor = CurrentIdentity();
  return irp;
}

// "\??\C:\dir\file" for an absolute Linux path (C: is the root file system).
inline std::u16string NtPathOf(const std::string& path) {
  std::u16string out = u"\\??\\C:";
  for (char c : path) out.push_back(c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

// A complete mount request: the fixed part, the name and its NUL character.
inline std::vector<uint8_t> MountInput(const std::u16string& name, int32_t format = kFormatIso,
                                       uint32_t sectorSize = 2048, uint32_t dataOffset = 0, int32_t startOffset = 0) {
  std::vector<uint8_t> bytes(kMountRequestFixedSize + name.size() * 2 + 2, 0);
  MountRequest r;
  std::memset(&r, 0, sizeof r);
  r.Flags = 1;
  r.Format = format;
  r.SectorSize = sectorSize;
  r.DataOffset = dataOffset;
  r.StartOffset = startOffset;
  r.NameLength = static_cast<uint16_t>(name.size() * 2);
  std::memcpy(bytes.data(), &r, kMountRequestFixedSize);
  std::memcpy(bytes.data() + kMountRequestFixedSize, name.data(), name.size() * 2);
  return bytes;
}

inline MountRequest* RequestIn(std::vector<uint8_t>& input) {
  return reinterpret_cast<MountRequest*>(input.data());
}

// The driver loaded into the kernel layer for one test.
class LoadedDriver {
 public:
  LoadedDriver() { loadStatus_ = driver::DriverEntry(&object_); }
  ~LoadedDriver() { Unload(); }
  void Unload() {
    if (NT_SUCCESS(loadStatus_) && object_.driverUnload != nullptr && !unloaded_) object_.driverUnload(&object_);
    unloaded_ = true;
  }
  NTSTATUS loadStatus() const { return loadStatus_; }

  static kernel::DeviceObject* Device(int n) {
    return kernel::ObLookupDevice("\\DosDevices\\KVEmuDev" + std::to_string(n));
  }

  Completion Send(int drive, std::unique_ptr<kernel::Irp> irp) {
    PendingRequest p(Device(drive), std::move(irp));
    Completion c;
    if (!p.Wait(&c)) c.completions = 0;
    return c;
  }
  Completion Control(int drive, uint32_t code, std::vector<uint8_t> input = {}, size_t outputLength = 0) {
    return Send(drive, ControlIrp(code, std::move(input), outputLength));
  }
  Completion Read(int drive, uint64_t offset, uint32_t length) {
    return Send(drive, ReadIrp(offset, length, kernel::MajorFunction::Read));
  }
  // The MountError word of a mount that completed with success (0 when nothing was returned).
  uint32_t Mount(int drive, std::vector<uint8_t> input, NTSTATUS* status = nullptr) {
    const Completion c = Control(drive, IOCTL_CDEMU_MOUNT_IMAGE, std::move(input), 4);
    if (status != nullptr) *status = c.status;
    if (c.status != STATUS_SUCCESS) return 0xFFFFFFFFu;
    if (c.information == 0) return 0;
    uint32_t v = 0;
    std::memcpy(&v, c.output.data(), 4);
    return v;
  }

 private:
  kernel::DriverObject object_;
  NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
  bool unloaded_ = false;
};

}  // namespace kv::test
