#include "service/host/commands.h"

#include <algorithm>
#include <cstring>

#include "common/config_names.h"
#include "manager/config_store.h"
#include "platform/wide_text.h"
#include "service/commands/archive_mount.h"
#include "service/commands/drives.h"
#include "service/host/message_sender.h"

namespace kv::service {
namespace {

uint32_t LetterBit(char16_t letter) {
  return letter >= u'A' && letter <= u'Z' ? 1u << (letter - u'A') : 0;
}

// The NUL-terminated text of `chars` characters at `at`; false when no NUL is inside.
bool TerminatedText(const uint8_t* record, size_t at, size_t chars, std::u16string* text) {
  for (size_t i = 0; i < chars; ++i) {
    char16_t c;
    std::memcpy(&c, record + at + i * 2, 2);
    if (c == 0) {
      if (text) {
        text->assign(i, u'\0');
        std::memcpy(text->data(), record + at, i * 2);
      }
      return true;
    }
  }
  return false;
}

uint32_t U32(const uint8_t* record, size_t at) {
  uint32_t v;
  std::memcpy(&v, record + at, 4);
  return v;
}

void MountArchiveCommand(CommandContext& c, int drive, const std::u16string& path, const std::u16string& password,
                         ServiceReply* reply) {
  const std::string file = ClientPathToLinux(path);
  if (file.empty()) {
    reply->Failed = 1;
    return;
  }
  ArchiveMount request;
  request.path = file;
  if (!password.empty()) request.password = password;
  request.installDir = platform::Utf16ToUtf8(c.config->InstallFolder());
  request.storeFolder = c.temp->Current();
  request.messages = c.messages;
  std::string error;
  const MountOutcome outcome = MountArchive(*c.table, drive, request, &error);
  if (outcome == MountOutcome::kFailed) {
    reply->Failed = 1;
    return;
  }
  if (outcome == MountOutcome::kMounted) {
    c.config->SetImageName(drive, path);
    reply->ArrivedLetters |=
        LetterBit(c.table->slot(drive).letter ? c.table->slot(drive).letter : DriveLetterOf(drive));
  }
}

void MountImageCommand(CommandContext& c, int drive, const std::u16string& path, const uint8_t* request,
                       uint32_t length, ServiceReply* reply) {
  const MountOutcome outcome = MountImage(drive, request, length);
  if (outcome == MountOutcome::kFailed) {
    reply->Failed = 1;
  } else if (outcome == MountOutcome::kMounted) {
    c.config->SetImageName(drive, path);
    reply->ArrivedLetters |= LetterBit(DriveLetterOf(drive));
  }
}

void ReapplyLetter(CommandContext& c, int drive, ServiceReply* reply) {
  const auto drives = FindDrives();
  const auto it = std::find_if(drives.begin(), drives.end(), [&](const DriveRef& d) { return d.index == drive; });
  const char16_t letter = ChooseDriveLetter(drive, c.config->DriveLetters());
  if (it == drives.end() || letter == 0) {
    reply->Failed = 1;
    return;
  }
  if (it->letter == letter) return;
  if (!RemoveDriveLetter(*it) || !DefineDriveLetter(drive, letter)) reply->Failed = 1;
}

}  // namespace

std::string ClientPathToLinux(const std::u16string& path) {
  std::string utf8 = platform::Utf16ToUtf8(path);
  if (utf8.empty() || utf8.find('\0') != std::string::npos) return {};
  if (utf8[0] == '/') return utf8.find('\\') == std::string::npos ? utf8 : std::string();
  if (utf8.size() < 3 || (utf8[0] != 'C' && utf8[0] != 'c') || utf8[1] != ':' || utf8[2] != '\\') return {};
  std::string file = utf8.substr(2);
  if (file.find('/') != std::string::npos) return {};
  std::replace(file.begin(), file.end(), '\\', '/');
  return file;
}

bool CommandFieldsValid(const uint8_t* record) {
  const uint32_t command = U32(record, 0);
  const int32_t argument = static_cast<int32_t>(U32(record, 4));
  switch (command) {
    case kCommandMountArchive:
      return argument >= 0 && argument < kDriveCount &&
             TerminatedText(record, offsetof(ServiceCommand, Path), kCommandPathChars, nullptr) &&
             TerminatedText(record, kCommandPasswordOffset, kCommandPasswordChars, nullptr);
    case kCommandMountImage:
      return argument >= 0 && argument < kDriveCount &&
             TerminatedText(record, offsetof(ServiceCommand, Path), kCommandPathChars, nullptr) &&
             U32(record, kCommandRequestLengthOffset) <= kCommandRequestMax;
    case kCommandUnmount:
    case kCommandReapplyLetter:
      return argument >= 0 && argument < kDriveCount;
    case kCommandSetDriveCount:
      return argument >= 0;
    case kCommandSetLanguage:
      return argument > 0 && argument <= 0xFFFF;
    default:
      return false;
  }
}

void UnmountCommand(CommandContext& c, int drive, ServiceReply* reply) {
  if (!QueryDriveMedium(drive, nullptr)) {
    // A slot whose medium went (its server ended or the driver dropped it) is freed all the same.
    if (c.table->slot(drive).active || c.table->slot(drive).builder) c.table->ClearSlot(drive);
    return;
  }
  const char16_t letter = DriveLetterOf(drive);
  if (!UnmountDrive(*c.table, drive)) {
    reply->Failed = 1;
    return;
  }
  c.config->SetImageName(drive, u"");
  reply->RemovedLetters |= LetterBit(letter);
}

void SetDriveCount(CommandContext& c, int count, ServiceReply* reply) {
  // Without the driver nothing can be counted: DiskCount keeps what the user chose.
  if (!DriveReachable(0)) {
    reply->Failed = 1;
    return;
  }
  count = std::clamp(count, 0, kDriveCount);
  auto drives = FindDrives();
  while (static_cast<int>(drives.size()) > count) {
    const DriveRef last = drives.back();
    drives.pop_back();
    UnmountCommand(c, last.index, reply);
    if (!RemoveDriveLetter(last)) reply->Failed = 1;
  }
  const std::u16string configured = c.config->DriveLetters();
  while (static_cast<int>(drives.size()) < count) {
    int index = 0;
    while (index < kDriveCount &&
           std::any_of(drives.begin(), drives.end(), [&](const DriveRef& d) { return d.index == index; }))
      ++index;
    if (index >= kDriveCount) break;
    const char16_t letter = ChooseDriveLetter(index, configured);
    if (letter == 0 || !DefineDriveLetter(index, letter)) break;
    drives.push_back({index, letter, std::string("\\\\.\\") + static_cast<char>(letter) + ":"});
    // Whatever the new drive still holds goes.
    UnmountCommand(c, index, reply);
  }
  c.config->SetDiskCount(static_cast<int>(FindDrives().size()));
}

void StartUpDrives(CommandContext& c) {
  if (!DriveReachable(0)) return;
  const int wanted = c.config->DiskCount();
  if (static_cast<int>(FindDrives().size()) == wanted) return;
  ServiceReply ignored{};
  SetDriveCount(c, wanted, &ignored);
}

void ExecuteCommand(CommandContext& c, const uint8_t* record, ServiceReply* reply) {
  if (!CommandFieldsValid(record)) {
    reply->Failed = 1;
    return;
  }
  const uint32_t command = U32(record, 0);
  const int32_t argument = static_cast<int32_t>(U32(record, 4));
  std::u16string path;
  switch (command) {
    case kCommandMountArchive: {
      std::u16string password;
      TerminatedText(record, offsetof(ServiceCommand, Path), kCommandPathChars, &path);
      TerminatedText(record, kCommandPasswordOffset, kCommandPasswordChars, &password);
      MountArchiveCommand(c, argument, path, password, reply);
      break;
    }
    case kCommandMountImage:
      TerminatedText(record, offsetof(ServiceCommand, Path), kCommandPathChars, &path);
      MountImageCommand(c, argument, path, record + kCommandRequestOffset, U32(record, kCommandRequestLengthOffset),
                        reply);
      break;
    case kCommandUnmount:
      UnmountCommand(c, argument, reply);
      break;
    case kCommandSetDriveCount:
      SetDriveCount(c, argument, reply);
      break;
    case kCommandReapplyLetter:
      ReapplyLetter(c, argument, reply);
      break;
    case kCommandSetLanguage:
      if (!c.config->WriteLanguage(static_cast<uint16_t>(argument))) reply->Failed = 1;
      if (c.messages) c.messages->ReloadLanguageIfChanged();
      break;
    default:
      reply->Failed = 1;
  }
}

}  // namespace kv::service
