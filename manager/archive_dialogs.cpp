#include "manager/archive_dialogs.h"

#include "common/texts.h"
#include "manager/dialog_common.h"
#include "platform/codepage.h"

namespace kv::manager {

using namespace kv::platform::ui;
namespace t = kv::texts;

namespace {

Control Make(int id, ControlKind kind, uint32_t style = 0) {
  Control c;
  c.id = id;
  c.kind = kind;
  c.style = style;
  return c;
}

void AddOkCancel(DialogModel& d, bool cancel) {
  d.controls.push_back(Make(kOkButton, ControlKind::Button));
  d.SetText(kOkButton, u"OK");
  if (cancel) {
    d.controls.push_back(Make(kCancelButton, ControlKind::Button));
    d.SetText(kCancelButton, u"Cancel");
  }
}

class PasswordDialog : public DialogHandler {
 public:
  PasswordDialog(const Languages& l, std::u16string_view prompt, std::u16string_view path)
      : languages_(l), prompt_(prompt), path_(path) {}
  std::u16string password;

  void OnInit(DialogModel& d) override {
    ApplyLanguageToDialog(languages_, d);
    d.title = u"Password";
    d.SetText(kIdPromptLabel, prompt_);
    d.SetText(kIdPasswordFileName, FileNamePart(path_));
    d.Enable(kOkButton, false);
  }
  void OnCommand(DialogModel& d, int id, Notification what) override {
    if (id == kIdPassword && what == Notification::Changed) {
      d.Enable(kOkButton, !d.Text(kIdPassword).empty());
    } else if (id == kOkButton && d.Enabled(kOkButton)) {
      password = d.Text(kIdPassword);
      d.End(kPromptOk);
    } else if (id == kCancelButton) {
      d.End(kPromptCancel);
    }
  }

 private:
  const Languages& languages_;
  std::u16string prompt_;
  std::u16string path_;
};

class MissingVolumesDialog : public DialogHandler {
 public:
  MissingVolumesDialog(const Languages& l, std::u16string_view firstVolume, const std::vector<std::u16string>& missing,
                       bool skipAllowed)
      : languages_(l), firstVolume_(firstVolume), missing_(missing), skipAllowed_(skipAllowed) {}
  bool skip = false;

  void OnInit(DialogModel& d) override {
    ApplyLanguageToDialog(languages_, d);
    d.SetText(kIdVolumesNote, languages_.Text(t::TEXT_VOLUMES_SAME_FOLDER));
    d.SetText(kIdVolumePathLabel, languages_.Text(t::TEXT_VOLUME_PATH));
    d.SetText(kIdMissingLabel, languages_.Text(t::TEXT_VOLUMES_MISSED));
    d.SetText(kIdSkipVolumes, languages_.Text(t::TEXT_SKIP_VOLUMES));
    const size_t cut = firstVolume_.find_last_of(u"/\\");
    d.SetText(kIdVolumePath, cut == std::u16string::npos ? std::u16string() : firstVolume_.substr(0, cut + 1));
    d.SetItems(kIdMissingList, missing_);
    d.Enable(kIdSkipVolumes, skipAllowed_);
    d.SetChecked(kIdSkipVolumes, skipAllowed_);
  }
  void OnCommand(DialogModel& d, int id, Notification) override {
    if (id == kOkButton) {
      skip = d.Checked(kIdSkipVolumes);
      d.End(kPromptOk);
    } else if (id == kCancelButton) {
      d.End(kPromptCancel);
    }
  }

 private:
  const Languages& languages_;
  std::u16string firstVolume_;
  const std::vector<std::u16string>& missing_;
  bool skipAllowed_;
};

class CommentDialog : public DialogHandler {
 public:
  CommentDialog(Ui& ui, const Languages& l, std::u16string comment)
      : ui_(ui), languages_(l), comment_(std::move(comment)) {}

