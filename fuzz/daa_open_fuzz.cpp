// The input is a DAA/GBI file. The reader opens it (every later volume is the input again), decodes
// its first and last chunks, then ImageSource opens it as format 2 and reads.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mount_request.h"
#include "formats/daa/daa_image.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  const auto sameBytes = [&bytes](const std::u16string&) { return kv::OpenMemoryFile(bytes); };
  {
    kv::ImageFile file(kv::OpenMemoryFile(bytes));
    auto image = std::make_unique<kv::daa::DaaImage>();
    kv::daa::OpenOptions options;
    options.password = size > 0 && (data[0] & 1) ? "fuzz" : "";
    options.openVolume = sameBytes;
    if (image->Open(&file, static_cast<int64_t>(size), u"fuzz.part01.daa", options) == kv::kMountOk) {
      const uint32_t chunks = image->chunkCount();
      for (uint32_t c = 0; c < chunks && c < 4; ++c) image->Chunk(c);
      if (chunks > 0) image->Chunk(chunks - 1);
      std::vector<uint8_t> out(4 * 2048);
      image->ReadSectors(0, 4, out.data());
      image->PasswordMatches("fuzz");
    }
    std::u16string first;
    kv::daa::DescribeDaaProblem(file, static_cast<int64_t>(size), u"fuzz.d01", "pw", &first);
  }
  auto request = std::make_unique<kv::MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Format = kv::kFormatDaa;
  std::unique_ptr<kv::ImageSource> source;
  kv::ImageSource::Open(*request, u"fuzz.daa", kv::OpenMemoryFile(bytes), &source, sameBytes);
  if (source) {
    std::vector<uint8_t> out(8 * 2048);
    source->ReadSectors(0, 8, out.data());
    if (source->sectorCount() > 0) source->ReadSectors(source->sectorCount() - 1, 1, out.data());
  }
  return 0;
}
