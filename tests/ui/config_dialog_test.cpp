#include "manager/config_dialog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;
using kv::platform::HKEY_CURRENT_USER;
using kv::platform::HKEY_LOCAL_MACHINE;
using kv::platform::Utf8ToUtf16;
namespace cfg = kv::config;
using kv::test::kMainKey;

namespace {

constexpr char16_t kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Recorded {
  std::vector<int> counts;
  std::vector<std::pair<int, char16_t>> moves;
  std::vector<uint16_t> languages;
  int applySteps = 0;
};

ConfigDialogActions Actions(std::vector<ConfigDrive> drives, Recorded* r) {
  ConfigDialogActions a;
  a.driveList = [drives] { return drives; };
  a.setDriveCount = [r](int n) { r->counts.push_back(n); };
  a.changeLetter = [r](int d, char16_t c) { r->moves.emplace_back(d, c); };
  a.sendLanguage = [r](uint16_t id) { r->languages.push_back(id); };
  a.startElevatedApply = [r] { return ++r->applySteps, true; };
  return a;
}

std::u16string Letters(std::u16string head) {
  head.resize(23, u'A');
  return head;
}

// Waits (bounded) for `pid` to end; its exit code, or -1.
int WaitExit(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class ConfigDialog : public kv::test::ManagerUi {
 protected:
  ScriptedUi ui_;
  Recorded rec_;
};

TEST_F(ConfigDialog, OpensWithTheStoredValuesAndCancelWritesNothing) {
  SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, 0x12);
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kTempFolder, u"/var/tmp/kv");
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter, u"XAE");
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ui_.QueueDialog([](DialogDriver& d) { d.Click(IDCANCEL); });
  EXPECT_EQ(RunConfigurationDialog(ui_, 7, config, languages, Actions({{0, u'D'}, {1, u'E'}}, &rec_)), IDCANCEL);

  ASSERT_EQ(ui_.dialogs.size(), 1u);
  const DialogModel& d = ui_.dialogs[0].atOpen;
  EXPECT_EQ(ui_.dialogs[0].owner, 7u);
  EXPECT_EQ(d.resourceId, 140);
  EXPECT_EQ(d.title, u"Korvendrake Virtual Drive Configuration");
  EXPECT_EQ(d.font, (kv::platform::ui::DialogFont{u"Tahoma", 8}));
  EXPECT_EQ(d.Text(1013), u"Virtual Drive Options:");
  EXPECT_EQ(d.Text(1032), u"Note: Leave blank if using system temporary folder.");
  EXPECT_EQ(d.Text(1033), u"Language:");
  EXPECT_EQ(d.Text(1020), u"Edit...");
  EXPECT_EQ(d.Text(1025), u"...");
  EXPECT_EQ(d.Text(IDOK), u"OK");
  EXPECT_FALSE(d.Checked(1016));
  EXPECT_TRUE(d.Checked(1017));
  EXPECT_EQ(d.Text(1024), u"/var/tmp/kv");
  const Control* counts = d.Find(1018);
  ASSERT_EQ(counts->items.size(), 24u);
  EXPECT_EQ(counts->items[0], u"<Disabled>");
  EXPECT_EQ(counts->items[23], u"23 Drives");
  EXPECT_EQ(counts->selected, 2) << "the drive list's size";
  const Control* list = d.Find(1019);
  EXPECT_TRUE(list->fullRowSelect);
  EXPECT_EQ(list->columns, (std::vector<std::u16string>{u"Drive", u"Letter"}));
  EXPECT_EQ(list->columnWidths, (std::vector<int>{221 * 35 / 100 - 5, 221 * 40 / 100 - 5}));
  ASSERT_EQ(list->rows.size(), 23u);
  EXPECT_EQ(list->rows[0], (std::vector<std::u16string>{u"Drive 0", u"X:"}));
  EXPECT_EQ(list->rows[1], (std::vector<std::u16string>{u"Drive 1", u"<Auto>"}));
  EXPECT_EQ(list->rows[2][1], u"E:");
  EXPECT_EQ(list->rows[22], (std::vector<std::u16string>{u"Drive 22", u"<Auto>"}));
  EXPECT_EQ(list->selectedRows, std::vector<int>{0});
  EXPECT_EQ(d.Find(1029)->items, std::vector<std::u16string>{u"English (English)"});
  EXPECT_EQ(d.Selected(1029), 0);

  EXPECT_FALSE(GetDword(HKEY_CURRENT_USER, kMainKey, cfg::kFlags));
  EXPECT_FALSE(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter));
  EXPECT_TRUE(rec_.counts.empty() && rec_.moves.empty() && rec_.applySteps == 0);
  EXPECT_TRUE(ui_.unanswered.empty());
}

