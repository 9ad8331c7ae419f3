#include "platform/ui/scripted_ui.h"

#include <algorithm>

namespace kv::platform::ui {

namespace {

std::string Ascii(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

Control* DialogDriver::Usable(int id) {
  if (dialog_.ended) return nullptr;
  Control* c = dialog_.Find(id);
  return c && c->enabled ? c : nullptr;
}

bool DialogDriver::Type(int id, std::u16string_view text) {
  Control* c = Usable(id);
  if (!c || c->kind != ControlKind::Edit || (c->style & ES_READONLY)) return false;
  dialog_.SetText(id, text);
  handler_.OnCommand(dialog_, id, Notification::Changed);
  return true;
}

bool DialogDriver::Check(int id, bool checked) {
  Control* c = Usable(id);
  if (!c || c->kind != ControlKind::CheckBox) return false;
  if (c->checked == checked) return true;
  c->checked = checked;
  handler_.OnCommand(dialog_, id, Notification::Clicked);
  return true;
}

bool DialogDriver::Select(int id, int index) {
  Control* c = Usable(id);
  if (!c || (c->kind != ControlKind::DropDownList && c->kind != ControlKind::ListBox)) return false;
  if (index < 0 || static_cast<size_t>(index) >= c->items.size()) return false;
  c->selected = index;
  handler_.OnCommand(dialog_, id, Notification::SelectionChanged);
  return true;
}

bool DialogDriver::SelectRows(int id, std::vector<int> rows) {
  Control* c = Usable(id);
  if (!c || c->kind != ControlKind::ListView) return false;
  for (int r : rows) {
    if (r < 0 || static_cast<size_t>(r) >= c->rows.size()) return false;
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  c->selectedRows = std::move(rows);
  handler_.OnCommand(dialog_, id, Notification::SelectionChanged);
  return true;
}

bool DialogDriver::DoubleClickRow(int id, int row) {
  if (!SelectRows(id, {row})) return false;
  if (dialog_.ended) return true;
  handler_.OnCommand(dialog_, id, Notification::DoubleClicked);
  return true;
}

bool DialogDriver::Click(int id) {
  Control* c = Usable(id);
  if (!c || (c->kind != ControlKind::Button && c->kind != ControlKind::CheckBox)) return false;
  if (c->kind == ControlKind::CheckBox) return Check(id, !c->checked);
  handler_.OnCommand(dialog_, id, Notification::Clicked);
  return true;
}

size_t ScriptedUi::QueuedAnswersLeft() const {
  return boxAnswers_.size() + menuAnswers_.size() + dialogScripts_.size() + fileAnswers_.size() + folderAnswers_.size();
}

const TrayIcon* ScriptedUi::FindTrayIcon(uint32_t id) const {
  const auto it = trays_.find(id);
  return it == trays_.end() ? nullptr : &it->second.icon;
}

bool ScriptedUi::ClickTray(uint32_t iconId, TrayEvent event) {
  const auto it = trays_.find(iconId);
  if (it == trays_.end()) return false;
  // A copy: the handler may remove the icon.
  const auto onEvent = it->second.onEvent;
  if (onEvent) onEvent(event);
  return true;
}

void ScriptedUi::TickTimers() {
  std::vector<std::function<void()>> due;
  for (const auto& [id, timer] : timers_) due.push_back(timer.onTick);
  for (const auto& tick : due) {
    if (tick) tick();
  }
}

uint32_t ScriptedUi::TimerPeriod(uint32_t id) const {
  const auto it = timers_.find(id);
  return it == timers_.end() ? 0 : it->second.periodMs;
}

WindowId ScriptedUi::CreateHiddenWindow(std::u16string_view className) {
  windowClasses.emplace_back(className);
  return nextWindow_++;
}

void ScriptedUi::DestroyWindow(WindowId) {}

int ScriptedUi::MessageBox(WindowId owner, std::u16string_view text, std::u16string_view caption, uint32_t style) {
  int answer = DismissAnswer(style);
  if (boxAnswers_.empty()) {
    unanswered.push_back("box: " + Ascii(text));
  } else {
    answer = boxAnswers_.front();
    boxAnswers_.pop_front();
  }
  boxes.push_back({owner, std::u16string(text), std::u16string(caption), style, answer});
  return answer;
}

uint32_t ScriptedUi::TrackPopupMenu(WindowId owner, const Menu& menu) {
  uint32_t chosen = 0;
  if (menuAnswers_.empty()) {
    unanswered.push_back("menu");
  } else {
    chosen = menuAnswers_.front();
    menuAnswers_.pop_front();
    // Only an enabled entry of this menu can be chosen.
    const MenuItem* item = chosen ? FindMenuEntry(menu, chosen) : nullptr;
    if (!item || (item->flags & MF_GRAYED)) chosen = 0;
  }
  menus.push_back({owner, menu, chosen});
  return chosen;
}

int ScriptedUi::DialogBox(WindowId owner, DialogModel& dialog, DialogHandler& handler) {
  if (failNextDialog_) {
    failNextDialog_ = false;
    return -1;
  }
  dialog.window = nextWindow_++;
  dialog.ended = false;
  dialog.result = 0;
  openDialogs_.push_back(dialog.window);
  handler.OnInit(dialog);
  if (!dialog.ended) handler.OnFirstPaint(dialog);
  const size_t record = dialogs.size();
  dialogs.push_back({owner, dialog, {}});
  if (!dialog.ended) {
    if (dialogScripts_.empty()) {
      unanswered.push_back("dialog " + std::to_string(dialog.resourceId));
    } else {
      DialogScript script = std::move(dialogScripts_.front());
      dialogScripts_.pop_front();
      DialogDriver driver(dialog, handler);
      script(driver);
    }
  }
  // Closing the window is the Cancel command, as in a Windows dialog.
  if (!dialog.ended) handler.OnCommand(dialog, IDCANCEL, Notification::Clicked);
  if (!dialog.ended) dialog.End(IDCANCEL);
  openDialogs_.pop_back();
  dialogs[record].atClose = dialog;
  const int result = dialog.result;
  dialog.window = kNoWindow;
  return result;
}

std::optional<std::u16string> ScriptedUi::OpenFile(const OpenFileRequest& request) {
  std::optional<std::u16string> answer;
  if (fileAnswers_.empty()) {
    unanswered.push_back("open file");
  } else {
    answer = std::move(fileAnswers_.front());
    fileAnswers_.pop_front();
  }
  fileDialogs.push_back({request, answer});
  return answer;
}

std::optional<std::u16string> ScriptedUi::BrowseForFolder(const FolderRequest& request) {
  std::optional<std::u16string> answer;
  if (folderAnswers_.empty()) {
    unanswered.push_back("browse folder");
  } else {
    answer = std::move(folderAnswers_.front());
    folderAnswers_.pop_front();
  }
  folderDialogs.push_back({request, answer});
  return answer;
}

bool ScriptedUi::AddTrayIcon(const TrayIcon& icon, std::function<void(TrayEvent)> onEvent) {
  if (trays_.count(icon.id)) return false;
  Tray t{icon, std::move(onEvent)};
  if (t.icon.tooltip.size() > 128) t.icon.tooltip.resize(128);
  trays_.emplace(icon.id, std::move(t));
  return true;
}

bool ScriptedUi::ShowBalloon(uint32_t iconId, const Balloon& balloon) {
  if (!trays_.count(iconId)) return false;
  Balloon b = balloon;
  if (b.title.size() > 64) b.title.resize(64);
  if (b.text.size() > 256) b.text.resize(256);
  balloons.push_back(std::move(b));
  return true;
}

void ScriptedUi::RemoveTrayIcon(uint32_t iconId) {
  trays_.erase(iconId);
}

bool ScriptedUi::SetTimer(uint32_t id, uint32_t periodMs, std::function<void()> onTick) {
  if (periodMs == 0) return false;
  timers_[id] = Timer{periodMs, std::move(onTick)};
  return true;
}

void ScriptedUi::KillTimer(uint32_t id) {
  timers_.erase(id);
}

bool ScriptedUi::SetClipboardText(std::u16string_view text) {
  if (clipboardFails_) return false;
  clipboard_ = std::u16string(text);
  return true;
}

std::optional<std::u16string> ScriptedUi::ClipboardText() {
  if (clipboardFails_) return std::nullopt;
  return clipboard_;
}

}  // namespace kv::platform::ui
