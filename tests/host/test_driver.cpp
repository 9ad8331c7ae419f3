#include "tests/host/test_driver.h"

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "common/ioctl.h"

namespace kv::test {
namespace {

using namespace kv::kernel;

constexpr uint32_t kTag = PoolTag("Kkss");
constexpr int kDevices = 2;

struct TestDrive {
  std::mutex lock;
  std::deque<Irp*> queue;
  std::deque<std::pair<Irp*, void*>> held;  // with the memory each holds
  std::unique_ptr<KEvent> wake;
  std::unique_ptr<SystemThread> worker;
  bool stop = false;
  char letter = 0;
  void* perRequest = nullptr;
};

DeviceObject* g_devices[kDevices];

TestDrive* Drive(DeviceObject* d) {
  return static_cast<TestDrive*>(d->deviceExtension);
}

void CompleteRead(Irp* irp) {
  uint8_t* out = irp->ReadBuffer();
  for (uint32_t i = 0; i < irp->length && i < irp->ReadCapacity(); ++i) out[i] = PatternByte(irp->byteOffset + i);
  IoCompleteRequest(irp, STATUS_SUCCESS, irp->length, IO_CD_ROM_INCREMENT);
}

void Worker(TestDrive* d) {
  for (;;) {
    std::deque<Irp*> work;
    {
      std::lock_guard<std::mutex> g(d->lock);
      work.swap(d->queue);
      if (d->stop && work.empty()) return;
    }
    if (work.empty()) {
      d->wake->Wait(-1);
      continue;
    }
    for (Irp* irp : work) {
      if (irp->byteOffset == kHeldReadOffset) {
        // Memory per held request: it must be back at zero after unload.
        void* mem = ExAllocatePoolWithTag(64, kTag);
        std::lock_guard<std::mutex> g(d->lock);
        d->held.emplace_back(irp, mem);
        continue;
      }
      CompleteRead(irp);
    }
  }
}

void ReleaseHeld(TestDrive* d) {
  std::deque<std::pair<Irp*, void*>> held;
  {
    std::lock_guard<std::mutex> g(d->lock);
    held.swap(d->held);
  }
  for (auto [irp, mem] : held) {
    ExFreePoolWithTag(mem, kTag);
    CompleteRead(irp);
  }
}

NTSTATUS CreateClose(DeviceObject*, Irp* irp) {
  IoCompleteRequest(irp, STATUS_SUCCESS, 1, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Read(DeviceObject* device, Irp* irp) {
  if (irp->length == 0) {
    IoCompleteRequest(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  TestDrive* d = Drive(device);
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> g(d->lock);
    d->queue.push_back(irp);
  }
  d->wake->Set();
  return STATUS_PENDING;
}

NTSTATUS Control(DeviceObject* device, Irp* irp) {
  TestDrive* d = Drive(device);
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t info = 0;
  switch (irp->ioControlCode) {
    case IOCTL_TEST_RELEASE:
      ReleaseHeld(d);
      break;
    case IOCTL_TEST_ECHO: {
      const size_t n = irp->input.size() < irp->output.size() ? irp->input.size() : irp->output.size();
      for (size_t i = 0; i < n; ++i) irp->output[i] = irp->input[irp->input.size() - 1 - i];
      info = n;
      break;
    }
    case IOCTL_TEST_HELD: {
      uint32_t count;
      {
        std::lock_guard<std::mutex> g(d->lock);
        count = static_cast<uint32_t>(d->held.size());
      }
      if (irp->output.size() < sizeof count) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        std::memcpy(irp->output.data(), &count, sizeof count);
        info = sizeof count;
      }
      break;
    }
    case IOCTL_TEST_WHO: {
      const uint32_t who[3] = {irp->requestor.uid, irp->requestor.gid, static_cast<uint32_t>(irp->requestor.pid)};
      if (irp->output.size() < sizeof who) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        std::memcpy(irp->output.data(), who, sizeof who);
        info = sizeof who;
      }
      break;
    }
    case IOCTL_CDEMU_CREATE_DRIVE_LETTER: {
      if (irp->input.empty() || irp->output.empty()) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      d->letter = static_cast<char>(irp->input[0]);
      status = IoCreateSymbolicLink(std::string("\\DosDevices\\Global\\") + d->letter + ":", device->name);
      info = NT_SUCCESS(status) ? 4 : 0;
      break;
    }
    case IOCTL_CDEMU_DELETE_DRIVE_LETTER: {
      if (irp->output.empty()) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      irp->output[0] = static_cast<uint8_t>(d->letter);
      IoDeleteSymbolicLink(std::string("\\DosDevices\\Global\\") + d->letter + ":");
      info = 4;
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
  }
  IoCompleteRequest(irp, status, info, NT_SUCCESS(status) ? IO_CD_ROM_INCREMENT : IO_NO_INCREMENT);
  return status;
}

void Unload(DriverObject*) {
  for (int i = 0; i < kDevices; ++i) {
    TestDrive* d = Drive(g_devices[i]);
    {
      std::lock_guard<std::mutex> g(d->lock);
      d->stop = true;
    }
    d->wake->Set();
    d->worker.reset();
    ReleaseHeld(d);
    d->~TestDrive();
    IoDeleteSymbolicLink("\\DosDevices\\TestDev" + std::to_string(i));
    IoDeleteDevice(g_devices[i]);
  }
  ZwCloseDirectoryObject("\\Device\\KVTest");
}

}  // namespace

NTSTATUS TestDriverEntry(DriverObject* driver) {
  ZwCreateDirectoryObject("\\Device\\KVTest");
  ZwMakeTemporaryObject("\\Device\\KVTest");
  for (int i = 0; i < kDevices; ++i) {
    DeviceObject* device = nullptr;
    const NTSTATUS s = IoCreateDevice(driver, sizeof(TestDrive), "\\Device\\KVTest\\Disk" + std::to_string(i),
                                      FILE_DEVICE_CD_ROM, FILE_READ_ONLY_DEVICE, false, &device);
    if (!NT_SUCCESS(s)) return s;
    auto* d = new (device->deviceExtension) TestDrive();
    d->wake = std::make_unique<KEvent>(EventType::Synchronization, false);
    d->worker = std::make_unique<SystemThread>([d] { Worker(d); });
    IoCreateSymbolicLink("\\DosDevices\\TestDev" + std::to_string(i), device->name);
    g_devices[i] = device;
  }
  driver->Dispatch(MajorFunction::Create) = CreateClose;
  driver->Dispatch(MajorFunction::Close) = CreateClose;
  driver->Dispatch(MajorFunction::Read) = Read;
  driver->Dispatch(MajorFunction::DeviceControl) = Control;
  driver->driverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace kv::test
