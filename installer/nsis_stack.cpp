#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "installer/nsis_plugin.h"

namespace kv::installer {

bool PushString(StackEntry** stackTop, int stringSize, std::string_view text) {
  if (!stackTop || stringSize < 1) return false;
  const size_t size = static_cast<size_t>(stringSize);
  auto* entry = static_cast<StackEntry*>(std::calloc(1, sizeof(StackEntry) + size));
  if (!entry) return false;
  std::memcpy(entry->text, text.data(), std::min(text.size(), size - 1));
  entry->next = *stackTop;
  *stackTop = entry;
  return true;
}

bool PopString(StackEntry** stackTop, int stringSize, std::string* text) {
  if (!stackTop || !*stackTop || stringSize < 1) return false;
  StackEntry* entry = *stackTop;
  text->assign(entry->text, strnlen(entry->text, static_cast<size_t>(stringSize) - 1));
  *stackTop = entry->next;
  std::free(entry);
  return true;
}

void FreeStack(StackEntry** stackTop) {
  // The host's stack is a plain list; bound the walk anyway against a cycle.
  for (size_t n = 0; stackTop && *stackTop && n < (1u << 24); ++n) {
    StackEntry* entry = *stackTop;
    *stackTop = entry->next;
    std::free(entry);
  }
}

}  // namespace kv::installer
