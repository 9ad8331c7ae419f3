#include "tools/kvctl/mount_options.h"

#include <cstring>
#include <optional>

#include "common/mount_request.h"
#include "platform/ntpath.h"

namespace kv::tools {

namespace {

// Without --format, *.isz and *.uif files are mounted as ISZ (6) and UIF (5); anything else as 0.
int64_t FormatByExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return kFormatIso;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return extension == "isz" ? kFormatIsz : extension == "uif" ? kFormatUif : kFormatIso;
}

}  // namespace

std::vector<std::string> MountOptionNames() {
  return {"format", "sector-size", "data-offset", "start-offset", "password", "password-file"};
}

bool MountRequestFromOptions(const cli::Args& args, const std::string& file, std::vector<uint8_t>* buffer,
                             std::string* error) {
  int64_t format = FormatByExtension(file), sectorSize = 2048, dataOffset = 0, startOffset = 0;
  if (!args.GetInt("format", -1, 100000, &format, error) ||
      !args.GetInt("sector-size", 1, 1 << 20, &sectorSize, error) ||
      !args.GetInt("data-offset", 0, UINT32_MAX, &dataOffset, error) ||
      !args.GetInt("start-offset", INT32_MIN, INT32_MAX, &startOffset, error))
    return false;
  std::optional<std::string> given;
  if (!args.GetPassword(&given, error)) return false;
  const std::string password = given.value_or("");
  if (password.size() > 256) {
    *error = "--password takes at most 256 bytes";
    return false;
  }
  std::u16string name;
  if (!platform::LinuxPathToNt(file, &name)) {
    *error = "'" + file + "' cannot be given to the driver";
    return false;
  }
  const size_t nameBytes = name.size() * 2;
  if (nameBytes > 0xFFFF - 2) {
    *error = "path too long";
    return false;
  }
  buffer->assign(kMountRequestMinSize + nameBytes, 0);
  auto* request = reinterpret_cast<MountRequest*>(buffer->data());
  request->Flags = 1;
  request->Format = static_cast<int32_t>(format);
  request->SectorSize = static_cast<uint32_t>(sectorSize);
  request->DataOffset = static_cast<uint32_t>(dataOffset);
  request->StartOffset = static_cast<int32_t>(startOffset);
  std::memcpy(request->Password, password.data(), password.size());
  request->NameLength = static_cast<uint16_t>(nameBytes);
  std::memcpy(buffer->data() + kMountRequestFixedSize, name.data(), nameBytes);
  return true;
}

}  // namespace kv::tools
