// Events, system threads and their priority values.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// System threads start at the normal kernel priority.
constexpr int kDefaultPriority = 8;
thread_local int t_priority = kDefaultPriority;

}  // namespace

KEvent::KEvent(EventType type, bool signalled) : type_(type), signalled_(signalled) {}

void KEvent::Set() {
  {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = true;
  }
  if (type_ == EventType::Synchronization) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
}

void KEvent::Clear() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = false;
}

NTSTATUS KEvent::Wait(int64_t timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  if (timeoutMs < 0) {
    cv_.wait(g, [this] { return signalled_; });
  } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
    return STATUS_TIMEOUT;
  }
  // A synchronization event releases one waiter and resets itself.
  if (type_ == EventType::Synchronization) signalled_ = false;
  return STATUS_SUCCESS;
}

bool KEvent::IsSignalled() const {
  std::lock_guard<std::mutex> g(m_);
  return signalled_;
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
