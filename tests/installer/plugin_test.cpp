// The options plug-in driven as the installer drives it: texts pushed on its string stack, the
// page answered through the scripted back end, the results read back from the stack, the
// registry and the service manager of a private platform root.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/config_names.h"
#include "installer/kvd_inst_opt.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/ui/scripted_ui.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"
#include "tests/fixtures/test_support.h"

extern "C" {
void Dialog(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
void InitDialog(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
void Show(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
void Uninstall(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);
}

namespace kv::test {
namespace {

using namespace kv::installer;
using namespace kv::platform;
namespace ui = kv::platform::ui;

constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive";
const std::vector<std::string> kTexts = {"Reboot?",        "Restart now?",   "%d Drives",        "1 Drive", "No Drive",
                                         "Mount at start", "Start at logon", "How many drives:", "Italian"};

DWORD ReadDword(HKEY hive, std::u16string_view name, DWORD missing = 0xFFFFFFFF) {
  RegKey key;
  DWORD v = missing;
  if (RegOpenKeyEx(hive, kMainKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) RegReadDword(key, name, &v);
  return v;
}

void WriteDword(std::u16string_view name, DWORD value) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_ALL_ACCESS, key.put(), nullptr), ERROR_SUCCESS);
  RegSetValueEx(key, name, REG_DWORD, reinterpret_cast<const uint8_t*>(&value), 4);
}

struct Host {
  std::vector<std::pair<uint32_t, uintptr_t>> heard;
  intptr_t answer = 0;
};

intptr_t HostProcedure(InstallerWindow* window, uint32_t message, uintptr_t wParam, intptr_t) {
  auto* host = static_cast<Host*>(window->owner);
  host->heard.emplace_back(message, wParam);
  return message == WM_NOTIFY_OUTER_NEXT ? host->answer : 0;
}

class PlugInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the plug-in writes the machine's registry (root)";
    setenv("KV_PLATFORM_ROOT", (dir_ / "root").c_str(), 1);
    std::filesystem::create_directories(dir_ / "install");
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_ALL_ACCESS, key.put(), nullptr), ERROR_SUCCESS);
    const auto data = RegStringData(Utf8ToUtf16((dir_ / "install").string()));
    RegSetValueEx(key, u"Install_Dir", REG_SZ, data.data(), static_cast<DWORD>(data.size()));
    window_.ui = &ui_;
    window_.id = ui_.CreateHiddenWindow(u"#32770");
    window_.placeholder = {10, 10, 420, 200};
    window_.font = {u"Sans", 9};
    window_.dialogProcedure = HostProcedure;
    window_.owner = &host_;
  }
  void TearDown() override {
    FreeStack(&stack_);
    unsetenv("KV_PLATFORM_ROOT");
  }

  void PushTexts(const std::vector<std::string>& texts) {
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) ASSERT_TRUE(PushString(&stack_, stringSize_, *it));
  }
  // Everything on the stack, top first (the stack is emptied).
  std::vector<std::string> TakeStack() {
    std::vector<std::string> out;
    std::string text;
    while (PopString(&stack_, stringSize_, &text)) out.push_back(text);
    return out;
  }
  void Answer(int drives, bool autostart, bool automount, int button = kNextButton) {
    ui_.QueueDialog([=](ui::DialogDriver& page) {
      page.Select(kDriveCountList, drives);
      page.Check(kAutostartBox, autostart);
      page.Check(kAutomountBox, automount);
      page.Click(button);
    });
  }
  void Call(void (*fn)(InstallerWindow*, int, char*, StackEntry**)) {
    fn(&window_, stringSize_, variables_.data(), &stack_);
  }
  const ui::DialogModel& ShownPage() { return ui_.dialogs.at(0).atOpen; }

  TempDir dir_;
  ui::ScriptedUi ui_;
  Host host_;
  InstallerWindow window_;
  StackEntry* stack_ = nullptr;
  int stringSize_ = 1024;
  std::string variables_ = std::string(1024 * 25, '\0');
};

