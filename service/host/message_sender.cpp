#include "service/host/message_sender.h"

#include <chrono>

#include "common/service_command.h"
#include "manager/language.h"

namespace kv::service {

MessageSender::MessageSender(platform::MessagePipeServer* pipe, Clock clock) : pipe_(pipe), clock_(std::move(clock)) {
  if (!clock_) {
    clock_ = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  }
}

bool MessageSender::Send(std::u16string text) {
  if (text.size() > kMaxMessageChars) text.resize(kMaxMessageChars);
  std::lock_guard<std::mutex> g(lock_);
  const int64_t now = clock_();
  if (sentBefore_) {
    const int64_t since = now - lastTime_;
    if (since < 1000 || (text == lastText_ && since < 10000)) return false;
  }
  sentBefore_ = true;
  lastTime_ = now;
  lastText_ = text;
  if (pipe_) pipe_->Write(text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return true;
}

std::u16string MessageSender::Text(uint32_t id) {
  std::lock_guard<std::mutex> g(lock_);
  if (!languages_ || id > 0xFFFF) return archive::DefaultText(id);
  const std::u16string fallback = archive::DefaultText(id);
  return std::u16string(languages_->Text(static_cast<uint16_t>(id), fallback));
}

void MessageSender::UseLanguages(manager::Languages* languages) {
  std::lock_guard<std::mutex> g(lock_);
  languages_ = languages;
}

bool MessageSender::ReloadLanguageIfChanged() {
  std::lock_guard<std::mutex> g(lock_);
  return languages_ && languages_->ReloadIfChanged();
}

void MessageSender::SetPipe(platform::MessagePipeServer* pipe) {
  std::lock_guard<std::mutex> g(lock_);
  pipe_ = pipe;
}

}  // namespace kv::service
