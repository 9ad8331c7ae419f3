// The window manager and shell as the manager sees them: message boxes, popup menus as data,
// modal dialogs as control models addressed by control id, the notification-area icon with its
// balloon tips, timers, file-open and folder-browse dialogs and the clipboard. A back end draws
// them (ScriptedUi for tests, GTK for people); the dialogs' logic only touches the models.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform::ui {

using WindowId = uint32_t;
inline constexpr WindowId kNoWindow = 0;

// Message box styles and answers (the Windows values).
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_OKCANCEL = 0x1;
inline constexpr uint32_t MB_YESNOCANCEL = 0x3;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_TYPEMASK = 0xF;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t MB_ICONMASK = 0xF0;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
// What the user gets from a box nobody answered: the dismiss button of its kind.
int DismissAnswer(uint32_t style);

// Menu entry flags (the Windows values).
inline constexpr uint32_t MF_GRAYED = 0x1;
inline constexpr uint32_t MF_CHECKED = 0x8;
inline constexpr uint32_t MF_POPUP = 0x10;
inline constexpr uint32_t MF_SEPARATOR = 0x800;
inline constexpr uint32_t MFS_DEFAULT = 0x1000;

struct MenuItem {
  uint32_t id = 0;  // 0 for separators and submenus
  std::u16string text;
  uint32_t flags = 0;
  std::vector<MenuItem> submenu;  // entries of an MF_POPUP item

  bool operator==(const MenuItem&) const = default;
};
using Menu = std::vector<MenuItem>;

MenuItem MenuEntry(uint32_t id, std::u16string text, uint32_t flags = 0);
MenuItem MenuSeparator();
MenuItem MenuPopup(std::u16string text, Menu entries);
// The entry with `id` anywhere in `menu`, or null.
const MenuItem* FindMenuEntry(const Menu& menu, uint32_t id);

enum class ControlKind : uint8_t {
  Label,
  Group,
  Button,
  CheckBox,
  Edit,
  DropDownList,
  ListBox,
  ListView,
  Icon,
};

// Edit styles (the Windows values).
inline constexpr uint32_t ES_MULTILINE = 0x4;
inline constexpr uint32_t ES_PASSWORD = 0x20;
inline constexpr uint32_t ES_READONLY = 0x800;

struct Control {
  int id = 0;
  ControlKind kind = ControlKind::Label;
  uint32_t style = 0;
  std::u16string text;
  bool enabled = true;
  bool checked = false;
  size_t textLimit = 0;  // edits: 0 = no limit
  // Drop-down lists and list boxes: items and the selected index (-1 none).
  std::vector<std::u16string> items;
  int selected = -1;
  // List views: columns with widths, rows of cells, the selected rows.
  std::vector<std::u16string> columns;
  std::vector<int> columnWidths;
  std::vector<std::vector<std::u16string>> rows;
  std::vector<int> selectedRows;
  bool fullRowSelect = false;
  int width = 0;  // in dialog pixels; list views size their columns from it

  bool operator==(const Control&) const = default;
};

struct DialogFont {
  std::u16string face;
  uint32_t pointSize = 0;
  bool operator==(const DialogFont&) const = default;
};

// One dialog: what its resource declares (id, controls) and what the logic made of it.
struct DialogModel {
  int resourceId = 0;
  std::u16string title;
  DialogFont font;
  std::vector<Control> controls;
  WindowId window = kNoWindow;  // set by the back end while the dialog is shown
  bool ended = false;
  int result = 0;

  Control* Find(int id);
  const Control* Find(int id) const;
  // Accessors in the manner of the Windows dialog calls; unknown ids do nothing / give empty.
  void SetText(int id, std::u16string_view text);
  std::u16string Text(int id) const;
  void SetChecked(int id, bool checked);
  bool Checked(int id) const;
  void Enable(int id, bool enabled);
  bool Enabled(int id) const;
  void SetItems(int id, std::vector<std::u16string> items);
  void Select(int id, int index);
  int Selected(int id) const;
  void End(int result);
};

