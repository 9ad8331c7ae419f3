// KVService: the command area, its events and the message pipe, the command worker, the drives
// from DiskCount, the heartbeat, and the stop sequence.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/message_pipe.h"
#include "platform/named_objects.h"
#include "service/host/cnt_service.h"
#include "service/host/commands.h"
#include "service/host/message_sender.h"

namespace kv::manager {
class ConfigStore;
class Languages;
}  // namespace kv::manager

namespace kv::service {

inline constexpr char16_t kServiceName[] = u"Korvendrake Service";

class KVService : public CNTService {
 public:
  KVService();
  ~KVService() override;

  bool OnInit() override;
  void Run() override;
  void OnStop() override;

 private:
  bool CreateChannel();
  void Worker();
  void EndWorker();

  bool initialized_ = false;
  std::unique_ptr<DriveSlotTable> table_;
  std::unique_ptr<manager::ConfigStore> config_;
  std::unique_ptr<manager::Languages> languages_;
  TempFolders temp_;
  std::unique_ptr<platform::MessagePipeServer> pipe_;
  std::unique_ptr<MessageSender> messages_;
  std::unique_ptr<platform::NamedMapping> area_;
  std::unique_ptr<platform::NamedEvent> areaFree_;
  std::unique_ptr<platform::NamedEvent> requestReady_;
  std::unique_ptr<platform::NamedEvent> replyReady_;
  std::unique_ptr<platform::NamedEvent> wake_;
  // Held while a command runs; the stop takes it before the area goes.
  std::mutex commandLock_;
  std::thread worker_;
  std::atomic<bool> quit_{false};
  CommandContext context_;
};

}  // namespace kv::service
