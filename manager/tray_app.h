// The tray program's life after start-up: the hidden window of its class, the tray icon, the
// 100 ms timer (service messages, messages posted to the window), the menu on a click and the
// commands. What needs the driver or the service comes in through TrayServices.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "manager/config_dialog.h"
#include "manager/config_store.h"
#include "manager/language.h"
#include "manager/service_messages.h"
#include "manager/tray_menu.h"
#include "platform/ui/ui.h"
#include "platform/window_class.h"

namespace kv::manager {

inline constexpr uint32_t kTrayIconId = 1;
inline constexpr uint32_t kTrayCallbackMessage = 0x410;
inline constexpr int kTrayIconResource = 129;
inline constexpr uint32_t kTrayTimerId = 1;
inline constexpr uint32_t kTrayTimerMs = 100;
inline constexpr uint32_t kMessageQuery = 0x415;
inline constexpr uint32_t kMessageExit = 0x420;
inline constexpr uint32_t kMessageUninstall = 0x421;

struct TrayServices {
  // The driver check with its message; false: the command does nothing.
  std::function<bool()> driverCheck;
  std::function<std::vector<MenuDrive>()> driveList;
  std::function<void(int count)> setDriveCount;
  std::function<void(int drive)> mount;  // the mount command (file dialog and mount flow)
  std::function<void(int drive)> unmount;
  std::function<void(int drive, char16_t letter)> changeLetter;
  std::function<void(uint16_t langId)> sendLanguage;
  std::function<bool()> startElevatedApply;  // empty: StartElevatedApplyStep
  std::function<bool()> openArchiver;        // empty: OpenOrInstallArchiver
};

class TrayApp {
 public:
  TrayApp(platform::ui::Ui& ui, ConfigStore& config, Languages& languages, TrayServices services);
  ~TrayApp();

  // The window of the manager's class, the icon and the timer. False when another manager's window
  // exists (that one is left alone) or the window cannot be made.
  bool Start();
  // One timer tick: service messages and messages posted to the window.
  void Tick();
  // A mouse button released on the icon.
  void OnTrayEvent(platform::ui::TrayEvent event);
  void RunCommand(uint32_t id);
  bool ended() const { return ended_; }
  platform::ui::WindowId window() const { return window_; }

 private:
  void End();

  platform::ui::Ui& ui_;
  ConfigStore& config_;
  Languages& languages_;
  TrayServices services_;
  std::unique_ptr<platform::WindowClassEndpoint> windowClass_;
  ServiceMessagePoller messages_;
  platform::ui::WindowId window_ = platform::ui::kNoWindow;
  bool ended_ = false;
};

}  // namespace kv::manager
