// KVHELPER itself on a virtual X server (run under xvfb-run), over the booted system: started at
// logon from its Run entry, its menu opened through the icon's window message, a few commands
// chosen, every window photographed and described from its widget tree by the program's own
// automation, then ended with the installer's message.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "manager/drive_control.h"
#include "manager/tray_app.h"
#include "platform/window_class.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/ui/booted_system.h"

using namespace kv::manager;
namespace cfg = kv::config;
namespace fs = std::filesystem;

namespace {

const fs::path kShots = fs::path(KV_BINARY_DIR) / "tests" / "ui" / "screenshots" / "kvhelper";

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// A window's description without GTK's mnemonic marks.
std::string Shown(int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d.txt", n);
  std::ifstream in(kShots / name);
  std::stringstream s;
  s << in.rdbuf();
  std::string out;
  const std::string t = s.str();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '_' && i + 1 < t.size() && t[i + 1] == '_') {
      out += '_';
      ++i;
    } else if (t[i] != '_') {
      out += t[i];
    }
  }
  return out;
}

class HelperDesktop : public kv::test::BootedSystem {
 protected:
  std::string Text(uint16_t id) { return kv::platform::Utf16ToUtf8(languages_->Text(id)); }
  std::unique_ptr<ConfigStore> config_;
  std::unique_ptr<Languages> languages_;
};