// Vista and later: the dialog writes the per-user key only; the elevated copy started with
// "runas" brings the machine key and the Run entry up to date.
TEST_F(ConfigDialog, OkWithElevationWritesTheUserKeyAndTheElevatedStepCopiesIt) {
  SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, 0x11);
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter, u"AGZ");
  SetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName, u"\"old\"");
  std::filesystem::create_symlink(KV_APPLY_STEP_HELPER, install_.path() / "KVHELPER");
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ConfigDialogActions actions = Actions({{0, u'D'}, {1, u'E'}, {2, u'F'}}, &rec_);
  pid_t step = -1;
  std::optional<uint32_t> machineFlagsBeforeStep;
  actions.startElevatedApply = [&] {
    machineFlagsBeforeStep = GetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags);
    return StartElevatedApplyStep(config, &step);
  };

  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.Check(1016, false));
    EXPECT_TRUE(d.Check(1017, true));
    EXPECT_TRUE(d.Select(1018, 3));
    EXPECT_TRUE(d.SelectRows(1019, {0}));
    EXPECT_TRUE(d.Click(1020));
    EXPECT_EQ(d.dialog().Find(1019)->rows[0][1], u"E:");
    EXPECT_TRUE(d.Type(1024, u"/srv/kv temp"));
    EXPECT_TRUE(d.Click(IDOK));
  });
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.Select(1022, 2));
    EXPECT_TRUE(d.Click(IDOK));
  });
  for (int answer : {IDYES, IDNO, IDYES}) ui_.QueueBox(answer);
  EXPECT_EQ(RunConfigurationDialog(ui_, 1, config, languages, actions), IDOK);

  ASSERT_EQ(ui_.boxes.size(), 3u);
  EXPECT_EQ(ui_.boxes[0].text, u"Drive 0\r\n\r\nThe drive letter is [D:] , do you want to change it to [E:] now?");
  EXPECT_EQ(ui_.boxes[1].text, u"Drive 1\r\n\r\nThe drive letter is [E:] , do you want to change it to [G:] now?");
  EXPECT_EQ(ui_.boxes[0].style, MB_YESNOCANCEL | MB_ICONQUESTION);
  EXPECT_EQ(ui_.boxes[0].caption, u"Korvendrake Virtual Drive");
  EXPECT_EQ(ui_.boxes[0].owner, ui_.dialogs[0].atOpen.window);
  EXPECT_EQ(rec_.moves, (std::vector<std::pair<int, char16_t>>{{0, u'E'}, {2, u'Z'}}));
  EXPECT_EQ(rec_.counts, std::vector<int>{3});
  EXPECT_TRUE(rec_.languages.empty()) << "language unchanged";

  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMainKey, cfg::kFlags), 0x12u) << "other bits kept";
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter), Letters(u"EGZ"));
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kTempFolder), u"/srv/kv temp");
  EXPECT_EQ(machineFlagsBeforeStep, 0x11u) << "the dialog itself leaves the machine key alone";

  ASSERT_GT(step, 0) << "the elevated step was started";
  ASSERT_EQ(WaitExit(step), 0);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags), 0x12u);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter), Letters(u"EGZ"));
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kTempFolder), u"/srv/kv temp");
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName)) << "autostart off: Run entry gone";
  EXPECT_TRUE(ui_.unanswered.empty());
}

