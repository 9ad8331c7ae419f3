// The input is a picked file. The manager identifies it under each extension of its table (the
// raw scan, the archive signatures, every reader), answering every password question with a
// fixed password ("fuzz", which opens the encrypted seed) and then giving up.
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/memory_file.h"
#include "manager/inspect/image_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  kv::inspect::ScriptedPrompts prompts;
  kv::inspect::InspectContext context;
  context.prompts = &prompts;
  for (const char* name : {"f.iso", "f.bin", "f.daa", "f.nrg", "f.uif", "f.isz", "f.mzp", "f.zip", "f.rar", "f.img"}) {
    prompts.passwords = {u"fuzz"};
    prompts.wrongPasswordAnswers = {false};
    std::unique_ptr<kv::inspect::ImageProbe> probe;
    kv::inspect::OpenImage(name, "", kv::OpenMemoryFile(bytes), context, &probe);
    if (probe) kv::inspect::BuildMountRequest(*probe, u"\\??\\C:\\f");
  }
  return 0;
}
