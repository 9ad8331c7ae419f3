// The read primitive underneath every image reader: the driver's unbuffered kernel file, or an
// ordinary file in user mode.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

class RawFile {
 public:
  virtual ~RawFile() = default;
  // Reads up to `length` bytes at `offset`. False on a failure status, including end of file;
  // otherwise *returned holds the bytes delivered (fewer than asked only near the end).
  virtual bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) = 0;
  virtual int64_t Size() const = 0;

  // One of several reads asked for at once.
  struct Piece {
    uint64_t offset = 0;
    uint32_t length = 0;
    void* destination = nullptr;
    uint32_t returned = 0;
    bool ok = false;
  };
  // Each piece as Read would do it; a file may run them side by side. All have ended when this
  // returns. Pieces after one that fails or comes back short may be left undone (ok false).
  virtual void ReadPieces(Piece* pieces, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      Piece& p = pieces[i];
      p.ok = Read(p.offset, p.length, p.destination, &p.returned);
      if (!p.ok || p.returned < p.length) {
        for (size_t j = i + 1; j < count; ++j) pieces[j].ok = false;
        return;
      }
    }
  }
};

// Reads through another RawFile without owning it, so one ImageFile can serve whichever file is
// current.
class BorrowedFile final : public RawFile {
 public:
  explicit BorrowedFile(RawFile* file) : file_(file) {}
  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    return file_->Read(offset, length, destination, returned);
  }
  void ReadPieces(Piece* pieces, size_t count) override { file_->ReadPieces(pieces, count); }
  int64_t Size() const override { return file_->Size(); }

 private:
  RawFile* file_;
};

// Opens an ordinary file for reading in user mode. On failure returns null and sets *error to
// the errno value.
std::unique_ptr<RawFile> OpenPosixFile(const std::string& path, int* error);

}  // namespace kv
