// What the kvimage verbs share: the geometry options of a MountRequest and opening a file the
// way the driver's image mount does.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mount_request.h"
#include "formats/image_source.h"
#include "tools/cli/cli.h"

namespace kv::kvimage {

// --format N --sector-size S --data-offset D --start-offset O --password P --password-file F
extern const std::vector<std::string> kGeometryOptions;
extern const char* const kGeometryUsage;

struct Geometry {
  int32_t format = kFormatIso;
  uint32_t sectorSize = kSectorSize;
  uint32_t dataOffset = 0;
  int32_t startOffset = 0;
  bool formatGiven = false;         // without it a DAA/GBI file is also recognised by its signature
  std::vector<std::string> tracks;  // --track values, in order
  std::string password;             // --password / --password-file (encrypted ISZ, DAA, GBI)
};

// Reads the geometry options; the format's usual geometry fills what is not given
// ("bin" and the plain codes: 2352 and 16, everything else 2048 and 0). Without --format, a
// file named *.isz or *.uif is taken as that format.
bool ParseGeometry(const cli::Args& args, Geometry* geometry, std::string* error);

// The format code a file name suggests (*.isz 6, *.uif 5, *.nrg 3), else `otherwise`.
int32_t FormatByExtension(const std::string& path, int32_t otherwise);
inline constexpr size_t kMaxPassword = 256;

struct OpenedImage {
  std::unique_ptr<ImageSource> source;
  MountError error = kMountOk;
  std::string reason;  // one line, without the file name
};

// Opens `path` as the image mount does: file errors become MountError 12 or 13. Without
// --format and --track, a cue sheet or media descriptor (the picked file, or the companion of a
// picked .bin/.mdf) gives the image file and its track layout.
OpenedImage OpenImage(const std::string& path, const Geometry& geometry);

// Text for a MountError value.
std::string MountErrorText(MountError error);

// Checks the positional words and unknown options of a verb; prints the usage error and
// returns false when they do not fit.
bool CheckUsage(const char* verb, const cli::Args& args, const std::vector<std::string>& known, size_t positional);

}  // namespace kv::kvimage
