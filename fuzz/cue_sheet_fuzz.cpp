// ParseCueSheet over arbitrary text, and the CD-TEXT validation and distribution over the same
// bytes as a CD-TEXT file.
#include "fuzz/inspect_fuzz_files.h"
#include "manager/inspect/disc_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::inspect;
  auto layout = ParseCueSheet(kv::fuzz::WriteDescriptor("f.cue", data, size));
  if (layout && IsValidLayout(*layout)) {
    auto request = std::make_unique<kv::MountRequest>();
    CopyLayoutToMountRequest(*layout, request.get());
    LayoutSectors(*layout);
  }
  std::vector<uint8_t> packs;
  if (ValidateCdText(std::vector<uint8_t>(data, data + size), &packs)) {
    DiscLayout target;
    target.trackCount = size % 100;
    DistributeCdText(packs, &target);
  }
  return 0;
}
