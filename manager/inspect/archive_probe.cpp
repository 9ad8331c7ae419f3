// Archives that the service mounts: opened once here with the codec library to learn whether
// they open at all and whether a password is needed.
#include <cstdlib>
#include <filesystem>

#include "archive/mounted_archive.h"
#include "manager/inspect/image_probe.h"
#include "platform/wide_text.h"

namespace kv::inspect {
namespace {

// The store folder the library open wants; nothing is extracted during an open.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvprobe.XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::unique_ptr<archive::MountedArchive> OpenWith(const std::string& path, const InspectContext& context,
                                                  const std::optional<std::u16string>& password, bool* asked,
                                                  archive::OpenError* error) {
  ScratchFolder scratch;
  archive::OpenRequest request;
  request.path = path;
  request.installDir = context.installDir;
  request.password = password;
  request.storeFolder = scratch.path();
  request.passwordAsked = asked;
  request.encryptionOnly = true;
  return archive::MountedArchive::Open(request, error);
}

bool IsRarFormat(std::string name) {
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return name == "rar" || name == "rar5";
}

}  // namespace

int32_t OpenArchiveProbe(const std::string& path, bool checkPassword, InspectContext& context,
                         std::unique_ptr<ImageProbe>* out) {
  out->reset();
  auto probe = std::make_unique<ImageProbe>();
  probe->imagePath = path;
  probe->isArchive = true;
  bool asked = false;
  archive::OpenError error = archive::OpenError::kNone;
  auto archive = OpenWith(path, context, std::nullopt, &asked, &error);
  if (!archive && asked) {
    // The library wants the password to read the archive's headers: ask while opening.
    if (!RequestPassword(*probe, context, SIZE_MAX, [](const std::string&) { return true; }))
      return kOpenPasswordRequired;
    asked = false;
    archive = OpenWith(path, context, probe->archivePassword, &asked, &error);
    if (!archive) return asked ? kOpenWrongPassword : kOpenUnrecognised;
    probe->encrypted = true;
  }
  if (!archive) return kOpenUnrecognised;
  if (archive->encrypted()) probe->encrypted = true;
  if (checkPassword && probe->encrypted &&
      !RequestPassword(*probe, context, SIZE_MAX, [](const std::string&) { return true; }))
    return kOpenPasswordRequired;
  probe->format = kFormatArchive;
  probe->archiveFormat = platform::Utf16ToUtf8(archive->formatName());
  probe->archiveItems = archive->itemCount();
  probe->fileSize = 0;
  // Only a RAR archive's comment is shown before the mount; the library reads it for us.
  if (IsRarFormat(probe->archiveFormat) && !archive->comment().empty()) {
    bool truncated = false;
    probe->comment = ToSystemCodePage(archive->comment(), SIZE_MAX, &truncated);
  }
  *out = std::move(probe);
  return kOpenOk;
}

}  // namespace kv::inspect
