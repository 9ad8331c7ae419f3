// Process notifications: the host reports processes whose last connection closed.
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// Held while routines run, so that a removal waits for a call in progress.
std::mutex g_routinesMu;
std::vector<CreateProcessNotifyRoutine> g_routines;

}  // namespace

NTSTATUS PsSetCreateProcessNotifyRoutine(CreateProcessNotifyRoutine routine, bool remove) {
  if (routine == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(g_routinesMu);
  const auto it = std::find(g_routines.begin(), g_routines.end(), routine);
  if (remove) {
    if (it == g_routines.end()) return STATUS_INVALID_PARAMETER;
    g_routines.erase(it);
    return STATUS_SUCCESS;
  }
  if (it != g_routines.end()) return STATUS_INVALID_PARAMETER;
  g_routines.push_back(routine);
  return STATUS_SUCCESS;
}

void PsNotifyProcessExit(pid_t processId) {
  std::lock_guard<std::mutex> g(g_routinesMu);
  for (const CreateProcessNotifyRoutine routine : g_routines) routine(processId, false);
}

}  // namespace kv::kernel