  void OnInit(DialogModel& d) override {
    ApplyLanguageToDialog(languages_, d);
    d.SetText(kIdCommentGroup, languages_.Text(t::TEXT_COMMENT));
    d.SetText(kIdCopyComment, languages_.Text(t::TEXT_COPY_TO_CLIPBOARD));
    d.SetText(kIdComment, comment_);
  }
  void OnCommand(DialogModel& d, int id, Notification) override {
    if (id == kIdCopyComment) {
      // Nothing is said when the clipboard cannot be opened.
      ui_.SetClipboardText(d.Text(kIdComment));
    } else if (id == kOkButton || id == kCancelButton) {
      d.End(IDOK);
    }
  }

 private:
  Ui& ui_;
  const Languages& languages_;
  std::u16string comment_;
};

}  // namespace

std::u16string FileNamePart(std::u16string_view path) {
  const size_t cut = path.find_last_of(u"/\\");
  return std::u16string(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

DialogModel PasswordDialogTemplate() {
  DialogModel d;
  d.resourceId = kPasswordDialogResource;
  d.controls = {Make(kIdPasswordIcon, ControlKind::Icon), Make(kIdPromptLabel, ControlKind::Label),
                Make(kIdPasswordFileName, ControlKind::Edit, ES_READONLY),
                Make(kIdPassword, ControlKind::Edit, ES_PASSWORD)};
  AddOkCancel(d, true);
  return d;
}

DialogModel MissingVolumesDialogTemplate() {
  DialogModel d;
  d.resourceId = kMissingVolumesDialogResource;
  d.controls = {Make(kIdVolumesNote, ControlKind::Label),
                Make(kIdVolumePathLabel, ControlKind::Label),
                Make(kIdVolumePath, ControlKind::Edit, ES_READONLY),
                Make(kIdMissingLabel, ControlKind::Label),
                Make(kIdMissingList, ControlKind::ListBox),
                Make(kIdSkipVolumes, ControlKind::CheckBox)};
  AddOkCancel(d, true);
  return d;
}

DialogModel CommentDialogTemplate() {
  DialogModel d;
  d.resourceId = kCommentDialogResource;
  Control comment = Make(kIdComment, ControlKind::Edit, ES_MULTILINE | ES_READONLY);
  comment.textLimit = kMaxCommentChars;
  d.controls = {Make(kIdCommentGroup, ControlKind::Group), std::move(comment),
                Make(kIdCopyComment, ControlKind::Button)};
  AddOkCancel(d, false);
  return d;
}

PasswordAnswer AskPassword(Ui& ui, WindowId owner, const Languages& languages, std::u16string_view prompt,
                           std::u16string_view path) {
  DialogModel d = PasswordDialogTemplate();
  PasswordDialog logic(languages, prompt, path);
  PasswordAnswer answer;
  if (ui.DialogBox(owner, d, logic) == kPromptOk) {
    answer.result = kPromptOk;
    answer.password = std::move(logic.password);
  }
  return answer;
}

VolumesAnswer AskMissingVolumes(Ui& ui, WindowId owner, const Languages& languages, std::u16string_view firstVolume,
                                const std::vector<std::u16string>& missing, bool skipAllowed) {
  DialogModel d = MissingVolumesDialogTemplate();
  MissingVolumesDialog logic(languages, firstVolume, missing, skipAllowed);
  VolumesAnswer answer;
  if (ui.DialogBox(owner, d, logic) == kPromptOk) {
    answer.result = kPromptOk;
    answer.skip = logic.skip;
  }
  return answer;
}

int AskAfterWrongPassword(Ui& ui, WindowId owner, const Languages& languages) {
  return ManagerMessageBox(ui, owner, languages, languages.Text(t::TEXT_PASSWORD_WRONG), MB_OKCANCEL | MB_ICONQUESTION);
}

void ShowComment(Ui& ui, WindowId owner, const Languages& languages, std::string_view comment) {
  std::u16string wide = platform::AnsiToWide(comment, platform::AnsiCodePage());
  if (wide.size() > kMaxCommentChars) wide.resize(kMaxCommentChars);
  DialogModel d = CommentDialogTemplate();
  CommentDialog logic(ui, languages, std::move(wide));
  ui.DialogBox(owner, d, logic);
}

}  // namespace kv::manager
