// KVHELPER itself on a virtual X server (run under xvfb-run), over the booted system: started at
// logon from its Run entry, its menu opened through the icon's window message, a few commands
// chosen, every window photographed and described from its widget tree by the program's own
// automation, then ended with the installer's message.
#include <gtest/gtest.h>
#ifdef KV_HAVE_ATSPI
#include <atspi/atspi.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "manager/drive_control.h"
#include "manager/tray_app.h"
#include "platform/window_class.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/fixtures/rar5_writer.h"
#include "tests/fixtures/test_support.h"
#include "tests/ui/booted_system.h"

using namespace kv::manager;
using kv::test::WaitFor;
namespace cfg = kv::config;
namespace fs = std::filesystem;

namespace {

constexpr int kWindows = 12;
const fs::path kShots = fs::path(KV_BINARY_DIR) / "tests" / "ui" / "screenshots" / "kvhelper";

std::string Numbered(int n, const char* suffix) {
  char name[24];
  std::snprintf(name, sizeof name, "%02d%s", n, suffix);
  return name;
}

#ifdef KV_HAVE_ATSPI
bool AccessibilityAvailable() {
  return std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr && atspi_init() >= 0;
}

void Walk(AtspiAccessible* a, int depth, std::string* out) {
  GError* e = nullptr;
  gchar* role = atspi_accessible_get_role_name(a, &e);
  g_clear_error(&e);
  gchar* name = atspi_accessible_get_name(a, &e);
  g_clear_error(&e);
  out->append(static_cast<size_t>(depth) * 2, ' ');
  *out += std::string(role ? role : "?") + ": " + (name ? name : "") + "\n";
  g_free(role);
  g_free(name);
  const int n = atspi_accessible_get_child_count(a, &e);
  g_clear_error(&e);
  for (int i = 0; i < n && i < 1000 && depth < 24; ++i) {
    AtspiAccessible* c = atspi_accessible_get_child_at_index(a, i, &e);
    g_clear_error(&e);
    if (!c) continue;
    Walk(c, depth + 1, out);
    g_object_unref(c);
  }
}

// The tree of the application `name` as the desktop's accessibility registry shows it.
std::string AccessibleTree(const std::string& name) {
  std::string out;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  GError* e = nullptr;
  const int apps = atspi_accessible_get_child_count(desktop, &e);
  g_clear_error(&e);
  for (int i = 0; i < apps; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &e);
    g_clear_error(&e);
    if (!app) continue;
    gchar* appName = atspi_accessible_get_name(app, &e);
    g_clear_error(&e);
    if (appName && name == appName) Walk(app, 0, &out);
    g_free(appName);
    g_object_unref(app);
  }
  g_object_unref(desktop);
  return out;
}
#else
bool AccessibilityAvailable() {
  return false;
}
std::string AccessibleTree(const std::string&) {
  return {};
}
#endif

