// The input is an MZP container (every later volume is the input again). The reader opens it with
// and without its index, sets a password, and decodes the first and last chunks.
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/memory_file.h"
#include "formats/mzp/mzp_container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  for (bool useIndex : {true, false}) {
    kv::ImageFile file(kv::OpenMemoryFile(bytes));
    auto c = std::make_unique<kv::mzp::MzpContainer>();
    kv::mzp::MzpOpenOptions options;
    options.useIndex = useIndex;
    options.password = size > 0 && (data[0] & 1) ? "fuzz" : "";
    options.openVolume = [&bytes](const std::u16string&) { return kv::OpenMemoryFile(bytes); };
    const kv::mzp::MzpStatus status = c->Open(&file, static_cast<int64_t>(size), u"fuzz.part01.mzp", options);
    if (status == kv::mzp::MzpStatus::kPasswordNeeded) c->SetPassword("another password");
    if (status == kv::mzp::MzpStatus::kOk || status == kv::mzp::MzpStatus::kPasswordNeeded) {
      const uint32_t chunks = c->chunkCount();
      for (uint32_t i = 0; i < chunks && i < 4; ++i) c->Chunk(i);
      if (chunks > 0) c->Chunk(chunks - 1);
      std::vector<uint8_t> out(4 * 2048);
      c->ReadSectors(0, 4, out.data());
      c->ReadSector(c->sectorCount() > 0 ? c->sectorCount() - 1 : 0, out.data());
    }
  }
  return 0;
}
