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
  cli::PrintTableOfContents(toc, sizeof toc, args.Has("json"));
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