TEST_F(ConfigDialog, OkBeforeVistaWritesBothKeysAndStartsNoElevatedStep) {
  if (geteuid() != 0) GTEST_SKIP() << "machine writes need elevation";
  ConfigStore config(ConfigProgram::Manager, Facts(false));
  Languages languages(config);
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.dialog().Checked(1016)) << "FLAGS missing: autostart on";
    EXPECT_FALSE(d.dialog().Checked(1017));
    d.Check(1017, true);
    d.Click(IDOK);
  });
  EXPECT_EQ(RunConfigurationDialog(ui_, 1, config, languages, Actions({{0, u'D'}}, &rec_)), IDOK);
  EXPECT_EQ(rec_.applySteps, 0);
  EXPECT_EQ(rec_.counts, std::vector<int>{1}) << "the count is always sent";
  EXPECT_TRUE(ui_.boxes.empty()) << "automatic letters never ask to move";
  for (auto hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    EXPECT_EQ(GetDword(hive, kMainKey, cfg::kFlags), 3u);
    EXPECT_EQ(GetString(hive, kMainKey, cfg::kDriveLetter), Letters(u""));
    EXPECT_FALSE(GetString(hive, kMainKey, cfg::kTempFolder)) << "unchanged folder is not written";
  }
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kRunKey, cfg::kRunValueName),
            u"\"" + Utf8ToUtf16(install_.path().string()) + u"/KVHELPER\"");
}

TEST_F(ConfigDialog, LetterDialogRefusesALetterAnotherDriveHolds) {
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter, u"AE");
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ScriptedUi& ui = ui_;
  ui_.QueueDialog([&ui](DialogDriver& d) {
    EXPECT_TRUE(d.SelectRows(1019, {0, 1}));
    EXPECT_TRUE(d.Click(1020));
    EXPECT_EQ(ui.dialogs.size(), 1u) << "several rows selected: no letter dialog";
    EXPECT_TRUE(d.SelectRows(1019, {0}));
    EXPECT_TRUE(d.Click(1020));
    EXPECT_EQ(d.dialog().Find(1019)->rows[0][1], u"F:");
    EXPECT_TRUE(d.DoubleClickRow(1019, 2));
    EXPECT_EQ(d.dialog().Find(1019)->selectedRows, std::vector<int>{2}) << "the row stays selected";
    d.Click(IDCANCEL);
  });
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_TRUE(d.Select(1022, 2));  // E:, held by drive 1
    EXPECT_TRUE(d.Click(IDOK));
    EXPECT_FALSE(d.dialog().ended) << "the dialog stays open";
    EXPECT_TRUE(d.Select(1022, 3));
    EXPECT_TRUE(d.Click(IDOK));
  });
  ui_.QueueDialog([](DialogDriver& d) { d.Click(IDCANCEL); });
  ui_.QueueBox(IDOK);
  EXPECT_EQ(RunConfigurationDialog(ui_, 1, config, languages, Actions({}, &rec_)), IDCANCEL);

  ASSERT_EQ(ui_.dialogs.size(), 3u);
  const DialogModel& letter = ui_.dialogs[1].atOpen;
  EXPECT_EQ(letter.resourceId, 141);
  EXPECT_EQ(ui_.dialogs[1].owner, ui_.dialogs[0].atOpen.window);
  EXPECT_EQ(letter.title, u"Edit Drive Letter");
  EXPECT_EQ(letter.Text(1021), u"Edit the drive letter assignment for drive 0:");
  EXPECT_EQ(letter.Text(1030), u"New drive letter assignment:");
  const Control* choice = letter.Find(1022);
  ASSERT_EQ(choice->items.size(), 24u);
  EXPECT_EQ(choice->items[0], u"<Auto>");
  EXPECT_EQ(choice->items[1], u"D:");
  EXPECT_EQ(choice->items[23], u"Z:");
  EXPECT_EQ(choice->selected, 0) << "automatic";
  EXPECT_EQ(ui_.dialogs[2].atOpen.Text(1021), u"Edit the drive letter assignment for drive 2:");

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, u"E:\r\n\r\nThe drive letter has already been assigned to drive 1.");
  EXPECT_EQ(ui_.boxes[0].style, MB_ICONERROR);
  EXPECT_EQ(ui_.boxes[0].owner, letter.window);
  EXPECT_FALSE(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter)) << "Cancel writes nothing";
  EXPECT_TRUE(ui_.unanswered.empty());
}

