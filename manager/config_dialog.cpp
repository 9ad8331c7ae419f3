#include "manager/config_dialog.h"

#include "common/config_names.h"
#include "common/texts.h"
#include "manager/dialog_common.h"
#include "manager/ui_text.h"
#include "platform/shell.h"
#include "platform/wide_text.h"

namespace kv::manager {

using namespace kv::platform::ui;
namespace cfg = kv::config;
namespace t = kv::texts;

namespace {

constexpr int kListViewWidth = 220;
constexpr char16_t kAutomatic = u'A';
// Item i of the letter list (i >= 1) is the letter with code 67 + i: "D".."Z".
constexpr int kLetterItemBase = 67;

Control Make(int id, ControlKind kind, uint32_t style = 0) {
  Control c;
  c.id = id;
  c.kind = kind;
  c.style = style;
  return c;
}

bool IsMoveTarget(char16_t c) {
  return c >= u'D' && c <= u'Z';
}

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

class LetterDialog : public DialogHandler {
 public:
  LetterDialog(Ui& ui, const Languages& languages, int drive, std::u16string letters)
      : ui_(ui), languages_(languages), drive_(drive), letters_(std::move(letters)) {
    letters_.resize(cfg::kDriveLetterPositions, kAutomatic);
  }

  const std::u16string& letters() const { return letters_; }

  void OnInit(DialogModel& d) override {
    ApplyLanguageToDialog(languages_, d);
    d.SetText(kIdLetterPrompt, FormatUiText(languages_.Text(t::TEXT_EDIT_LETTER_PROMPT), {int64_t{drive_}}));
    d.SetText(kIdLetterLabel, languages_.Text(t::TEXT_NEW_LETTER_ASSIGNMENT));
    d.title = std::u16string(languages_.Text(t::TEXT_EDIT_DRIVE_LETTER));
    std::vector<std::u16string> items{std::u16string(languages_.Text(t::TEXT_AUTO))};
    for (int i = 1; i <= cfg::kMaxDrives; ++i) items.push_back({static_cast<char16_t>(kLetterItemBase + i), u':'});
    d.SetItems(kIdLetterChoice, std::move(items));
    const char16_t current = letters_[static_cast<size_t>(drive_)];
    d.Select(kIdLetterChoice, IsMoveTarget(current) ? current - kLetterItemBase : 0);
  }

  void OnCommand(DialogModel& d, int id, Notification) override {
    if (id == kCancelButton) {
      d.End(IDCANCEL);
      return;
    }
    if (id != kOkButton) return;
    const int index = d.Selected(kIdLetterChoice);
    const char16_t chosen = index <= 0 ? kAutomatic : static_cast<char16_t>(kLetterItemBase + index);
    if (chosen != kAutomatic) {
      for (int other = 0; other < cfg::kDriveLetterPositions; ++other) {
        if (other != drive_ && letters_[static_cast<size_t>(other)] == chosen) {
          ManagerMessageBox(ui_, d.window, languages_,
                            FormatUiText(languages_.Text(t::TEXT_LETTER_ALREADY_ASSIGNED), {chosen, int64_t{other}}),
                            MB_ICONERROR);
          return;
        }
      }
    }
    letters_[static_cast<size_t>(drive_)] = chosen;
    d.End(IDOK);
  }

 private:
  Ui& ui_;
  const Languages& languages_;
  int drive_;
  std::u16string letters_;
};

class ConfigurationDialog : public DialogHandler {
 public:
  ConfigurationDialog(Ui& ui, ConfigStore& config, Languages& languages, const ConfigDialogActions& actions)
      : ui_(ui), config_(config), languages_(languages), actions_(actions) {}