// True when `tree` has an accessible of that role and name ("push button: OK").
bool HasAccessible(const std::string& tree, const std::string& line) {
  std::istringstream in(tree);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();  // a box's "\r\n" line breaks
    if (l.substr(std::min(l.find_first_not_of(' '), l.size())) == line) return true;
  }
  return false;
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
  const std::string rar = (install_.path() / "noted.rar").string();
  kv::test::WriteFileBytes(rar, kv::test::WriteRar5({{"notes.txt", {'k', 'v', '\n'}}}, "Disc notes\nsecond line"));
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

  // What is done in each window, and the file dialogs' answers between them.
  const bool atspi = AccessibilityAvailable();
  const std::vector<std::string> script = {
      "answer " + std::to_string(kCmdDriveCountBase + 3),   // 01 menu, 1 drive
      "answer " + std::to_string(kCmdDriveCountBase + 12),  // 02 menu, 3 drives
      "answer " + std::to_string(kCmdConfiguration),        // 03 menu, 12 drives
      "click 2",                                            // 04 configuration
      "answer " + std::to_string(kCmdMountBase),            // 05 menu
      "file " + zip,
      "type 1006 korv|click 1",                       // 06 password
      "answer " + std::to_string(kCmdMountBase + 1),  // 07 menu
      "file " + first.string(),
      "click 2",                                      // 08 missing volumes
      "answer " + std::to_string(kCmdMountBase + 2),  // 09 menu
      "file " + install_.path().string(),
      "answer 1",                                     // 10 message box
      "answer " + std::to_string(kCmdMountBase + 3),  // 11 menu
      "file " + rar,
      "click 1",  // 12 comment, then the mount
  };
  {
    std::ofstream out(kShots / "script");
    int window = 0;
    for (const std::string& line : script) {
      if (line.rfind("file ", 0) != 0 && atspi) out << "wait " << Numbered(++window, ".go") << "|";
      out << line << "\n";
    }
  }
  // Logon starts the Run entry: KVHELPER with its automation.
  ASSERT_TRUE(SetDword(kv::platform::HKEY_LOCAL_MACHINE, kv::test::kMainKey, cfg::kDiskCount, 1));
  ASSERT_TRUE(SetString(
      kv::platform::HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", cfg::kRunValueName,
      kv::platform::Utf8ToUtf16("\"" + kv::test::ProgramPath("KVHELPER") + "\" --automate " + kShots.string())));
  Boot();
  ASSERT_TRUE(
      WaitFor([] { return kv::platform::FindWindowByClass(cfg::kManagerWindowClass); }, std::chrono::seconds(30)))
      << "KVHELPER did not start at logon";
  // Seven menus, one after the other: the program takes the next once the last command is done.
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, kTrayCallbackMessage, kTrayIconId, 0x205));
  // Each window is looked at through the accessibility tree while it is open.
  std::vector<std::string> trees(kWindows + 1);
  for (int n = 1; n <= kWindows; ++n) {
    ASSERT_TRUE(WaitFor([n] { return fs::exists(kShots / Numbered(n, ".txt")); }, std::chrono::seconds(60)))
        << "window " << n << " did not show: see " << kShots;
    if (!atspi) continue;
    trees[static_cast<size_t>(n)] = AccessibleTree("KVHELPER");
    std::ofstream(kShots / Numbered(n, ".atspi")) << trees[static_cast<size_t>(n)];
    std::ofstream(kShots / Numbered(n, ".go")).flush();
  }
  ASSERT_TRUE(kv::platform::PostMessageToClass(cfg::kManagerWindowClass, kMessageUninstall));
  EXPECT_TRUE(
      WaitFor([] { return !kv::platform::FindWindowByClass(cfg::kManagerWindowClass); }, std::chrono::seconds(30)))
      << "KVHELPER did not end on the installer's message";

  for (int n = 1; n <= kWindows; ++n) {
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

  // The same windows as the accessibility registry shows them to assistive programs.
  if (!atspi) {
    std::printf("the accessibility registry is not available: windows checked through the widget tree only\n");
  } else {
    struct Expect {
      int window;
      std::vector<std::string> lines;
    };
    const std::vector<Expect> expected = {
        {1,
         {"menu item: Mount Archive to Drive [D:] ", "menu item: Unmount Drive [D:]", "menu: Set Number of Drives",
          "check menu item: 1 Drives", "menu: More", "menu item: Unmount All Drives", "menu: Options",
          "check menu item: Autostart", "menu item: Automount", "menu item: Configuration...",
          "menu item: Install Korvendrake", "menu item: Exit"}},
        {2,
         {"menu: Drive [D:] <No media>", "menu: Drive [F:] <No media>", "menu item: Mount Archive...",
          "menu item: Unmount Archive", "check menu item: 3 Drives", "menu: More"}},
        {3, {"menu: Drive [O:] <No media>", "check menu item: 12 Drives", "menu item: 23 Drives"}},
        {4,
         {"frame: " + Text(910), "panel: " + Text(920), "label: " + Text(960), "combo box: 12 Drives",
          "check box: " + Text(970), "check box: " + Text(980), "panel: " + Text(930),
          "table column header: " + Text(150), "table column header: " + Text(160), "push button: " + Text(990),
          "panel: " + Text(940), "push button: ...", "label: " + Text(1000), "panel: " + Text(950),
          "label: " + Text(810), "combo box: English (English)", "push button: OK", "push button: Cancel"}},
        {6, {"frame: Password", "label: " + Text(560), "password text: ", "push button: OK", "push button: Cancel"}},
        {8,
         {"frame: " + Text(140), "label: " + Text(600), "label: " + Text(610), "label: " + Text(620),
          "table cell: " + volumes.back().name, "check box: " + Text(630), "push button: OK"}},
        {12, {"panel: " + Text(870), "push button: " + Text(880), "push button: OK"}},
        {10, {"alert: Error", "label: " + install_.path().string(), Text(280), "push button: OK"}},
    };
    for (const Expect& e : expected) {
      const std::string& tree = trees[static_cast<size_t>(e.window)];
      for (const std::string& line : e.lines)
        EXPECT_TRUE(HasAccessible(tree, line)) << "window " << e.window << ": " << line << "\n" << tree;
    }
    EXPECT_FALSE(HasAccessible(trees[3], "menu: More")) << "12 drives: the counts are listed directly";
  }

  const std::string comment = Shown(12);
  EXPECT_NE(comment.find("text: Disc notes\nsecond line"), std::string::npos) << comment;

  // The zip chosen in the menu is on drive 0, the RAR on drive 3.
  DriveControl drives([](uint16_t) { return std::u16string(); }, {});
  const DriveList list = drives.BuildDriveList();
  ASSERT_EQ(list.size(), 12u);
  EXPECT_FALSE(drives.QueryImage(list, 0).empty());
  EXPECT_TRUE(drives.QueryImage(list, 1).empty());
  EXPECT_NE(drives.QueryImage(list, 3).find(u"noted.rar"), std::u16string::npos);
}

}  // namespace
