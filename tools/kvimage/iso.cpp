// kvimage iso: an image as a plain ISO (every 2048-byte sector).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "tools/cli/track_option.h"
#include "tools/kvimage/image_options.h"

namespace kv::kvimage {
namespace {

constexpr uint32_t kSectorsPerRead = 256;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

int RunIso(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  std::vector<std::string> known = kGeometryOptions;
  known.push_back("output");
  if (!CheckUsage("iso", args, known, 1)) return cli::kExitUsage;
  Geometry g;
  std::string error;
  if (!ParseGeometry(args, &g, &error)) {
    std::fprintf(stderr, "kvimage iso: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  const auto output = args.Get("output");
  if (!output || output->empty()) {
    std::fprintf(stderr, "kvimage iso: -o OUT is required\n");
    return cli::kExitUsage;
  }
  const std::string path = args.positional()[0];
  OpenedImage image = OpenImage(path, g);
  if (!image.source) {
    std::fprintf(stderr, "kvimage iso: %s: %s (MountError %u)\n", path.c_str(), image.reason.c_str(),
                 static_cast<uint32_t>(image.error));
    return cli::kExitFailure;
  }
  cli::OutputFile file;
  std::unique_ptr<FILE, FileCloser> out(file.Open(*output) ? fdopen(dup(file.fd()), "wb") : nullptr);
  if (!out) {
    std::fprintf(stderr, "kvimage iso: %s: cannot create the file\n", output->c_str());
    return cli::kExitFailure;
  }
  auto fail = [&](const std::string& message) {
    std::fprintf(stderr, "kvimage iso: %s\n", message.c_str());
    out.reset();
    file.Discard();
    return cli::kExitFailure;
  };

  ImageSource& source = *image.source;
  const uint32_t total = source.sectorCount();
  std::vector<uint8_t> buffer(uint64_t{kSectorsPerRead} * kSectorSize);
  cli::Progress progress("Writing " + *output, total);
  for (uint32_t done = 0; done < total;) {
    const uint32_t n = std::min(kSectorsPerRead, total - done);
    if (source.ReadSectors(done, n, buffer.data()) != n)
      return fail(path + ": cannot read sectors " + std::to_string(done) + " to " + std::to_string(done + n - 1));
    if (std::fwrite(buffer.data(), kSectorSize, n, out.get()) != n) return fail(*output + ": cannot write");
    done += n;
    progress.Update(done);
  }
  progress.Finish();
  if (std::fflush(out.get()) != 0) return fail(*output + ": cannot write");
  if (std::fclose(out.release()) != 0) return fail(*output + ": cannot write");
  return cli::kExitOk;
}

const cli::RegisterVerb kIso({"iso", "write an image as a plain ISO",
                              std::string("Usage: kvimage iso FILE -o OUT [geometry options]\n\n"
                                          "Writes every 2048-byte sector of the image FILE to OUT.\n\n") +
                                  kGeometryUsage + cli::kTrackUsage,
                              RunIso});

}  // namespace
}  // namespace kv::kvimage
