// Tagged pool memory with live counters per tag and a failure injector for tests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// Every block starts with this header; the caller's memory follows, 64-byte aligned.
struct alignas(64) PoolHeader {
  uint64_t magic;
  uint64_t size;
  uint32_t tag;
};
constexpr uint64_t kPoolMagic = 0x4B56506F6F6C2121ull;
constexpr uint64_t kFreedMagic = 0x4B5646726565642Eull;
constexpr size_t kPoolLimit = size_t(1) << 40;

std::mutex g_poolLock;
std::map<uint32_t, int64_t>& LiveCounts() {
  static auto* counts = new std::map<uint32_t, int64_t>();
  return *counts;
}
std::atomic<int64_t> g_failAfter{-1};

[[noreturn]] void PoolBug(const char* what, uint32_t tag) {
  std::fprintf(stderr, "kernel: driver bug: %s (tag %08x)\n", what, tag);
  std::fflush(stderr);
  std::abort();
}

bool InjectFailure() {
  int64_t n = g_failAfter.load();
  while (n >= 0) {
    if (n == 0) return true;
    if (g_failAfter.compare_exchange_weak(n, n - 1)) return false;
  }
  return false;
}

}  // namespace

void* ExAllocatePoolWithTag(size_t size, uint32_t tag) {
  if (size > kPoolLimit || InjectFailure()) return nullptr;
  void* block = nullptr;
  if (posix_memalign(&block, alignof(PoolHeader), sizeof(PoolHeader) + size) != 0) return nullptr;
  auto* h = static_cast<PoolHeader*>(block);
  h->magic = kPoolMagic;
  h->size = size;
  h->tag = tag;
  void* p = h + 1;
  std::memset(p, 0, size);
  std::lock_guard<std::mutex> g(g_poolLock);
  ++LiveCounts()[tag];
  return p;
}

void ExFreePoolWithTag(void* p, uint32_t tag) {
  if (p == nullptr) return;
  auto* h = static_cast<PoolHeader*>(p) - 1;
  if (h->magic != kPoolMagic) PoolBug("free of memory that is not a live pool block", tag);
  if (h->tag != tag) PoolBug("pool block freed with another tag", tag);
  h->magic = kFreedMagic;
  {
    std::lock_guard<std::mutex> g(g_poolLock);
    --LiveCounts()[tag];
  }
  std::free(h);
}

bool PoolAccount(uint32_t tag, int delta) {
  if (delta > 0 && InjectFailure()) return false;
  std::lock_guard<std::mutex> g(g_poolLock);
  LiveCounts()[tag] += delta;
  return true;
}

int64_t PoolLiveCount(uint32_t tag) {
  std::lock_guard<std::mutex> g(g_poolLock);
  auto it = LiveCounts().find(tag);
  return it == LiveCounts().end() ? 0 : it->second;
}

void PoolFailAfter(int64_t n) {
  g_failAfter.store(n < 0 ? -1 : n);
}

}  // namespace kv::kernel
