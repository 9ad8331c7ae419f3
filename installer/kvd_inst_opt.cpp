#include "installer/kvd_inst_opt.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "common/config_names.h"
#include "common/ioctl.h"
#include "manager/config_store.h"
#include "platform/codepage.h"
#include "platform/devio.h"
#include "platform/event_log.h"
#include "platform/service_control.h"
#include "platform/shell.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"

namespace kv::installer {
namespace {

using namespace kv::platform;
namespace cfg = kv::config;
namespace ui = kv::platform::ui;
using manager::ConfigProgram;
using manager::ConfigStore;

constexpr uint32_t kEventInstalled = 100;

// Shown when the script never called Dialog before InitDialog/Show.
constexpr std::array<const char*, kTextCount> kResourceTexts = {
    "Korvendrake Virtual Drive",
    "The system must be restarted to finish the installation.",
    "%d Drives",
    "1 Drive",
    "No Drive",
    "Automount on boot up",
    "Autostart on boot up",
    "Please select the number of virtual drives:",
    "English",
};

struct ModuleState {
  InstallerWindow* window = nullptr;
  int stringSize = 0;
  char* variables = nullptr;
  StackEntry** stack = nullptr;

  ui::WindowId page = ui::kNoWindow;
  bool waiting = false;
  std::unique_ptr<ui::DialogModel> model;

  bool haveTexts = false;
  char texts[kTextCount][kTextBufferBytes] = {};

