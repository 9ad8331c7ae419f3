#include "formats/daa/lzma_chunk.h"

#include <lzma.h>

#include <cstdlib>
#include <cstring>

#include "formats/daa/daa_format.h"

namespace kv::daa {

bool DecodeLzmaChunk(const uint8_t* chunk, size_t length, uint8_t* output, size_t capacity, size_t* written) {
  *written = 0;
  if (length < kLzmaHeaderSize) return false;
  const uint8_t filter = chunk[0];
  if (filter != kLzmaFilterNone && filter != kLzmaFilterX86) return false;
  uint64_t size = 0;
  std::memcpy(&size, chunk + 6, sizeof size);
  if (size > capacity) return false;

  lzma_filter decodeFilter{LZMA_FILTER_LZMA1EXT, nullptr};
  if (lzma_properties_decode(&decodeFilter, nullptr, chunk + 1, 5) != LZMA_OK) return false;
  lzma_options_lzma options = *static_cast<lzma_options_lzma*>(decodeFilter.options);
  free(decodeFilter.options);  // allocated by liblzma with malloc (no allocator given)
  // Matches never reach further back than the output, so a larger dictionary is never needed.
  const uint32_t enough = size < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : static_cast<uint32_t>(size);
  if (options.dict_size > enough) options.dict_size = enough;
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<uint32_t>(size);
  options.ext_size_high = static_cast<uint32_t>(size >> 32);

  lzma_filter filters[3];
  size_t n = 0;
  if (filter == kLzmaFilterX86) filters[n++] = {LZMA_FILTER_X86, nullptr};
  filters[n++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[n] = {LZMA_VLI_UNKNOWN, nullptr};

  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    lzma_end(&stream);
    return false;
  }
  stream.next_in = chunk + kLzmaHeaderSize;
  stream.avail_in = length - kLzmaHeaderSize;
  stream.next_out = output;
  stream.avail_out = static_cast<size_t>(size);
  lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
  // Each further call must make progress, so this ends.
  for (uint64_t before = 0; ret == LZMA_OK && stream.total_in + stream.total_out != before;) {
    before = stream.total_in + stream.total_out;
    ret = lzma_code(&stream, LZMA_FINISH);
  }
  const size_t produced = static_cast<size_t>(stream.total_out);
  lzma_end(&stream);
  if (ret != LZMA_STREAM_END || produced != size) return false;
  *written = produced;
  return true;
}

}  // namespace kv::daa
