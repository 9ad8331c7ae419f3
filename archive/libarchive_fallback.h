// Items the codec library cannot decode (Debian's build has no RAR codec), read with libarchive
// instead. Listing, names and sizes stay the codec library's; only the bytes come from here.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv::archive {

struct FallbackItem {
  std::string path;         // as the codec library lists it, "/" between components
  uint32_t occurrence = 0;  // how many earlier items have the same path
  uint32_t ordinal = 0;     // how many earlier items are not folders (names may be spelled apart)
  uint32_t itemIndex = 0;
  uint64_t size = 0;
};

// Bytes of an item at a position; false stops the reading.
using FallbackSink = std::function<bool(uint32_t itemIndex, uint64_t position, const uint8_t* data, size_t size)>;

// Reads `volumes` (the archive file and its further volumes, in order) in one pass and delivers
// the wanted items through `sink`. Returns the indices of the items delivered whole.
std::vector<uint32_t> ExtractWithLibarchive(const std::vector<std::string>& volumes,
                                            const std::vector<FallbackItem>& items, const FallbackSink& sink);

}  // namespace kv::archive
