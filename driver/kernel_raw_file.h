// The image readers' read primitive over the kernel's unbuffered file.
#pragma once
#include <memory>

#include "formats/raw_file.h"
#include "platform/kernel/kernel.h"

namespace kv::driver {

class KernelRawFile final : public RawFile {
 public:
  explicit KernelRawFile(std::unique_ptr<kernel::KernelFile> file) : file_(std::move(file)) {}
  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    return NT_SUCCESS(file_->Read(offset, length, destination, returned));
  }
  int64_t Size() const override { return file_->Size(); }

 private:
  std::unique_ptr<kernel::KernelFile> file_;
};

}  // namespace kv::driver
