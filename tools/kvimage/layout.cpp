// kvimage layout: the track layout a cue sheet or media descriptor gives a disc.
#include <cstdio>
#include <string>

#include "manager/inspect/disc_layout.h"
#include "tools/kvimage/image_options.h"

namespace kv::kvimage {
namespace {

using inspect::DiscLayout;
using inspect::TrackInfo;

constexpr const char* kTextNames[15] = {"title",   "performer", "songwriter", "composer",   "arranger",
                                        "message", "discId",    "genre",      "tocInfo",    "tocInfo2",
                                        "text10",  "text11",    "text12",     "closedInfo", "code"};

std::string Msf(int64_t lba) {
  const int64_t a = lba + 150;
  if (a < 0) return "-";
  char out[32];
  std::snprintf(out, sizeof out, "%02lld:%02lld:%02lld", static_cast<long long>(a / 4500),
                static_cast<long long>(a / 75 % 60), static_cast<long long>(a % 75));
  return out;
}

std::string FlagNames(uint32_t flags) {
  std::string s;
  static constexpr const char* kNames[4] = {"DCP", "4CH", "PRE", "SCMS"};
  for (int i = 0; i < 4; ++i)
    if (flags & (1u << i)) s += std::string(s.empty() ? "" : " ") + kNames[i];
  return s;
}

std::string InfoJson(const TrackInfo* info) {
  std::string s;
  if (!info) return s;
  char number[48];
  std::snprintf(number, sizeof number, ",\"flags\":%u,\"lastIndex\":%d", info->flags, info->lastIndex);
  s += number;
  s += ",\"index\":{";
  bool first = true;
  for (int n = 0; n < 100; ++n) {
    if (n == 1 || (n > 0 && n > info->lastIndex) || (n == 0 && info->indexPosition[0] == 0)) continue;
    std::snprintf(number, sizeof number, "%s\"%d\":%d", first ? "" : ",", n, info->indexPosition[n]);
    s += number;
    first = false;
  }
  s += "}";
  for (int k = 0; k < 15; ++k)
    if (!info->wideText[k].empty())
      s += ",\"" + std::string(kTextNames[k]) + "\":" + cli::JsonString(cli::Utf16ToUtf8(info->wideText[k]));
  return s;
}

void PrintInfo(const TrackInfo* info, const char* indent) {
  if (!info) return;
  if (info->flags) std::printf("%sflags:    %s\n", indent, FlagNames(info->flags).c_str());
  if (info->indexPosition[0] != 0)
    std::printf("%sindex 00: %d sectors before INDEX 01\n", indent, -info->indexPosition[0]);
  for (int n = 2; n <= info->lastIndex && n < 100; ++n)
    std::printf("%sindex %02d: %d sectors after INDEX 01\n", indent, n, info->indexPosition[n]);
  for (int k = 0; k < 15; ++k)
    if (!info->wideText[k].empty())
      std::printf("%s%-9s %s\n", indent, (std::string(kTextNames[k]) + ":").c_str(),
                  cli::Utf16ToUtf8(info->wideText[k]).c_str());
}

int RunLayout(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  if (!CheckUsage("layout", args, {"json"}, 1)) return cli::kExitUsage;
  const std::string path = args.positional()[0];
  inspect::DescriptorChoice choice = inspect::ChooseDescriptor(cli::Utf8ToUtf16(path));
  if (!choice.layout) {
    std::string why = choice.failure.reason;
    const std::u16string wide = cli::Utf8ToUtf16(path);
    if (!inspect::LooksLikeDescriptorName(wide) && why.find("128 KiB") != std::string::npos)
      why = "and no cue sheet or media descriptor beside it describes it";
    std::fprintf(stderr, "kvimage layout: %s: not a cue sheet or media descriptor%s%s%s\n", path.c_str(),
                 why.empty() ? "" : " (", why.c_str(), why.empty() ? "" : ")");
    return cli::kExitFailure;
  }
  const DiscLayout& L = *choice.layout;
  const int served = inspect::ServedTrackCount(L);
  const int last = L.trackCount - 1;
  const int64_t leadOut = int64_t{L.start[last]} + L.length[last];
  const std::string image = cli::Utf16ToUtf8(L.imagePath);
  if (args.Has("json")) {
    std::string s = "{\"descriptor\":" + cli::JsonString(cli::Utf16ToUtf8(choice.descriptorPath)) +
                    ",\"image\":" + cli::JsonString(image) + ",\"trackCount\":" + std::to_string(L.trackCount) +
                    ",\"servedTracks\":" + std::to_string(served) + ",\"leadOut\":" + std::to_string(leadOut) +
                    ",\"sectors\":" + std::to_string(inspect::LayoutSectors(L)) +
                    ",\"cdText\":" + std::to_string(L.cdText.size() / 18) + ",\"disc\":{" +
                    (L.FindInfo(0) ? InfoJson(L.FindInfo(0)).substr(1) : "") + "},\"tracks\":[";
    for (int t = 0; t < L.trackCount; ++t) {
      char fields[512];
      std::snprintf(fields, sizeof fields,
                    "%s{\"number\":%d,\"mode\":%u,\"modeName\":\"%s\",\"start\":%d,\"pregap\":%d,\"pregapInFile\":%d,"
                    "\"postgap\":%d,\"postgapInFile\":%d,\"length\":%d,\"fileOffset\":%lld,\"fileEnd\":%lld,"
                    "\"sectorSize\":%d,\"dataOffset\":%lld,\"served\":%s,\"file\":",
                    t ? "," : "", t + 1, L.mode[t], inspect::TrackModeName(L.mode[t]), L.start[t], L.pregap[t],
                    L.pregapInFile[t], L.postgap[t], L.postgapInFile[t], L.length[t],
                    static_cast<long long>(L.fileOffset[t]), static_cast<long long>(L.fileEnd[t]), L.sectorSize[t],
                    static_cast<long long>(L.trackDataOffset[t]), t < served ? "true" : "false");
      s += fields;
      s += cli::JsonString(cli::Utf16ToUtf8(L.trackFilePath[t].empty() ? L.imagePath : L.trackFilePath[t]));
      s += InfoJson(L.FindInfo(t + 1)) + "}";
    }
    s += "]}";
    std::printf("%s\n", s.c_str());
    return cli::kExitOk;
  }
  std::printf("descriptor: %s\n", cli::Utf16ToUtf8(choice.descriptorPath).c_str());
  std::printf("image:      %s\n", image.c_str());
  std::printf("tracks:     %d\n", L.trackCount);
  std::printf("lead-out:   %lld (%s)\n", static_cast<long long>(leadOut), Msf(leadOut).c_str());
  if (!L.cdText.empty()) std::printf("cd-text:    %zu packs\n", L.cdText.size() / 18);
  PrintInfo(L.FindInfo(0), "  ");
  for (int t = 0; t < L.trackCount; ++t) {
    std::printf("track %02d  %-11s start %d (%s)  length %d  pregap %d  postgap %d\n", t + 1,
                inspect::TrackModeName(L.mode[t]), L.start[t], Msf(L.start[t]).c_str(), L.length[t], L.pregap[t],
                L.postgap[t]);
    std::printf("  file offset %lld  file end %lld  sector size %d", static_cast<long long>(L.fileOffset[t]),
                static_cast<long long>(L.fileEnd[t]), L.sectorSize[t]);
    if (L.trackDataOffset[t]) std::printf("  data offset %lld", static_cast<long long>(L.trackDataOffset[t]));
    std::printf("\n");
    if (t >= served)
      std::printf("  in %s: not served (a drive reads only %s)\n", cli::Utf16ToUtf8(L.trackFilePath[t]).c_str(),
                  image.c_str());
    PrintInfo(L.FindInfo(t + 1), "  ");
  }
  if (served < L.trackCount)
    std::printf("note: tracks %d-%d live in other files than the image; a mount serves tracks 1-%d only\n", served + 1,
                L.trackCount, served);
  return cli::kExitOk;
}

const cli::RegisterVerb kLayout({"layout", "print the track layout of a cue sheet or media descriptor",
                                 "Usage: kvimage layout FILE [--json]\n\n"
                                 "FILE is a cue sheet (.cue), a media descriptor (.mds), or a data file whose\n"
                                 "companion descriptor has the same name (x.bin -> x.cue, x.mdf -> x.mds).\n"
                                 "Prints every track's mode, start, gaps, length, position in the data file and\n"
                                 "sector size, with the flags, index positions, ISRCs, catalog and CD-TEXT texts.\n"
                                 "Exit status 1 when FILE is neither a descriptor nor has one.\n\n"
                                 "  --json   one JSON object on stdout\n",
                                 RunLayout});

}  // namespace
}  // namespace kv::kvimage
