// The input is an ISZ file; its signature is forced so that random inputs reach the tables.
#include "fuzz/blockmap_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() >= 4) std::memcpy(bytes.data(), "IsZ!", 4);
  kv::fuzz::OpenAndRead(bytes, kv::kFormatIsz,
                        [](kv::ImageFile& f, uint64_t n, const kv::MountRequest& r, kv::BlockMap* m, const char** why) {
                          return kv::BuildIszMap(f, n, r, m, why);
                        });
  return 0;
}
