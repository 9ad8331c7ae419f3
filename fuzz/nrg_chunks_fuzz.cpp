// The input is the tail of an NRG image: the chunk walk runs over it as a chunk list, and the
// whole NRG open (footer, list, probe, reads) runs over it as a file.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"
#include "formats/nrg/nrg_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto layout = std::make_unique<kv::NrgLayout>();
  const uint32_t listSize = static_cast<uint32_t>(size < 4096 ? size : 4096);
  std::vector<uint8_t> list(data, data + listSize);  // exactly the walk's bytes, so overreads show
  if (kv::WalkNrgChunks(list.data(), listSize, layout.get())) kv::IsServableNrgLayout(*layout);

  auto request = std::make_unique<kv::MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = kv::kFormatNrg;
  std::unique_ptr<kv::ImageSource> source;
  if (kv::ImageSource::Open(*request, u"fuzz", kv::OpenMemoryFile(std::vector<uint8_t>(data, data + size)), &source) ==
          kv::kMountOk &&
      source) {
    std::vector<uint8_t> out(4 * 2048);
    for (uint64_t s : {uint64_t{0}, uint64_t{16}, uint64_t{source->sectorCount()} - 1})
      source->ReadSectors(s, 4, out.data());
  }
  return 0;
}
