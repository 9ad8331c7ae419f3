#include "manager/tray_app.h"

#include "common/config_names.h"
#include "common/texts.h"
#include "manager/tray_commands.h"

namespace kv::manager {

using namespace kv::platform::ui;
namespace cfg = kv::config;

TrayApp::TrayApp(Ui& ui, ConfigStore& config, Languages& languages, TrayServices services)
    : ui_(ui), config_(config), languages_(languages), services_(std::move(services)), messages_(ui, kTrayIconId) {}

TrayApp::~TrayApp() {
  End();
}

bool TrayApp::Start() {
  int error = 0;
  windowClass_ = platform::WindowClassEndpoint::Register(cfg::kManagerWindowClass, &error);
  if (!windowClass_) return false;
  window_ = ui_.CreateHiddenWindow(cfg::kManagerWindowClass);
  if (window_ == kNoWindow) return false;
  TrayIcon icon;
  icon.id = kTrayIconId;
  icon.callbackMessage = kTrayCallbackMessage;
  icon.iconResource = kTrayIconResource;
  icon.tooltip = std::u16string(languages_.Text(texts::TEXT_PRODUCT_NAME));
  ui_.AddTrayIcon(icon, [this](TrayEvent e) { OnTrayEvent(e); });
  ui_.SetTimer(kTrayTimerId, kTrayTimerMs, [this] { Tick(); });
  return true;
}

void TrayApp::End() {
  if (window_ == kNoWindow) return;
  ui_.KillTimer(kTrayTimerId);
  ui_.RemoveTrayIcon(kTrayIconId);
  ui_.DestroyWindow(window_);
  window_ = kNoWindow;
  windowClass_.reset();
  ended_ = true;
  ui_.Quit();
}

void TrayApp::Tick() {
  messages_.Tick();
  platform::PostedMessage m{};
  while (windowClass_ && windowClass_->Take(&m)) {
    if (m.message == kMessageExit || m.message == kMessageUninstall) {
      End();
      return;
    }
    // The icon's callback as another program (or a desktop without a tray) posts it.
    if (m.message == kTrayCallbackMessage && m.wParam == kTrayIconId &&
        (m.lParam == static_cast<uint32_t>(TrayEvent::LeftButtonUp) ||
         m.lParam == static_cast<uint32_t>(TrayEvent::RightButtonUp))) {
      OnTrayEvent(static_cast<TrayEvent>(m.lParam));
      if (ended_) return;
    }
    // 0x415 only asks whether the manager is there; a posted one needs no answer.
  }
}

void TrayApp::OnTrayEvent(TrayEvent) {
  if (ended_) return;
  // An open dialog of this program comes to the front instead of a menu.
  if (const WindowId open = ui_.ActiveDialog(); open != kNoWindow) {
    ui_.BringToFront(open);
    return;
  }
  languages_.ReloadIfChanged();
  TrayMenuState state;
  if (services_.driveList) state.drives = services_.driveList();
  state.flags = config_.Flags();
  state.archiverInstalled = config_.ArchiverInstalled();
  const uint32_t chosen = ui_.TrackPopupMenu(window_, BuildTrayMenu(state, languages_));
  if (chosen != 0) RunCommand(chosen);
}

void TrayApp::RunCommand(uint32_t id) {
  const DecodedCommand c = DecodeMenuCommand(id);
  const auto driverReady = [this] { return !services_.driverCheck || services_.driverCheck(); };
  switch (c.command) {
    case MenuCommand::SetDriveCount:
      if (driverReady() && services_.setDriveCount) services_.setDriveCount(c.argument);
      break;
    case MenuCommand::Mount:
      if (driverReady() && services_.mount) services_.mount(c.argument);
      break;
    case MenuCommand::Unmount:
      if (driverReady() && services_.unmount) services_.unmount(c.argument);
      break;
    case MenuCommand::UnmountAll:
      if (driverReady() && services_.unmount) {
        for (int d = 0; d < cfg::kMaxDrives; ++d) services_.unmount(d);
      }
      break;
    case MenuCommand::ToggleAutostart:
    case MenuCommand::ToggleAutomount:
      if (driverReady()) {
        ToggleFlag(config_, c.command == MenuCommand::ToggleAutostart ? cfg::FLAG_AUTOSTART : cfg::FLAG_AUTOMOUNT,
                   services_.startElevatedApply);
      }
      break;
    case MenuCommand::Configuration: {
      ConfigDialogActions actions;
      actions.driveList = [this] {
        std::vector<ConfigDrive> drives;
        if (services_.driveList) {
          for (const MenuDrive& d : services_.driveList()) drives.push_back({d.number, d.letter});
        }
        return drives;
      };
      actions.setDriveCount = services_.setDriveCount;
      actions.changeLetter = services_.changeLetter;
      actions.sendLanguage = services_.sendLanguage;
      actions.startElevatedApply = services_.startElevatedApply;
      RunConfigurationDialog(ui_, window_, config_, languages_, actions);
      break;
    }
    case MenuCommand::Archiver:
      if (services_.openArchiver) {
        services_.openArchiver();
      } else {
        OpenOrInstallArchiver(config_, languages_.currentLangId());
      }
      break;
    case MenuCommand::Exit:
      End();
      break;
    case MenuCommand::None:
      break;
  }
}

}  // namespace kv::manager
