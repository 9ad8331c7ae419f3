#include "tools/kvctl/mount_options.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>

#include "common/mount_request.h"
#include "formats/daa/daa_image.h"
#include "formats/image_source.h"
#include "formats/raw_file.h"
#include "manager/inspect/disc_layout.h"
#include "platform/ntpath.h"
#include "tools/cli/track_option.h"

namespace kv::tools {
namespace {

// Without --format, *.isz, *.uif and *.nrg files are mounted as ISZ (6), UIF (5) and NRG (3);
// anything else as 0.
int64_t FormatByExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return kFormatIso;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (extension == "nrg") return kFormatNrg;
  return extension == "isz" ? kFormatIsz : extension == "uif" ? kFormatUif : kFormatIso;
}

}  // namespace

std::vector<std::string> MountOptionNames() {
  return {"format", "sector-size", "data-offset", "start-offset", "password", "password-file", "track"};
}

MountOptionsResult MountRequestFromOptions(const cli::Args& args, const std::string& file, std::vector<uint8_t>* buffer,
                                           std::string* image, std::string* error, std::string* imageProblem) {
  int64_t format = FormatByExtension(file), sectorSize = 2048, dataOffset = 0, startOffset = 0;
  if (!args.GetInt("format", -1, 100000, &format, error) ||
      !args.GetInt("sector-size", 1, 1 << 20, &sectorSize, error) ||
      !args.GetInt("data-offset", 0, UINT32_MAX, &dataOffset, error) ||
      !args.GetInt("start-offset", INT32_MIN, INT32_MAX, &startOffset, error))
    return MountOptionsResult::kUsage;
  auto layout = std::make_unique<MountRequest>();
  std::memset(layout.get(), 0, sizeof *layout);
  if (!cli::ParseTrackOptions(args.GetAll("track"), layout.get(), error)) return MountOptionsResult::kUsage;
  std::optional<std::string> given;
  if (!args.GetPassword(&given, error)) return MountOptionsResult::kUsage;
  const std::string password = given.value_or("");
  if (password.size() > 256) {
    *error = "--password takes at most 256 bytes";
    return MountOptionsResult::kUsage;
  }
  {
    int openError = 0;
    std::unique_ptr<RawFile> raw = OpenPosixFile(file, &openError);
    uint8_t head[16] = {};
    uint32_t got = 0;
    if (raw && raw->Read(0, sizeof head, head, &got) && daa::LooksLikeDaa(head, got)) {
      if (!args.Has("format")) format = kFormatDaa;
      const int64_t size = raw->Size();
      ImageFile daaFile(std::move(raw));
      std::u16string first;
      const std::string problem = daa::DescribeDaaProblem(daaFile, size, cli::Utf8ToUtf16(file), password, &first);
      if (!first.empty()) {
        *error = file + ": " + problem + " " + cli::Utf16ToUtf8(first);
        return MountOptionsResult::kRefused;
      }
      if (imageProblem) *imageProblem = problem;
    }
  }
  *image = file;
  if (layout->TrackCount == 0 && !args.Has("format") && format == kFormatIso) {
    std::string reason;
    if (PrepareDescriptorMount(file, layout.get(), image, &reason) == DescriptorUse::kRefused) {
      *error = file + ": " + reason;
      return MountOptionsResult::kRefused;
    }
  }
  std::u16string name;
  if (!platform::LinuxPathToNt(*image, &name)) {
    *error = "'" + *image + "' cannot be given to the driver";
    return MountOptionsResult::kUsage;
  }
  const size_t nameBytes = name.size() * 2;
  if (nameBytes > 0xFFFF - 2) {
    *error = "path too long";
    return MountOptionsResult::kUsage;
  }
  buffer->assign(kMountRequestMinSize + nameBytes, 0);
  auto* request = reinterpret_cast<MountRequest*>(buffer->data());
  request->Flags = 1;
  request->Format = static_cast<int32_t>(format);
  request->SectorSize = static_cast<uint32_t>(sectorSize);
  request->DataOffset = static_cast<uint32_t>(dataOffset);
  request->StartOffset = static_cast<int32_t>(startOffset);
  if (layout->TrackCount > 0) {
    // The track fields lie between the password and Reserved1.
    std::memcpy(&request->TrackCount, &layout->TrackCount,
                offsetof(MountRequest, Reserved1) - offsetof(MountRequest, TrackCount));
    if (!args.Has("format")) cli::ChooseFormatForTracks(request);
  }
  std::memcpy(request->Password, password.data(), password.size());
  request->NameLength = static_cast<uint16_t>(nameBytes);
  std::memcpy(buffer->data() + kMountRequestFixedSize, name.data(), nameBytes);
  return MountOptionsResult::kOk;
}

}  // namespace kv::tools
