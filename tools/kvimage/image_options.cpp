#include "tools/kvimage/image_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "formats/blockmap/block_map_reader.h"
#include "formats/daa/daa_image.h"
#include "formats/raw/track_layout.h"
#include "manager/inspect/disc_layout.h"
#include "tools/cli/track_option.h"

namespace kv::kvimage {

const std::vector<std::string> kGeometryOptions = {"format",   "sector-size",   "data-offset", "start-offset",
                                                   "password", "password-file", "track"};
const char* const kGeometryUsage =
    "  --format N         image format code (0 iso, 1 bin, 1000-1007 plain geometry, ...; default 0,\n"
    "                     or 6 for *.isz, 5 for *.uif and 3 for *.nrg)\n"
    "  --sector-size S    bytes per sector in the file (default 2048; 2352 for bin and 1000-1007)\n"
    "  --data-offset D    offset of the 2048 user bytes in a file sector (default 0; 16 for bin and 1000-1007)\n"
    "  --start-offset O   file offset of sector 0, may be negative (default 0)\n"
    "  --password P       password of an encrypted image (or --password-file F: its first line, - for stdin)\n"
    "  --format 3         NRG image (the layout comes from the file)\n"
    "  --format 100       audio disc: only raw reads through the --track layout\n";

int32_t FormatByExtension(const std::string& path, int32_t otherwise) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return otherwise;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (extension == "isz") return kFormatIsz;
  if (extension == "uif") return kFormatUif;
  if (extension == "nrg") return kFormatNrg;
  return otherwise;
}

bool ParseGeometry(const cli::Args& args, Geometry* g, std::string* error) {
  int64_t format = kFormatIso;
  if (!args.Has("format") && !args.positional().empty()) format = FormatByExtension(args.positional()[0], kFormatIso);
  if (!args.GetInt("format", INT32_MIN, INT32_MAX, &format, error)) return false;
  g->format = static_cast<int32_t>(format);
  const bool raw = g->format == kFormatBin || IsPlainGeometryFormat(g->format);
  int64_t sectorSize = raw ? kRawSectorSize : kSectorSize;
  int64_t dataOffset = raw ? 16 : 0;
  int64_t startOffset = 0;
  if (!args.GetInt("sector-size", 0, UINT32_MAX, &sectorSize, error) ||
      !args.GetInt("data-offset", 0, UINT32_MAX, &dataOffset, error) ||
      !args.GetInt("start-offset", INT32_MIN, INT32_MAX, &startOffset, error))
    return false;
  g->sectorSize = static_cast<uint32_t>(sectorSize);
  g->dataOffset = static_cast<uint32_t>(dataOffset);
  g->startOffset = static_cast<int32_t>(startOffset);
  g->formatGiven = args.Has("format") || format != kFormatIso;
  g->tracks = args.GetAll("track");
  auto scratch = std::make_unique<MountRequest>();
  std::memset(scratch.get(), 0, sizeof *scratch);
  if (!cli::ParseTrackOptions(g->tracks, scratch.get(), error)) return false;
  std::optional<std::string> password;
  if (!args.GetPassword(&password, error)) return false;
  g->password = password.value_or("");
  if (g->password.size() > kMaxPassword) {
    *error = "the password takes at most " + std::to_string(kMaxPassword) + " bytes";
    return false;
  }
  return true;
}

