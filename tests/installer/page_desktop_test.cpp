// The options page on a real X server (run under xvfb-run): drawn by the GTK back end inside a
// plain installer window, photographed, operated through its widgets and left with Next.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "installer/kvd_inst_opt.h"
#include "platform/registry.h"
#include "platform/ui/gtk_ui.h"
#include "platform/wide_text.h"
#include "tests/fixtures/test_support.h"

extern "C" void Dialog(kv::installer::InstallerWindow*, int, char*, kv::installer::StackEntry**);

namespace {

using namespace kv::installer;
using namespace kv::platform;
namespace ui = kv::platform::ui;

intptr_t HostProcedure(InstallerWindow*, uint32_t, uintptr_t, intptr_t) {
  return 0;
}

TEST(PageDesktop, PageIsDrawnAndLeftWithNext) {
  if (geteuid() != 0) GTEST_SKIP() << "the page's Next step writes the machine's registry (root)";
  ui::GtkUi gtk;
  if (!gtk.ready()) GTEST_SKIP() << "no display";
  kv::test::TempDir dir;
  setenv("KV_PLATFORM_ROOT", (dir / "root").c_str(), 1);
  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
  const guint watchdog = g_timeout_add_seconds(
      60,
      [](gpointer) -> gboolean {
        ADD_FAILURE() << "the page did not answer within 60 s";
        _exit(3);
      },
      nullptr);

  {
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_ALL_ACCESS, key.put(),
                             nullptr),
              ERROR_SUCCESS);
    const auto folder = RegStringData(Utf8ToUtf16((dir / "install").string()));
    RegSetValueEx(key, u"Install_Dir", REG_SZ, folder.data(), static_cast<DWORD>(folder.size()));
  }
  InstallerWindow window;
  window.ui = &gtk;
  window.id = gtk.CreateHiddenWindow(u"#32770");
  window.placeholder = {10, 10, 420, 200};
  window.dialogProcedure = HostProcedure;
  StackEntry* stack = nullptr;
  for (const char* text : {"Italian", "Drives:", "Start at logon", "Mount at start", "No Drive", "1 Drive", "%d Drives",
                           "Restart?", "Setup"})
    PushString(&stack, 1024, text);
  const std::filesystem::path shot = std::filesystem::path(KV_BINARY_DIR) / "tests" / "installer" / "page.png";
  int width = 0;
  int windows = 0;
  gtk.SetShownHook([&](ui::WindowId shown) {
    ASSERT_EQ(++windows, 1) << "only the page is shown on a fresh machine";
    EXPECT_TRUE(gtk.Screenshot(shown, shot.string(), &width, nullptr));
    EXPECT_TRUE(gtk.ClickControl(shown, kAutomountBox));
    EXPECT_TRUE(gtk.ClickControl(shown, kNextButton));
  });
  std::string variables(1024 * 25, '\0');
  Dialog(&window, 1024, variables.data(), &stack);
  std::string result;
  ASSERT_TRUE(PopString(&stack, 1024, &result));
  EXPECT_EQ(result, "NEXT");
  FreeStack(&stack);
  EXPECT_GT(width, 200);
  RegKey key;
  DWORD flags = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  ASSERT_TRUE(RegReadDword(key, u"FLAGS", &flags));
  EXPECT_EQ(flags, 3u) << "autostart by default, automount clicked on";
  g_source_remove(watchdog);
  unsetenv("KV_PLATFORM_ROOT");
}

}  // namespace
