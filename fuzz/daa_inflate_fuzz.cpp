// Our deflate-variant inflater against zlib: on variant 0 both must agree on success and on every
// byte; variants 1-3 must stay inside the output buffer and end. The first byte picks the room.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/daa/variant_inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = size_t{data[0]} * 1024 + 1;
  ++data;
  --size;
  std::vector<uint8_t> ours(capacity), reference(capacity);
  size_t written = 0;
  const kv::daa::InflateStatus status = kv::daa::InflateVariant(data, size, ours.data(), capacity, 0, &written);

  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) abort();
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reference.data();
  z.avail_out = static_cast<uInt>(capacity);
  const int zr = inflate(&z, Z_FINISH);
  const size_t zlibWritten = z.total_out;
  inflateEnd(&z);
  if ((status == kv::daa::InflateStatus::kOk) != (zr == Z_STREAM_END)) abort();
  if (zr == Z_STREAM_END && (written != zlibWritten || std::memcmp(ours.data(), reference.data(), written) != 0))
    abort();

  for (int variant = 1; variant < 4; ++variant) {
    std::vector<uint8_t> out(capacity + 16, 0xA5);
    kv::daa::InflateVariant(data, size, out.data(), capacity, variant, &written);
    for (size_t i = capacity; i < out.size(); ++i)
      if (out[i] != 0xA5) abort();
  }
  return 0;
}
