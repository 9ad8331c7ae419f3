// The installer's plug-in calling convention: every export is called with the installer window,
// the string size, the installer's variables and its stack of strings, and leaves its results on
// that stack. Stack entries are calloc'd blocks that the host and the plug-in both free with free().
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ui/ui.h"

namespace kv::installer {

// One entry of the installer's string stack (the convention's StackEntry, renamed because POSIX has
// a StackEntry of its own).
struct StackEntry {
  StackEntry* next;
  char text[1];  // at most the string size, terminator included
};

inline constexpr uint32_t WM_COMMAND = 0x111;
// Sent to the installer window to leave the page: wParam 1 Next, -1 Back, kLeaveCancel Cancel.
inline constexpr uint32_t WM_NOTIFY_OUTER_NEXT = 0x408;
// Sent to the installer window with the page window once the page is ready.
inline constexpr uint32_t WM_NOTIFY_CUSTOM_READY = 0x40D;
inline constexpr uintptr_t kLeaveNext = 1;
inline constexpr uintptr_t kLeaveBack = static_cast<uintptr_t>(-1);
inline constexpr uintptr_t kLeaveCancel = 0x425;

// The installer window's controls that a page uses.
inline constexpr int kPlaceholderControl = 1018;
inline constexpr int kNextButton = 1;
inline constexpr int kCancelButton = 2;
inline constexpr int kBackButton = 3;

struct InstallerWindow;
// The installer window's dialog procedure (its dialog-procedure slot); answers 0 when it lets the
// page be left.
using DialogProcedure = intptr_t (*)(InstallerWindow* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

struct PageRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The installer window as the plug-in sees it: the back end it draws with, its font, its inner-page
// placeholder, its navigation buttons and the dialog-procedure slot that a page may hook.
struct InstallerWindow {
  platform::ui::Ui* ui = nullptr;
  platform::ui::WindowId id = platform::ui::kNoWindow;
  platform::ui::DialogFont font;
  bool hasPlaceholder = true;
  PageRect placeholder;  // control 1018, in installer window coordinates
  std::u16string nextText = u"&Next >";
  std::u16string backText = u"< &Back";
  std::u16string cancelText = u"Cancel";
  bool backEnabled = true;  // false on the installer's first page
  DialogProcedure dialogProcedure = nullptr;
  void* owner = nullptr;  // the installer's own data
};

// The export signature.
using PluginFunction = void (*)(InstallerWindow* window, int stringSize, char* variables, StackEntry** stackTop);

// Pushes `text` (cut to stringSize - 1 bytes); false when stringSize < 1 or memory is short.
bool PushString(StackEntry** stackTop, int stringSize, std::string_view text);
// Takes the top text (at most stringSize - 1 bytes of it); false when the stack is empty.
bool PopString(StackEntry** stackTop, int stringSize, std::string* text);
// Frees every entry.
void FreeStack(StackEntry** stackTop);

}  // namespace kv::installer