TEST_F(HelperDesktop, TheTrayProgramShowsThePartsWindowsAndMountsFromItsMenu) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display (run under xvfb-run)";
  config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
  languages_ = std::make_unique<Languages>(*config_);
  languages_->Load();
  fs::remove_all(kShots);
  fs::create_directories(kShots);
  std::printf("screenshots of KVHELPER: %s\n", kShots.c_str());

  // The files the menu mounts: an encrypted zip, a split DAA image with a volume gone, a folder.
  fs::create_directories(install_.path() / "src");
  kv::test::WriteFileText(install_.path() / "src/readme.txt", "tray\n");
  const std::string zip = (install_.path() / "secret.zip").string();
  ASSERT_EQ(kv::test::Run("cd " + kv::test::Quote((install_.path() / "src").string()) + " && 7z a -tzip -pkorv " +
                          kv::test::Quote(zip) + " . >/dev/null")
                .exitCode,
            0);
  const std::string iso = (install_.path() / "src.iso").string();
  ASSERT_EQ(kv::test::Run("genisoimage -quiet -J -o " + kv::test::Quote(iso) + " " +
                          kv::test::Quote((install_.path() / "src").string()))
                .exitCode,
            0);
  kv::test::DaaWriterOptions daa;
  daa.chunkSize = 16384;
  daa.method = kv::test::DaaWriterOptions::Method::kStored;
  daa.volumeSize = fs::file_size(iso) / 2 + 4096;
  const auto volumes = kv::test::WriteDaaImage(kv::test::ReadFileBytes(iso), daa, "split");
  ASSERT_GE(volumes.size(), 2u);
  const fs::path first = kv::test::WriteDaaFiles(install_.path(), volumes);
  fs::remove(install_.path() / volumes.back().name);

  std::ofstream(kShots / "script") << "answer " << kCmdDriveCountBase + 3 << "\n"
                                   << "answer " << kCmdDriveCountBase + 12 << "\n"
                                   << "answer " << kCmdConfiguration << "\n"
                                   << "click 2\n"
                                   << "answer " << kCmdMountBase << "\n"
                                   << "file " << zip << "\n"
                                   << "type 1006 korv|click 1\n"
                                   << "answer " << kCmdMountBase + 1 << "\n"
                                   << "file " << first.string() << "\n"
                                   << "click 2\n"
                                   << "answer " << kCmdMountBase + 2 << "\n"
                                   << "file " << install_.path().string() << "\n"
                                   << "answer 1\n";
  // Logon starts the Run entry: KVHELPER with its automation.
  ASSERT_TRUE(SetDword(kv::platform::HKEY_LOCAL_MACHINE, kv::test::kMainKey, cfg::kDiskCount, 1));
  ASSERT_TRUE(SetString(
      kv::platform::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", cfg::kRunValueName,
      kv::platform::Utf8ToUtf16("\"" + kv::test::ProgramPath("KVHELPER") + "\" --automate " + kShots.string())));
  Boot();
  ASSERT_TRUE(
      WaitFor([] { return kv::platform::FindWindowByClass(cfg::kManagerWindowClass); }, std::chrono::seconds(30)))
      << "KVHELPER did not start at logon";
  // Six menus, one after the other: the program takes the next once the last command is done.
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, kTrayCallbackMessage, kTrayIconId, 0x205));
  ASSERT_TRUE(WaitFor([] { return fs::exists(kShots / "10.txt"); }, std::chrono::seconds(60)))
      << "windows shown: see " << kShots;
  ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, kMessageUninstall));
  EXPECT_TRUE(
      WaitFor([] { return !kv::platform::FindWindowByClass(cfg::kManagerWindowClass); }, std::chrono::seconds(30)))
      << "KVHELPER did not end on the installer's message";

  for (int n = 1; n <= 10; ++n) {
    char png[16];
    std::snprintf(png, sizeof png, "%02d.png", n);
    EXPECT_GT(fs::exists(kShots / png) ? fs::file_size(kShots / png) : 0, 1000u) << png;
  }
  // The menus with 1, 3 and 12 drives.
  const std::string one = Shown(1), three = Shown(2), twelve = Shown(3);
  EXPECT_NE(one.find("item: Mount Archive to Drive [D:] \n"), std::string::npos) << one;
  EXPECT_NE(one.find("item: Unmount Drive [D:]\n"), std::string::npos) << one;
  EXPECT_NE(one.find("item: [x] 1 Drives"), std::string::npos) << one;
  EXPECT_NE(one.find("item: More"), std::string::npos) << one;
  EXPECT_NE(one.find("Install Korvendrake"), std::string::npos) << one;
  EXPECT_NE(three.find("item: Drive [F:] <No media>\n    item: Mount Archive...\n    item: Unmount Archive"),
            std::string::npos)
      << three;
  EXPECT_NE(three.find("item: [x] 3 Drives"), std::string::npos) << three;
  EXPECT_NE(twelve.find("item: Drive [O:] <No media>"), std::string::npos) << twelve;
  EXPECT_NE(twelve.find("item: [x] 12 Drives"), std::string::npos) << twelve;
  EXPECT_NE(twelve.find("item: 23 Drives"), std::string::npos) << twelve;
  EXPECT_EQ(twelve.find("item: More"), std::string::npos) << twelve;
  // The configuration dialog.
  const std::string dialog = Shown(4);
  for (uint16_t id : {910, 920, 960, 970, 980, 930, 150, 160, 990, 940, 1000, 950, 810, 850, 860})
    EXPECT_NE(dialog.find(Text(id)), std::string::npos) << id << "\n" << dialog;
  EXPECT_NE(dialog.find("list: 12 Drives"), std::string::npos) << dialog;
  EXPECT_NE(dialog.find("row: Drive 0 | <Auto>"), std::string::npos) << dialog;
  // The password dialog, the missing volumes, the refused folder.
  const std::string password = Shown(6);
  EXPECT_NE(password.find("label: " + Text(560)), std::string::npos) << password;
  EXPECT_NE(password.find("secret.zip"), std::string::npos) << password;
  const std::string missing = Shown(8);
  EXPECT_NE(missing.find(volumes.back().name), std::string::npos) << missing;
  EXPECT_NE(missing.find("check: [x] "), std::string::npos) << missing;
  const std::string box = Shown(10);
  EXPECT_NE(box.find(Text(280)), std::string::npos) << box;
  EXPECT_NE(box.find("title: " + Text(140)), std::string::npos) << box;

  // The zip chosen in the menu is on drive 0.
  DriveControl drives([](uint16_t) { return std::u16string(); }, {});
  const DriveList list = drives.BuildDriveList();
  ASSERT_EQ(list.size(), 12u);
  EXPECT_FALSE(drives.QueryImage(list, 0).empty());
  EXPECT_TRUE(drives.QueryImage(list, 1).empty());
}

}  // namespace