TEST_F(PlugInTest, FreshInstallRegistersBothServicesWritesOptionsAndAutostart) {
  PushTexts(kTexts);
  Answer(3, true, true);
  Call(Dialog);
  EXPECT_EQ(TakeStack(), (std::vector<std::string>{"NEXT", "/END"}));
  EXPECT_TRUE(ui_.boxes.empty()) << "no restart question on a fresh machine";

  ServiceConfig service;
  ASSERT_TRUE(OpenService(u"Korvendrake Service", &service));
  EXPECT_EQ(service.type, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(service.start, SERVICE_AUTO_START);
  EXPECT_EQ(service.group, u"File System");
  EXPECT_EQ(Utf16ToUtf8(service.imagePath), (dir_ / "install" / "KVService").string());
  ServiceConfig driver;
  ASSERT_TRUE(OpenService(u"kvemu", &driver));
  EXPECT_EQ(driver.type, SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(driver.start, SERVICE_BOOT_START);
  EXPECT_EQ(Utf16ToUtf8(driver.imagePath), (dir_ / "install" / "drivers" / "kvemu").string());

  RegKey source;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kv::config::kEventLogSourceKey, 0, KEY_READ, source.put()), ERROR_SUCCESS);
  const auto events = ReadEventLog(u"Korvendrake Service");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 100u);

  EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"FLAGS"), 3u);
  EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"DiskCount"), 3u);
  EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"Language"), 1040u);
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, u"Language"), 1040u);
  RegKey run;
  std::u16string entry;
  ASSERT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ, run.put()),
      ERROR_SUCCESS);
  ASSERT_TRUE(RegReadString(run, u"KVHELPER.EXE", &entry));
  EXPECT_EQ(Utf16ToUtf8(entry), "\"" + (dir_ / "install" / "KVHELPER").string() + "\"");

  // The installer heard the page being ready, then Next; its procedure is back in its slot.
  ASSERT_EQ(host_.heard.size(), 2u);
  EXPECT_EQ(host_.heard[0].first, WM_NOTIFY_CUSTOM_READY);
  EXPECT_EQ(host_.heard[1], (std::pair<uint32_t, uintptr_t>{WM_NOTIFY_OUTER_NEXT, kLeaveNext}));
  EXPECT_EQ(window_.dialogProcedure, &HostProcedure);
}

TEST_F(PlugInTest, PageShowsTheTextsAndTheStoredOptions) {
  struct Case {
    const char* name;
    int registeredCount;  // -1: no service registered
    DWORD flags;
    int selected;
    bool autostart;
    bool automount;
  };
  const Case cases[] = {
      {"fresh machine: defaults", -1, 2, 1, true, false},
      {"stored options", 5, 2, 5, false, true},
      {"count out of range selects item 0", 30, 3, 0, true, true},
      {"count of 23", 23, 0, 23, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM");
    if (c.registeredCount >= 0) {
      ServiceConfig config;
      config.name = u"Korvendrake Service";
      config.imagePath = u"/nowhere/KVService";
      ASSERT_TRUE(CreateService(config));
      WriteDword(u"DiskCount", static_cast<DWORD>(c.registeredCount));
    }
    WriteDword(u"FLAGS", c.flags);
    ui_ = ui::ScriptedUi();
    PushTexts(kTexts);
    Call(Dialog);  // no answer: the page is closed, which the installer hears as Cancel
    EXPECT_EQ(TakeStack(), std::vector<std::string>{"NEXT"});
    const ui::DialogModel& page = ShownPage();
    EXPECT_EQ(page.resourceId, kPageResource);
    EXPECT_EQ(page.font, window_.font);
    EXPECT_EQ(page.Text(kDriveCountLabel), u"How many drives:");
    EXPECT_EQ(page.Text(kAutostartBox), u"Start at logon");
    EXPECT_EQ(page.Text(kAutomountBox), u"Mount at start");
    const auto& items = page.Find(kDriveCountList)->items;
    ASSERT_EQ(items.size(), 24u);
    EXPECT_EQ(items[0], u"No Drive");
    EXPECT_EQ(items[1], u"1 Drive");
    EXPECT_EQ(items[23], u"23 Drives");
    EXPECT_EQ(page.Selected(kDriveCountList), c.selected);
    EXPECT_EQ(page.Checked(kAutostartBox), c.autostart);
    EXPECT_EQ(page.Checked(kAutomountBox), c.automount);
  }
  EXPECT_EQ(host_.heard.back(), (std::pair<uint32_t, uintptr_t>{WM_NOTIFY_OUTER_NEXT, kLeaveCancel}));
}

TEST_F(PlugInTest, BadStacksNeverOverrunTheTextBuffers) {
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    int pushSize;            // string size of the host that pushed
    int stringSize;          // string size given to the call
    std::u16string label;    // text 8
    std::u16string itemTwo;  // from text 3
    uint16_t language;
  };
  const std::string longText(3000, 'x');
  const Case cases[] = {
      {"empty stack", {}, 1024, 1024, u"", u"", 1033},
      {"three texts", {"c", "q", "%d Drives"}, 1024, 1024, u"", u"2 Drives", 1033},
      {"text longer than its buffer",
       {"c", "q", "%d", "1", "0", "m", "s", longText, "Czech"},
       4096,
       4096,
       std::u16string(511, u'x'),
       u"2",
       1029},
      {"entries longer than the string size",
       {"c", "q", "%d", "1", "0", "m", "s", "0123456789abcdef", "Spanish"},
       1024,
       8,
       u"0123456",
       u"2",
       11274},
      {"format with other conversions",
       {"c", "q", "%s%n %d %x %%", "1", "0", "m", "s", "l", "Farsi"},
       1024,
       1024,
       u"l",
       u"%s%n 2 %x %",
       1065},
      {"unknown installer language",
       {"c", "q", "%d", "1", "0", "m", "s", "l", "Klingon"},
       1024,
       1024,
       u"l",
       u"2",
       1033},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM");
    ui_ = ui::ScriptedUi();
    stringSize_ = c.pushSize;
    PushTexts(c.texts);
    stringSize_ = c.stringSize;
    Answer(2, false, false);
    Call(Dialog);
    EXPECT_EQ(TakeStack(), (std::vector<std::string>{"NEXT", "/END"}));
    const ui::DialogModel& page = ShownPage();
    EXPECT_EQ(page.Text(kDriveCountLabel), c.label);
    EXPECT_EQ(page.Find(kDriveCountList)->items.at(2), c.itemTwo);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"Language"), c.language);
  }
}

