#include "manager/mount_flow.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "manager/service_client.h"
#include "platform/ntpath.h"
#include "platform/wide_text.h"

namespace kv::manager {

namespace fs = std::filesystem;

bool ServicePaths(const std::string& file, std::u16string* ntName, std::u16string* clientPath) {
  std::error_code ec;
  const std::string absolute = fs::absolute(file, ec).lexically_normal().string();
  if (ec || !platform::LinuxPathToNt(absolute, ntName) || ntName->size() < 4) return false;
  *clientPath = ntName->substr(4);
  return clientPath->size() < kCommandPathChars;
}

std::string FileOfDisplayName(const std::u16string& name) {
  if (name.size() < 3 || (name[0] != u'C' && name[0] != u'c') || name[1] != u':' || name[2] != u'\\') return {};
  std::u16string path = name.substr(2);
  for (char16_t& c : path)
    if (c == u'\\') c = u'/';
  return platform::Utf16ToUtf8(path);
}

Inspection InspectFile(const std::string& picked, inspect::InspectContext& context) {
  Inspection out;
  out.image = picked;
  // A FIFO or a device would block the first read, a folder has nothing to read.
  struct stat st {};
  if (stat(picked.c_str(), &st) != 0) {
    out.osError = errno;
    return out;
  }
  if (!S_ISREG(st.st_mode)) return out;

  const std::string first = inspect::FindFirstVolume(picked, context);
  if (first.empty()) {
    out.abandoned = true;
    return out;
  }
  ImageChoice choice = ChooseImage(first);
  out.image = choice.image;
  out.descriptor = choice.descriptor;
  if (stat(out.image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return out;

  std::unique_ptr<RawFile> file = OpenPosixFile(out.image, &out.osError);
  if (!file) return out;
  out.result = inspect::OpenImage(out.image, out.descriptor, std::move(file), context, &out.probe);
  if (out.result == inspect::kOpenUnrecognised)
    out.result = inspect::OpenArchiveProbe(out.image, /*checkPassword=*/true, context, &out.probe);
  if (out.result != inspect::kOpenOk) return out;
  if (out.probe->volumes &&
      inspect::ConfirmVolumes(*out.probe, /*skipAllowed=*/true, context) == inspect::VolumeDecision::kGiveUp) {
    out.abandoned = true;
    out.probe.reset();
  }
  return out;
}

MountResult MountFile(DriveControl& drives, int drive, const std::string& picked, inspect::InspectContext& context) {
  MountResult result;
  if (!drives.DriverInstalled()) {
    result.outcome = MountOutcome::kSendFailed;
    return result;
  }
  Inspection inspection = InspectFile(picked, context);
  if (inspection.abandoned) {
    result.outcome = MountOutcome::kAbandoned;
    return result;
  }
  if (inspection.osError != 0) {
    result.osError = inspection.osError;
    result.message = platform::Utf8ToUtf16(inspection.image + "\r\n\r\n" + std::strerror(inspection.osError));
    return result;
  }
  if (inspection.result != inspect::kOpenOk) {
    result.inspectResult = inspection.result;
    const uint16_t text = inspect::OpenResultText(inspection.result);
    result.message = context.text(text ? text : 280);
    return result;
  }
  inspect::ImageProbe& probe = *inspection.probe;
  result.format = probe.format;
  if (!probe.comment.empty() && context.prompts) context.prompts->ShowComment(probe.comment);

  const DriveList list = drives.BuildDriveList();
  if (drive < 0) {
    for (size_t i = 0; i < list.size() && drive < 0; ++i)
      if (drives.QueryImage(list, i).empty()) drive = static_cast<int>(i);
    if (drive < 0) {
      result.outcome = MountOutcome::kNoDrive;
      return result;
    }
  }
  result.drive = drive;
  if (static_cast<size_t>(drive) < list.size()) result.letter = list[static_cast<size_t>(drive)].letter();

  std::u16string ntName, clientPath;
  result.sent = inspection.image;
  if (!ServicePaths(inspection.image, &ntName, &clientPath)) {
    result.message = context.text(280);
    return result;
  }
  std::vector<uint8_t> record;
  if (probe.format == kFormatArchive || probe.format == kFormatMzp) {
    std::u16string password = probe.archivePassword.value_or(platform::Utf8ToUtf16(probe.password));
    if (password.size() >= kCommandPasswordChars) password.resize(kCommandPasswordChars - 1);
    record = MountArchiveRecord(drive, clientPath, password);
  } else {
    const std::vector<uint8_t> request = inspect::BuildMountRequest(probe, ntName);
    if (request.size() > kCommandRequestMax) {
      result.message = context.text(280);
      return result;
    }
    record = MountImageRecord(drive, clientPath, request);
  }
  // The probe is released once the command is built: the service opens the file itself.
  inspection.probe.reset();
  uint32_t arrived = 0;
  ServiceReply reply{};
  if (!drives.SendCommand(record, &reply)) {
    result.outcome = MountOutcome::kSendFailed;
    return result;
  }
  arrived = reply.ArrivedLetters;
  if (reply.Failed != 0) {
    result.outcome = MountOutcome::kFailed;
    result.message = context.text(320);
    return result;
  }
  for (int i = 0; i < 26 && !result.letter; ++i)
    if (arrived >> i & 1) result.letter = static_cast<char>('A' + i);
  result.outcome = MountOutcome::kMounted;
  return result;
}

}  // namespace kv::manager
