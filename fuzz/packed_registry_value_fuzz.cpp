// Hostile input of the registry-write control code: parsed with every bound checked, and what
// parses packs back to the bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/registry_write.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::platform::PackedRegistryValue value;
  if (!kv::platform::ParsePackedRegistryValue(data, size, &value)) return 0;
  const auto packed = kv::platform::PackRegistryValue(value);
  if (packed.size() > size || std::memcmp(packed.data(), data, packed.size()) != 0) std::abort();
  (void)kv::platform::RegistryWriteDebugLine(0, value);
  return 0;
}
