// The tray program's start-up and commands through the scripted back end, over the real system:
// kvemu and KVService booted by the service manager in a private platform root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/config_names.h"
#include "manager/archive_dialogs.h"
#include "manager/config_dialog.h"
#include "manager/helper.h"
#include "platform/service_control.h"
#include "platform/window_class.h"
#include "tests/ui/booted_system.h"

using namespace kv::manager;
using namespace kv::platform::ui;
namespace cfg = kv::config;
namespace fs = std::filesystem;
using kv::platform::HKEY_LOCAL_MACHINE;
using kv::test::kMainKey;

namespace {

constexpr char16_t kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
using kv::test::kServiceName;

class HelperSystem : public kv::test::BootedSystem {
 protected:
  void SetUp() override {
    BootedSystem::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Boot();
    fs::create_directories(files_.path() / "src");
    kv::test::WriteFileText(files_ / "src/readme.txt", "tray\n");
    iso_ = (files_ / "disc.iso").string();
    ASSERT_EQ(kv::test::Run("genisoimage -quiet -J -o " + kv::test::Quote(iso_) + " " +
                            kv::test::Quote((files_ / "src").string()))
                  .exitCode,
              0);
    config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(false));
    languages_ = std::make_unique<Languages>(*config_);
    languages_->Load();
  }
  void TearDown() override {
    helper_.reset();
    BootedSystem::TearDown();
  }

  Helper& StartHelper() {
    helper_ = std::make_unique<Helper>(ui_, *config_, *languages_);
    helper_->SetMountDelayMs(0);
    int code = -1;
    EXPECT_TRUE(helper_->Start(&code));
    return *helper_;
  }
  std::vector<std::u16string> Images() {
    std::vector<std::u16string> out;
    DriveControl& d = helper_->drives();
    const DriveList list = d.BuildDriveList();
    for (size_t i = 0; i < list.size(); ++i) out.push_back(d.QueryImage(list, i));
    return out;
  }
  static std::u16string Stored(const std::string& file) {
    std::u16string nt, client;
    EXPECT_TRUE(ServicePaths(file, &nt, &client));
    return client;
  }
  void Click(uint32_t command) {
    ui_.QueueMenu(command);
    ASSERT_TRUE(ui_.ClickTray(kTrayIconId, TrayEvent::RightButtonUp));
  }

  kv::test::TempDir files_;
  std::string iso_;
  ScriptedUi ui_;
  std::unique_ptr<ConfigStore> config_;
  std::unique_ptr<Languages> languages_;
  std::unique_ptr<Helper> helper_;
};

TEST_F(HelperSystem, StartUpSetsTheDriveCountAndAutomountsEmptyingAVanishedImage) {
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDiskCount, 3));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, cfg::FLAG_AUTOMOUNT));
  const std::string gone = (files_ / "gone.iso").string();
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMainKey, ConfigStore::ImageNameValue(0), Stored(iso_)));
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMainKey, ConfigStore::ImageNameValue(1), Stored(gone)));
  StartHelper();
  const auto images = Images();
  ASSERT_EQ(images.size(), 3u) << "the count command went out before any menu";
  EXPECT_FALSE(images[0].empty());
  EXPECT_TRUE(images[1].empty());
  EXPECT_EQ(config_->ImageName(1), u"") << "the vanished image is forgotten";
  EXPECT_EQ(config_->ImageName(0), Stored(iso_));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_NE(ui_.boxes[0].text.find(kv::platform::Utf8ToUtf16(gone) + u"\r\n\r\n"), std::u16string::npos);
  EXPECT_EQ(ui_.boxes[0].style & MB_ICONMASK, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.boxes[0].caption, u"Korvendrake Virtual Drive");
  ASSERT_NE(ui_.FindTrayIcon(kTrayIconId), nullptr);
  EXPECT_EQ(ui_.TimerPeriod(kTrayTimerId), 100u);

  // A mount the service refuses (there is no drive 40) names the file sent.
  EXPECT_FALSE(helper_->MountPath(40, iso_));
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[1].text, u"Mount image failed.\r\n\r\n" + kv::platform::Utf8ToUtf16(iso_) + u"\r\n");
  EXPECT_EQ(ui_.boxes[1].style, MB_OK | MB_ICONERROR);
}

TEST_F(HelperSystem, ASecondInstanceEndsSilentlyAndThePostedMessagesReachTheFirst) {
  Helper& first = StartHelper();
  ScriptedUi other;
  Helper second(other, *config_, *languages_);
  int code = -1;
  EXPECT_FALSE(second.Start(&code));
  EXPECT_EQ(code, kHelperExitOk);
  EXPECT_TRUE(other.boxes.empty() && other.menus.empty() && other.FindTrayIcon(kTrayIconId) == nullptr);

  // The icon's callback posted from outside opens the menu; 0x420 ends the program.
  ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, kTrayCallbackMessage, kTrayIconId, 0x205));
  ui_.QueueMenu(0);
  ui_.TickTimers();
  ASSERT_EQ(ui_.menus.size(), 1u);
  EXPECT_EQ(ui_.menus[0].menu[0].text, u"Mount Archive to Drive [D:] ");
  ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, 0x420));
  ui_.TickTimers();
  EXPECT_TRUE(first.tray()->ended());
  EXPECT_FALSE(kv::platform::FindWindowByClass(cfg::kManagerWindowClass));
}