TEST_F(ConfigDialog, GarbageStoredValuesAreShownNormalisedAndWrittenBackClean) {
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter, u"e$QB" + std::u16string(26, u'K'));
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kFlags, u"3");      // wrong type: default 1
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDiskCount, u"7");  // wrong type
  SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kTempFolder, 5);     // wrong type: empty
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  EXPECT_EQ(config.DiskCount(), 1);
  Languages languages(config);
  std::vector<ConfigDrive> drives;
  for (int d = 0; d < 30; ++d) drives.push_back({d, static_cast<char16_t>(u'D' + d % 20)});
  ui_.QueueDialog([](DialogDriver& d) {
    const DialogModel& m = d.dialog();
    EXPECT_TRUE(m.Checked(1016));
    EXPECT_FALSE(m.Checked(1017));
    EXPECT_EQ(m.Text(1024), u"");
    EXPECT_EQ(m.Selected(1018), 23) << "at most 23";
    const auto& rows = m.Find(1019)->rows;
    EXPECT_EQ(rows[0][1], u"<Auto>");
    EXPECT_EQ(rows[1][1], u"<Auto>");
    EXPECT_EQ(rows[2][1], u"Q:");
    EXPECT_EQ(rows[3][1], u"B:");
    EXPECT_EQ(rows[22][1], u"K:");
    d.Click(IDOK);
  });
  ui_.QueueBox(IDCANCEL);
  EXPECT_EQ(RunConfigurationDialog(ui_, 1, config, languages, Actions(drives, &rec_)), IDOK);
  ASSERT_EQ(ui_.boxes.size(), 1u) << "Cancel stops the questions";
  EXPECT_EQ(ui_.boxes[0].text, u"Drive 2\r\n\r\nThe drive letter is [F:] , do you want to change it to [Q:] now?");
  EXPECT_EQ(rec_.counts, std::vector<int>{23});
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter), u"AAQB" + std::u16string(19, u'K'));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMainKey, cfg::kFlags), 1u);
}

TEST_F(ConfigDialog, CancelledMovesStillApplyCountFolderAndLanguage) {
  SetString(HKEY_LOCAL_MACHINE, kMainKey, cfg::kDriveLetter, u"EF");
  WriteGerman({{0, 170, u"", u"<Deaktiviert>"}, {0, 860, u"", u"Abbrechen"}});
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ui_.QueueDialog([](DialogDriver& d) {
    const Control* names = d.dialog().Find(1029);
    EXPECT_EQ(names->items, (std::vector<std::u16string>{u"Deutsch (German)", u"English (English)"}));
    EXPECT_EQ(names->selected, 1);
    EXPECT_TRUE(d.Click(1025));
    EXPECT_EQ(d.dialog().Text(1024), u"/data/tmp");
    EXPECT_TRUE(d.Click(1025));
    EXPECT_EQ(d.dialog().Text(1024), u"/data/tmp") << "browser cancelled";
    EXPECT_TRUE(d.Select(1018, 0));
    EXPECT_TRUE(d.Select(1029, 0));
    EXPECT_TRUE(d.Click(IDOK));
  });
  ui_.QueueFolder(u"/data/tmp");
  ui_.QueueFolder(std::nullopt);
  ui_.QueueBox(IDCANCEL);
  EXPECT_EQ(RunConfigurationDialog(ui_, 1, config, languages, Actions({{0, u'D'}, {1, u'G'}}, &rec_)), IDOK);

  ASSERT_EQ(ui_.folderDialogs.size(), 2u);
  EXPECT_EQ(ui_.folderDialogs[0].request.startFolder, u"/") << "empty edit: the system disk's root";
  EXPECT_EQ(ui_.folderDialogs[0].request.owner, ui_.dialogs[0].atOpen.window);
  EXPECT_EQ(ui_.folderDialogs[1].request.startFolder, u"/data/tmp/");
  EXPECT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(rec_.moves.empty());
  EXPECT_EQ(rec_.counts, std::vector<int>{0}) << "<Disabled> sends 0";
  EXPECT_EQ(rec_.languages, std::vector<uint16_t>{1031});
  EXPECT_EQ(rec_.applySteps, 1);
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kTempFolder), u"/data/tmp");
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMainKey, cfg::kLanguage), 1031u);
  EXPECT_EQ(languages.currentLangId(), 1031);

  // The next opening is German, with the file's font rules.
  ui_.QueueDialog([](DialogDriver& d) { d.Click(IDCANCEL); });
  SetDword(HKEY_LOCAL_MACHINE, kMainKey, cfg::kLanguage, 1031);
  RunConfigurationDialog(ui_, 1, config, languages, Actions({}, &rec_));
  const DialogModel& german = ui_.dialogs[1].atOpen;
  EXPECT_EQ(german.Find(1018)->items[0], u"<Deaktiviert>");
  EXPECT_EQ(german.Text(IDCANCEL), u"Abbrechen");
  EXPECT_EQ(german.Text(IDOK), u"OK");
  EXPECT_EQ(german.font, (kv::platform::ui::DialogFont{u"Tahoma", 9}));
  EXPECT_TRUE(ui_.unanswered.empty());
}

