// kvsetup with real processes in a private platform root: a fresh installation into a temporary
// folder, the boot step, an image mounted on an installed drive, a reinstallation, the removal,
// and nothing of the system left running or registered.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/config_names.h"
#include "common/ioctl.h"
#include "installer/kvd_inst_opt.h"
#include "platform/devio.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/ui/scripted_ui.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"
#include "tests/fixtures/test_support.h"

extern "C" {
void Dialog(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
void Uninstall(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
}

namespace kv::test {
namespace {

using namespace kv::platform;
using namespace kv::installer;
namespace ui = kv::platform::ui;
namespace fs = std::filesystem;

constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive";
constexpr char16_t kService[] = u"Korvendrake Service";

bool ManagerBuilt() {
  return fs::exists(ProgramPath("KVHELPER"));
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (dir_ / "root").string();
    setenv("KV_PLATFORM_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    if (geteuid() == 0) ShutdownSystem(nullptr);  // whatever a failed case left running
    unsetenv("KV_PLATFORM_ROOT");
  }
  CommandResult KvSetup(const std::string& arguments) {
    return kv::test::Run("KV_PLATFORM_ROOT=" + Quote(root_) + " " + Quote(ProgramPath("kvsetup")) + " " + arguments);
  }
  CommandResult Kvctl(const std::string& arguments) {
    return kv::test::Run("KV_PLATFORM_ROOT=" + Quote(root_) + " " + Quote(ProgramPath("kvctl")) + " " + arguments);
  }
  // Why a case that installs cannot run here (empty when it can).
  static std::string CannotInstall() {
    if (geteuid() != 0) return "the services are recorded in the machine's registry (root)";
    if (!ManagerBuilt()) return "KVHELPER is not built; kvsetup refuses to install without it";
    return {};
  }
  std::u16string InstallDir() {
    RegKey key;
    std::u16string dir;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
      RegReadString(key, u"Install_Dir", &dir);
    return dir;
  }

  TempDir dir_;
  std::string root_;
};

TEST_F(SetupTest, UsageErrors) {
  const char* lines[] = {"--yes --drives 24",
                         "--yes --drives x",
                         "--purge",
                         "--uninstall --drives 2",
                         "--bogus 1",
                         "--drives 2",
                         "--yes --autostart --no-autostart",
                         "extra"};
  for (const char* line : lines) {
    const CommandResult r = KvSetup(line);
    EXPECT_EQ(r.exitCode, 2) << line << "\n" << r.output;
    EXPECT_NE(r.output.find("kvsetup: "), std::string::npos) << line;
  }
  const CommandResult help = KvSetup("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("--uninstall"), std::string::npos);
}

TEST_F(SetupTest, AMissingProgramIsNamedAndNothingIsInstalled) {
  if (geteuid() != 0) GTEST_SKIP() << "root";
  if (ManagerBuilt()) GTEST_SKIP() << "every program is built";
  const CommandResult r = KvSetup("--yes --prefix " + Quote((dir_ / "opt").string()));
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("KVHELPER"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir_ / "opt"));
  EXPECT_TRUE(InstallDir().empty());
}

TEST_F(SetupTest, AnUnwritableFolderLeavesNothingHalfRegistered) {
  if (const std::string why = CannotInstall(); !why.empty()) GTEST_SKIP() << why;
  WriteFileText(dir_ / "file", "not a folder");
  const CommandResult r = KvSetup("--yes --prefix " + Quote((dir_ / "file" / "opt").string()));
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("nothing was installed"), std::string::npos) << r.output;
  EXPECT_TRUE(EnumServices().empty());
  EXPECT_TRUE(InstallDir().empty());
}

TEST_F(SetupTest, InstallBootMountReinstallUninstall) {
  if (const std::string why = CannotInstall(); !why.empty()) GTEST_SKIP() << why;
  if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  const fs::path prefix = dir_ / "opt" / "korvendrake";
  CommandResult r = KvSetup("--yes --drives 2 --no-autostart --automount --prefix " + Quote(prefix.string()));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(fs::exists(prefix / "KVService"));
  EXPECT_TRUE(fs::exists(prefix / "drivers" / "kvemu"));
  EXPECT_TRUE(fs::exists(prefix / "Lang" / "English.lng"));
  EXPECT_TRUE(fs::is_symlink(prefix / "7z.so"));
  EXPECT_EQ(Utf16ToUtf8(InstallDir()), prefix.string());

  // A restart: everything stops, then the boot step brings the installed copy up again.
  ShutdownSystem(nullptr);
  std::vector<std::string> log;
  ASSERT_EQ(BootSystem(&log), 0) << ::testing::PrintToString(log);
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 30000));
  r = Kvctl("dev drives");
  EXPECT_NE(r.output.find("(drive 1)"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("(drive 2)"), std::string::npos) << r.output;

  fs::create_directories(dir_ / "disc");
  WriteFileText(dir_ / "disc" / "readme.txt", "installed\n");
  const fs::path iso = dir_ / "disc.iso";
  ASSERT_EQ(
      kv::test::Run("genisoimage -quiet -o " + Quote(iso.string()) + " " + Quote((dir_ / "disc").string())).exitCode,
      0);
  r = Kvctl("svc mount-image 0 " + Quote(iso.string()));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Kvctl("dev query 0");
  EXPECT_NE(r.output.find("disc.iso"), std::string::npos) << r.output;

  // Over the registered copy: the services are not registered again; the restart the page asks
  // for starts the new programs.
  pid_t before = 0;
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(kService, &status, &before));
  r = KvSetup("--yes --prefix " + Quote(prefix.string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("restarting"), std::string::npos) << r.output;
  pid_t after = 0;
  EXPECT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 30000));
  ASSERT_TRUE(QueryServiceStatus(kService, &status, &after));
  EXPECT_NE(after, before);
  // The restart emptied the drives (automount is the tray program's); the image goes back in.
  r = Kvctl("svc mount-image 0 " + Quote(iso.string()));
  ASSERT_EQ(r.exitCode, 0) << r.output;

  if (HaveTool("7z")) {
    const fs::path zip = dir_ / "disc.zip";
    ASSERT_EQ(kv::test::Run("7z a -bso0 -bsp0 " + Quote(zip.string()) + " " + Quote((dir_ / "disc").string())).exitCode,
              0);
    r = Kvctl("svc mount-archive 1 " + Quote(zip.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  // The plug-in's removal step while the driver stays loaded: both markers set, so the page of
  // an installation before the restart starts from the defaults and asks for the restart.
  {
    ui::ScriptedUi scripted;
    InstallerWindow window;
    window.ui = &scripted;
    window.placeholder = {0, 0, 420, 200};
    StackEntry* stack = nullptr;
    std::string variables(1024 * 25, '\0');
    Uninstall(&window, 1024, variables.data(), &stack);
    Handle device = CreateFile(std::string("\\\\.\\KVEmuDev0"));
    for (const uint32_t code : {IOCTL_CDEMU_GET_USER_VALUE1, IOCTL_CDEMU_GET_USER_VALUE2}) {
      uint32_t value = 0;
      uint32_t returned = 0;
      ASSERT_TRUE(DeviceIoControl(device, code, nullptr, 0, &value, sizeof value, &returned));
      EXPECT_EQ(value, 1u);
    }
    for (int i = 0; i < 9; ++i) PushString(&stack, 1024, "");
    scripted.QueueBox(ui::IDOK);
    scripted.QueueDialog([](ui::DialogDriver& page) {
      page.Select(kDriveCountList, 2);
      page.Click(kNextButton);
    });
    Dialog(&window, 1024, variables.data(), &stack);
    const ui::DialogModel& page = scripted.dialogs.at(0).atOpen;
    EXPECT_EQ(page.Selected(kDriveCountList), 1) << "not the installed 2";
    EXPECT_TRUE(page.Checked(kAutostartBox));
    EXPECT_FALSE(page.Checked(kAutomountBox)) << "not the installed automount";
    std::string result;
    EXPECT_TRUE(PopString(&stack, 1024, &result));
    EXPECT_EQ(result, "REBOOT");
    FreeStack(&stack);
  }

  pid_t servicePid = 0;
  pid_t driverPid = 0;
  ASSERT_TRUE(QueryServiceStatus(kService, &status, &servicePid));
  ASSERT_TRUE(QueryServiceStatus(u"kvemu", &status, &driverPid));
  ASSERT_GT(servicePid, 0);
  ASSERT_GT(driverPid, 0);

  // Removal while the drives hold the image and the archive and the tray program runs: this test plays the tray
  // program's window, which ends on the message the plug-in posts.
  int error = 0;
  auto manager = WindowClassEndpoint::Register(kv::config::kManagerWindowClass, &error);
  ASSERT_TRUE(manager) << error;
  uint32_t endMessage = 0;
  std::thread tray([&] {
    PostedMessage message{};
    for (int i = 0; i < 1000 && endMessage != 0x421; ++i) {
      while (manager->Take(&message)) endMessage = message.message;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    manager.reset();
  });
  r = KvSetup("--uninstall");
  tray.join();
  EXPECT_EQ(endMessage, 0x421u);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(ProcessAlive(servicePid));
  EXPECT_FALSE(ProcessAlive(driverPid));
  EXPECT_TRUE(EnumServices().empty());
  EXPECT_FALSE(fs::exists(prefix));
  EXPECT_TRUE(InstallDir().empty());
  RegKey source;
  EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kv::config::kEventLogSourceKey, 0, KEY_READ, source.put()), ERROR_SUCCESS);
  RegKey main;
  DWORD count = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, main.put()), ERROR_SUCCESS);
  EXPECT_TRUE(RegReadDword(main, u"DiskCount", &count)) << "the configuration stays";
  EXPECT_EQ(count, 2u);
  main.Close();

  r = KvSetup("--uninstall --purge --prefix " + Quote(prefix.string()));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, main.put()), ERROR_SUCCESS);
}