TEST_F(HelperSystem, EveryMenuCommandActsOnTheRealDrives) {
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, 0));
  StartHelper();
  const std::string zip = (files_ / "secret.zip").string();
  ASSERT_EQ(kv::test::Run("cd " + kv::test::Quote((files_ / "src").string()) + " && 7z a -tzip -pkorv " +
                          kv::test::Quote(zip) + " . >/dev/null")
                .exitCode,
            0);
  struct Step {
    const char* what;
    uint32_t command;
    std::optional<std::string> file;  // the file dialog's answer
    std::vector<bool> mounted;        // the drives afterwards
    size_t boxes;                     // message boxes shown so far
  };
  const std::string folder = files_.path().string();
  const Step steps[] = {
      {"three drives", kCmdDriveCountBase + 3, {}, {false, false, false}, 0},
      {"an ISO to drive 1", kCmdMountBase + 1, iso_, {false, true, false}, 0},
      {"file dialog cancelled", kCmdMountBase + 0, std::nullopt, {false, true, false}, 0},
      {"a folder is refused", kCmdMountBase + 0, folder, {false, true, false}, 1},
      {"an encrypted zip to drive 2", kCmdMountBase + 2, zip, {false, true, true}, 1},
      {"no such drive", kCmdMountBase + 9, iso_, {false, true, true}, 1},
      {"the placeholder does nothing", kCmdNoDrive, {}, {false, true, true}, 1},
      {"unmount drive 1", kCmdUnmountBase + 1, {}, {false, false, true}, 1},
      {"unmount all", kCmdUnmountAll, {}, {false, false, false}, 1},
      {"twelve drives", kCmdDriveCountBase + 12, {}, std::vector<bool>(12, false), 1},
      {"one drive", kCmdDriveCountBase + 1, {}, {false}, 1},
      {"disabled", kCmdDriveCountBase + 0, {}, {}, 1},
  };
  // The password dialog of the zip: typed and confirmed.
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_EQ(d.dialog().resourceId, kPasswordDialogResource);
    EXPECT_EQ(d.dialog().Text(kIdPasswordFileName), u"secret.zip");
    d.Type(kIdPassword, u"korv");
    d.Click(IDOK);
  });
  ui_.QueueBox(IDOK);  // the refused folder
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const size_t files = ui_.fileDialogs.size();
    if (s.command >= kCmdMountBase && s.command < kCmdMountBase + 23)
      ui_.QueueFile(s.file ? kv::platform::Utf8ToUtf16(*s.file) : std::optional<std::u16string>());
    Click(s.command);
    std::vector<bool> mounted;
    for (const auto& image : Images()) mounted.push_back(!image.empty());
    EXPECT_EQ(mounted, s.mounted);
    EXPECT_EQ(ui_.boxes.size(), s.boxes);
    if (s.command == kCmdMountBase + 9) {
      EXPECT_EQ(ui_.fileDialogs.size(), files) << "no dialog for a missing drive";
    }
  }
  EXPECT_EQ(ui_.boxes[0].text,
            kv::platform::Utf8ToUtf16(folder) + u"\r\n\r\nThe file format is invalid or unsupported.");
  EXPECT_EQ(ui_.boxes[0].style, MB_OK | MB_ICONERROR);
  ASSERT_FALSE(ui_.fileDialogs.empty());
  const OpenFileRequest& r = ui_.fileDialogs[0].request;
  EXPECT_EQ(r.filters.size(), 8u);
  EXPECT_EQ(r.filters[1].label, u"Zip Archives (*.zip)");
  EXPECT_EQ(r.filters[7].label, u"All Files (*.*)");
  EXPECT_EQ(r.defaultExtension, u".mzp");
  EXPECT_EQ(r.owner, helper_->window());
  EXPECT_TRUE(ui_.unanswered.empty());

  // The toggles: before Vista the Run entry is written at once; the configuration runs modally.
  Click(kCmdToggleAutostart);
  EXPECT_EQ(config_->Flags() & cfg::FLAG_AUTOSTART, cfg::FLAG_AUTOSTART);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName), config_->RunEntryText());
  Click(kCmdToggleAutostart);
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName));
  Click(kCmdToggleAutomount);
  EXPECT_EQ(config_->Flags(), cfg::FLAG_AUTOMOUNT);
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_EQ(d.dialog().resourceId, kConfigDialogResource);
    d.Click(IDCANCEL);
  });
  Click(kCmdConfiguration);
  EXPECT_EQ(ui_.dialogs.back().atOpen.resourceId, kConfigDialogResource);
  Click(kCmdExit);
  EXPECT_TRUE(helper_->tray()->ended());
}

