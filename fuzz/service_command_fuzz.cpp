// A command record as a hostile client may write it: the field checks and the reading of the path
// must never look outside the record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "common/service_command.h"
#include "service/host/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = std::make_unique<uint8_t[]>(kv::kCommandRecordSize);
  std::memset(record.get(), 0, kv::kCommandRecordSize);
  if (size > 0) std::memcpy(record.get(), data, size < kv::kCommandRecordSize ? size : kv::kCommandRecordSize);
  if (kv::service::CommandFieldsValid(record.get())) {
    // A valid record of command 1 or 2 has a NUL-terminated path: it must convert or be refused.
    std::u16string path;
    for (size_t i = 0; i < kv::kCommandPathChars; ++i) {
      char16_t c;
      std::memcpy(&c, record.get() + 12 + i * 2, 2);
      if (c == 0) break;
      path.push_back(c);
    }
    const std::string file = kv::service::ClientPathToLinux(path);
    if (!file.empty() && file[0] != '/') __builtin_trap();
  }
  return 0;
}
