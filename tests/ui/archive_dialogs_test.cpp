#include "manager/archive_dialogs.h"

#include <gtest/gtest.h>

#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;

namespace {

class ArchiveDialogs : public kv::test::ManagerUi {
 protected:
  void SetUp() override {
    ManagerUi::SetUp();
    config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
    languages_ = std::make_unique<Languages>(*config_);
    languages_->Load();
  }
  ScriptedUi ui_;
  std::unique_ptr<ConfigStore> config_;
  std::unique_ptr<Languages> languages_;
};

TEST_F(ArchiveDialogs, PasswordOkFollowsTheEditAndHandsOutItsText) {
  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_FALSE(d.dialog().Enabled(IDOK));
    EXPECT_FALSE(d.Click(IDOK)) << "disabled";
    d.Type(kIdPassword, u"s");
    EXPECT_TRUE(d.dialog().Enabled(IDOK));
    d.Type(kIdPassword, u"");
    EXPECT_FALSE(d.dialog().Enabled(IDOK)) << "typed and deleted again";
    EXPECT_FALSE(d.Type(kIdPasswordFileName, u"x")) << "read-only";
    d.Type(kIdPassword, u"pä ss");
    EXPECT_TRUE(d.Click(IDOK));
  });
  const PasswordAnswer ok = AskPassword(ui_, 1, *languages_, languages_->Text(560), u"C:\\data\\set\\secret.7z");
  EXPECT_EQ(ok.result, kPromptOk);
  EXPECT_EQ(ok.password, u"pä ss");
  const DialogModel& shown = ui_.dialogs[0].atOpen;
  EXPECT_EQ(shown.resourceId, 132);
  EXPECT_EQ(shown.title, u"Password");
  EXPECT_EQ(shown.Text(kIdPromptLabel), u"Please input the password:");
  EXPECT_EQ(shown.Text(kIdPasswordFileName), u"secret.7z");
  EXPECT_TRUE(shown.Find(kIdPassword)->style & ES_PASSWORD);

  ui_.QueueDialog([](DialogDriver& d) {
    d.Type(kIdPassword, u"typed");
    d.Click(IDCANCEL);
  });
  const PasswordAnswer cancelled = AskPassword(ui_, 1, *languages_, u"p", u"plainname.rar");
  EXPECT_EQ(cancelled.result, kPromptCancel);
  EXPECT_EQ(cancelled.password, u"");
  EXPECT_EQ(ui_.dialogs[1].atOpen.Text(kIdPasswordFileName), u"plainname.rar") << "no separator: all of it";
  EXPECT_EQ(FileNamePart(u"/srv/a/b.zip"), u"b.zip");

  ui_.FailNextDialog();
  EXPECT_EQ(AskPassword(ui_, 1, *languages_, u"p", u"x").result, kPromptCancel) << "not shown: Cancel";
  EXPECT_TRUE(ui_.unanswered.empty());
}

TEST_F(ArchiveDialogs, MissingVolumesShowFolderAndNamesAndTheSkipChoice) {
  const std::vector<std::u16string> missing{u"set.part2.rar", u"set.part4.rar"};
  ui_.QueueDialog([](DialogDriver& d) { d.Click(IDOK); });
  const VolumesAnswer untouched = AskMissingVolumes(ui_, 1, *languages_, u"/srv/sets/set.part1.rar", missing, true);
  EXPECT_EQ(untouched.result, kPromptOk);
  EXPECT_TRUE(untouched.skip) << "skipping allowed: ticked from the start";
  const DialogModel& d = ui_.dialogs[0].atOpen;
  EXPECT_EQ(d.resourceId, 131);
  EXPECT_EQ(d.Text(kIdVolumePath), u"/srv/sets/");
  EXPECT_EQ(d.Find(kIdMissingList)->items, missing);
  EXPECT_EQ(d.Text(kIdSkipVolumes), u"Skip unaccessible volumes");
  EXPECT_EQ(d.Text(kIdVolumePathLabel), u"Volume path:");
  EXPECT_EQ(d.title, u"Korvendrake Virtual Drive");

  ui_.QueueDialog([](DialogDriver& d) {
    EXPECT_FALSE(d.Check(kIdSkipVolumes, true)) << "disabled";
    d.Click(IDOK);
  });
  const VolumesAnswer notAllowed = AskMissingVolumes(ui_, 1, *languages_, u"C:\\x\\img.001", missing, false);
  EXPECT_EQ(notAllowed.result, kPromptOk);
  EXPECT_FALSE(notAllowed.skip);
  EXPECT_EQ(ui_.dialogs[1].atOpen.Text(kIdVolumePath), u"C:\\x\\");

  ui_.QueueDialog([](DialogDriver& d) {
    d.Check(kIdSkipVolumes, false);
    d.Click(IDCANCEL);
  });
  EXPECT_EQ(AskMissingVolumes(ui_, 1, *languages_, u"img.001", missing, true).result, kPromptCancel);
}

TEST_F(ArchiveDialogs, CommentIsShownWholeAndCopiedUnchanged) {
  const std::string comment = "line one\r\nzweite Zeile \xE4\xF6\xFC\r\n";  // code page 1252
  ScriptedUi& ui = ui_;
  ui_.QueueDialog([&ui](DialogDriver& d) {
    EXPECT_TRUE(d.Click(kIdCopyComment));
    EXPECT_EQ(ui.ClipboardText(), u"line one\r\nzweite Zeile äöü\r\n");
    ui.FailClipboard(true);
    EXPECT_TRUE(d.Click(kIdCopyComment)) << "no clipboard: nothing happens, nothing is said";
    d.Click(IDOK);
  });
  ShowComment(ui_, 1, *languages_, comment);
  const DialogModel& d = ui_.dialogs[0].atOpen;
  EXPECT_EQ(d.resourceId, 143);
  EXPECT_EQ(d.title, u"Korvendrake Virtual Drive");
  EXPECT_EQ(d.Text(kIdCommentGroup), u"Comment:");
  EXPECT_EQ(d.Text(kIdComment), u"line one\r\nzweite Zeile äöü\r\n");
  EXPECT_EQ(d.Find(kIdComment)->style, ES_MULTILINE | ES_READONLY);
  EXPECT_EQ(ui_.dialogs[0].atClose.result, IDOK);
  EXPECT_TRUE(ui_.boxes.empty());

  ui_.QueueDialog([](DialogDriver& d) { d.Click(IDOK); });
  ShowComment(ui_, 1, *languages_, std::string(kMaxCommentChars + 100, 'c'));
  EXPECT_EQ(ui_.dialogs[1].atOpen.Text(kIdComment).size(), kMaxCommentChars);

  ui_.QueueBox(IDCANCEL);
  EXPECT_EQ(AskAfterWrongPassword(ui_, 1, *languages_), IDCANCEL);
  EXPECT_EQ(ui_.boxes[0].text, u"The password is wrong. ");
  EXPECT_EQ(ui_.boxes[0].style, MB_OKCANCEL | MB_ICONQUESTION);
  EXPECT_EQ(ui_.boxes[0].caption, u"Korvendrake Virtual Drive");
}

}  // namespace