TEST(ScriptedUiBackEnd, UnansweredPromptsAndUnusableControlsAreRecorded) {
  ScriptedUi ui;
  EXPECT_EQ(ui.MessageBox(1, u"q", u"c", MB_YESNO), IDNO);
  EXPECT_EQ(ui.MessageBox(1, u"q", u"c", MB_OK), IDOK);
  EXPECT_EQ(ui.MessageBox(1, u"q", u"c", MB_YESNOCANCEL), IDCANCEL);
  const Menu menu{MenuEntry(5, u"off", MF_GRAYED), MenuPopup(u"sub", {MenuEntry(6, u"on")})};
  ui.QueueMenu(5);
  ui.QueueMenu(6);
  EXPECT_EQ(ui.TrackPopupMenu(1, menu), 0u) << "a grayed entry cannot be chosen";
  EXPECT_EQ(ui.TrackPopupMenu(1, menu), 6u);
  EXPECT_EQ(ui.unanswered.size(), 3u);

  // A dialog without a script is closed as Cancel; controls that are disabled do not respond.
  DialogModel d = LetterDialogTemplate();
  d.Find(IDOK)->enabled = false;
  struct Logic : DialogHandler {
    int commands = 0;
    void OnInit(DialogModel&) override {}
    void OnCommand(DialogModel& m, int id, Notification) override {
      ++commands;
      if (id == IDCANCEL) m.End(IDCANCEL);
    }
  } logic;
  ui.QueueDialog([](DialogDriver& drv) {
    EXPECT_FALSE(drv.Click(IDOK));
    EXPECT_FALSE(drv.Type(1021, u"x")) << "a label takes no typing";
    EXPECT_FALSE(drv.Select(1022, 0)) << "no items";
  });
  EXPECT_EQ(ui.DialogBox(1, d, logic), IDCANCEL);
  EXPECT_EQ(logic.commands, 1);
  ui.FailNextDialog();
  EXPECT_EQ(ui.DialogBox(1, d, logic), -1);
  EXPECT_EQ(ui.ActiveDialog(), kNoWindow);

  EXPECT_TRUE(ui.AddTrayIcon({1, 0x410, 129, std::u16string(200, u't')}, {}));
  EXPECT_EQ(ui.FindTrayIcon(1)->tooltip.size(), 128u);
  EXPECT_TRUE(ui.ShowBalloon(1, {std::u16string(80, u'T'), std::u16string(300, u'x')}));
  EXPECT_EQ(ui.balloons[0].title.size(), 64u);
  EXPECT_EQ(ui.balloons[0].text.size(), 256u);
  EXPECT_FALSE(ui.ShowBalloon(2, {}));
  int ticks = 0;
  EXPECT_TRUE(ui.SetTimer(1, 100, [&ticks] { ++ticks; }));
  ui.TickTimers();
  ui.KillTimer(1);
  ui.TickTimers();
  EXPECT_EQ(ticks, 1);
}

}  // namespace
