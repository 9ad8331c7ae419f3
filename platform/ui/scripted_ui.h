// The back end that tests drive: every prompt takes the next answer queued for its kind, and
// everything shown (boxes, menus, dialogs with their controls, balloons, file dialogs) is recorded.
// A prompt with no answer queued is recorded as unanswered and gets the "dismissed" answer.
#pragma once
#include <deque>
#include <map>
#include <string>

#include "platform/ui/ui.h"

namespace kv::platform::ui {

// What the user does inside one dialog. Each action changes the model as the real control would
// and then notifies the dialog's logic; actions on a disabled or missing control do nothing and
// return false.
class DialogDriver {
 public:
  DialogDriver(DialogModel& dialog, DialogHandler& handler) : dialog_(dialog), handler_(handler) {}

  DialogModel& dialog() { return dialog_; }
  bool Type(int id, std::u16string_view text);
  bool Check(int id, bool checked);
  bool Select(int id, int index);
  bool SelectRows(int id, std::vector<int> rows);
  bool DoubleClickRow(int id, int row);
  bool Click(int id);

 private:
  Control* Usable(int id);
  DialogModel& dialog_;
  DialogHandler& handler_;
};
using DialogScript = std::function<void(DialogDriver&)>;

struct ShownBox {
  WindowId owner = kNoWindow;
  std::u16string text;
  std::u16string caption;
  uint32_t style = 0;
  int answer = 0;
};

struct ShownMenu {
  WindowId owner = kNoWindow;
  Menu menu;
  uint32_t chosen = 0;
};

struct ShownDialog {
  WindowId owner = kNoWindow;
  DialogModel atOpen;   // after its logic initialised it
  DialogModel atClose;  // when it ended
};

struct ShownFileDialog {
  OpenFileRequest request;
  std::optional<std::u16string> answer;
};

struct ShownFolderDialog {
  FolderRequest request;
  std::optional<std::u16string> answer;
};

class ScriptedUi : public Ui {
 public:
  // ---- Answers, taken in order per kind ----
  void QueueBox(int answer) { boxAnswers_.push_back(answer); }
  void QueueMenu(uint32_t id) { menuAnswers_.push_back(id); }
  void QueueDialog(DialogScript script) { dialogScripts_.push_back(std::move(script)); }
  void QueueFile(std::optional<std::u16string> path) { fileAnswers_.push_back(std::move(path)); }
  void QueueFolder(std::optional<std::u16string> path) { folderAnswers_.push_back(std::move(path)); }
  // The next dialog fails to be created (DialogBox answers -1).
  void FailNextDialog() { failNextDialog_ = true; }
  void FailClipboard(bool fail) { clipboardFails_ = fail; }

  // ---- What was shown ----
  std::vector<ShownBox> boxes;
  std::vector<ShownMenu> menus;
  std::vector<ShownDialog> dialogs;
  std::vector<ShownFileDialog> fileDialogs;
  std::vector<ShownFolderDialog> folderDialogs;
  std::vector<Balloon> balloons;
  std::vector<std::string> unanswered;  // prompts that found no queued answer
  std::vector<std::u16string> windowClasses;
  std::vector<WindowId> broughtToFront;
  size_t QueuedAnswersLeft() const;

  const TrayIcon* FindTrayIcon(uint32_t id) const;
  // The user releases a mouse button on the tray icon; false when there is no such icon.
  bool ClickTray(uint32_t iconId, TrayEvent event);
  // One period of every timer passes (the callbacks run in id order).
  void TickTimers();
  uint32_t TimerPeriod(uint32_t id) const;  // 0 when not running
  bool quitRequested() const { return quit_; }

  // ---- Ui ----
  WindowId CreateHiddenWindow(std::u16string_view className) override;
  void DestroyWindow(WindowId window) override;
  int MessageBox(WindowId owner, std::u16string_view text, std::u16string_view caption, uint32_t style) override;
  uint32_t TrackPopupMenu(WindowId owner, const Menu& menu) override;
  int DialogBox(WindowId owner, DialogModel& dialog, DialogHandler& handler) override;
  WindowId ActiveDialog() const override { return openDialogs_.empty() ? kNoWindow : openDialogs_.back(); }
  void BringToFront(WindowId window) override { broughtToFront.push_back(window); }
  std::optional<std::u16string> OpenFile(const OpenFileRequest& request) override;
  std::optional<std::u16string> BrowseForFolder(const FolderRequest& request) override;
  bool AddTrayIcon(const TrayIcon& icon, std::function<void(TrayEvent)> onEvent) override;
  bool ShowBalloon(uint32_t iconId, const Balloon& balloon) override;
  void RemoveTrayIcon(uint32_t iconId) override;
  bool SetTimer(uint32_t id, uint32_t periodMs, std::function<void()> onTick) override;
  void KillTimer(uint32_t id) override;
  bool SetClipboardText(std::u16string_view text) override;
  std::optional<std::u16string> ClipboardText() override;
  // Scripted: nothing arrives by itself, so the loop only notes that it ran.
  void RunLoop() override { ++loopRuns_; }
  void Quit() override { quit_ = true; }

 private:
  struct Tray {
    TrayIcon icon;
    std::function<void(TrayEvent)> onEvent;
  };
  struct Timer {
    uint32_t periodMs = 0;
    std::function<void()> onTick;
  };

  std::deque<int> boxAnswers_;
  std::deque<uint32_t> menuAnswers_;
  std::deque<DialogScript> dialogScripts_;
  std::deque<std::optional<std::u16string>> fileAnswers_;
  std::deque<std::optional<std::u16string>> folderAnswers_;
  bool failNextDialog_ = false;
  bool clipboardFails_ = false;
  std::optional<std::u16string> clipboard_;
  std::map<uint32_t, Tray> trays_;
  std::map<uint32_t, Timer> timers_;
  std::vector<WindowId> openDialogs_;
  WindowId nextWindow_ = 1;
  int loopRuns_ = 0;
  bool quit_ = false;
};

}  // namespace kv::platform::ui
