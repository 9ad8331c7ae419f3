#include "manager/drive_control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/ioctl.h"
#include "common/mount_request.h"
#include "manager/config_store.h"
#include "manager/service_client.h"
#include "platform/devio.h"

namespace kv::manager {

namespace {
constexpr char kCdPrefix[] = "\\Device\\KVEmu\\KVEmuCd";
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;

platform::Handle OpenDrive(const DriveEntry* entry) {
  if (entry) {
    platform::Handle h =
        platform::CreateFile(entry->devicePath, 0, platform::FILE_SHARE_READ, platform::FILE_FLAG_NO_BUFFERING);
    if (h) return h;
  }
  return platform::CreateFile("\\\\.\\KVEmuDev" + std::to_string(entry ? entry->number : 0), 0,
                              platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE);
}

std::u16string Format240(std::u16string_view pattern, int drive, char wanted, char chosen) {
  // "%d" the drive, then "%C" twice: the wanted and the chosen letter.
  std::u16string out;
  int letters = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == u'%' && i + 1 < pattern.size()) {
      const char16_t kind = pattern[i + 1];
      if (kind == u'd') {
        for (char c : std::to_string(drive)) out += static_cast<char16_t>(c);
        ++i;
        continue;
      }
      if (kind == u'C' || kind == u'c') {
        out += static_cast<char16_t>(letters++ == 0 ? wanted : chosen);
        ++i;
        continue;
      }
    }
    out += pattern[i];
  }
  return out;
}
}  // namespace

struct DriveControl::Area {
  ServiceClient client;
  bool open = false;
};

int DriveNumberOfTarget(const std::string& target) {
  const size_t prefix = sizeof kCdPrefix - 1;
  if (target.empty() || target.size() > 62 || target.compare(0, prefix, kCdPrefix) != 0) return -1;
  const std::string rest = target.substr(prefix);
  if (rest.empty() || rest.size() > 2 || rest.find_first_not_of("0123456789") != std::string::npos) return -1;
  const int n = std::stoi(rest);
  return n <= 22 ? n : -1;
}

DriveControl::DriveControl(TextOf text, MessageSink message)
    : text_(std::move(text)), message_(std::move(message)), area_(std::make_shared<Area>()) {}

DriveList DriveControl::BuildDriveList() const {
  DriveList list;
  const uint32_t present = platform::GetLogicalDrives();
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (!(present >> (letter - 'A') & 1)) continue;
    std::string target;
    if (!platform::QueryDosDevice(std::string(1, letter) + ":", &target) || target.size() >= 64) continue;
    const int number = DriveNumberOfTarget(target);
    if (number >= 0) list.push_back({std::string("\\\\.\\") + letter + ":", number});
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const DriveEntry& a, const DriveEntry& b) { return a.number < b.number; });
  return list;
}

std::u16string DriveControl::QueryImage(const DriveList& list, size_t position) const {
  if (position >= list.size()) return {};
  std::vector<uint8_t> buffer(5968, 0);
  platform::Handle h = OpenDrive(&list[position]);
  if (!h) return {};
  const uint32_t zero = 0;
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(h, IOCTL_CDEMU_QUERY_MOUNT, &zero, sizeof zero, buffer.data(), kDriveStatusQuerySize,
                                 &returned) ||
      returned <= 5319)
    return {};
  uint16_t length = 0;
  std::memcpy(&length, buffer.data() + 5316, 2);
  const size_t chars = std::min<size_t>(length / 2, (returned - 5318) / 2);
  std::u16string name(chars, u'\0');
  std::memcpy(name.data(), buffer.data() + 5318, chars * 2);
  if (const size_t nul = name.find(u'\0'); nul != std::u16string::npos) name.resize(nul);
  if (name.rfind(u"\\??\\UNC\\", 0) == 0)
    name.erase(0, 8);
  else if (name.rfind(u"\\??\\", 0) == 0)
    name.erase(0, 4);
  return name;
}

bool DriveControl::DriverInstalled() const {
  platform::Handle h = platform::CreateFile(
      "\\\\.\\KVEmuDev0", 0, platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::FILE_FLAG_NO_BUFFERING);
  if (h) return true;
  const uint32_t e = platform::GetLastError();
  const SystemFacts facts = SystemFacts::FromPlatform();
  uint32_t c = static_cast<uint32_t>(OsClass(facts));
  if (IsVistaOrLater(facts)) c |= 0x80000000u;
  char codes[64];
  std::snprintf(codes, sizeof codes, " (Error Code = %x, %x)", e + 0x30, c);
  std::u16string text = text_(430);
  for (const char* p = codes; *p; ++p) text += static_cast<char16_t>(*p);
  if (message_) message_(text, MessageKind::kInformation);
  return false;
}

