// ParseMediaDescriptor over arbitrary bytes, and the copy of what it accepts into a MountRequest.
#include "fuzz/inspect_fuzz_files.h"
#include "manager/inspect/disc_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::inspect;
  auto layout = ParseMediaDescriptor(kv::fuzz::WriteDescriptor("f.mds", data, size));
  if (layout && IsValidLayout(*layout)) {
    auto request = std::make_unique<kv::MountRequest>();
    CopyLayoutToMountRequest(*layout, request.get());
  }
  return 0;
}
