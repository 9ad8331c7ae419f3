// The service's messages to the manager: short UTF-16 texts on the message pipe, at most one a
// second and the same text at most once in ten seconds; nothing is queued.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "archive/archive_messages.h"
#include "platform/message_pipe.h"

namespace kv::manager {
class Languages;
}

namespace kv::service {

class MessageSender : public archive::MessageSink {
 public:
  using Clock = std::function<int64_t()>;  // milliseconds, monotonic
  explicit MessageSender(platform::MessagePipeServer* pipe, Clock clock = {});

  // Cuts the text at 2047 characters, applies the rate rules and writes it with its NUL. True
  // when it was not dropped by the rules (a pipe without client still loses it).
  bool Send(std::u16string text);
  void Post(const archive::ArchiveMessage& message) override { Send(message.text); }
  std::u16string Text(uint32_t id) override;

  // Texts come from `languages` (null: the built-in English). Reload under the same lock.
  void UseLanguages(manager::Languages* languages);
  bool ReloadLanguageIfChanged();
  void SetPipe(platform::MessagePipeServer* pipe);

 private:
  std::mutex lock_;
  platform::MessagePipeServer* pipe_;
  Clock clock_;
  manager::Languages* languages_ = nullptr;
  bool sentBefore_ = false;
  int64_t lastTime_ = 0;
  std::u16string lastText_;
};

}  // namespace kv::service
