// Writes sectors into an MZP container: chunks compressed with LZMA or a deflate variant,
// optionally AES-encrypted, the chunk table at the end (and deflated in an index descriptor), and
// split into volumes on request.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/mzppack/marfs_writer.h"

namespace kv::mzp {

enum class PackMethod : uint8_t { kLzma, kDeflate };

struct PackOptions {
  std::string password;    // empty: not encrypted; else the key is its first keyBits / 8 bytes
  uint32_t keyBits = 256;  // 128, 192 or 256
  PackMethod method = PackMethod::kLzma;
  uint32_t chunkSize = 128 * 1024;  // a multiple of 16 KiB, at most 4095 * 16 KiB
  uint64_t volumeSize = 0;          // 0: one file; else at least 64 KiB
  // Layout choices a reader must take; `kvimage pack` keeps the defaults.
  int variant = 0;                // deflate variant 0-3
  bool lzmaChunkHeaders = false;  // false: chunks rely on the header's LZMA prefix
  bool x86Filter = false;
  bool compressedTable = true;
  bool indexDescriptor = true;
  uint32_t lzmaPreset = 5;
};

// Checks the options; empty when usable, else the reason.
std::string CheckPackOptions(const PackOptions& options);

struct PackResult {
  std::vector<std::string> files;  // volume files written, first volume first
  uint64_t bytes = 0;              // their total size
  uint32_t chunks = 0;
};

// Writes `source` as the container `output` (for split containers the first volume's name gains
// ".part01" / ".part001" unless it has such a part). `progress` is told the sectors done.
bool WriteMzp(SectorSource& source, const std::string& output, const PackOptions& options, PackResult* result,
              std::string* error, const std::function<void(uint64_t)>& progress = {});

// The name of volume `index` of a split container written to `output` with naming scheme
// `scheme` (0: two digits, 1: three).
std::string SplitVolumeName(const std::string& output, uint32_t scheme, uint32_t index);

}  // namespace kv::mzp
