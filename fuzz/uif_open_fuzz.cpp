// The input is a UIF file; the trailer's signature is forced, and the table header's when the
// trailer points inside the file, so that random inputs reach the block table.
#include "fuzz/blockmap_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() > 64) {
    uint8_t* trailer = bytes.data() + bytes.size() - 64;
    std::memcpy(trailer, "bbis", 4);
    uint32_t position = 0;
    std::memcpy(&position, trailer + 28, 4);
    if (uint64_t{position} + 16 <= bytes.size() - 64) std::memcpy(bytes.data() + position, "blhr", 4);
  }
  kv::fuzz::OpenAndRead(bytes, kv::kFormatUif,
                        [](kv::ImageFile& f, uint64_t n, const kv::MountRequest&, kv::BlockMap* m, const char** why) {
                          return kv::BuildUifMap(f, n, m, why);
                        });
  return 0;
}
