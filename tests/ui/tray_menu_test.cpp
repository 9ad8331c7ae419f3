#include "manager/tray_menu.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "manager/tray_commands.h"
#include "manager/ui_text.h"
#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;
namespace cfg = kv::config;

namespace {

// One line per entry: "[id] text" with " *" checked, " (grayed)", " (default)"; submenus as
// "> title" with their entries indented; separators "---".
void Render(const Menu& menu, int depth, std::string* out) {
  for (const MenuItem& item : menu) {
    *out += std::string(static_cast<size_t>(depth) * 2, ' ');
    if (item.flags & MF_SEPARATOR) {
      *out += "---\n";
      continue;
    }
    if (item.flags & MF_POPUP) {
      *out += "> " + kv::platform::Utf16ToUtf8(item.text) + "\n";
      Render(item.submenu, depth + 1, out);
      continue;
    }
    *out += "[" + std::to_string(item.id) + "] " + kv::platform::Utf16ToUtf8(item.text);
    if (item.flags & MF_CHECKED) *out += " *";
    if (item.flags & MF_GRAYED) *out += " (grayed)";
    if (item.flags & MFS_DEFAULT) *out += " (default)";
    *out += "\n";
  }
}

std::string Render(const Menu& menu) {
  std::string out;
  Render(menu, 0, &out);
  return out;
}

// The drive-count entries of `menu` (ids 32851..32874) in order, and which are checked.
void Counts(const Menu& menu, std::vector<int>* ids, std::vector<int>* checked) {
  for (const MenuItem& item : menu) {
    if (item.flags & MF_POPUP) {
      Counts(item.submenu, ids, checked);
    } else if (item.id >= kCmdDriveCountBase && item.id <= kCmdDriveCountBase + 23) {
      ids->push_back(static_cast<int>(item.id - kCmdDriveCountBase));
      if (item.flags & MF_CHECKED) checked->push_back(static_cast<int>(item.id - kCmdDriveCountBase));
    }
  }
}

TrayMenuState Drives(int n) {
  TrayMenuState s;
  for (int d = 0; d < n; ++d) {
    s.drives.push_back({d, static_cast<char16_t>(u'D' + d), d == 1 ? u"UBUNTU_22" : u""});
  }
  return s;
}

class TrayMenu : public kv::test::ManagerUi {};

const char kTail[] =
    "---\n"
    "[32781] &Unmount All Drives\n"
    "---\n"
    "> &Options\n"
    "  [32791] Auto&start *\n"
    "  [32792] Auto&mount\n"
    "  ---\n"
    "  [32950] &Configuration...\n"
    "---\n"
    "[32948] Install &Korvendrake (default)\n"
    "[32783] &Exit\n";

std::string CountsUpTo8(int checked) {
  std::string s = "> &Set Number of Drives\n  [32851] Disable" + std::string(checked == 0 ? " *" : "") + "\n  ---\n";
  for (int i = 1; i <= 8; ++i) {
    s += "  [" + std::to_string(32851 + i) + "] " + std::to_string(i) + " Drives" + (i == checked ? " *" : "") + "\n";
  }
  s += "  ---\n  > More\n";
  for (int i = 9; i <= 23; ++i) s += "    [" + std::to_string(32851 + i) + "] " + std::to_string(i) + " Drives\n";
  return s;
}

TEST_F(TrayMenu, LayoutsForNoneOneAndThreeDrivesAreExact) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  TrayMenuState none = Drives(0);
  none.flags = cfg::FLAG_AUTOSTART;
  EXPECT_EQ(Render(BuildTrayMenu(none, languages)), "[32790] <No Drive> (grayed)\n---\n" + CountsUpTo8(0) + kTail);

  TrayMenuState one = Drives(1);
  one.drives[0].name = u"DATA";
  one.flags = cfg::FLAG_AUTOSTART;
  EXPECT_EQ(Render(BuildTrayMenu(one, languages)),
            "[32884] Mount Archive to Drive [D:] DATA\n[32916] Unmount Drive [D:]\n---\n" + CountsUpTo8(1) + kTail);

  TrayMenuState three = Drives(3);
  three.flags = cfg::FLAG_AUTOSTART;
  EXPECT_EQ(Render(BuildTrayMenu(three, languages)),
            "> Drive [D:] <No media>\n  [32884] &Mount Archive...\n  [32916] &Unmount Archive\n"
            "> Drive [E:] UBUNTU_22\n  [32885] &Mount Archive...\n  [32917] &Unmount Archive\n"
            "> Drive [F:] <No media>\n  [32886] &Mount Archive...\n  [32918] &Unmount Archive\n---\n" +
                CountsUpTo8(3) + kTail);
}

