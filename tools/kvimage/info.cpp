// kvimage info: what the image mount would make of a file.
#include <cstdio>
#include <string>

#include "archive/seekable_decompressor.h"
#include "formats/daa/daa_image.h"
#include "formats/fs_probe.h"
#include "platform/files.h"
#include "tools/cli/track_option.h"
#include "tools/kvimage/image_options.h"
#include "tools/kvimage/mzp_source.h"

namespace kv::kvimage {
namespace {

// After a refused open the probe results are gone; probe again with the plain geometry so the
// report can say what was found (a 512-byte block size, say).
bool ProbeForDiagnosis(const std::string& path, const Geometry& g, ProbeResult* result) {
  int error = 0;
  auto raw = OpenPosixFile(path, &error);
  if (!raw || g.sectorSize == 0) return false;
  ImageFile file(std::move(raw));
  const SectorReader direct = [&](uint32_t sector, uint8_t* out) {
    const int64_t position = static_cast<int64_t>(sector) * g.sectorSize + g.startOffset;
    if (position < 0) return SectorRead::kSkipped;
    return file.ReadAt(static_cast<uint64_t>(position) + g.dataOffset, kSectorSize, out) ? SectorRead::kOk
                                                                                         : SectorRead::kFailed;
  };
  ProbeFileSystem(direct, result);
  return true;
}

// A file compressed as one stream, as a mount indexes it: its true size and what the seek-point
// index keeps. Empty for other files.
std::string CompressedStreamJson(const std::string& path) {
  archive::IndexOptions options;
  options.folder = platform::GetTempPath();
  archive::IndexError error;
  const auto d = archive::SeekableDecompressor::Create(path, options, &error);
  if (!d) return {};
  return ",\"compression\":\"" + std::string(archive::CompressionName(d->compression())) +
         "\",\"uncompressedSize\":" + std::to_string(d->size()) + ",\"seekPoints\":" + std::to_string(d->pointCount()) +
         ",\"indexBytes\":" + std::to_string(d->indexBytes()) + ",\"damaged\":" + (d->damaged() ? "true" : "false");
}

int RunInfo(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  std::vector<std::string> known = kGeometryOptions;
  known.push_back("json");
  if (!CheckUsage("info", args, known, 1)) return cli::kExitUsage;
  Geometry g;
  std::string error;
  if (!ParseGeometry(args, &g, &error)) {
    std::fprintf(stderr, "kvimage info: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  const std::string path = args.positional()[0];
  if (IsMzpFile(path)) return MzpInfo(path, g.password, args.Has("json"));
  OpenedImage image = OpenImage(path, g);

  auto probe = std::make_unique<ProbeResult>();
  int32_t format = kFormatUnusable;
  uint32_t sectors = 0;
  if (image.source) {
    *probe = image.source->probe();
    format = image.source->format();
    sectors = image.source->sectorCount();
  } else if (image.error == kMountUnrecognised &&
             (g.format == kFormatIso || g.format == kFormatBin || IsPlainGeometryFormat(g.format))) {
    ProbeForDiagnosis(path, g, probe.get());
  }
  const ProbeResult& p = *probe;

  if (args.Has("json")) {
    std::printf(
        "{\"file\":%s,\"format\":%d,\"sectors\":%u,\"error\":%u,\"iso\":%s,\"joliet\":%d,\"udf\":%s,\"xbox\":%s,"
        "\"elTorito\":%s,\"blockSize\":%u,\"volumeSpace\":%u,\"udfPartitionStart\":%u,\"udfPartitionLength\":%u%s}\n",
        cli::JsonString(path).c_str(), format, sectors, static_cast<uint32_t>(image.error), p.iso ? "true" : "false",
        p.jolietLevel, p.udf ? "true" : "false", p.xbox ? "true" : "false", p.elTorito ? "true" : "false",
        p.logicalBlockSize, p.volumeSpaceSize, p.udfPartitionStart, p.udfPartitionLength,
        image.source ? "" : CompressedStreamJson(path).c_str());
  } else {
    const char* name = ImageSource::FormatName(format);
    std::printf("file:     %s\n", path.c_str());
    std::printf("format:   %d%s%s%s\n", format, name ? " (" : "", name ? name : "", name ? ")" : "");
    std::printf("sectors:  %u (%llu bytes)\n", sectors, static_cast<unsigned long long>(sectors) * kSectorSize);
    std::printf("error:    %u%s%s\n", static_cast<uint32_t>(image.error), image.error ? " " : "",
                image.error ? image.reason.c_str() : "");
    if (p.iso)
      std::printf("iso:      yes (descriptor %d, block size %u, volume space %u)\n", p.primaryIndex, p.logicalBlockSize,
                  p.volumeSpaceSize);
    else
      std::printf("iso:      no\n");
    if (p.jolietLevel)
      std::printf("joliet:   level %d (descriptor %d)\n", p.jolietLevel, p.jolietIndex);
    else
      std::printf("joliet:   no\n");
    if (p.udf)
      std::printf("udf:      yes (NSR0%d, partition start %u, length %u, %u partition map%s)\n", p.udfNsrVersion,
                  p.udfPartitionStart, p.udfPartitionLength, p.udfPartitionMapCount,
                  p.udfPartitionMapCount == 1 ? "" : "s");
    else
      std::printf("udf:      no\n");
    std::printf("xbox:     %s\n", p.xbox ? "yes" : "no");
    std::printf("el torito: %s\n", p.elTorito ? "yes" : "no");
    if (const daa::DaaImage* d = image.source ? DaaImageOf(*image.source) : nullptr) {
      static const char* const kSignatures[] = {"DAA", "GBI", "GBI (alternative signature)"};
      std::printf("daa:      %s version 0x%x, chunk size %u, %u chunks, %u volume%s, %s\n",
                  kSignatures[static_cast<int>(d->signature())], d->version(), d->chunkSize(), d->chunkCount(),
                  d->volumeCount(), d->volumeCount() == 1 ? "" : "s", d->encrypted() ? "encrypted" : "not encrypted");
    }
  }
  if (image.error != kMountOk) {
    std::fprintf(stderr, "kvimage info: %s: %s\n", path.c_str(), image.reason.c_str());
    return cli::kExitFailure;
  }
  return cli::kExitOk;
}

const cli::RegisterVerb kInfo(
    {"info", "report format, sector count and file systems of an image",
     std::string("Usage: kvimage info FILE [geometry options] [--json]\n\n"
                 "Opens FILE as the image mount would and reports the format, the number of\n"
                 "2048-byte sectors, the MountError (0 on success) and the file systems found.\n"
                 "Exit status 1 when the image would be refused.\n\n") +
         kGeometryUsage + cli::kTrackUsage + "  --json             one JSON object on stdout\n",
     RunInfo});

}  // namespace
}  // namespace kv::kvimage
