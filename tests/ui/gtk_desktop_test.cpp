// The GTK back end on a real X server (run under xvfb-run): the configuration dialog, a message
// box and the tray menu are drawn, photographed and operated through their widgets.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "manager/archive_dialogs.h"
#include "manager/config_dialog.h"
#include "manager/helper.h"
#include "manager/tray_menu.h"
#include "platform/ui/gtk_ui.h"
#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;
namespace cfg = kv::config;
using kv::platform::HKEY_CURRENT_USER;
using kv::test::kMainKey;

namespace {

const std::filesystem::path kShots = std::filesystem::path(KV_BINARY_DIR) / "tests" / "ui" / "screenshots";

// Distinct colours of a PNG: a drawn dialog with text has many, an empty window one or two.
size_t Colours(const std::string& png) {
  GdkPixbuf* p = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
  if (!p) return 0;
  std::set<uint32_t> seen;
  const int n = gdk_pixbuf_get_n_channels(p);
  const int stride = gdk_pixbuf_get_rowstride(p);
  const guchar* px = gdk_pixbuf_get_pixels(p);
  for (int y = 0; y < gdk_pixbuf_get_height(p); ++y) {
    for (int x = 0; x < gdk_pixbuf_get_width(p); ++x) {
      const guchar* q = px + y * stride + x * n;
      seen.insert(static_cast<uint32_t>(q[0]) << 16 | static_cast<uint32_t>(q[1]) << 8 | q[2]);
    }
  }
  g_object_unref(p);
  return seen.size();
}

class Desktop : public kv::test::ManagerUi {
 protected:
  void SetUp() override {
    ManagerUi::SetUp();
    if (!ui_.ready()) GTEST_SKIP() << "no display";
    std::filesystem::create_directories(kShots);
    // Pictures show states, not the transitions between them.
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    // A bound on every test: a window that never shows must not hang the run.
    watchdog_ = g_timeout_add_seconds(
        60,
        [](gpointer) -> gboolean {
          ADD_FAILURE() << "the desktop did not answer within 60 s";
          _exit(3);
        },
        nullptr);
  }
  void TearDown() override {
    if (watchdog_) g_source_remove(watchdog_);
    ManagerUi::TearDown();
  }
  GtkUi ui_;
  guint watchdog_ = 0;
};

TEST_F(Desktop, ConfigurationDialogIsDrawnAndOperatedThroughItsWidgets) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ConfigDialogActions actions;
  std::vector<int> counts;
  actions.driveList = [] { return std::vector<ConfigDrive>{{0, u'D'}, {1, u'E'}}; };
  actions.setDriveCount = [&counts](int n) { counts.push_back(n); };
  actions.startElevatedApply = [] { return true; };
  int width = 0, height = 0;
  size_t colours = 0;
  std::u16string rowAfterEdit;
  int shown = 0;
  ui_.SetShownHook([&](WindowId w) {
    ++shown;
    if (shown == 1) {
      const std::string shot = (kShots / "configuration.png").string();
      ASSERT_TRUE(ui_.Screenshot(w, shot, &width, &height));
      colours = Colours(shot);
      EXPECT_TRUE(ui_.TypeText(w, kIdTempFolder, u"/srv/desktop"));
      EXPECT_TRUE(ui_.TypeText(w, kIdDriveCount, u"5 Drives"));
      // The letter dialog opens on top and is answered from this hook's next call.
      EXPECT_TRUE(ui_.ClickControl(w, kIdEditLetter));
      EXPECT_TRUE(ui_.ClickControl(w, IDOK));
    } else if (shown == 2) {
      EXPECT_EQ(ui_.ActiveDialog(), w);
      ASSERT_TRUE(ui_.Screenshot(w, (kShots / "letter.png").string()));
      EXPECT_TRUE(ui_.TypeText(w, kIdLetterChoice, u"K:"));
      EXPECT_TRUE(ui_.ClickControl(w, IDOK));
    } else {
      // Drive 0 is D: and should now be K: - the move question; the dialog stays below it.
      EXPECT_NE(ui_.ActiveDialog(), w);
      EXPECT_TRUE(ui_.Answer(w, IDNO));
    }
  });
  EXPECT_EQ(RunConfigurationDialog(ui_, kNoWindow, config, languages, actions), IDOK);
  EXPECT_GT(width, 200);
  EXPECT_GT(height, 200);
  EXPECT_GT(colours, 8u) << "the dialog shows text and controls";
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(counts, std::vector<int>{5});
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kTempFolder), u"/srv/desktop");
  std::u16string letters(23, u'A');
  letters[0] = u'K';
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, kMainKey, cfg::kDriveLetter), letters);
}

