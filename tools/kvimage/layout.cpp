// kvimage layout: the disc layout a cue sheet or media descriptor describes.
#include <cstdio>
#include <string>

#include "manager/inspect/disc_layout.h"
#include "tools/kvimage/image_options.h"

namespace kv::kvimage {
namespace {

const char* ModeName(uint8_t mode) {
  switch (mode) {
    case TRACK_AUDIO:
      return "AUDIO";
    case TRACK_MODE1_2048:
      return "MODE1/2048";
    case TRACK_MODE1_RAW:
      return "MODE1/2352";
    case TRACK_MODE2_2336:
      return "MODE2/2336";
    case TRACK_MODE2_FORM1:
      return "MODE2/FORM1";
    case TRACK_MODE2_FORM2:
      return "MODE2/FORM2";
    case TRACK_MODE2_RAW:
      return "MODE2/2352";
    default:
      return "unknown";
  }
}

const char* const kTextNames[] = {"title",   "performer", "songwriter", "composer", "arranger",
                                  "message", "discId",    "genre",      "toc",      "toc2",
                                  "text8a",  "text8b",    "text8c",     "closed",   "code"};

std::string Texts(const TrackInfo* info, bool json) {
  std::string out;
  if (!info) return out;
  for (int k = 0; k < 15; ++k) {
    if (info->text[k].empty()) continue;
    if (json)
      out += std::string(",\"") + kTextNames[k] + "\":" + cli::JsonString(info->text[k]);
    else
      out += std::string("  ") + kTextNames[k] + " " + info->text[k] + "\n";
  }
  if (info->flags) {
    std::string flags;
    if (info->flags & kFlagDcp) flags += " DCP";
    if (info->flags & kFlag4Ch) flags += " 4CH";
    if (info->flags & kFlagPre) flags += " PRE";
    if (info->flags & kFlagScms) flags += " SCMS";
    out += json ? ",\"flags\":" + cli::JsonString(flags.substr(1)) : "  flags" + flags + "\n";
  }
  return out;
}

int RunLayout(int argc, char** argv) {
  cli::Args args(argc, argv, {"json"});
  if (!CheckUsage("layout", args, {"json"}, 1)) return cli::kExitUsage;
  const std::string picked = args.positional()[0];
  ImageChoice choice = ChooseImage(picked);
  if (!choice.layout) {
    std::fprintf(stderr, "kvimage layout: %s: not a cue sheet or media descriptor, and none lies beside it\n",
                 picked.c_str());
    return cli::kExitFailure;
  }
  const DiscLayout& l = *choice.layout;
  const bool json = args.Has("json");
  const char* unservable = ServableFromOneFile(l);
  if (json) {
    std::printf("{\"descriptor\":%s,\"image\":%s,\"tracks\":%d,\"leadOut\":%d,\"mountable\":%s%s%s%s}\n",
                cli::JsonString(choice.descriptor).c_str(), cli::JsonString(choice.image).c_str(), l.trackCount,
                LayoutSectors(l), unservable ? "false" : "true", unservable ? ",\"reason\":" : "",
                unservable ? cli::JsonString(unservable).c_str() : "", Texts(l.info[0].get(), true).c_str());
  } else {
    std::printf("descriptor: %s\nimage:      %s\ntracks:     %d, lead-out at sector %d\n", choice.descriptor.c_str(),
                choice.image.c_str(), l.trackCount, LayoutSectors(l));
    if (unservable) std::printf("not mountable: %s\n", unservable);
    std::printf("%s", Texts(l.info[0].get(), false).c_str());
  }
  for (int t = 0; t < l.trackCount; ++t) {
    const TrackInfo* info = l.info[t + 1].get();
    if (json) {
      std::printf(
          "{\"track\":%d,\"mode\":%s,\"start\":%d,\"pregap\":%d,\"pregapInFile\":%d,\"length\":%d,\"postgap\":%d,"
          "\"fileOffset\":%lld,\"fileEnd\":%lld,\"sectorSize\":%d,\"file\":%s%s}\n",
          t + 1, cli::JsonString(ModeName(l.mode[t])).c_str(), l.start[t], l.pregap[t], l.pregapInFile[t], l.length[t],
          l.postgap[t], static_cast<long long>(l.fileOffset[t]), static_cast<long long>(l.fileEnd[t]), l.sectorSize[t],
          cli::JsonString(l.trackFile[t]).c_str(), Texts(info, true).c_str());
    } else {
      std::printf(
          "track %2d %-11s start %d, pregap %d (%d in file), length %d, post-gap %d; file offset %lld, end %lld, "
          "%d-byte sectors%s%s\n%s",
          t + 1, ModeName(l.mode[t]), l.start[t], l.pregap[t], l.pregapInFile[t], l.length[t], l.postgap[t],
          static_cast<long long>(l.fileOffset[t]), static_cast<long long>(l.fileEnd[t]), l.sectorSize[t],
          l.trackFile[t] == l.imagePath ? "" : " in ", l.trackFile[t] == l.imagePath ? "" : l.trackFile[t].c_str(),
          Texts(info, false).c_str());
    }
  }
  return cli::kExitOk;
}

const cli::RegisterVerb kLayout({"layout", "print the disc layout of a cue sheet or media descriptor",
                                 "Usage: kvimage layout FILE [--json]\n\n"
                                 "FILE is a cue sheet (.cue), a media descriptor (.mds), or a data file (.bin,\n"
                                 ".mdf) with its descriptor beside it. Prints the tracks (mode, start, gaps,\n"
                                 "length, file offsets, sector size) and the texts, flags, ISRCs and catalog the\n"
                                 "descriptor gives; a layout whose tracks lie in several files is shown but\n"
                                 "cannot be mounted.\n",
                                 RunLayout});

}  // namespace
}  // namespace kv::kvimage