// What the user did to a control.
enum class Notification : uint8_t {
  Clicked,           // buttons, check boxes (BN_CLICKED)
  Changed,           // edit text changed (EN_CHANGE)
  SelectionChanged,  // list selection changed
  DoubleClicked,     // list view row double click (NM_DBLCLK)
};

class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  virtual void OnInit(DialogModel& dialog) = 0;
  virtual void OnCommand(DialogModel& dialog, int controlId, Notification what) = 0;
  virtual void OnFirstPaint(DialogModel&) {}
};

struct FileFilter {
  std::u16string label;     // as shown, e.g. "Zip Archives (*.zip)"
  std::u16string patterns;  // ";"-separated, e.g. "*.zip;*.rar"
  bool operator==(const FileFilter&) const = default;
};

struct OpenFileRequest {
  WindowId owner = kNoWindow;
  std::vector<FileFilter> filters;
  int filterIndex = 1;  // 1-based, as the Windows dialog counts
  std::u16string defaultExtension;
  size_t maxPathChars = 261;
  bool pathMustExist = true;
};

struct FolderRequest {
  WindowId owner = kNoWindow;
  std::u16string title;
  std::u16string startFolder;  // pre-selected once the browser is up
  bool fileSystemOnly = true;
};

struct TrayIcon {
  uint32_t id = 1;
  uint32_t callbackMessage = 0;
  int iconResource = 0;
  std::u16string tooltip;  // at most 128 characters are shown
};

inline constexpr uint32_t NIIF_INFO = 1;
inline constexpr uint32_t NIIF_WARNING = 2;
inline constexpr uint32_t NIIF_ERROR = 3;

struct Balloon {
  std::u16string title;  // at most 64 characters are shown
  std::u16string text;   // at most 256 characters are shown
  uint32_t icon = NIIF_WARNING;
  uint32_t timeoutMs = 0;
};

// Button releases on the tray icon (the Windows message numbers).
enum class TrayEvent : uint32_t { LeftButtonUp = 0x202, RightButtonUp = 0x205 };

class Ui {
 public:
  virtual ~Ui() = default;

  // A hidden window of `className` that owns boxes and dialogs; kNoWindow when it fails.
  virtual WindowId CreateHiddenWindow(std::u16string_view className) = 0;
  virtual void DestroyWindow(WindowId window) = 0;

  // The button pressed (IDOK, IDCANCEL, IDYES, IDNO).
  virtual int MessageBox(WindowId owner, std::u16string_view text, std::u16string_view caption, uint32_t style) = 0;
  // The chosen entry's id, 0 when the menu was dismissed.
  virtual uint32_t TrackPopupMenu(WindowId owner, const Menu& menu) = 0;
  // Runs `dialog` modally; the result its logic ended it with, -1 when it could not be shown.
  virtual int DialogBox(WindowId owner, DialogModel& dialog, DialogHandler& handler) = 0;
  // The window of the modal dialog now shown (the innermost), kNoWindow when none.
  virtual WindowId ActiveDialog() const = 0;
  virtual void BringToFront(WindowId window) = 0;

  virtual std::optional<std::u16string> OpenFile(const OpenFileRequest& request) = 0;
  virtual std::optional<std::u16string> BrowseForFolder(const FolderRequest& request) = 0;

  virtual bool AddTrayIcon(const TrayIcon& icon, std::function<void(TrayEvent)> onEvent) = 0;
  virtual bool ShowBalloon(uint32_t iconId, const Balloon& balloon) = 0;
  virtual void RemoveTrayIcon(uint32_t iconId) = 0;

  virtual bool SetTimer(uint32_t id, uint32_t periodMs, std::function<void()> onTick) = 0;
  virtual void KillTimer(uint32_t id) = 0;

  // False when the clipboard cannot be opened.
  virtual bool SetClipboardText(std::u16string_view text) = 0;
  virtual std::optional<std::u16string> ClipboardText() = 0;

  // Runs the message loop until Quit().
  virtual void RunLoop() = 0;
  virtual void Quit() = 0;
};

}  // namespace kv::platform::ui