  void OnInit(DialogModel& d) override {
    ApplyLanguageToDialog(languages_, d);
    d.title = std::u16string(languages_.Text(t::TEXT_CONFIGURATION_TITLE));
    const std::pair<int, uint16_t> texts[] = {
        {kIdOptionsGroup, t::TEXT_DRIVE_OPTIONS},
        {kIdDriveCountLabel, t::TEXT_NUMBER_OF_DRIVES},
        {kIdAutostart, t::TEXT_AUTOSTART},
        {kIdAutomount, t::TEXT_AUTOMOUNT},
        {kIdLettersGroup, t::TEXT_LETTER_ASSIGNMENT},
        {kIdEditLetter, t::TEXT_EDIT},
        {kIdTempGroup, t::TEXT_TEMPORARY_FOLDER},
        {kIdTempNote, t::TEXT_TEMPORARY_FOLDER_NOTE},
        {kIdMiscGroup, t::TEXT_MISCELLANEOUS},
        {kIdLanguageLabel, t::TEXT_LANGUAGE},
    };
    for (const auto& [id, text] : texts) d.SetText(id, languages_.Text(text));

    languages_.Load();
    std::vector<std::u16string> names;
    for (const LanguageListEntry& e : languages_.list().entries) {
      names.push_back(
          FormatUiText(u"%s (%s)", {std::u16string_view(e.displayName), std::u16string_view(e.secondName)}));
    }
    d.SetItems(kIdLanguage, std::move(names));
    d.Select(kIdLanguage, languages_.list().current);
    languageAtOpen_ = languages_.list().current;

    const uint32_t flags = config_.Flags();
    d.SetChecked(kIdAutostart, (flags & cfg::FLAG_AUTOSTART) != 0);
    d.SetChecked(kIdAutomount, (flags & cfg::FLAG_AUTOMOUNT) != 0);

    const int drives = actions_.driveList ? static_cast<int>(actions_.driveList().size()) : 0;
    tempAtOpen_ = config_.ReadString(cfg::kTempFolder).value_or(u"");
    d.SetText(kIdTempFolder, tempAtOpen_);
    letters_ = config_.DriveLetters();

    if (Control* list = d.Find(kIdLetterList)) {
      list->fullRowSelect = true;
      list->columns = {std::u16string(languages_.Text(t::TEXT_DRIVE)), std::u16string(languages_.Text(t::TEXT_LETTER))};
      const int w = list->width + 1;
      list->columnWidths = {w * 35 / 100 - 5, w * 40 / 100 - 5};
      list->rows.clear();
      list->selectedRows.clear();
    }
    FillRows(d);

    std::vector<std::u16string> counts{std::u16string(languages_.Text(t::TEXT_DISABLED))};
    for (int i = 1; i <= cfg::kMaxDrives; ++i)
      counts.push_back(FormatUiText(languages_.Text(t::TEXT_N_DRIVES), {int64_t{i}}));
    d.SetItems(kIdDriveCount, std::move(counts));
    d.Select(kIdDriveCount, std::min(drives, cfg::kMaxDrives));
  }

  void OnCommand(DialogModel& d, int id, Notification what) override {
    if ((id == kIdEditLetter && what == Notification::Clicked) ||
        (id == kIdLetterList && what == Notification::DoubleClicked)) {
      EditLetter(d);
    } else if (id == kIdBrowseFolder && what == Notification::Clicked) {
      Browse(d);
    } else if (id == kOkButton) {
      Ok(d);
    } else if (id == kCancelButton) {
      d.End(IDCANCEL);
    }
  }

 private:
  void FillRows(DialogModel& d) {
    Control* list = d.Find(kIdLetterList);
    if (!list) return;
    int keep = list->selectedRows.size() == 1 ? list->selectedRows[0] : 0;
    keep = std::clamp(keep, 0, cfg::kMaxDrives - 1);
    list->rows.clear();
    for (int drive = 0; drive < cfg::kMaxDrives; ++drive) {
      const char16_t letter = letters_[static_cast<size_t>(drive)];
      list->rows.push_back(
          {FormatUiText(u"%s %d", {languages_.Text(t::TEXT_DRIVE), int64_t{drive}}),
           letter == kAutomatic ? std::u16string(languages_.Text(t::TEXT_AUTO)) : std::u16string{letter, u':'}});
    }
    list->selectedRows = {keep};
  }

  void EditLetter(DialogModel& d) {
    const Control* list = d.Find(kIdLetterList);
    if (!list || list->selectedRows.size() != 1) return;
    std::u16string letters = letters_;
    if (RunLetterDialog(ui_, d.window, languages_, list->selectedRows[0], &letters) != IDOK) return;
    letters_ = letters;
    FillRows(d);
  }

  void Browse(DialogModel& d) {
    const std::u16string text = d.Text(kIdTempFolder);
    FolderRequest request;
    request.owner = d.window;
    request.startFolder = text.empty() ? std::u16string(kSystemDiskRoot) : text;
    const char16_t last = request.startFolder.back();
    if (last != u'/' && last != u'\\') request.startFolder.push_back(u'/');
    if (const auto picked = ui_.BrowseForFolder(request)) d.SetText(kIdTempFolder, *picked);
  }

