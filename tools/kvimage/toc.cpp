// kvimage toc: the table of contents a drive holding the image would answer.
#include <cstdio>

#include "formats/raw/track_layout.h"
#include "tools/cli/track_option.h"
#include "tools/kvimage/image_options.h"

namespace kv::kvimage {
namespace {

int RunToc(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  std::vector<std::string> known = kGeometryOptions;
  known.push_back("json");
  if (!CheckUsage("toc", args, known, 1)) return cli::kExitUsage;
  Geometry g;
  std::string error;
  if (!ParseGeometry(args, &g, &error)) {
    std::fprintf(stderr, "kvimage toc: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  const std::string path = args.positional()[0];
  OpenedImage image = OpenImage(path, g);
  if (!image.source) {
    std::fprintf(stderr, "kvimage toc: %s: %s (MountError %u)\n", path.c_str(), image.reason.c_str(),
                 static_cast<uint32_t>(image.error));
    return cli::kExitFailure;
  }
  uint8_t toc[kTocAnswerSize];
  BuildTableOfContents(*image.source, toc);
  const bool json = args.Has("json");
  const unsigned length = (toc[0] << 8) | toc[1];
  if (!json) std::printf("first track %u, last track %u\n", toc[2], toc[3]);
  // Without a track table the answer holds one descriptor and no length.
  const unsigned descriptors = length >= 2 ? (length - 2) / 8 : 1;
  for (unsigned i = 0; i < descriptors && 4 + i * 8 + 8 <= sizeof toc; ++i) {
    const uint8_t* d = toc + 4 + i * 8;
    const unsigned m = d[5], s = d[6], f = d[7];
    const long lba = static_cast<long>((m * 60 + s) * 75 + f) - 150;
    if (json) {
      std::printf("{\"track\":%u,\"adr\":%u,\"control\":%u,\"msf\":\"%02u:%02u:%02u\",\"lba\":%ld}\n", d[2], d[1] >> 4,
                  d[1] & 15, m, s, f, lba);
    } else {
      std::printf("track %s: control %u, %02u:%02u:%02u (sector %ld)\n",
                  d[2] == 0xAA ? "lead-out" : std::to_string(d[2]).c_str(), d[1] & 15, m, s, f, lba);
    }
  }
  return cli::kExitOk;
}

const cli::RegisterVerb kToc({"toc", "print the table of contents a drive would answer for an image",
                              std::string("Usage: kvimage toc FILE [geometry options] [--track ...] [--json]\n\n"
                                          "Opens FILE as the image mount would and prints the table of contents\n"
                                          "(IOCTL_CDROM_READ_TOC) of a drive holding it: one line per track and the\n"
                                          "lead-out, with control (4 data, 0 audio) and address.\n\n") +
                                  kGeometryUsage + cli::kTrackUsage +
                                  "  --json             one JSON object per track\n",
                              RunToc});

}  // namespace
}  // namespace kv::kvimage