TEST_F(TrayMenu, DriveCountListAndEveryIdDecodeForEachSize) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  for (int n : {0, 1, 3, 8, 9, 12, 23}) {
    SCOPED_TRACE("drives " + std::to_string(n));
    TrayMenuState state = Drives(n);
    state.flags = cfg::FLAG_AUTOMOUNT | 0x40;  // other bits do not matter
    state.archiverInstalled = n % 2 == 1;
    const Menu menu = BuildTrayMenu(state, languages);
    std::vector<int> ids, checked;
    Counts(menu, &ids, &checked);
    std::vector<int> all(24);
    for (int i = 0; i < 24; ++i) all[static_cast<size_t>(i)] = i;
    EXPECT_EQ(ids, all) << "Disable, then 1..23 in order";
    EXPECT_EQ(checked, std::vector<int>{n});

    // "More" exactly when the count fits into the first eight.
    const MenuItem* counts = nullptr;
    for (const MenuItem& item : menu) {
      if (item.text == u"&Set Number of Drives") counts = &item;
    }
    ASSERT_NE(counts, nullptr);
    const bool hasMore = counts->submenu.back().flags & MF_POPUP;
    EXPECT_EQ(hasMore, n <= 8);
    EXPECT_EQ(counts->submenu.size(), n <= 8 ? 12u : 25u);

    // Drive entries: none, a pair, or one submenu per drive; each id decodes to its drive.
    size_t driveEntries = 0;
    for (const MenuItem& item : menu) {
      if (item.flags & MF_SEPARATOR) break;
      ++driveEntries;
    }
    EXPECT_EQ(driveEntries, n == 0 ? 1u : n == 1 ? 2u : static_cast<size_t>(n));
    for (int d = 0; d < n; ++d) {
      const MenuItem* mount = FindMenuEntry(menu, kCmdMountBase + static_cast<uint32_t>(d));
      const MenuItem* unmount = FindMenuEntry(menu, kCmdUnmountBase + static_cast<uint32_t>(d));
      ASSERT_TRUE(mount && unmount) << d;
      EXPECT_EQ(DecodeMenuCommand(mount->id), (DecodedCommand{MenuCommand::Mount, d}));
      EXPECT_EQ(DecodeMenuCommand(unmount->id), (DecodedCommand{MenuCommand::Unmount, d}));
    }
    EXPECT_EQ(FindMenuEntry(menu, kCmdMountBase + static_cast<uint32_t>(n)), nullptr);
    EXPECT_FALSE(FindMenuEntry(menu, kCmdToggleAutostart)->flags & MF_CHECKED);
    EXPECT_TRUE(FindMenuEntry(menu, kCmdToggleAutomount)->flags & MF_CHECKED);
    EXPECT_EQ(FindMenuEntry(menu, kCmdArchiver)->text,
              state.archiverInstalled ? u"Open &Korvendrake" : u"Install &Korvendrake");
  }
  EXPECT_EQ(DecodeMenuCommand(32851 + 23), (DecodedCommand{MenuCommand::SetDriveCount, 23}));
  EXPECT_EQ(DecodeMenuCommand(32851 + 24).command, MenuCommand::None) << "32875 is no count";
  EXPECT_EQ(DecodeMenuCommand(32884 + 23).command, MenuCommand::None) << "no drive 23";
  EXPECT_EQ(DecodeMenuCommand(32916 + 22), (DecodedCommand{MenuCommand::Unmount, 22}));
  EXPECT_EQ(DecodeMenuCommand(kCmdNoDrive).command, MenuCommand::None) << "the placeholder does nothing";
  EXPECT_EQ(DecodeMenuCommand(0).command, MenuCommand::None);
}

