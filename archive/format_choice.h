// The order in which the library's formats are tried on a file: by extension, by the RAR volume
// rule, by the start signatures found in the file's first 2 MiB.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/codec_library.h"

namespace kv::archive {

inline constexpr size_t kSignatureScanBytes = 2 * 1024 * 1024;
inline constexpr size_t kRarVolumeProbeBytes = 1024;
inline constexpr size_t kMaxScanCandidates = 255;

// Reads up to `size` bytes from the start of the file into `buffer`; returns the count read.
using ReadHead = std::function<size_t(uint8_t* buffer, size_t size)>;

// Extension of a file name: the text after the last ".", empty when there is none.
std::u16string ExtensionOf(std::u16string_view fileName);

// True for the first volume of a multi-volume RAR archive (bytes 0-6 "Rar!\x1A\x07\x00", byte 9
// 0x73, bit 0 of byte 10).
bool IsFirstRarVolume(const uint8_t* head, size_t size);

// Fills `order` with format indices in the order to try them. False when the open must fail:
// an empty file or too many candidates for the signature scan.
bool ChooseFormatOrder(const std::vector<FormatInfo>& formats, std::u16string_view fileName, const ReadHead& readHead,
                       std::vector<size_t>* order);

}  // namespace kv::archive
