// RawFile over an ordinary file in user mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/raw_file.h"

namespace kv {
namespace {

class PosixFile final : public RawFile {
 public:
  PosixFile(int fd, int64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    *returned = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n =
          ::pread(fd_, static_cast<uint8_t*>(destination) + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    // Like the unbuffered kernel read: nothing at all at the end of the file is a failure status.
    if (done == 0 && length > 0) return false;
    *returned = done;
    return true;
  }

  int64_t Size() const override { return size_; }

 private:
  int fd_;
  int64_t size_;
};

}  // namespace

std::unique_ptr<RawFile> OpenPosixFile(const std::string& path, int* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  struct stat st {};
  int e = 0;
  if (::fstat(fd, &st) != 0)
    e = errno;
  else if (S_ISDIR(st.st_mode))
    e = EISDIR;
  else if (!S_ISREG(st.st_mode))
    e = EINVAL;  // the size of anything else is not its length
  if (e != 0) {
    ::close(fd);
    if (error) *error = e;
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<PosixFile>(fd, static_cast<int64_t>(st.st_size));
}

}  // namespace kv
