#include "formats/blockmap/block_map_reader.h"

#include "formats/fs_probe.h"

namespace kv {

uint32_t ReadBlockMap(ImageSource& s, uint64_t first, uint32_t count, uint8_t* destination) {
  auto* state = dynamic_cast<BlockMapState*>(ImageSourceAccess::ReaderState(s).get());
  ImageFile* file = ImageSourceAccess::File(s);
  if (!state || !file) return 0;
  return state->map.ReadSectors(*file, first, count, destination);
}

bool ProbeBlockMap(ImageFile& file, BlockMap& map, ProbeResult* result) {
  *result = ProbeResult{};
  const SectorReader read = [&](uint32_t sector, uint8_t* out) {
    return map.ReadSectors(file, sector, 1, out) == 1 ? SectorRead::kOk : SectorRead::kFailed;
  };
  return ProbeFileSystem(read, result);
}

const char* ExplainBlockMapRefusal(std::unique_ptr<RawFile> raw, int32_t format, const MountRequest& request) {
  if (!raw || (format != kFormatIsz && format != kFormatUif)) return "";
  const int64_t size = raw->Size();
  ImageFile file(std::move(raw));
  if (!file.ok() || size < 0) return "";
  const char* reason = "";
  BlockMap map(kSectorSize, 0);
  if (format == kFormatUif) return BuildUifMap(file, static_cast<uint64_t>(size), &map, &reason) ? "" : reason;
  if (!BuildIszMap(file, static_cast<uint64_t>(size), request, &map, &reason)) return reason;
  // The tables are sound; with encryption the likely cause is the password.
  uint8_t encryption = 0;
  if (file.ReadAt(16, 1, &encryption) && encryption != 0)
    return request.Password[0] ? "encrypted ISZ image: the password is wrong"
                               : "encrypted ISZ image: a password is needed (--password-file)";
  return "";
}

}  // namespace kv