TEST_F(HelperSystem, WithoutTheServiceTheCommandsSayWhy) {
  StartHelper();
  kv::platform::SERVICE_STATUS s{};
  ASSERT_TRUE(kv::platform::ControlService(kServiceName, kv::platform::SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(kv::platform::WaitServiceState(kServiceName, kv::platform::SERVICE_STOPPED, 60000));
  Click(kCmdDriveCountBase + 2);
  // The command area is gone (450), so the command is not sent (460); nothing else is shown.
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[0].text, languages_->Text(450));
  EXPECT_EQ(ui_.boxes[1].text, languages_->Text(460));
}

TEST_F(HelperSystem, AutostartOnVistaGoesThroughTheElevatedApplyStepOfTheInstalledProgram) {
  const fs::path installed = fs::path(KV_INSTALL_DIR) / "KVHELPER";
  if (!fs::exists(installed)) GTEST_SKIP() << "KVHELPER is not built (no GTK)";
  config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
  languages_ = std::make_unique<Languages>(*config_);
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, 0));
  StartHelper();
  const auto runEntry = [] { return GetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName); };
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return done();
  };
  Click(kCmdToggleAutostart);
  EXPECT_EQ(GetDword(kv::platform::HKEY_CURRENT_USER, kMainKey, cfg::kFlags), cfg::FLAG_AUTOSTART);
  ASSERT_TRUE(waitFor([&] { return runEntry().has_value(); })) << "the apply step wrote no Run entry";
  EXPECT_EQ(runEntry(), u"\"" + kv::platform::Utf8ToUtf16(installed.string()) + u"\"");
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags), cfg::FLAG_AUTOSTART) << "machine value follows";
  Click(kCmdToggleAutostart);
  EXPECT_TRUE(waitFor([&] { return !runEntry().has_value(); })) << "the Run entry stays after autostart off";
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(HelperSystem, AnyDiskCountStartsWithAValidNumberOfDrives) {
  struct Case {
    const char* what;
    std::function<bool()> store;
    size_t drives;
  };
  const auto dword = [](uint32_t v) {
    return [v] { return SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDiskCount, v); };
  };
  const Case cases[] = {
      {"two", dword(2), 2},
      {"above 23", dword(99), 1},
      {"all bits", dword(0xFFFFFFFF), 1},
      {"a text", [] { return SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDiskCount, u"5"); }, 1},
      {"none", dword(0), 0},
      {"twenty-three", dword(23), 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.store());
    StartHelper();
    EXPECT_EQ(Images().size(), c.drives);
    helper_.reset();
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(HelperSystem, TheConfigurationMovesADriveToItsNewLetterWithItsImage) {
  // Vista: the new letters reach the machine's values only with the apply step, after the move.
  config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
  languages_ = std::make_unique<Languages>(*config_);
  StartHelper();
  ui_.QueueFile(kv::platform::Utf8ToUtf16(iso_));
  Click(kCmdMountBase);
  ASSERT_FALSE(Images().at(0).empty());
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.Select(kIdDriveCount, 2));
    EXPECT_TRUE(d.SelectRows(kIdLetterList, {0}));
    EXPECT_TRUE(d.Click(kIdEditLetter));
    EXPECT_EQ(d.dialog().Find(kIdLetterList)->rows[0][1], u"K:");
    EXPECT_TRUE(d.Click(IDOK));
  });
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.Select(kIdLetterChoice, 'K' - 67));
    EXPECT_TRUE(d.Click(IDOK));
  });
  ui_.QueueBox(IDYES);
  Click(kCmdConfiguration);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, u"Drive 0\r\n\r\nThe drive letter is [D:] , do you want to change it to [K:] now?");
  const DriveList list = helper_->drives().BuildDriveList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].letter(), 'K');
  EXPECT_EQ(list[1].letter(), 'D') << "the new drive takes the first free letter";
  EXPECT_FALSE(Images().at(0).empty()) << "the image was mounted again under the new letter";
  EXPECT_EQ(GetString(kv::platform::HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter)->substr(0, 2), u"KA");
  EXPECT_TRUE(ui_.unanswered.empty());
}

// Without the driver the program tells so once and still lives in the tray.
class HelperWithoutDriver : public kv::test::ManagerUi {};

TEST_F(HelperWithoutDriver, StartsWithTheDriversMessage) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  ScriptedUi ui;
  Helper helper(ui, config, languages);
  int code = -1;
  ASSERT_TRUE(helper.Start(&code));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.rfind(languages.Text(430), 0), 0u) << "text 430 with its error codes";
  EXPECT_NE(ui.FindTrayIcon(kTrayIconId), nullptr);
  ui.QueueMenu(kCmdDriveCountBase + 2);
  ui.ClickTray(kTrayIconId, TrayEvent::LeftButtonUp);
  EXPECT_EQ(ui.boxes.size(), 2u) << "the command's driver check says it again";
  ASSERT_EQ(ui.menus.size(), 1u);
  EXPECT_EQ(ui.menus[0].menu[0].text, u"<No Drive>");
}

}  // namespace
