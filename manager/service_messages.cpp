#include "manager/service_messages.h"

#include <string>

#include "common/service_command.h"

namespace kv::manager {

using namespace kv::platform::ui;

std::optional<Balloon> BalloonFromServiceMessage(const std::vector<uint8_t>& message) {
  std::u16string text;
  for (size_t i = 0; i + 1 < message.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(message[i] | message[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  if (text.empty()) return std::nullopt;
  Balloon b;
  b.icon = NIIF_WARNING;
  b.timeoutMs = 0;
  const size_t split = text.find(u":::");
  if (split == std::u16string::npos) {
    b.text = text;
  } else {
    b.title = text.substr(0, split);
    b.text = text.substr(split + 3);
  }
  if (b.title.size() > kBalloonTitleChars) b.title.resize(kBalloonTitleChars);
  if (b.text.size() > kBalloonTextChars) b.text.resize(kBalloonTextChars);
  return b;
}

void ServiceMessagePoller::Tick() {
  if (!tried_) {
    tried_ = true;
    int error = 0;
    pipe_ = platform::MessagePipeClient::Connect(kMessagePipeName, &error);
  }
  if (!pipe_ || busy_) return;
  busy_ = true;
  uint32_t waiting = 0;
  while (pipe_->Peek(&waiting) && waiting != 0) {
    std::vector<uint8_t> message;
    bool closed = false;
    if (!pipe_->Read(&message, 0, &closed)) break;
    if (message.size() > kServiceMessageBytes) message.resize(kServiceMessageBytes);
    buffer_ = std::move(message);
  }
  // Shown once: the buffer is emptied so that later ticks do not show it again.
  if (const auto balloon = BalloonFromServiceMessage(buffer_)) ui_.ShowBalloon(iconId_, *balloon);
  buffer_.clear();
  busy_ = false;
}

}  // namespace kv::manager
