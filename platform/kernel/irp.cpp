// Requests: completion exactly once, delivery to a device's dispatch routine.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// Requests handed to a driver and not yet completed, and the most recently freed ones. A request
// is freed at its completion, so a second completion is recognised by its address before it
// touches freed memory.
constexpr size_t kRetiredKept = 4096;

struct IrpRegistry {
  std::unordered_set<Irp*> live;
  std::unordered_set<Irp*> retired;
  std::deque<Irp*> retiredOrder;

  void Retire(Irp* irp) {
    if (!retired.insert(irp).second) return;
    retiredOrder.push_back(irp);
    if (retiredOrder.size() > kRetiredKept) {
      retired.erase(retiredOrder.front());
      retiredOrder.pop_front();
    }
  }
};

std::mutex g_liveLock;
IrpRegistry& Registry() {
  static auto* registry = new IrpRegistry();
  return *registry;
}

[[noreturn]] void DriverBug(const char* what, const Irp* irp) {
  std::fprintf(stderr, "kernel: driver bug: %s (request %p)\n", what, static_cast<const void*>(irp));
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void IoCompleteRequest(Irp* irp, NTSTATUS status, uint64_t information, int boost) {
  if (irp == nullptr) DriverBug("completion of a null request", irp);
  bool owned = false;
  {
    std::lock_guard<std::mutex> g(g_liveLock);
    owned = Registry().live.erase(irp) == 1;
    if (!owned && Registry().retired.count(irp) != 0) DriverBug("request completed twice", irp);
  }
  if (irp->completed_.exchange(true)) DriverBug("request completed twice", irp);
  if (status == STATUS_PENDING) DriverBug("request completed with STATUS_PENDING", irp);
  irp->status = status;
  irp->information = information;
  irp->priorityBoost = boost;
  if (irp->onComplete) irp->onComplete(*irp);
  // Requests that went through IoCallDriver belong to the kernel until now.
  if (owned) {
    {
      std::lock_guard<std::mutex> g(g_liveLock);
      Registry().Retire(irp);
    }
    delete irp;
  }
}

NTSTATUS IoCallDriver(DeviceObject* device, std::unique_ptr<Irp> request) {
  if (!request) return STATUS_INVALID_PARAMETER;
  Irp* irp = request.release();
  {
    std::lock_guard<std::mutex> g(g_liveLock);
    Registry().retired.erase(irp);  // the address of a freed request, in use again
    Registry().live.insert(irp);
  }
  DispatchRoutine routine = nullptr;
  if (device != nullptr && device->driver != nullptr) routine = device->driver->Dispatch(irp->major);
  if (routine == nullptr) {
    IoCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return routine(device, irp);
}

}  // namespace kv::kernel
