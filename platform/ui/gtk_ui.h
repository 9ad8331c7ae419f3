// The back end for people: GTK 3 message boxes, popup menus, dialogs laid out from their control
// models, file and folder choosers, a status icon with balloon windows, timers, the clipboard.
#pragma once
#include <map>
#include <memory>

#include "platform/ui/ui.h"

namespace kv::platform::ui {

class GtkUi : public Ui {
 public:
  GtkUi();
  ~GtkUi() override;
  GtkUi(const GtkUi&) = delete;
  GtkUi& operator=(const GtkUi&) = delete;

  // False when there is no display to draw on; every prompt then answers as dismissed.
  bool ready() const { return ready_; }

  // For desktop tests and automation: runs `hook` once each modal dialog, box or menu is on the
  // screen (with its window id), from inside its loop.
  void SetShownHook(std::function<void(WindowId)> hook) { shownHook_ = std::move(hook); }
  // Acts on the real widgets of a shown dialog as a user would; false when there is no such
  // control or it is disabled.
  bool ClickControl(WindowId dialog, int controlId);
  bool TypeText(WindowId dialog, int controlId, std::u16string_view text);
  // A key pressed in a shown dialog (a GDK key value).
  bool PressKey(WindowId dialog, unsigned keyval);
  // Answers the shown box or menu (a button id, a menu entry id; 0 dismisses a menu).
  bool Answer(WindowId window, int answer);
  // Writes what `window` shows now as a PNG; false when it is not shown.
  bool Screenshot(WindowId window, const std::string& pngPath, int* width = nullptr, int* height = nullptr);
  // The widget tree of a shown window as text, one widget a line, indented by depth: its kind,
  // its text or value and its state ("title: ...", "button: OK", "check: [x] Autostart",
  // "item: Drive [D:] ", "list: 3 Drives", "column: Drive", "row: Drive 0 | <Auto>" ...). Empty
  // when the window is not shown.
  std::string Describe(WindowId window);
  // True when the icon is a StatusNotifierItem (a host is on the session bus), false for the
  // status icon or no icon.
  bool TrayUsesIndicator(uint32_t iconId) const;
  // Keeps the desktop answering (drawing, accessibility requests) until `done` says so; false
  // after `timeoutMs` without it.
  bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs);

  WindowId CreateHiddenWindow(std::u16string_view className) override;
  void DestroyWindow(WindowId window) override;
  int MessageBox(WindowId owner, std::u16string_view text, std::u16string_view caption, uint32_t style) override;
  uint32_t TrackPopupMenu(WindowId owner, const Menu& menu) override;
  int DialogBox(WindowId owner, DialogModel& dialog, DialogHandler& handler) override;
  WindowId ActiveDialog() const override;
  void BringToFront(WindowId window) override;
  std::optional<std::u16string> OpenFile(const OpenFileRequest& request) override;
  std::optional<std::u16string> BrowseForFolder(const FolderRequest& request) override;
  bool AddTrayIcon(const TrayIcon& icon, std::function<void(TrayEvent)> onEvent) override;
  bool ShowBalloon(uint32_t iconId, const Balloon& balloon) override;
  void RemoveTrayIcon(uint32_t iconId) override;
  bool SetTimer(uint32_t id, uint32_t periodMs, std::function<void()> onTick) override;
  void KillTimer(uint32_t id) override;
  bool SetClipboardText(std::u16string_view text) override;
  std::optional<std::u16string> ClipboardText() override;
  void RunLoop() override;
  void Quit() override;

  struct Shown;  // one window on the screen (private to the implementation)

 private:
  struct Tray;
  struct Timer;
  struct Busy;
  enum class Capture { None, Read, Answer };
  Shown* FindShown(WindowId window);
  void Announce(WindowId window);
  uint32_t TakeCapturedMenu(const Menu& menu);
  bool AskTrayMenu(uint32_t iconId, uint32_t answer);
  void RefreshIndicatorMenu(uint32_t iconId);
  void DropTray(Tray& tray);

  bool ready_ = false;
  WindowId nextWindow_ = 1;
  std::vector<std::unique_ptr<Shown>> shown_;
  std::map<uint32_t, std::unique_ptr<Tray>> trays_;
  std::map<uint32_t, std::unique_ptr<Timer>> timers_;
  std::function<void(WindowId)> shownHook_;
  // The indicator's menu comes from the manager's TrackPopupMenu, caught instead of shown.
  Capture capture_ = Capture::None;
  uint32_t answer_ = 0;
  Menu captured_;
  bool capturedAny_ = false;
  int busy_ = 0;  // inside a command or a file chooser
};

}  // namespace kv::platform::ui
