// The file-system probe: ISO 9660 (+ Joliet, El Torito), UDF and XBOX recognition over any
// reader of 2048-byte sectors, so that the driver's ImageSource and the manager share it.
#pragma once
#include <cstdint>
#include <functional>

#include "formats/image_source.h"

namespace kv {

enum class SectorRead {
  kOk,       // 2048 bytes delivered
  kSkipped,  // the sector lies before the start of the file (negative file position)
  kFailed,
};

// Reads one 2048-byte user-data sector into `out`.
using SectorReader = std::function<SectorRead(uint32_t sector, uint8_t* out)>;

// Fills *result and returns result->accepted: UDF, XBOX, or a primary volume descriptor with
// logical block size 2048.
bool ProbeFileSystem(const SectorReader& read, ProbeResult* result);

}  // namespace kv
