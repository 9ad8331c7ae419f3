// The service's short messages on its pipe, shown as balloon tips of the tray icon: the pipe is
// polled on every timer tick.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/message_pipe.h"
#include "platform/ui/ui.h"

namespace kv::manager {

inline constexpr size_t kServiceMessageBytes = 4096;
inline constexpr size_t kBalloonTitleChars = 64;
inline constexpr size_t kBalloonTextChars = 256;

// A message (UTF-16LE, up to its terminating zero) as a balloon: the part before the first ":::"
// is the title, the rest the text; no title without ":::". Nothing for an empty text.
std::optional<platform::ui::Balloon> BalloonFromServiceMessage(const std::vector<uint8_t>& message);

class ServiceMessagePoller {
 public:
  ServiceMessagePoller(platform::ui::Ui& ui, uint32_t trayIconId) : ui_(ui), iconId_(trayIconId) {}

  // One timer tick: the first opens the pipe (once for the process's life); then every waiting
  // message is read, each replacing the one before, and the last is shown.
  void Tick();
  bool pipeOpen() const { return pipe_ != nullptr; }

 private:
  platform::ui::Ui& ui_;
  uint32_t iconId_;
  bool tried_ = false;
  bool busy_ = false;
  std::unique_ptr<platform::MessagePipeClient> pipe_;
  std::vector<uint8_t> buffer_;
};

}  // namespace kv::manager
