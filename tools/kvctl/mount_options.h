// The MountRequest of an image file from the geometry options of kvctl (dev mount, svc mount-image).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/cli.h"

namespace kv::tools {

inline constexpr const char* kMountOptionsUsage =
    "[--format F] [--sector-size S] [--data-offset D] [--start-offset O] [--password P | --password-file F]";
// The option names, for Args::Unknown.
std::vector<std::string> MountOptionNames();

// Builds the request for `file` (flags 1, the options' geometry and password, the NT name).
// False with a usage error text.
bool MountRequestFromOptions(const cli::Args& args, const std::string& file, std::vector<uint8_t>* request,
                             std::string* error);

}  // namespace kv::tools
