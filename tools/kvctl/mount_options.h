// The MountRequest of an image file from the geometry options of kvctl (dev mount, svc mount-image).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/cli.h"

namespace kv::tools {

inline constexpr const char* kMountOptionsUsage =
    "[--format F] [--sector-size S] [--data-offset D] [--start-offset O]\n"
    "  [--track MODE:START:LENGTH:OFFSET:SECTORSIZE[:PREGAP:PREGAPINFILE:POSTGAP:POSTGAPINFILE]]...\n"
    "  [--password P | --password-file F]";
// The option names, for Args::Unknown.
std::vector<std::string> MountOptionNames();

enum class MountOptionsResult {
  kOk,
  kUsage,    // the options are wrong
  kRefused,  // the picked file's cue sheet or media descriptor cannot be used
};

// Builds the request for `file`: flags 1, the options' format (by the file's extension when none
// is given: *.isz 6, *.uif 5, *.nrg 3, else 0), geometry, tracks and password; a cue sheet or media
// descriptor (picked, or beside the picked data file) gives the image and its layout when
// neither tracks nor a format are given. `image` receives the file the request names. A DAA/GBI
// file is mounted as format 2 when no format is given, and a later volume of a split image is
// refused, naming the first; `imageProblem` receives what is wrong with such an image, to explain
// a refusal by the driver.
MountOptionsResult MountRequestFromOptions(const cli::Args& args, const std::string& file,
                                           std::vector<uint8_t>* request, std::string* image, std::string* error,
                                           std::string* imageProblem = nullptr);

}  // namespace kv::tools
