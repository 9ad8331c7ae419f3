// The input's first bytes are a track table (a few tracks with every field taken from the
// input), the rest the image file; the source is opened as an audio disc and raw reads run over
// the whole table, from before the first track to past the lead-out, with the table of contents.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "formats/memory_file.h"
#include "formats/raw/track_layout.h"

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  template <class T>
  T Take() {
    T v{};
    const size_t k = n < sizeof v ? n : sizeof v;
    if (k > 0) std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  auto r = std::make_unique<kv::MountRequest>();
  std::memset(r.get(), 0, sizeof *r);
  r->Format = in.Take<uint8_t>() & 1 ? kv::kFormatAudioDisc : 55;  // neither probes the file
  const uint32_t count = in.Take<uint8_t>() % 6;
  r->TrackCount = count;
  const int32_t sizes[] = {2048, 2336, 2352, 2048};
  for (uint32_t i = 0; i < count; ++i) {
    r->TrackMode[i] = in.Take<uint8_t>() % 10;
    // Small values keep the layout inside a small file often enough to be served.
    r->TrackStart[i] = in.Take<int16_t>();
    r->TrackPregap[i] = in.Take<uint8_t>();
    r->TrackPregapInFile[i] = in.Take<uint8_t>();
    r->TrackLength[i] = in.Take<uint8_t>();
    r->TrackPostgap[i] = in.Take<uint8_t>();
    r->TrackPostgapInFile[i] = in.Take<uint8_t>();
    r->TrackSectorSize[i] = sizes[in.Take<uint8_t>() % 4];
    r->TrackFileOffset[i] = in.Take<uint16_t>() * 16;
    r->TrackFileEnd[i] = r->TrackFileOffset[i] + in.Take<uint16_t>() * 16;
  }
  r->TrackStart[count] = in.Take<int16_t>();
  std::unique_ptr<kv::ImageSource> source;
  if (kv::ImageSource::Open(*r, u"fuzz", kv::OpenMemoryFile(std::vector<uint8_t>(in.p, in.p + in.n)), &source) !=
          kv::kMountOk ||
      !source)
    return 0;
  uint8_t toc[kv::kTocAnswerSize];
  kv::BuildTableOfContents(*source, toc);
  const kv::TrackTable* t = source->trackTable();
  if (!t) return 0;
  const int64_t from = kv::RegionsOf(*t, 0).a[0] - 2;
  const int64_t to = int64_t{t->start[t->count]} + 2;
  std::vector<uint8_t> out(uint64_t{200} * kv::kRawSectorSize);
  for (int64_t s = from; s < to; s += 150) source->ReadRawSectors(static_cast<uint64_t>(s), 200, out.data());
  return 0;
}
