#include "formats/memory_file.h"

#include <algorithm>
#include <cstring>

namespace kv {
namespace {

class MemoryFile final : public RawFile {
 public:
  explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    *returned = 0;
    if (length == 0) return true;
    if (offset >= bytes_.size()) return false;  // end of file
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(destination, bytes_.data() + offset, n);
    *returned = static_cast<uint32_t>(n);
    return true;
  }

  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::unique_ptr<RawFile> OpenMemoryFile(std::vector<uint8_t> bytes) {
  return std::make_unique<MemoryFile>(std::move(bytes));
}

}  // namespace kv
