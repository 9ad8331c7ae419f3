// The block-map reader of the format descriptor table (ISZ and UIF): the BlockMap as the
// ImageSource's reader state.
#pragma once
#include <cstdint>
#include <memory>

#include "formats/blockmap/block_map.h"
#include "formats/image_source_access.h"

namespace kv {

struct BlockMapState : FormatReaderState {
  explicit BlockMapState(uint32_t sectorSize, uint32_t dataOffset) : map(sectorSize, dataOffset) {}
  BlockMap map;
};

uint32_t ReadBlockMap(ImageSource& source, uint64_t first, uint32_t count, uint8_t* destination);

// Runs the file-system probe through `map` with its current geometry.
bool ProbeBlockMap(ImageFile& file, BlockMap& map, ProbeResult* result);

// The ISZ (6) and UIF (5) openers.
MountError OpenIsz(ImageSource& source, const MountRequest& request);
MountError OpenUif(ImageSource& source, const MountRequest& request);

// Builds the block map of an ISZ or UIF file; on failure *reason says why in a few words.
// The tools use these to explain a refused image.
bool BuildIszMap(ImageFile& file, uint64_t fileSize, const MountRequest& request, BlockMap* map, const char** reason);
bool BuildUifMap(ImageFile& file, uint64_t fileSize, BlockMap* map, const char** reason);

// A refusal of an ISZ or UIF `file` in words ("" when its tables are sound and only the
// file-system probe failed, or for other formats); for an encrypted ISZ whose tables are sound,
// the password.
const char* ExplainBlockMapRefusal(std::unique_ptr<RawFile> file, int32_t format, const MountRequest& request);

}  // namespace kv
