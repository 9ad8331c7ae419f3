// The seek-point reader over arbitrary gzip, bzip2, xz, zstd and .lzma streams (the seeds hold one of
// each): indexing never fails unsafely, a read at any offset gives the bytes that a read from
// the start gives there, and gzip reads (ISA-L's inflater for clean streams) give zlib's bytes.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/seekable_decompressor.h"

namespace {

// Zlib alone over gzip members one after the other, as far as they decode.
std::vector<uint8_t> ZlibInflate(const uint8_t* data, size_t size, size_t limit) {
  std::vector<uint8_t> out(limit);
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return {};
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(limit);
  while (z.avail_out > 0) {
    const int r = inflate(&z, Z_NO_FLUSH);
    if (r == Z_STREAM_END && z.avail_in >= 3 && z.next_in[0] == 0x1F && z.next_in[1] == 0x8B && z.next_in[2] == 8) {
      inflateReset(&z);
      continue;
    }
    if (r != Z_OK) break;
  }
  out.resize(limit - z.avail_out);
  inflateEnd(&z);
  return out;
}

}  // namespace

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
  options.span = 32768;                        // many points from small inputs
  options.edge = size % 2 ? 0 : options.edge;  // half the inputs read every byte through the points
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
    if (d->compression() == Compression::kGzip) {
      const auto z = ZlibInflate(data, size, total);
      if (!z.empty() && std::memcmp(z.data(), whole.data(), z.size()) != 0) abort();
    }
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
