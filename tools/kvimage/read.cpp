// kvimage read: sectors of an image to stdout.
#include <cstdio>
#include <vector>

#include "tools/cli/track_option.h"
#include "tools/kvimage/image_options.h"
#include "tools/kvimage/mzp_source.h"

namespace kv::kvimage {
namespace {

constexpr uint32_t kSectorsPerRead = 64;

int RunRead(int argc, char** argv) {
  cli::Args args(argc, argv, {"raw"});
  std::vector<std::string> known = kGeometryOptions;
  known.insert(known.end(), {"first", "count", "raw"});
  if (!CheckUsage("read", args, known, 1)) return cli::kExitUsage;
  Geometry g;
  std::string error;
  int64_t first = -1, count = -1;
  // Raw reads through a track layout reach down to the first track's pregap.
  const int64_t lowest = args.Has("raw") ? -450150 : 0;
  if (!ParseGeometry(args, &g, &error) || !args.GetInt("first", lowest, UINT32_MAX, &first, &error) ||
      !args.GetInt("count", 0, UINT32_MAX, &count, &error)) {
    std::fprintf(stderr, "kvimage read: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  if (!args.Has("first") || count < 0) {
    std::fprintf(stderr, "kvimage read: --first and --count are required\n");
    return cli::kExitUsage;
  }
  const std::string path = args.positional()[0];
  const bool raw = args.Has("raw");
  if (!raw && IsMzpFile(path)) return MzpRead(path, g.password, first, count);
  OpenedImage image = OpenImage(path, g);
  if (!image.source) {
    std::fprintf(stderr, "kvimage read: %s: %s (MountError %u)\n", path.c_str(), image.reason.c_str(),
                 static_cast<uint32_t>(image.error));
    return cli::kExitFailure;
  }
  ImageSource& source = *image.source;
  if (!raw && static_cast<uint64_t>(first + count) > source.sectorCount()) {
    std::fprintf(stderr, "kvimage read: %s: sectors %lld to %lld lie beyond the %u sectors of the image\n",
                 path.c_str(), static_cast<long long>(first), static_cast<long long>(first + count - 1),
                 source.sectorCount());
    return cli::kExitFailure;
  }
  const uint32_t unit = raw ? kRawSectorSize : kSectorSize;
  std::vector<uint8_t> buffer(uint64_t{kSectorsPerRead} * unit);
  for (int64_t done = 0; done < count;) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(kSectorsPerRead, count - done));
    const uint64_t s = static_cast<uint64_t>(first + done);
    const uint32_t got = raw ? source.ReadRawSectors(s, n, buffer.data()) : source.ReadSectors(s, n, buffer.data());
    if (got != n) {
      std::fprintf(stderr, "kvimage read: %s: cannot read %s sectors %lld to %lld\n", path.c_str(),
                   raw ? "raw" : "user-data", static_cast<long long>(first + done),
                   static_cast<long long>(first + done + n - 1));
      return cli::kExitFailure;
    }
    if (std::fwrite(buffer.data(), unit, n, stdout) != n) {
      std::fprintf(stderr, "kvimage read: %s: cannot write to standard output\n", path.c_str());
      return cli::kExitFailure;
    }
    done += n;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "kvimage read: %s: cannot write to standard output\n", path.c_str());
    return cli::kExitFailure;
  }
  return cli::kExitOk;
}

const cli::RegisterVerb kRead({"read", "write sectors of an image to standard output",
                               std::string("Usage: kvimage read FILE --first S --count N [--raw] [geometry options]\n\n"
                                           "Writes N 2048-byte sectors from sector S (with --raw: 2352-byte raw\n"
                                           "sectors, for images with 2352-byte sectors or a --track layout, whose\n"
                                           "missing sectors are generated) to standard output.\n\n") +
                                   kGeometryUsage + cli::kTrackUsage,
                               RunRead});

}  // namespace
}  // namespace kv::kvimage
