// The seek-point reader over arbitrary gzip, bzip2, xz and zstd streams (the seeds hold one of
// each): indexing never fails unsafely, and a read at any offset gives the bytes that a read from
// the start gives there.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/seekable_decompressor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::archive;
  if (size > (1u << 20) || DetectCompression(data, size) == Compression::kNone) return 0;
  const int fd = memfd_create("seek-points", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  IndexOptions options;
  options.folder = "/tmp";
  options.span = 32768;  // many points from small inputs
  int reports = 0;
  options.progress = [&reports](uint64_t done, uint64_t total) {
    if (done > total) abort();
    return ++reports < 4;  // bombs are cut off after 48 MiB
  };
  IndexError error;
  auto d = SeekableDecompressor::Create("/proc/self/fd/" + std::to_string(fd), options, &error);
  if (d) {
    const size_t total = static_cast<size_t>(std::min<uint64_t>(d->size(), 4u << 20));
    std::vector<uint8_t> whole(total);
    const size_t got = d->Read(0, whole.data(), total);
    if (got != total) abort();
    for (size_t i = 0; i < std::min<size_t>(size, 8); ++i) {
      const size_t offset = total ? (data[i] * 2654435761u + i * 7919u) % total : 0;
      const size_t length = std::min<size_t>(70000, total - offset);
      std::vector<uint8_t> part(length);
      if (d->Read(offset, part.data(), length) != length) abort();
      if (length && std::memcmp(part.data(), whole.data() + offset, length) != 0) abort();
    }
  }
  close(fd);
  return 0;
}