TEST_F(PlugInTest, ReinstallAsksForARestartAndKeepsTheRegisteredServices) {
  struct Case {
    int answer;
    const char* result;
  };
  for (const Case& c : {Case{ui::IDOK, "REBOOT"}, Case{ui::IDCANCEL, "NEXT"}}) {
    SCOPED_TRACE(c.result);
    RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM");
    ServiceConfig old;
    old.name = u"kvemu";
    old.type = SERVICE_KERNEL_DRIVER;
    old.imagePath = u"/old/kvemu";
    ASSERT_TRUE(CreateService(old));
    ui_ = ui::ScriptedUi();
    ui_.QueueBox(c.answer);
    PushTexts(kTexts);
    Answer(4, false, true);
    Call(Dialog);
    EXPECT_EQ(TakeStack(), (std::vector<std::string>{c.result, "/END"}));
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, u"Restart now?");
    EXPECT_EQ(ui_.boxes[0].caption, u"Reboot?");
    EXPECT_EQ(ui_.boxes[0].style, ui::MB_OKCANCEL | ui::MB_ICONQUESTION);
    ServiceConfig driver;
    ASSERT_TRUE(OpenService(u"kvemu", &driver));
    EXPECT_EQ(driver.imagePath, u"/old/kvemu");
    EXPECT_FALSE(OpenService(u"Korvendrake Service")) << "not registered again";
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"FLAGS"), 2u);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"DiskCount"), 4u);
    RegKey run;
    std::u16string entry;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ,
                     run.put()) == ERROR_SUCCESS) {
      EXPECT_FALSE(RegReadString(run, u"KVHELPER.EXE", &entry)) << "autostart off removes the entry";
    }
  }
}

TEST_F(PlugInTest, LeavingWithoutNextWritesNothing) {
  struct Case {
    const char* name;
    int button;
    uintptr_t heard;
  };
  for (const Case& c : {Case{"Back", kBackButton, kLeaveBack}, Case{"Cancel", kCancelButton, kLeaveCancel}}) {
    SCOPED_TRACE(c.name);
    host_.heard.clear();
    PushTexts(kTexts);
    Answer(7, false, false, c.button);
    Call(Dialog);
    EXPECT_EQ(TakeStack(), std::vector<std::string>{"NEXT"});
    EXPECT_EQ(host_.heard.back(), (std::pair<uint32_t, uintptr_t>{WM_NOTIFY_OUTER_NEXT, c.heard}));
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, u"DiskCount"), 0xFFFFFFFFu);
    EXPECT_FALSE(OpenService(u"kvemu"));
  }
}