// The tray program for real on a desktop (run under xvfb-run): started by the installation,
// ended by the restart, started again at logon by the boot step, ended by the removal.
TEST_F(SetupTest, DesktopTrayComesUpAtLogonAndEndsAtRemoval) {
  if (const std::string why = CannotInstall(); !why.empty()) GTEST_SKIP() << why;
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no desktop (DISPLAY is unset)";
  const auto trayShown = [] { return FindWindowByClass(kv::config::kManagerWindowClass); };
  const auto waitTray = [&](bool shown) {
    for (int i = 0; i < 1500 && trayShown() != shown; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return trayShown() == shown;
  };
  const fs::path prefix = dir_ / "opt";
  CommandResult r = KvSetup("--yes --drives 2 --prefix " + Quote(prefix.string()));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(waitTray(true)) << "started by the installation";
  ASSERT_TRUE(PostMessageToClass(kv::config::kManagerWindowClass, 0x421));
  ASSERT_TRUE(waitTray(false));
  ShutdownSystem(nullptr);
  std::vector<std::string> log;
  ASSERT_EQ(BootSystem(&log), 0) << ::testing::PrintToString(log);
  EXPECT_TRUE(waitTray(true)) << "started at logon: " << ::testing::PrintToString(log);
  ASSERT_TRUE(WaitServiceState(kService, SERVICE_RUNNING, 30000));
  r = Kvctl("dev drives");
  EXPECT_NE(r.output.find("(drive 1)"), std::string::npos) << r.output;
  r = KvSetup("--uninstall --purge");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(trayShown());
  EXPECT_TRUE(EnumServices().empty());
  EXPECT_FALSE(fs::exists(prefix));
}

}  // namespace
}  // namespace kv::test
