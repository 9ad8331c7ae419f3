#include "manager/service_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/message_pipe.h"
#include "platform/processes.h"

namespace kv::manager {
namespace {

void PutU32(std::vector<uint8_t>* record, size_t at, uint32_t v) {
  std::memcpy(record->data() + at, &v, 4);
}

void PutText(std::vector<uint8_t>* record, size_t at, const std::u16string& text, size_t maxChars) {
  const size_t n = std::min(text.size(), maxChars - 1);
  std::memcpy(record->data() + at, text.data(), n * 2);
}

ino_t InodeOf(const char* name) {
  struct stat st {};
  return stat(platform::NamedObjectPath(name).c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

std::vector<uint8_t> SimpleRecord(uint32_t command, int32_t argument) {
  std::vector<uint8_t> record(kCommandRecordSize, 0);
  PutU32(&record, 0, command);
  PutU32(&record, 4, static_cast<uint32_t>(argument));
  return record;
}

std::vector<uint8_t> MountArchiveRecord(int drive, const std::u16string& path, const std::u16string& password) {
  auto record = SimpleRecord(kCommandMountArchive, drive);
  PutText(&record, offsetof(ServiceCommand, Path), path, kCommandPathChars);
  PutText(&record, kCommandPasswordOffset, password, kCommandPasswordChars);
  return record;
}

std::vector<uint8_t> MountImageRecord(int drive, const std::u16string& path, const std::vector<uint8_t>& request) {
  auto record = SimpleRecord(kCommandMountImage, drive);
  PutText(&record, offsetof(ServiceCommand, Path), path, kCommandPathChars);
  const size_t n = std::min(request.size(), kCommandRequestMax);
  PutU32(&record, kCommandRequestLengthOffset, static_cast<uint32_t>(n));
  std::memcpy(record.data() + kCommandRequestOffset, request.data(), n);
  return record;
}

ServiceClient::ServiceClient() = default;
ServiceClient::~ServiceClient() = default;

bool ServiceClient::Open(std::string* error) {
  int e = 0;
  area_ = platform::NamedMapping::Open(kCommandAreaName, &e);
  if (area_ && area_->size() < kCommandAreaSize) area_.reset();
  areaFree_ = area_ ? platform::NamedEvent::Open(kAreaFreeEventName, &e) : nullptr;
  requestReady_ = areaFree_ ? platform::NamedEvent::Open(kRequestReadyEventName, &e) : nullptr;
  replyReady_ = requestReady_ ? platform::NamedEvent::Open(kReplyReadyEventName, &e) : nullptr;
  if (!replyReady_) {
    *error = e == EACCES ? "the service's command area is only for members of the system users' group"
                         : "the service is not running (no command area)";
    area_.reset();
    return false;
  }
  replyEventInode_ = InodeOf(kReplyReadyEventName);
  return true;
}

bool ServiceClient::ServiceStillThere() const {
  if (replyEventInode_ == 0 || InodeOf(kReplyReadyEventName) != replyEventInode_) return false;
  // A service that was killed left its objects behind, but nobody answers on its pipe.
  int e = 0;
  return platform::MessagePipeClient::Connect(kMessagePipeName, &e) != nullptr || e == EAGAIN;
}

bool ServiceClient::TakeArea(std::string* error) {
  std::atomic_ref<uint32_t> holder(*reinterpret_cast<uint32_t*>(area_->data() + kAreaHolderOffset));
  const uint32_t self = static_cast<uint32_t>(getpid());
  bool taken = areaFree_->Wait(0);
  while (!taken) {
    uint32_t current = holder.load();
    // A holder that died never gives the area back: it is taken over.
    if (current != 0 && current != self && !platform::ProcessAlive(static_cast<pid_t>(current)) &&
        holder.compare_exchange_strong(current, self)) {
      break;
    }
    if (!ServiceStillThere()) {
      *error = "the service stopped";
      return false;
    }
    taken = areaFree_->Wait(waitMs_);
  }
  holder.store(self);
  return true;
}

bool ServiceClient::Send(const std::vector<uint8_t>& record, ServiceReply* reply, std::string* error) {
  if (!area_ || record.size() != kCommandRecordSize) {
    *error = "no command area";
    return false;
  }
  if (!TakeArea(error)) return false;
  std::memcpy(area_->data(), record.data(), kCommandRecordSize);
  std::memset(area_->data() + kReplyOffset, 0, kAreaHolderOffset - kReplyOffset);
  requestReady_->Set();
  while (!replyReady_->Wait(waitMs_)) {
    if (!ServiceStillThere()) {
      *error = "the service stopped before it answered";
      return false;
    }
  }
  std::memcpy(reply, area_->data() + kReplyOffset, sizeof *reply);
  std::atomic_ref<uint32_t> holder(*reinterpret_cast<uint32_t*>(area_->data() + kAreaHolderOffset));
  uint32_t self = static_cast<uint32_t>(getpid());
  holder.compare_exchange_strong(self, 0);
  areaFree_->Set();
  return true;
}

std::string LetterMaskText(uint32_t mask) {
  std::string text;
  for (int i = 0; i < 26; ++i) {
    if (!(mask & (1u << i))) continue;
    if (!text.empty()) text += ' ';
    text += static_cast<char>('A' + i);
    text += ':';
  }
  return text.empty() ? "-" : text;
}

}  // namespace kv::manager