OpenedImage OpenImage(const std::string& picked, const Geometry& g) {
  OpenedImage out;
  auto request = std::make_unique<MountRequest>();
  std::memset(request.get(), 0, sizeof *request);
  request->Flags = 1;
  request->Format = g.format;
  request->SectorSize = g.sectorSize;
  request->DataOffset = g.dataOffset;
  request->StartOffset = g.startOffset;
  std::memcpy(request->Password, g.password.data(), std::min(g.password.size(), kMaxPassword));
  std::string path = picked;
  if (!g.tracks.empty()) {
    std::string ignored;  // ParseGeometry has checked the values
    cli::ParseTrackOptions(g.tracks, request.get(), &ignored);
    if (!g.formatGiven) cli::ChooseFormatForTracks(request.get());
  } else if (!g.formatGiven) {
    // A cue sheet or media descriptor (picked, or beside the picked data file) gives the layout.
    std::string reason;
    const DescriptorUse use = PrepareDescriptorMount(picked, request.get(), &path, &reason);
    if (use == DescriptorUse::kRefused) {
      out.error = kMountUnrecognised;
      out.reason = reason;
      return out;
    }
    if (use == DescriptorUse::kLayout) cli::ChooseFormatForTracks(request.get());
  }
  int error = 0;
  std::unique_ptr<RawFile> file = OpenPosixFile(path, &error);
  if (!file) {
    out.error = error == ENOENT || error == ENOTDIR ? kMountFileNotFound : kMountOpenFailed;
    out.reason = MountErrorText(out.error) + " (" + std::strerror(error) + ")";
    return out;
  }
  const int64_t fileSize = file->Size();
  // A DAA/GBI file (or a later volume of one) is taken as format 2 unless a format was given.
  uint8_t head[2048] = {};
  uint32_t got = 0;
  const bool daaLike = file->Read(0, sizeof head, head, &got) && daa::LooksLikeDaa(head, got);
  if (daaLike && !g.formatGiven && request->TrackCount == 0) request->Format = kFormatDaa;
  out.error = ImageSource::Open(*request, cli::Utf8ToUtf16(path), std::move(file), &out.source);
  if (out.error != kMountOk) out.reason = MountErrorText(out.error);
  if (out.error != kMountOk && (request->Format == kFormatDaa || daaLike)) {
    // Say why in the DAA/GBI reader's words (password, later volume, refused header flag).
    std::unique_ptr<RawFile> again = OpenPosixFile(path, &error);
    if (again) {
      ImageFile copy(std::move(again));
      std::u16string first;
      const std::string problem = daa::DescribeDaaProblem(copy, fileSize, cli::Utf8ToUtf16(path), g.password, &first);
      if (!problem.empty()) out.reason += ": " + problem;
      if (!first.empty()) out.reason += " " + cli::Utf16ToUtf8(first);
    }
  } else if (out.error == kMountUnrecognised && request->TrackCount > 0) {
    auto table = std::make_unique<TrackTable>();
    TrackTableFromRequest(*request, table.get());
    if (const char* why = CheckTrackTable(*table, fileSize)) out.reason += std::string(": ") + why;
  } else if (out.error == kMountUnrecognised) {
    // ISZ and UIF refusals say what is wrong with the image's tables.
    const std::string why = ExplainBlockMapRefusal(OpenPosixFile(path, &error), g.format, *request);
    if (!why.empty()) out.reason += ": " + why;
  }
  return out;
}

std::string MountErrorText(MountError error) {
  switch (error) {
    case kMountOk:
      return "no error";
    case kMountNoMemory:
      return "out of memory while creating the image source";
    case kMountFileTooLarge:
      return "image file larger than 2^60 bytes";
    case kMountUnrecognised:
      return "format not recognised or no file system found";
    case kMountFileNotFound:
      return "image file not found";
    case kMountOpenFailed:
      return "cannot open, query or read the file";
    case kMountUnsupportedVersion:
      return "unsupported DAA/GBI header version";
  }
  return "mount error " + std::to_string(static_cast<uint32_t>(error));
}

bool CheckUsage(const char* verb, const cli::Args& args, const std::vector<std::string>& known, size_t positional) {
  if (!args.ok()) {
    std::fprintf(stderr, "kvimage %s: %s\n", verb, args.error().c_str());
    return false;
  }
  const auto unknown = args.Unknown(known);
  if (!unknown.empty()) {
    std::fprintf(stderr, "kvimage %s: unknown option --%s (see kvimage %s --help)\n", verb, unknown[0].c_str(), verb);
    return false;
  }
  if (args.positional().size() != positional) {
    std::fprintf(stderr, "kvimage %s: expected %zu file name%s (see kvimage %s --help)\n", verb, positional,
                 positional == 1 ? "" : "s", verb);
    return false;
  }
  return true;
}

}  // namespace kv::kvimage
