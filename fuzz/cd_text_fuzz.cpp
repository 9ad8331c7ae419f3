// A CD-TEXT file's bytes: validation (and repair of single-bit errors) and, for what passes, the
// texts spread over a layout of up to 99 tracks.
#include <cstdint>
#include <vector>

#include "manager/inspect/disc_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (!kv::ValidateCdText(bytes)) return 0;
  auto layout = std::make_unique<kv::DiscLayout>();
  layout->trackCount = static_cast<int32_t>(size % 100);
  layout->cdText = std::move(bytes);
  kv::DistributeCdText(*layout);
  return 0;
}
