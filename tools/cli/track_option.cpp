#include "tools/cli/track_option.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kv::cli {
namespace {

const struct {
  const char* name;
  uint8_t mode;
} kModeNames[] = {{"audio", TRACK_AUDIO},       {"mode1", TRACK_MODE1_2048},  {"mode1raw", TRACK_MODE1_RAW},
                  {"mode2", TRACK_MODE2_2336},  {"form1", TRACK_MODE2_FORM1}, {"form2", TRACK_MODE2_FORM2},
                  {"mode2raw", TRACK_MODE2_RAW}};

bool ParseNumber(const std::string& s, int64_t minimum, int64_t maximum, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || v < minimum || v > maximum) return false;
  *out = v;
  return true;
}

}  // namespace

const char* const kTrackUsage =
    "  --track MODE:START:LENGTH:OFFSET:SECTORSIZE[:PREGAP:PREGAPINFILE:POSTGAP:POSTGAPINFILE]\n"
    "                     one track of the disc's layout, repeated for each track in order. MODE is\n"
    "                     audio, mode1, mode1raw, mode2, form1, form2, mode2raw or a number; START is\n"
    "                     the first data sector, LENGTH the data sectors, OFFSET the file offset of\n"
    "                     sector START, SECTORSIZE 2048, 2336 or 2352; the gaps are sectors before\n"
    "                     START and after the data, and how many of them the file holds. Without\n"
    "                     --format: audio disc (100) when track 1 is audio, else the plain geometry\n"
    "                     of track 1.\n";

bool ParseTrackOptions(const std::vector<std::string>& specs, MountRequest* r, std::string* error) {
  if (specs.size() >= static_cast<size_t>(kMaxTracks)) {
    *error = "a layout has at most 99 tracks";
    return false;
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
      const size_t colon = specs[i].find(':', from);
      parts.push_back(specs[i].substr(from, colon == std::string::npos ? std::string::npos : colon - from));
      if (colon == std::string::npos) break;
      from = colon + 1;
    }
    const std::string which = "--track " + specs[i] + ": ";
    if (parts.size() != 5 && parts.size() != 9) {
      *error = which + "expected MODE:START:LENGTH:OFFSET:SECTORSIZE and optionally 4 gap values";
      return false;
    }
    int64_t mode = -1;
    for (const auto& m : kModeNames)
      if (parts[0] == m.name) mode = m.mode;
    if (mode < 0 && !ParseNumber(parts[0], 0, 255, &mode)) {
      *error = which + "unknown mode '" + parts[0] + "'";
      return false;
    }
    int64_t v[9] = {};
    const char* names[] = {"",       "START",        "LENGTH",  "OFFSET",       "SECTORSIZE",
                           "PREGAP", "PREGAPINFILE", "POSTGAP", "POSTGAPINFILE"};
    for (size_t k = 1; k < parts.size(); ++k) {
      const int64_t minimum = k == 1 ? INT32_MIN : k == 3 ? INT64_MIN : 0;
      const int64_t maximum = k == 3 ? INT64_MAX : INT32_MAX;
      if (!ParseNumber(parts[k], minimum, maximum, &v[k])) {
        *error = which + names[k] + " is not a number in range";
        return false;
      }
    }
    r->TrackMode[i] = static_cast<uint8_t>(mode);
    r->TrackStart[i] = static_cast<int32_t>(v[1]);
    r->TrackLength[i] = static_cast<int32_t>(v[2]);
    r->TrackFileOffset[i] = v[3];
    r->TrackSectorSize[i] = static_cast<int32_t>(v[4]);
    r->TrackPregap[i] = static_cast<int32_t>(v[5]);
    r->TrackPregapInFile[i] = static_cast<int32_t>(v[6]);
    r->TrackPostgap[i] = static_cast<int32_t>(v[7]);
    r->TrackPostgapInFile[i] = static_cast<int32_t>(v[8]);
    const int64_t storedAfter = (v[2] + v[8]) * v[4];
    r->TrackFileEnd[i] = v[3] > INT64_MAX - storedAfter ? INT64_MAX : v[3] + storedAfter;
  }
  r->TrackCount = static_cast<uint32_t>(specs.size());
  if (!specs.empty()) {
    const size_t last = specs.size() - 1;
    const int64_t leadOut = int64_t{r->TrackStart[last]} + r->TrackLength[last] + r->TrackPostgap[last];
    r->TrackStart[specs.size()] = leadOut > INT32_MAX ? INT32_MAX : static_cast<int32_t>(leadOut);
  }
  return true;
}

void ChooseFormatForTracks(MountRequest* r) {
  if (r->TrackCount == 0) return;
  const int32_t size = r->TrackSectorSize[0];
  if (r->TrackMode[0] == TRACK_AUDIO) {
    r->Format = kFormatAudioDisc;
  } else if (size == static_cast<int32_t>(kRawSectorSize)) {
    r->Format = kFormatBin;
    r->SectorSize = kRawSectorSize;
    r->DataOffset = r->TrackMode[0] == TRACK_MODE1_2048 || r->TrackMode[0] == TRACK_MODE1_RAW ? 16 : 24;
  } else if (size == 2336) {
    r->Format = kFormatPlainFirst;
    r->SectorSize = 2336;
    r->DataOffset = 8;
  } else {
    r->Format = kFormatIso;
    r->SectorSize = kSectorSize;
    r->DataOffset = 0;
  }
  // Sector 0 of the user data is the first track's start.
  const int64_t start =
      r->TrackFileOffset[0] - int64_t{r->TrackStart[0]} * (r->Format == kFormatAudioDisc ? kRawSectorSize : size);
  r->StartOffset = start < INT32_MIN || start > INT32_MAX ? 0 : static_cast<int32_t>(start);
  if (r->Format == kFormatAudioDisc) r->StartOffset = 0;
}

void PrintTableOfContents(const uint8_t* toc, size_t size, bool json) {
  if (size < 4) return;
  const unsigned length = (toc[0] << 8) | toc[1];
  if (!json) std::printf("first track %u, last track %u\n", toc[2], toc[3]);
  const unsigned descriptors = length >= 2 ? (length - 2) / 8 : 1;
  for (unsigned i = 0; i < descriptors && 4 + i * 8 + 8 <= size; ++i) {
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
}

}  // namespace kv::cli
