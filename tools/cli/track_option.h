// The repeatable --track option of kvimage and kvctl: a disc's track layout given on the
// command line, one track per option, in the order of the disc.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/mount_request.h"

namespace kv::cli {

// MODE:START:LENGTH:OFFSET:SECTORSIZE[:PREGAP:PREGAPINFILE:POSTGAP:POSTGAPINFILE]
extern const char* const kTrackUsage;

// Fills the track fields of `request` (count, per-track values, the lead-out after the last
// track's post-gap). MODE is a TrackMode number or one of audio, mode1, mode1raw, mode2,
// form1, form2, mode2raw. False with a message when a value does not parse or there are more
// than 99 tracks; whether the layout fits the file is the image source's check.
bool ParseTrackOptions(const std::vector<std::string>& specs, MountRequest* request, std::string* error);

// The format a track layout is mounted with when none is given: an audio disc when the first
// track is audio, else the plain geometry of the first track's sector size. Sets the geometry.
void ChooseFormatForTracks(MountRequest* request);

// Prints a READ_TOC answer (format 0) of `size` bytes: a line per track and the lead-out, or a
// JSON object per line. An answer without a length field holds one descriptor.
void PrintTableOfContents(const uint8_t* toc, size_t size, bool json);

}  // namespace kv::cli
