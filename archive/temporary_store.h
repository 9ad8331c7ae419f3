// The private store of extracted bytes of one mounted archive: up to 1024 temporary files of
// 2 GiB each in the service's temporary folder, addressed as one range of store offsets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kv::archive {

inline constexpr size_t kMaxStoreFiles = 1024;
inline constexpr int kStoreFileShift = 31;   // 2 GiB per file
inline constexpr uint64_t kStoreStart = 16;  // the first 16 bytes are zeros

class TemporaryStore {
 public:
  // `folder` is the temporary folder (with or without a trailing "/"). `fileShift` sets the
  // size of one file (1 << fileShift); only tests choose another than 31.
  explicit TemporaryStore(std::string folder, int fileShift = kStoreFileShift);
  ~TemporaryStore();  // closes and deletes every file
  TemporaryStore(const TemporaryStore&) = delete;
  TemporaryStore& operator=(const TemporaryStore&) = delete;

  // Writes the 16 zero bytes (creating the first file) once; later calls answer the first result.
  bool Initialize();
  // Hands out `size` bytes of store space at the write position. False when that would reach
  // beyond the last possible file.
  bool Reserve(uint64_t size, uint64_t* offset);
  // Writes or reads at a store offset; a range that crosses a file boundary is split there.
  // Files are created as writes reach them. A short transfer answers false.
  bool Write(uint64_t offset, const void* data, size_t size);
  bool Read(uint64_t offset, void* data, size_t size);
  // Closes and deletes every file.
  void Close();

  const std::string& folder() const { return folder_; }
  std::vector<std::string> FilePaths() const;
  uint64_t WritePosition() const;
  uint64_t Capacity() const { return static_cast<uint64_t>(kMaxStoreFiles) << fileShift_; }

 private:
  struct File {
    int fd = -1;
    std::string path;
  };
  // The descriptor of file `index`, created when `create` and it is the next one; -1 otherwise.
  int FileFor(size_t index, bool create);

  std::string folder_;
  int fileShift_;
  mutable std::mutex lock_;
  std::vector<File> files_;
  uint64_t writePosition_ = kStoreStart;
  int initialized_ = 0;  // 0 not yet, 1 done, -1 failed
};

}  // namespace kv::archive