bool DriveControl::WindowsSupported(bool showMessage) const {
  if (OsClass(SystemFacts::FromPlatform()) > 1) return true;
  if (showMessage && message_) message_(text_(420), MessageKind::kError);
  return false;
}

bool DriveControl::SendCommand(const std::vector<uint8_t>& record, ServiceReply* reply) {
  std::string error;
  if (!area_->open) {
    area_->open = area_->client.Open(&error);
    if (!area_->open && message_) message_(text_(450), MessageKind::kPlain);
  }
  if (!area_->open) {
    if (message_) message_(text_(460), MessageKind::kPlain);
    return false;
  }
  if (!area_->client.Send(record, reply, &error)) {
    area_->open = false;  // the service went away: open again next time
    if (message_) message_(text_(460), MessageKind::kPlain);
    return false;
  }
  // Let every listener know about letters that got or lost a medium.
  if (reply->ArrivedLetters) platform::BroadcastDeviceChange(kDeviceArrival, reply->ArrivedLetters);
  if (reply->RemovedLetters) platform::BroadcastDeviceChange(kDeviceRemoveComplete, reply->RemovedLetters);
  return true;
}

bool DriveControl::Unmount(int drive) {
  ServiceReply reply{};
  return SendCommand(SimpleRecord(kCommandUnmount, drive), &reply) && reply.Failed == 0;
}

void DriveControl::UnmountAll() {
  for (int drive = 0; drive < kDriveCount; ++drive) {
    ServiceReply reply{};
    if (!SendCommand(SimpleRecord(kCommandUnmount, drive), &reply)) return;  // no service: told once
  }
}

void DriveControl::SetDriveCount(int count) {
  ServiceReply reply{};
  SendCommand(SimpleRecord(kCommandSetDriveCount, count), &reply);
}

std::optional<char> DriveControl::ChooseLetter(int drive, const std::u16string& configuredLetters) const {
  const char wanted = drive >= 0 && static_cast<size_t>(drive) < configuredLetters.size()
                          ? static_cast<char>(configuredLetters[static_cast<size_t>(drive)])
                          : 'A';
  const uint32_t present = platform::GetLogicalDrives();
  auto exists = [&](char l) { return (present >> (l - 'A') & 1) != 0; };
  if (wanted >= 'D' && wanted <= 'Z' && !exists(wanted)) return wanted;
  for (char l = 'D'; l <= 'Z'; ++l) {
    if (exists(l)) continue;
    if (wanted != 'A' && l != wanted && message_)
      message_(Format240(text_(240), drive, wanted, l), MessageKind::kInformation);
    return l;
  }
  return std::nullopt;
}

bool DriveControl::ChangeLetter(const DriveList& list, int drive, const std::u16string& configuredLetters,
                                const std::function<bool(int, const std::u16string&)>& remount) {
  const auto letter = ChooseLetter(drive, configuredLetters);
  if (!letter || drive < 0 || static_cast<size_t>(drive) >= list.size()) return false;
  const std::u16string image = QueryImage(list, static_cast<size_t>(drive));
  Unmount(drive);
  std::vector<uint8_t> record = SimpleRecord(kCommandReapplyLetter, drive);
  const uint32_t value = static_cast<uint8_t>(*letter);
  std::memcpy(record.data() + 8, &value, 4);
  ServiceReply reply{};
  if (!SendCommand(record, &reply) || reply.Failed != 0) return false;
  Unmount(drive);
  if (!image.empty() && remount) return remount(drive, image);
  return true;
}

void DriveControl::SetLanguage(uint16_t langId) {
  ServiceReply reply{};
  SendCommand(SimpleRecord(kCommandSetLanguage, langId), &reply);
}

bool DriveControl::Mount(const std::vector<uint8_t>& record, uint32_t* arrived) {
  ServiceReply reply{};
  if (!SendCommand(record, &reply)) return false;
  if (arrived) *arrived = reply.ArrivedLetters;
  return reply.Failed == 0;
}

}  // namespace kv::manager
