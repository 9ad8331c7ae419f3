// The format descriptor table: one row per format code 0 to 7.
#include "formats/blockmap/block_map_reader.h"
#include "formats/image_source_access.h"
#include "formats/nrg/nrg_reader.h"

namespace kv {
namespace {

// The DAA/GBI (2), NRG (3), UIF (5) and ISZ (6) readers enter their reader and opener in their
// rows when they are added; until then those codes are refused like DMG (4) and MZP (7).
constexpr FormatDescriptor kFormats[kFormatTableCount] = {
    {"iso", ReadPlain2048, OpenPlain},     //
    {"bin", ReadPlainSectors, OpenPlain},  //
    {"daa", ReadDaa, OpenDaa},             //
    {"nrg", ReadNrg, OpenNrg},             //
    {"dmg", nullptr, nullptr},             // never read by the driver
    {"uif", ReadBlockMap, OpenUif},        //
    {"isz", ReadBlockMap, OpenIsz},        //
    {"mzp", nullptr, nullptr},             // containers are read in user mode
};

}  // namespace

const FormatDescriptor* FormatDescriptorFor(int32_t code) {
  return code >= 0 && code < kFormatTableCount ? &kFormats[code] : nullptr;
}

const char* ImageSource::FormatName(int32_t format) {
  if (format >= 0 && format < kFormatTableCount) return kFormats[format].name;
  if (IsPlainGeometryFormat(format)) return "plain";
  if (format == kFormatAudioDisc) return "audio";
  return nullptr;
}

}  // namespace kv
