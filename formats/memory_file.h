// A RawFile over bytes in memory: images built or fetched in memory, probes over buffers, fuzzing.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/raw_file.h"

namespace kv {

std::unique_ptr<RawFile> OpenMemoryFile(std::vector<uint8_t> bytes);

}  // namespace kv
