// DbgPrint: stderr, and a capture hook for tests.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

std::mutex g_debugLock;
std::function<void(const std::string&)>& Capture() {
  static auto* hook = new std::function<void(const std::string&)>();
  return *hook;
}

}  // namespace

void DbgPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  std::string text;
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else if (n >= 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
  }
  va_end(args);
  std::lock_guard<std::mutex> g(g_debugLock);
  std::fputs(text.c_str(), stderr);
  if (Capture()) Capture()(text);
}

void DbgSetCaptureHook(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> g(g_debugLock);
  Capture() = std::move(hook);
}

}  // namespace kv::kernel
