#include "archive/temporary_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/files.h"

namespace kv::archive {

TemporaryStore::TemporaryStore(std::string folder, int fileShift)
    : folder_(std::move(folder)), fileShift_(std::clamp(fileShift, 12, 40)) {}

TemporaryStore::~TemporaryStore() {
  Close();
}

bool TemporaryStore::Initialize() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (initialized_ != 0) return initialized_ > 0;
  }
  static const uint8_t kZeros[kStoreStart] = {};
  const bool ok = Write(0, kZeros, sizeof(kZeros));
  std::lock_guard<std::mutex> g(lock_);
  initialized_ = ok ? 1 : -1;
  return ok;
}

bool TemporaryStore::Reserve(uint64_t size, uint64_t* offset) {
  std::lock_guard<std::mutex> g(lock_);
  if (size > Capacity() || writePosition_ > Capacity() - size) return false;
  *offset = writePosition_;
  writePosition_ += size;
  return true;
}

int TemporaryStore::FileFor(size_t index, bool create) {
  std::lock_guard<std::mutex> g(lock_);
  if (index < files_.size()) return files_[index].fd;
  if (!create || index >= kMaxStoreFiles) return -1;
  while (files_.size() <= index) {
    std::string name = folder_;
    if (!name.empty() && name.back() != '/') name += '/';
    name += "kva.XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    // Files left behind by a crash go at the next boot.
    platform::RegisterDeleteAtReboot(name);
    files_.push_back(File{fd, name});
  }
  return files_[index].fd;
}

bool TemporaryStore::Write(uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  const uint64_t fileSize = uint64_t{1} << fileShift_;
  while (size > 0) {
    const size_t index = static_cast<size_t>(offset >> fileShift_);
    const uint64_t inFile = offset & (fileSize - 1);
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, fileSize - inFile));
    const int fd = FileFor(index, true);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < piece) {
      const ssize_t n = pwrite(fd, p + done, piece - done, static_cast<off_t>(inFile + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    p += piece;
    offset += piece;
    size -= piece;
  }
  return true;
}

bool TemporaryStore::Read(uint64_t offset, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  const uint64_t fileSize = uint64_t{1} << fileShift_;
  while (size > 0) {
    const size_t index = static_cast<size_t>(offset >> fileShift_);
    const uint64_t inFile = offset & (fileSize - 1);
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, fileSize - inFile));
    const int fd = FileFor(index, false);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < piece) {
      const ssize_t n = pread(fd, p + done, piece - done, static_cast<off_t>(inFile + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    p += piece;
    offset += piece;
    size -= piece;
  }
  return true;
}

void TemporaryStore::Close() {
  std::lock_guard<std::mutex> g(lock_);
  for (auto& f : files_) {
    if (f.fd >= 0) close(f.fd);
    unlink(f.path.c_str());
  }
  files_.clear();
}

std::vector<std::string> TemporaryStore::FilePaths() const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<std::string> out;
  for (const auto& f : files_) out.push_back(f.path);
  return out;
}

uint64_t TemporaryStore::WritePosition() const {
  std::lock_guard<std::mutex> g(lock_);
  return writePosition_;
}

}  // namespace kv::archive