TEST_F(TrayMenu, TextsComeFromTheLanguageFileAndFallBackToEnglish) {
  SetDword(kv::platform::HKEY_LOCAL_MACHINE, kv::test::kMainKey, cfg::kLanguage, 1031);
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  {
    // No "Lang" folder at all: English.
    Languages languages(config);
    languages.Load();
    const Menu menu = BuildTrayMenu(Drives(0), languages);
    EXPECT_EQ(menu[0].text, u"<No Drive>");
    EXPECT_EQ(languages.currentLangId(), 1033);
  }
  WriteGerman({{0, 30, u"", u"<Kein Laufwerk>"},
               {0, 60, u"", u"%d Laufwerke"},
               {0, 70, u"", u"Laufwerk [%c:] "},
               {0, 80, u"", u"<Kein Medium>"},
               {0, 180, u"", u"Archiv in [%c:] einbinden "},
               {0, 750, u"", u""}});
  Languages languages(config);
  languages.Load();
  ASSERT_EQ(languages.currentLangId(), 1031);
  const Menu none = BuildTrayMenu(Drives(0), languages);
  EXPECT_EQ(none[0].text, u"<Kein Laufwerk>");
  EXPECT_EQ(FindMenuEntry(none, kCmdDriveCountBase + 9)->text, u"9 Laufwerke");
  EXPECT_EQ(FindMenuEntry(none, kCmdExit)->text, u"&Exit") << "an empty text counts as missing";
  EXPECT_EQ(FindMenuEntry(none, kCmdUnmountAll)->text, u"&Unmount All Drives") << "not in the file";
  EXPECT_EQ(BuildTrayMenu(Drives(3), languages)[0].text, u"Laufwerk [D:] <Kein Medium>");
  EXPECT_EQ(BuildTrayMenu(Drives(1), languages)[0].text, u"Archiv in [D:] einbinden ");

  // A broken file (declares fewer entries than it holds) is skipped: English again.
  auto bytes = kv::test::ReadFileBytes(install_.path() / "Lang" / "Deutsch.lng");
  bytes[7] = 1;
  kv::test::WriteFileBytes(install_.path() / "Lang" / "Deutsch.lng", bytes);
  Languages broken(config);
  broken.Load();
  EXPECT_EQ(BuildTrayMenu(Drives(0), broken)[0].text, u"<No Drive>");
}

TEST(TrayMenuText, PlaceholdersTakeOnlyArgumentsOfTheirKind) {
  EXPECT_EQ(FormatUiText(u"Drive %d\r\n[%C:] to [%C:]", {int64_t{4}, u'E', u'F'}), u"Drive 4\r\n[E:] to [F:]");
  EXPECT_EQ(FormatUiText(u"%s (%s) 100%%", {std::u16string_view(u"a"), std::u16string_view(u"b")}), u"a (b) 100%");
  EXPECT_EQ(FormatUiText(u"%d %s %c %", {}), u"%d %s %c %") << "no argument: kept as it stands";
  EXPECT_EQ(FormatUiText(u"%s %d", {int64_t{3}}), u"%s 3") << "a number is no text";
}

TEST_F(TrayMenu, TogglesFlipOneBitAndFollowTheWritePolicy) {
  using kv::platform::HKEY_CURRENT_USER;
  using kv::platform::HKEY_LOCAL_MACHINE;
  constexpr char16_t kRun[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  SetDword(HKEY_LOCAL_MACHINE, kv::test::kMainKey, cfg::kFlags, 0x21);
  SetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName, u"\"x\"");
  int applySteps = 0;
  const auto apply = [&applySteps] { return ++applySteps, true; };
  ConfigStore vista(ConfigProgram::Manager, Facts(true));
  ASSERT_TRUE(ToggleFlag(vista, cfg::FLAG_AUTOMOUNT, apply));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kv::test::kMainKey, cfg::kFlags), 0x23u);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kv::test::kMainKey, cfg::kFlags), 0x21u) << "left to the elevated step";
  EXPECT_EQ(applySteps, 1);

  if (geteuid() != 0) GTEST_SKIP() << "machine writes need elevation";
  ConfigStore xp(ConfigProgram::Manager, Facts(false));
  ASSERT_TRUE(ToggleFlag(xp, cfg::FLAG_AUTOSTART, apply));
  for (auto hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    EXPECT_EQ(GetDword(hive, kv::test::kMainKey, cfg::kFlags), 0x20u);
  }
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName)) << "autostart off: no Run entry";
  EXPECT_EQ(applySteps, 1) << "no elevated step before Vista";
}

TEST_F(TrayMenu, TheInstalledArchiverIsStarted) {
  EXPECT_NE(ArchiverDownloadAddress(2052), ArchiverDownloadAddress(1033));
  kv::test::TempDir archiver;
  const auto marker = archiver.path() / "started";
  kv::test::WriteFileText(archiver.path() / "Korvendrake.exe", "#!/bin/sh\necho \"$#\" > '" + marker.string() + "'\n");
  chmod((archiver.path() / "Korvendrake.exe").c_str(), 0755);
  SetString(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\Korvendrake", cfg::kInstallDir,
            kv::platform::Utf8ToUtf16(archiver.path().string()));
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  ASSERT_TRUE(config.ArchiverInstalled());
  ASSERT_TRUE(OpenOrInstallArchiver(config, 1033));
  for (int i = 0; i < 1000 && !std::filesystem::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(marker));
}

}  // namespace