  bool rebootNeeded = false;
  DialogProcedure previousProcedure = nullptr;
  bool leave = false;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

void StoreArguments(InstallerWindow* window, int stringSize, char* variables, StackEntry** stack) {
  ModuleState& s = State();
  s.window = window;
  s.stringSize = stringSize;
  s.variables = variables;
  s.stack = stack;
}

void Push(std::string_view text) {
  PushString(State().stack, State().stringSize, text);
}

bool Utf8CodePage() {
  return AnsiCodePage() == 65001;
}

std::u16string Text(int index) {
  const ModuleState& s = State();
  const char* text = s.haveTexts ? s.texts[index] : kResourceTexts[index];
  return AnsiToWide(std::string_view(text, strnlen(text, kTextBufferBytes)), AnsiCodePage());
}

std::string NarrowText(int index) {
  const ModuleState& s = State();
  return s.haveTexts ? std::string(s.texts[index], strnlen(s.texts[index], kTextBufferBytes)) : kResourceTexts[index];
}

void PopTexts() {
  ModuleState& s = State();
  s.haveTexts = true;
  for (auto& buffer : s.texts) {
    std::string text;
    if (!PopString(s.stack, s.stringSize, &text)) text.clear();
    const std::string cut = CutToBuffer(text, kTextBufferBytes, Utf8CodePage());
    std::memset(buffer, 0, kTextBufferBytes);
    std::memcpy(buffer, cut.data(), cut.size());
  }
}

// ---- The driver's user values ----

Handle OpenControlDevice() {
  return CreateFile(std::string(kControlDevice), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_NO_BUFFERING);
}

uint32_t GetUserValue(uint32_t code) {
  Handle device = OpenControlDevice();
  uint32_t value = 0;
  uint32_t returned = 0;
  if (!device || !DeviceIoControl(device, code, nullptr, 0, &value, sizeof value, &returned)) return 0;
  return value;
}

void SetUserValue(const Handle& device, uint32_t code) {
  const uint32_t one = 1;
  uint32_t returned = 0;
  if (device) DeviceIoControl(device, code, &one, sizeof one, nullptr, 0, &returned);
}

// ---- Services ----

bool ServiceRegistered(const char16_t* name) {
  return OpenService(name);
}

bool StartWithRetries(const std::u16string& name) {
  if (!OpenService(name)) return false;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (StartService(name)) break;
    if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

void CreateDriverService(const ConfigStore& store) {
  ServiceConfig config;
  config.name = kDriverServiceName;
  config.displayName = kDriverServiceName;
  config.type = SERVICE_KERNEL_DRIVER;
  config.start = SERVICE_BOOT_START;
  config.errorControl = SERVICE_ERROR_NORMAL;
  config.imagePath = DriverBinary(store.InstallFolder());
  CreateService(config);
}

bool CreateArchiveService(ConfigStore& store) {
  const std::u16string folder = store.InstallFolder();
  if (folder.empty()) return false;
  ServiceConfig config;
  config.name = kArchiveServiceName;
  config.displayName = kArchiveServiceName;
  config.type = SERVICE_WIN32_OWN_PROCESS;
  config.start = SERVICE_AUTO_START;
  config.errorControl = SERVICE_ERROR_NORMAL;
  config.imagePath = ArchiveServiceBinary(folder);
  config.group = u"File System";
  CreateService(config);
  if (!store.WriteEventLogSource(folder)) return false;
  if (const EventSourceHandle source = RegisterEventSource(kArchiveServiceName)) {
    ReportEvent(source, EVENTLOG_INFORMATION_TYPE, kEventInstalled, {});
    DeregisterEventSource(source);
  }
  return true;
}

void UpdateAutostart(ConfigStore& store, bool startManager) {
  const bool autostart = (store.ReadDword(cfg::kFlags, cfg::kDefaultFlags) & cfg::FLAG_AUTOSTART) != 0;
  const std::u16string folder = store.InstallFolder();
  // Without a folder there is no program to name; an entry is only ever removed then.
  if (!folder.empty() || !autostart) store.UpdateRunEntry(autostart && !folder.empty(), folder);
  if (startManager && autostart && !folder.empty() && !FindWindowByClass(cfg::kManagerWindowClass)) {
    ShellExecute(u"open", manager::JoinFolder(folder, cfg::kManagerProgram), u"");
  }
}

// ---- The page ----

ui::Control MakeControl(int id, ui::ControlKind kind, std::u16string text, const PageRect& rect) {
  ui::Control c;
  c.id = id;
  c.kind = kind;
  c.text = std::move(text);
  c.width = rect.width;
  return c;
}

std::unique_ptr<ui::DialogModel> CreatePage(const InstallerWindow& window) {
  auto model = std::make_unique<ui::DialogModel>();
  model->resourceId = kPageResource;
  model->font = {u"MS Shell Dlg", 8};
  const PageLayoutRects at = PageLayout(window.placeholder.width);
  model->controls = {
      MakeControl(kDriveCountLabel, ui::ControlKind::Label, u"Please select the number of virtual drives:", at.label),
      MakeControl(kDriveCountList, ui::ControlKind::DropDownList, u"", at.list),
      MakeControl(kAutostartBox, ui::ControlKind::CheckBox, u"Autostart on boot up", at.autostart),
      MakeControl(kAutomountBox, ui::ControlKind::CheckBox, u"Automount on boot up", at.automount),
      // The installer's own buttons, which stay usable below the embedded page.
      MakeControl(kBackButton, ui::ControlKind::Button, window.backText, {}),
      MakeControl(kNextButton, ui::ControlKind::Button, window.nextText, {}),
      MakeControl(kCancelButton, ui::ControlKind::Button, window.cancelText, {}),
  };
  model->Enable(kBackButton, window.backEnabled);
  return model;
}

void FillPage(ui::DialogModel& page) {
  const ConfigStore store(ConfigProgram::PlugIn);
  uint32_t flags = cfg::kDefaultFlags;
  int32_t count = static_cast<int32_t>(cfg::kDefaultDiskCount);
  if (ServiceRegistered(kArchiveServiceName) && GetUserValue(IOCTL_CDEMU_GET_USER_VALUE2) == 0) {
    flags = store.ReadDword(cfg::kFlags, cfg::kDefaultFlags);
    count = static_cast<int32_t>(store.ReadDword(cfg::kDiskCount, cfg::kDefaultDiskCount));
  }
  page.SetText(kDriveCountLabel, Text(kDriveCountLabelText));
  page.SetText(kAutostartBox, Text(kAutostartLabel));
  page.SetText(kAutomountBox, Text(kAutomountLabel));
  std::vector<std::u16string> items = {Text(kItemZeroText), Text(kItemOneText)};
  const std::u16string format = Text(kDriveItemFormat);
  for (int n = 2; n <= cfg::kMaxDrives; ++n) items.push_back(FormatDriveItem(format, n));
  page.SetItems(kDriveCountList, std::move(items));
  page.Select(kDriveCountList, count >= 0 && count <= cfg::kMaxDrives ? count : 0);
  page.SetChecked(kAutostartBox, (flags & cfg::FLAG_AUTOSTART) != 0);
  page.SetChecked(kAutomountBox, (flags & cfg::FLAG_AUTOMOUNT) != 0);
}

// The step behind Next: option writes, then the services or, after an earlier installation, only
// the autostart entry (the restart brings the rest).
void LeaveWithNext(const ui::DialogModel& page) {
  ModuleState& s = State();
  Push("/END");
  s.rebootNeeded = ServiceRegistered(kDriverServiceName) || ServiceRegistered(kArchiveServiceName) ||
                   GetUserValue(IOCTL_CDEMU_GET_USER_VALUE1) != 0;
  ConfigStore store(ConfigProgram::PlugIn);
  store.WritePlugInFlags(page.Checked(kAutostartBox), page.Checked(kAutomountBox));
  const int selected = page.Selected(kDriveCountList);
  store.WriteDword(cfg::kDiskCount, selected >= 0 && selected <= cfg::kMaxDrives ? static_cast<uint32_t>(selected) : 0);
  store.WriteLanguage(LanguageIdForInstallerName(NarrowText(kInstallerLanguage)));
  if (s.rebootNeeded) {
    UpdateAutostart(store, false);
    return;
  }
  CreateDriverService(store);
  StartWithRetries(kDriverServiceName);
  CreateArchiveService(store);
  if (!StartWithRetries(kArchiveServiceName) && s.window && s.window->ui) {
    s.window->ui->MessageBox(s.window->id, u"EmuServiceStart1", u"EmuServiceStart1", ui::MB_OK);
  }
  UpdateAutostart(store, true);
}

intptr_t PageHook(InstallerWindow* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  ModuleState& s = State();
  if (message == WM_NOTIFY_OUTER_NEXT && wParam == kLeaveNext && s.model) LeaveWithNext(*s.model);
  const intptr_t answer = s.previousProcedure ? s.previousProcedure(window, message, wParam, lParam) : 0;
  if (message == WM_NOTIFY_OUTER_NEXT && answer == 0) {
    s.leave = true;
    if (s.model) s.model->End(0);
  }
  return answer;
}

class PageHandler : public ui::DialogHandler {
 public:
  explicit PageHandler(InstallerWindow& window) : window_(window) {}
  void OnInit(ui::DialogModel&) override {}
  void OnCommand(ui::DialogModel&, int controlId, ui::Notification what) override {
    if (what != ui::Notification::Clicked || !window_.dialogProcedure) return;
    if (controlId == kNextButton) window_.dialogProcedure(&window_, WM_NOTIFY_OUTER_NEXT, kLeaveNext, 0);
    if (controlId == kBackButton) window_.dialogProcedure(&window_, WM_NOTIFY_OUTER_NEXT, kLeaveBack, 0);
    if (controlId == kCancelButton) window_.dialogProcedure(&window_, WM_NOTIFY_OUTER_NEXT, kLeaveCancel, 0);
  }

 private:
  InstallerWindow& window_;
};

void DestroyPage() {
  ModuleState& s = State();
  if (s.window && s.window->ui && s.page != ui::kNoWindow) s.window->ui->DestroyWindow(s.page);
  s.page = ui::kNoWindow;
  s.model.reset();
  s.waiting = false;
}

bool CreatePageWindow() {
  ModuleState& s = State();
  if (!s.window || !s.window->ui) return false;
  s.page = s.window->ui->CreateHiddenWindow(u"#32770");
  if (s.page == ui::kNoWindow) return false;
  s.model = CreatePage(*s.window);
  return true;
}

void RunPage() {
  ModuleState& s = State();
  InstallerWindow& window = *s.window;
  s.model->font = window.font;
  FillPage(*s.model);
  if (!window.hasPlaceholder) {
    DestroyPage();
    Push("ERROR");
    return;
  }
  s.previousProcedure = window.dialogProcedure;
  window.dialogProcedure = PageHook;
  s.leave = false;
  if (s.previousProcedure) s.previousProcedure(&window, WM_NOTIFY_CUSTOM_READY, s.page, 0);
  PageHandler handler(window);
  const int shown = window.ui->DialogBox(window.id, *s.model, handler);
  // Closed by the window manager: the installer hears it as Cancel.
  if (shown >= 0 && !s.leave && s.previousProcedure)
    s.previousProcedure(&window, WM_NOTIFY_OUTER_NEXT, kLeaveCancel, 0);
  if (shown >= 0 && s.rebootNeeded) {
    const int answer = window.ui->MessageBox(window.id, Text(kRebootQuestion), Text(kRebootCaption),
                                             ui::MB_OKCANCEL | ui::MB_ICONQUESTION);
    if (answer == ui::IDCANCEL) s.rebootNeeded = false;
  }
  window.dialogProcedure = s.previousProcedure;
  s.previousProcedure = nullptr;
  DestroyPage();
  if (shown < 0) {
    Push("ERROR");
    return;
  }
  Push(s.rebootNeeded ? "REBOOT" : "NEXT");
}

bool Usable(InstallerWindow* window) {
  return window && window->ui;
}

}  // namespace

uint16_t LanguageIdForInstallerName(std::string_view name) {
  static constexpr std::pair<const char*, uint16_t> kTable[] = {
      {"SimpChinese", 2052}, {"TradChinese", 3076}, {"Bulgarian", 1026}, {"Bosnian", 5146},
      {"Dutch", 1043},       {"Italian", 1040},     {"Spanish", 11274},  {"Belarusian", 1059},
      {"Arabic", 1025},      {"Czech", 1029},       {"Farsi", 1065},
  };
  for (const auto& [n, id] : kTable)
    if (name == n) return id;
  return cfg::kEnglishLangId;
}

std::string CutToBuffer(std::string_view text, size_t bufferBytes, bool utf8) {
  if (bufferBytes == 0) return {};
  size_t n = std::min(text.size(), bufferBytes - 1);
  if (utf8 && n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  return std::string(text.substr(0, n));
}

std::u16string FormatDriveItem(std::u16string_view format, int count) {
  std::u16string out;
  bool used = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'%' && i + 1 < format.size()) {
      const char16_t next = format[i + 1];
      if (next == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      if (!used && (next == u'd' || next == u'i' || next == u'u')) {
        out += Utf8ToUtf16(std::to_string(count));
        used = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

PageLayoutRects PageLayout(int width) {
  const int half = width * 50 / 100;
  return {{0, 5, half + 2, 18}, {half + 62, 3, width - half - 92, 200}, {0, 35, 220, 18}, {0, 61, 220, 18}};
}

std::u16string ArchiveServiceBinary(std::u16string_view installFolder) {
  const std::u16string path = manager::JoinFolder(installFolder, cfg::kServiceProgram);
  // The service manager splits an unquoted path at its first space.
  return path.find(u' ') == std::u16string::npos ? path : u"\"" + path + u"\"";
}

std::u16string DriverBinary(std::u16string_view installFolder) {
  return manager::JoinFolder(manager::JoinFolder(installFolder, u"drivers"), u"kvemu");
}

}  // namespace kv::installer

// ---- The exports ----

using kv::installer::InstallerWindow;
using kv::installer::StackEntry;

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

KV_EXPORT void Dialog(InstallerWindow* window, int stringSize, char* variables, StackEntry** stackTop) {
  using namespace kv::installer;
  ModuleState& s = State();
  s.rebootNeeded = false;
  StoreArguments(window, stringSize, variables, stackTop);
  PopTexts();
  if (s.waiting || !Usable(window) || !CreatePageWindow()) {
    Push("ERROR");
    return;
  }
  RunPage();
}

KV_EXPORT void InitDialog(InstallerWindow* window, int stringSize, char* variables, StackEntry** stackTop) {
  using namespace kv::installer;
  ModuleState& s = State();
  StoreArguments(window, stringSize, variables, stackTop);
  if (s.waiting || !Usable(window) || !CreatePageWindow()) {
    Push("ERROR");
    return;
  }
  s.waiting = true;
  Push(std::to_string(s.page));
}

KV_EXPORT void Show(InstallerWindow* window, int stringSize, char* variables, StackEntry** stackTop) {
  using namespace kv::installer;
  ModuleState& s = State();
  StoreArguments(window, stringSize, variables, stackTop);
  s.rebootNeeded = false;
  // The page belongs to the window it was created in.
  if (!s.waiting || !Usable(window) || !s.model) {
    Push("ERROR");
    return;
  }
  s.waiting = false;
  RunPage();
}

KV_EXPORT void Uninstall(InstallerWindow* window, int stringSize, char* variables, StackEntry** stackTop) {
  using namespace kv::installer;
  using namespace kv::platform;
  StoreArguments(window, stringSize, variables, stackTop);
  if (FindWindowByClass(kv::config::kManagerWindowClass))
    PostMessageToClass(kv::config::kManagerWindowClass, kManagerEndMessage);
  Handle device = OpenControlDevice();
  SetUserValue(device, kv::IOCTL_CDEMU_SET_USER_VALUE1);
  SetUserValue(device, kv::IOCTL_CDEMU_SET_USER_VALUE2);
  Push("REBOOT");
}
