// Events, system threads and their priority values.
#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// System threads start at the normal kernel priority.
constexpr int kDefaultPriority = 8;
thread_local int t_priority = kDefaultPriority;

}  // namespace

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

KEvent::KEvent(EventType type, bool signalled) : type_(type), signalled_(signalled ? 1 : 0) {}

void KEvent::Set() {
  signalled_.store(1);
  // Pairs with the waiter's increment before its last look at the word: either it sees the
  // word set, or this sees it counted.
  if (sleepers_.load() == 0) return;
  const int count = type_ == EventType::Synchronization ? 1 : INT_MAX;
  syscall(SYS_futex, &signalled_, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

void KEvent::Clear() {
  signalled_.store(0);
}

NTSTATUS KEvent::Wait(int64_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    // A synchronization event releases one waiter and resets itself.
    if (type_ == EventType::Synchronization) {
      uint32_t set = 1;
      if (signalled_.compare_exchange_strong(set, 0)) return STATUS_SUCCESS;
    } else if (signalled_.load() != 0) {
      return STATUS_SUCCESS;
    }
    timespec remaining{};
    if (timeoutMs >= 0) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds::zero()) return STATUS_TIMEOUT;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
      remaining.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    sleepers_.fetch_add(1);
    if (signalled_.load() == 0) {
      // Returns at once when the word is no longer 0; wake-ups may be spurious.
      syscall(SYS_futex, &signalled_, FUTEX_WAIT_PRIVATE, 0, timeoutMs >= 0 ? &remaining : nullptr, nullptr, 0);
    }
    sleepers_.fetch_sub(1);
  }
}

bool KEvent::IsSignalled() const {
  return signalled_.load() != 0;
}

SystemThread::SystemThread(std::function<void()> body)
    : thread_([b = std::move(body)] {
        t_priority = kDefaultPriority;
        b();
      }) {}

SystemThread::~SystemThread() {
  Join();
}

void SystemThread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

int KeSetPriorityThread(int priority) {
  if (priority < 0) priority = 0;
  if (priority > 31) priority = 31;
  const int previous = t_priority;
  t_priority = priority;
  // The scheduler hint is best effort: raising needs privilege and a refusal changes nothing.
  const int nice = std::clamp((kDefaultPriority - priority) / 2, -5, 10);
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
  return previous;
}

int KeQueryPriorityThread() {
  return t_priority;
}

}  // namespace kv::kernel
