#include "service/host/kv_service.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/config_names.h"
#include "common/service_command.h"
#include "manager/config_store.h"
#include "manager/language.h"
#include "platform/processes.h"
#include "platform/wide_text.h"
#include "service/commands/archive_mount.h"

namespace kv::service {
namespace {

constexpr int kPipeInstances = 255;
constexpr mode_t kGroupMode = 0660;

std::string ConfiguredTempFolder(manager::ConfigStore& config) {
  return platform::Utf16ToUtf8(config.ReadString(config::kTempFolder).value_or(u""));
}

}  // namespace

KVService::KVService() : CNTService(kServiceName) {}

KVService::~KVService() {
  EndWorker();
}

bool KVService::CreateChannel() {
  int error = 0;
  // The pipe goes first: a live service answers on it, and then nothing of its is touched.
  pipe_ = platform::MessagePipeServer::Create(kMessagePipeName, kPipeInstances, true, &error);
  if (!pipe_) {
    platform::SetLastError(error == EADDRINUSE ? platform::ERROR_SERVICE_ALREADY_RUNNING
                                               : platform::ERROR_ACCESS_DENIED);
    return false;
  }
  // Objects left by a service that was killed: clients still waiting on them find them gone.
  for (const char* name : {kCommandAreaName, kAreaFreeEventName, kRequestReadyEventName, kReplyReadyEventName})
    unlink(platform::NamedObjectPath(name).c_str());
  area_ = platform::NamedMapping::Create(kCommandAreaName, kCommandAreaSize, &error, kGroupMode);
  areaFree_ = platform::NamedEvent::Create(kAreaFreeEventName, false, true, &error, kGroupMode);
  requestReady_ = platform::NamedEvent::Create(kRequestReadyEventName, false, false, &error, kGroupMode);
  replyReady_ = platform::NamedEvent::Create(kReplyReadyEventName, false, false, &error, kGroupMode);
  if (!area_ || !areaFree_ || !requestReady_ || !replyReady_) {
    platform::SetLastError(platform::ERROR_ACCESS_DENIED);
    return false;
  }
  for (const char* name : {kCommandAreaName, kAreaFreeEventName, kRequestReadyEventName, kReplyReadyEventName})
    platform::RestrictToSystemUsers(platform::NamedObjectPath(name).c_str(), kGroupMode);
  return true;
}

bool KVService::OnInit() {
  if (initialized_) return true;
  table_ = std::make_unique<DriveSlotTable>();
  if (!CreateChannel()) return false;
  config_ = std::make_unique<manager::ConfigStore>(manager::ConfigProgram::Service);
  languages_ = std::make_unique<manager::Languages>(*config_);
  languages_->Load();
  messages_ = std::make_unique<MessageSender>(pipe_.get());
  messages_->UseLanguages(languages_.get());
  // Prepared again after the clean: the folder must exist for the first mount.
  temp_.Prepare(ConfiguredTempFolder(*config_));
  temp_.Clean();
  temp_.Prepare(ConfiguredTempFolder(*config_));
  context_.table = table_.get();
  context_.config = config_.get();
  context_.messages = messages_.get();
  context_.temp = &temp_;
  wake_ = platform::NamedEvent::CreateAnonymous(false, false);
  worker_ = std::thread([this] { Worker(); });
  StartUpDrives(context_);
  initialized_ = true;
  platform::SetLastError(platform::ERROR_SUCCESS);
  return true;
}

void KVService::Worker() {
  std::vector<uint8_t> record(kCommandRecordSize);
  for (;;) {
    requestReady_->Wait(-1);
    if (quit_.load()) return;
    std::lock_guard<std::mutex> g(commandLock_);
    if (!area_) continue;  // stopped: the area is gone
    // A private copy: the client cannot change the command while it runs.
    std::memcpy(record.data(), area_->data(), kCommandRecordSize);
    ServiceReply reply;
    std::memcpy(&reply, area_->data() + kReplyOffset, sizeof reply);
    // Only the temporary folder's setting may have changed since the last command.
    if (record[0] == kCommandMountArchive) temp_.Prepare(ConfiguredTempFolder(*config_));
    ExecuteCommand(context_, record.data(), &reply);
    std::memcpy(area_->data() + kReplyOffset, &reply, sizeof reply);
    replyReady_->Set();
  }
}

void KVService::Run() {
  while (running()) {
    table_->Heartbeat(true);
    wake_->Wait(1000);
  }
  // The events and the pipe go before the service reports that it stopped, so that a service
  // started next never meets them.
  EndWorker();
  messages_->SetPipe(nullptr);
  pipe_.reset();
  areaFree_.reset();
  replyReady_.reset();
}

void KVService::OnStop() {
  if (!initialized_) return;
  {
    std::lock_guard<std::mutex> g(commandLock_);
    area_.reset();
  }
  ServiceReply ignored{};
  for (int i = 0; i < kDriveCount; ++i)
    if (table_->slot(i).active) UnmountCommand(context_, i, &ignored);
  for (int i = 0; i < kDriveCount; ++i)
    if (table_->slot(i).builder) table_->ClearSlot(i);
  temp_.Clean();
  if (wake_) wake_->Set();
}

void KVService::EndWorker() {
  if (!worker_.joinable()) return;
  quit_.store(true);
  requestReady_->Set();
  worker_.join();
  requestReady_.reset();
}

}  // namespace kv::service
