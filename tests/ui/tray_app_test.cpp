#include "manager/tray_app.h"

#include <gtest/gtest.h>

#include "common/service_command.h"
#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;
namespace cfg = kv::config;

namespace {

struct Calls {
  bool driverReady = true;
  int checks = 0;
  std::vector<int> counts, mounts, unmounts;
  int applySteps = 0;
  int archiver = 0;
};

TrayServices Services(Calls* c) {
  TrayServices s;
  s.driverCheck = [c] { return ++c->checks, c->driverReady; };
  s.driveList = [] { return std::vector<MenuDrive>{{0, u'D', u""}, {1, u'E', u"DATA"}}; };
  s.setDriveCount = [c](int n) { c->counts.push_back(n); };
  s.mount = [c](int d) { c->mounts.push_back(d); };
  s.unmount = [c](int d) { c->unmounts.push_back(d); };
  s.startElevatedApply = [c] { return ++c->applySteps, true; };
  s.openArchiver = [c] { return ++c->archiver, true; };
  return s;
}

class Tray : public kv::test::ManagerUi {
 protected:
  void SetUp() override {
    ManagerUi::SetUp();
    config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
    languages_ = std::make_unique<Languages>(*config_);
    languages_->Load();
  }
  ScriptedUi ui_;
  Calls calls_;
  std::unique_ptr<ConfigStore> config_;
  std::unique_ptr<Languages> languages_;
};

TEST_F(Tray, OneInstanceWithIconAndTimerEndsOnExitAndOnTheInstallersMessage) {
  TrayApp app(ui_, *config_, *languages_, Services(&calls_));
  ASSERT_TRUE(app.Start());
  ASSERT_NE(ui_.FindTrayIcon(kTrayIconId), nullptr);
  EXPECT_EQ(ui_.FindTrayIcon(kTrayIconId)->tooltip, u"Korvendrake Virtual Drive");
  EXPECT_EQ(ui_.FindTrayIcon(kTrayIconId)->callbackMessage, 0x410u);
  EXPECT_EQ(ui_.TimerPeriod(kTrayTimerId), 100u);
  EXPECT_EQ(ui_.windowClasses, std::vector<std::u16string>{cfg::kManagerWindowClass});
  EXPECT_TRUE(kv::platform::FindWindowByClass(cfg::kManagerWindowClass));
  ScriptedUi other;
  TrayApp second(other, *config_, *languages_, Services(&calls_));
  EXPECT_FALSE(second.Start()) << "a second instance ends";
  EXPECT_EQ(other.FindTrayIcon(kTrayIconId), nullptr);

  ui_.QueueMenu(kCmdExit);
  ASSERT_TRUE(ui_.ClickTray(kTrayIconId, TrayEvent::LeftButtonUp));
  EXPECT_TRUE(app.ended());
  EXPECT_TRUE(ui_.quitRequested());
  EXPECT_EQ(ui_.FindTrayIcon(kTrayIconId), nullptr);
  EXPECT_EQ(ui_.TimerPeriod(kTrayTimerId), 0u);
  EXPECT_FALSE(kv::platform::FindWindowByClass(cfg::kManagerWindowClass));

  ScriptedUi ui2;
  TrayApp again(ui2, *config_, *languages_, Services(&calls_));
  ASSERT_TRUE(again.Start());
  EXPECT_EQ(InChild([] { return kv::platform::PostMessageToClass(cfg::kManagerWindowClass, 0x421) ? 0 : 1; }), 0);
  ui2.TickTimers();
  EXPECT_TRUE(again.ended()) << "the uninstall step's message";
}

TEST_F(Tray, DriverCommandsNeedTheDriverCheck) {
  TrayApp app(ui_, *config_, *languages_, Services(&calls_));
  ASSERT_TRUE(app.Start());
  calls_.driverReady = false;
  for (uint32_t id :
       {kCmdDriveCountBase + 5, kCmdMountBase + 1, kCmdUnmountBase, kCmdUnmountAll, kCmdToggleAutomount}) {
    ui_.QueueMenu(id);
    ui_.ClickTray(kTrayIconId, TrayEvent::RightButtonUp);
  }
  EXPECT_EQ(calls_.checks, 5);
  EXPECT_TRUE(calls_.counts.empty() && calls_.mounts.empty() && calls_.unmounts.empty());
  EXPECT_FALSE(GetDword(kv::platform::HKEY_CURRENT_USER, kv::test::kMainKey, cfg::kFlags));

  calls_.driverReady = true;
  for (uint32_t id : {kCmdDriveCountBase + 5, kCmdMountBase + 1, kCmdUnmountBase, kCmdUnmountAll, kCmdToggleAutomount,
                      kCmdArchiver}) {
    ui_.QueueMenu(id);
    ui_.ClickTray(kTrayIconId, TrayEvent::RightButtonUp);
  }
  EXPECT_EQ(calls_.counts, std::vector<int>{5});
  EXPECT_EQ(calls_.mounts, std::vector<int>{1});
  ASSERT_EQ(calls_.unmounts.size(), 24u) << "one, then all 23";
  EXPECT_EQ(calls_.unmounts[23], 22);
  EXPECT_EQ(GetDword(kv::platform::HKEY_CURRENT_USER, kv::test::kMainKey, cfg::kFlags), 3u);
  EXPECT_EQ(calls_.applySteps, 1);
  EXPECT_EQ(calls_.archiver, 1);
  // Every menu was built from the drive list of its moment: two drives, submenus.
  EXPECT_EQ(ui_.menus.back().menu[1].text, u"Drive [E:] DATA");
  EXPECT_TRUE(ui_.unanswered.empty());
}

TEST_F(Tray, AClickWhileADialogIsOpenBringsItForward) {
  TrayApp app(ui_, *config_, *languages_, Services(&calls_));
  ASSERT_TRUE(app.Start());
  ScriptedUi& ui = ui_;
  ui_.QueueMenu(kCmdConfiguration);
  ui_.QueueDialog([&ui](DialogDriver& d) {
    ui.ClickTray(kTrayIconId, TrayEvent::LeftButtonUp);
    EXPECT_EQ(ui.broughtToFront, std::vector<WindowId>{d.dialog().window});
    EXPECT_EQ(ui.menus.size(), 1u) << "no second menu";
    EXPECT_EQ(d.dialog().Selected(kIdDriveCount), 2) << "the drive list of the services";
    d.Click(IDCANCEL);
  });
  ui_.ClickTray(kTrayIconId, TrayEvent::RightButtonUp);
  EXPECT_EQ(ui_.dialogs.size(), 1u);
  EXPECT_EQ(ui_.dialogs[0].owner, app.window());
  EXPECT_EQ(calls_.checks, 0) << "the configuration needs no driver check";
}

TEST_F(Tray, ServiceMessagesBecomeBalloonsOnTheTimer) {
  int error = 0;
  auto server = kv::platform::MessagePipeServer::Create(kv::kMessagePipeName, 4, false, &error);
  ASSERT_TRUE(server);
  TrayApp app(ui_, *config_, *languages_, Services(&calls_));
  ASSERT_TRUE(app.Start());
  ui_.TickTimers();
  const std::u16string text = u"x.zip:::Error reading archive 'x.zip'.";
  std::vector<uint8_t> m;
  for (char16_t c : text) m.insert(m.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  m.insert(m.end(), {0, 0});
  ASSERT_EQ(server->Write(m.data(), m.size()), 1);
  ui_.TickTimers();
  ASSERT_EQ(ui_.balloons.size(), 1u);
  EXPECT_EQ(ui_.balloons[0].title, u"x.zip");
  EXPECT_EQ(ui_.balloons[0].text, u"Error reading archive 'x.zip'.");
}

}  // namespace