TEST_F(PlugInTest, ThePageStaysWhileTheInstallerRefusesToLeave) {
  host_.answer = 1;  // the installer keeps its page (a validation failed)
  PushTexts(kTexts);
  ui_.QueueDialog([&](ui::DialogDriver& page) {
    page.Click(kBackButton);
    EXPECT_FALSE(page.dialog().ended);
    host_.answer = 0;
    page.Click(kNextButton);
  });
  Call(Dialog);
  EXPECT_EQ(TakeStack(), (std::vector<std::string>{"NEXT", "/END"}));
}

TEST_F(PlugInTest, PageLifecycleAndRefusals) {
  // InitDialog creates a waiting page; a second InitDialog or a Dialog is refused while it waits.
  Call(InitDialog);
  const auto created = TakeStack();
  ASSERT_EQ(created.size(), 1u);
  EXPECT_NE(created[0], "ERROR");
  EXPECT_GT(std::stoul(created[0]), 0u);
  Call(InitDialog);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});
  PushTexts(kTexts);
  Call(Dialog);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});
  // Show runs it once (with the texts of the last Dialog call); a second Show finds none.
  Answer(1, true, false);
  Call(Show);
  EXPECT_EQ(TakeStack(), (std::vector<std::string>{"NEXT", "/END"}));
  EXPECT_EQ(ShownPage().Text(kDriveCountLabel), u"How many drives:");
  Call(Show);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});

  // No placeholder in the installer window, or a page the back end cannot show.
  window_.hasPlaceholder = false;
  PushTexts(kTexts);
  Call(Dialog);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});
  EXPECT_EQ(window_.dialogProcedure, &HostProcedure);
  window_.hasPlaceholder = true;
  ui_.FailNextDialog();
  PushTexts(kTexts);
  Call(Dialog);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});
  EXPECT_EQ(window_.dialogProcedure, &HostProcedure);
  // A host without a window gets ERROR rather than a crash.
  PushTexts(kTexts);
  Dialog(nullptr, stringSize_, variables_.data(), &stack_);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"ERROR"});
}

TEST_F(PlugInTest, UninstallEndsTheRunningManager) {
  int error = 0;
  auto manager = WindowClassEndpoint::Register(kv::config::kManagerWindowClass, &error);
  ASSERT_TRUE(manager) << error;
  Call(Uninstall);
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"REBOOT"});
  PostedMessage message{};
  ASSERT_TRUE(manager->Take(&message));
  EXPECT_EQ(message.message, 0x421u);
  manager.reset();
  Call(Uninstall);  // no manager, no driver: still prepared
  EXPECT_EQ(TakeStack(), std::vector<std::string>{"REBOOT"});
}

TEST(PlugInParts, TextsLayoutAndLanguages) {
  EXPECT_EQ(CutToBuffer("abc", 512, false), "abc");
  EXPECT_EQ(CutToBuffer(std::string(600, 'a'), 512, false).size(), 511u);
  EXPECT_EQ(CutToBuffer("ab\xc3\xa4", 4, true), "ab") << "a character is never split";
  EXPECT_EQ(CutToBuffer("x", 0, false), "");
  const std::pair<const char16_t*, const char16_t*> formats[] = {
      {u"%d Drives", u"7 Drives"},  {u"%i", u"7"}, {u"%u%d", u"7%d"}, {u"%", u"%"}, {u"100%% %d", u"100% 7"},
      {u"no number", u"no number"}, {u"%s", u"%s"}};
  for (const auto& [format, item] : formats) EXPECT_EQ(FormatDriveItem(format, 7), item);
  const PageLayoutRects at = PageLayout(301);
  EXPECT_EQ(at.label.width, 152);
  EXPECT_EQ(at.list.x, 212);
  EXPECT_EQ(at.list.width, 59);
  EXPECT_EQ(at.automount.y, 61);
  const std::pair<const char*, uint16_t> languages[] = {
      {"SimpChinese", 2052}, {"TradChinese", 3076}, {"Bulgarian", 1026},  {"Bosnian", 5146}, {"Dutch", 1043},
      {"Italian", 1040},     {"Spanish", 11274},    {"Belarusian", 1059}, {"Arabic", 1025},  {"Czech", 1029},
      {"Farsi", 1065},       {"English", 1033},     {"italian", 1033},    {"", 1033}};
  for (const auto& [name, id] : languages) EXPECT_EQ(LanguageIdForInstallerName(name), id) << name;
  EXPECT_EQ(Utf16ToUtf8(ArchiveServiceBinary(u"/opt/a b")), "\"/opt/a b/KVService\"");
}

}  // namespace
}  // namespace kv::test