TEST_F(Desktop, MessageBoxAndTrayMenuAnswerWithTheButtonAndEntryChosen) {
  ui_.SetShownHook([this](WindowId w) {
    ASSERT_TRUE(ui_.Screenshot(w, (kShots / "box.png").string()));
    EXPECT_FALSE(ui_.Answer(w, IDOK)) << "no OK button on a Yes/No/Cancel box";
    EXPECT_TRUE(ui_.Answer(w, IDNO));
  });
  EXPECT_EQ(ui_.MessageBox(kNoWindow, u"Drive 0\r\n\r\nChange it?", u"Korvendrake Virtual Drive",
                           MB_YESNOCANCEL | MB_ICONQUESTION),
            IDNO);

  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  TrayMenuState state;
  state.drives = {{0, u'D', u""}, {1, u'E', u"DATA"}, {2, u'F', u""}};
  const Menu menu = BuildTrayMenu(state, languages);
  int width = 0, height = 0;
  ui_.SetShownHook([&](WindowId w) {
    ASSERT_TRUE(ui_.Screenshot(w, (kShots / "menu.png").string(), &width, &height));
    EXPECT_FALSE(ui_.Answer(w, static_cast<int>(kCmdMountBase + 7))) << "no drive 7";
    EXPECT_TRUE(ui_.Answer(w, static_cast<int>(kCmdMountBase + 1)));
  });
  EXPECT_EQ(ui_.TrackPopupMenu(kNoWindow, menu), kCmdMountBase + 1);
  EXPECT_GT(height, 150) << "ten entries";
  EXPECT_GT(width, 100);
  EXPECT_GT(Colours((kShots / "menu.png").string()), 4u);
}

TEST_F(Desktop, PasswordDialogEnablesOkOnlyWithAPassword) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  ui_.SetShownHook([this](WindowId w) {
    EXPECT_FALSE(ui_.ClickControl(w, IDOK)) << "OK is disabled while the edit is empty";
    EXPECT_FALSE(ui_.TypeText(w, kIdPasswordFileName, u"x")) << "read-only";
    EXPECT_TRUE(ui_.TypeText(w, kIdPassword, u"secret"));
    ASSERT_TRUE(ui_.Screenshot(w, (kShots / "password.png").string()));
    EXPECT_TRUE(ui_.ClickControl(w, IDOK));
  });
  const PasswordAnswer answer = AskPassword(ui_, kNoWindow, languages, languages.Text(560), u"/srv/sets/secret.7z");
  EXPECT_EQ(answer.result, kPromptOk);
  EXPECT_EQ(answer.password, u"secret");
}

TEST_F(Desktop, TimerTicksInTheLoopAndTheClipboardHoldsText) {
  int ticks = 0;
  ASSERT_TRUE(ui_.SetTimer(1, 100, [&] {
    if (++ticks == 3) ui_.Quit();
  }));
  ui_.RunLoop();
  ui_.KillTimer(1);
  EXPECT_EQ(ticks, 3);
  // GTK hands text out with the desktop's line breaks ("\n").
  ASSERT_TRUE(ui_.SetClipboardText(u"line one\nzwei äöü"));
  EXPECT_EQ(ui_.ClipboardText(), u"line one\nzwei äöü");
  ASSERT_TRUE(ui_.AddTrayIcon({1, 0x410, 129, u"Korvendrake Virtual Drive"}, {}));
  EXPECT_FALSE(ui_.AddTrayIcon({1, 0x410, 129, u"again"}, {}));
  EXPECT_TRUE(ui_.ShowBalloon(1, {u"x.zip", u"Error reading archive 'x.zip'.", NIIF_WARNING, 0}));
  EXPECT_FALSE(ui_.ShowBalloon(2, {}));
  ui_.RemoveTrayIcon(1);
}

TEST_F(Desktop, EscapeCancelsADialog) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  ui_.SetShownHook([this](WindowId w) {
    ASSERT_TRUE(ui_.TypeText(w, kIdPassword, u"typed"));
    EXPECT_TRUE(ui_.PressKey(w, GDK_KEY_Escape));
  });
  EXPECT_EQ(AskPassword(ui_, kNoWindow, languages, u"p", u"f.7z").result, kPromptCancel);
}

TEST_F(Desktop, TheInspectionsQuestionsAreTheManagersDialogs) {
  ConfigStore config(ConfigProgram::Manager, Facts(true));
  Languages languages(config);
  languages.Load();
  const WindowId owner = kNoWindow;
  UiPrompts prompts(ui_, languages, &owner);
  int shown = 0;
  std::string comment, volumes, wrong;
  ui_.SetShownHook([&](WindowId w) {
    switch (++shown) {
      case 1:
        ASSERT_TRUE(ui_.Screenshot(w, (kShots / "comment.png").string()));
        comment = ui_.Describe(w);
        EXPECT_TRUE(ui_.ClickControl(w, IDOK));
        break;
      case 2:
        ASSERT_TRUE(ui_.Screenshot(w, (kShots / "volumes.png").string()));
        volumes = ui_.Describe(w);
        EXPECT_TRUE(ui_.ClickControl(w, IDOK));
        break;
      default:
        wrong = ui_.Describe(w);
        EXPECT_TRUE(ui_.Answer(w, IDCANCEL));
    }
  });
  prompts.ShowComment("Disc one of two\r\nmade for the tray test");
  EXPECT_NE(comment.find("text: Disc one of two"), std::string::npos) << comment;
  const kv::inspect::VolumesAnswer a =
      prompts.AskMissingVolumes({"/srv/sets/", {"set.part02.daa", "set.part03.daa"}}, true, {});
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.skip) << "the box starts ticked when skipping is allowed";
  EXPECT_NE(volumes.find("edit: /srv/sets/\n"), std::string::npos) << volumes;
  EXPECT_NE(volumes.find("row: set.part03.daa"), std::string::npos) << volumes;
  EXPECT_FALSE(prompts.WrongPassword(languages.Text(550)));
  EXPECT_NE(wrong.find(kv::platform::Utf16ToUtf8(languages.Text(550)).substr(0, 20)), std::string::npos) << wrong;
  EXPECT_EQ(shown, 3);
}

}  // namespace