  void Ok(DialogModel& d) {
    const bool autostart = d.Checked(kIdAutostart);
    const bool automount = d.Checked(kIdAutomount);
    const int count = d.Selected(kIdDriveCount);
    const std::u16string temp = d.Text(kIdTempFolder);
    const int language = d.Selected(kIdLanguage);

    config_.SetAutostart(ConfigStore::WithFlagBits(config_.Flags(), autostart, automount));
    config_.WriteString(cfg::kDriveLetter, letters_);

    if (actions_.driveList) {
      for (const ConfigDrive& drive : actions_.driveList()) {
        if (drive.number < 0 || drive.number >= cfg::kDriveLetterPositions) continue;
        const char16_t wanted = letters_[static_cast<size_t>(drive.number)];
        if (!IsMoveTarget(wanted) || Upper(drive.letter) == wanted) continue;
        const int answer = ManagerMessageBox(ui_, d.window, languages_,
                                             FormatUiText(languages_.Text(t::TEXT_CHANGE_LETTER_NOW),
                                                          {int64_t{drive.number}, Upper(drive.letter), wanted}),
                                             MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDCANCEL) break;
        if (answer == IDYES && actions_.changeLetter) actions_.changeLetter(drive.number, wanted);
      }
    }

    if (count >= 0 && count <= cfg::kMaxDrives && actions_.setDriveCount) actions_.setDriveCount(count);
    if (temp != tempAtOpen_) config_.WriteString(cfg::kTempFolder, temp);
    if (language != languageAtOpen_) languages_.Switch(language, actions_.sendLanguage);
    if (IsVistaOrLater(config_.facts())) {
      if (actions_.startElevatedApply) {
        actions_.startElevatedApply();
      } else {
        StartElevatedApplyStep(config_);
      }
    }
    d.End(IDOK);
  }

  Ui& ui_;
  ConfigStore& config_;
  Languages& languages_;
  const ConfigDialogActions& actions_;
  std::u16string letters_;
  std::u16string tempAtOpen_;
  int languageAtOpen_ = 0;
};

}  // namespace

DialogModel ConfigurationDialogTemplate() {
  DialogModel d;
  d.resourceId = kConfigDialogResource;
  Control list = Make(kIdLetterList, ControlKind::ListView);
  list.width = kListViewWidth;
  Control temp = Make(kIdTempFolder, ControlKind::Edit);
  temp.textLimit = cfg::kManagerStringBytes / 2 - 1;
  d.controls = {Make(kIdOptionsGroup, ControlKind::Group),
                Make(kIdDriveCountLabel, ControlKind::Label),
                Make(kIdDriveCount, ControlKind::DropDownList),
                Make(kIdAutostart, ControlKind::CheckBox),
                Make(kIdAutomount, ControlKind::CheckBox),
                Make(kIdLettersGroup, ControlKind::Group),
                std::move(list),
                Make(kIdEditLetter, ControlKind::Button),
                Make(kIdTempGroup, ControlKind::Group),
                std::move(temp),
                Make(kIdBrowseFolder, ControlKind::Button),
                Make(kIdTempNote, ControlKind::Label),
                Make(kIdMiscGroup, ControlKind::Group),
                Make(kIdLanguageLabel, ControlKind::Label),
                Make(kIdLanguage, ControlKind::DropDownList),
                Make(kOkButton, ControlKind::Button),
                Make(kCancelButton, ControlKind::Button)};
  d.SetText(kIdBrowseFolder, u"...");
  d.SetText(kOkButton, u"OK");
  d.SetText(kCancelButton, u"Cancel");
  return d;
}

DialogModel LetterDialogTemplate() {
  DialogModel d;
  d.resourceId = kLetterDialogResource;
  d.controls = {Make(kIdLetterPrompt, ControlKind::Label), Make(kIdLetterLabel, ControlKind::Label),
                Make(kIdLetterChoice, ControlKind::DropDownList), Make(kOkButton, ControlKind::Button),
                Make(kCancelButton, ControlKind::Button)};
  d.SetText(kOkButton, u"OK");
  d.SetText(kCancelButton, u"Cancel");
  return d;
}

int RunConfigurationDialog(Ui& ui, WindowId owner, ConfigStore& config, Languages& languages,
                           const ConfigDialogActions& actions) {
  DialogModel d = ConfigurationDialogTemplate();
  ConfigurationDialog logic(ui, config, languages, actions);
  return ui.DialogBox(owner, d, logic);
}

int RunLetterDialog(Ui& ui, WindowId owner, const Languages& languages, int drive, std::u16string* letters) {
  if (!letters || drive < 0 || drive >= cfg::kDriveLetterPositions) return IDCANCEL;
  DialogModel d = LetterDialogTemplate();
  LetterDialog logic(ui, languages, drive, *letters);
  const int result = ui.DialogBox(owner, d, logic);
  if (result != IDOK) return IDCANCEL;
  *letters = logic.letters();
  return IDOK;
}

bool StartElevatedApplyStep(const ConfigStore& config, pid_t* process) {
  const std::u16string program = JoinFolder(config.InstallFolder(), cfg::kManagerProgram);
  return platform::ShellExecute(u"runas", program, platform::Utf8ToUtf16(cfg::kApplySwitch), process);
}

}  // namespace kv::manager
