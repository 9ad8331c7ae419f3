// The image readers' read primitive over the kernel's unbuffered file.
#pragma once
#include <algorithm>
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
  void ReadPieces(Piece* pieces, size_t count) override {
    constexpr size_t kAtOnce = 64;
    for (size_t at = 0; at < count; at += kAtOnce) {
      const size_t n = std::min(count - at, kAtOnce);
      kernel::KernelFile::Piece asked[kAtOnce];
      NTSTATUS statuses[kAtOnce];
      uint32_t returned[kAtOnce];
      for (size_t i = 0; i < n; ++i)
        asked[i] = {pieces[at + i].offset, pieces[at + i].length, pieces[at + i].destination};
      file_->ReadPieces(asked, n, statuses, returned);
      for (size_t i = 0; i < n; ++i) {
        pieces[at + i].ok = NT_SUCCESS(statuses[i]);
        pieces[at + i].returned = pieces[at + i].ok ? returned[i] : 0;
      }
    }
  }

 private:
  std::unique_ptr<kernel::KernelFile> file_;
};

}  // namespace kv::driver
