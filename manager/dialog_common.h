// What every dialog and box of the manager shares: the language's font, OK/Cancel texts and
// caption, and message boxes captioned with the product name.
#pragma once
#include <string_view>

#include "manager/language.h"
#include "platform/ui/ui.h"

namespace kv::manager {

// The control ids of the OK and Cancel buttons.
inline constexpr int kOkButton = platform::ui::IDOK;
inline constexpr int kCancelButton = platform::ui::IDCANCEL;

// Font, "OK"/"Cancel" button texts and the caption (text 140); dialogs with a title of their own
// set it afterwards.
void ApplyLanguageToDialog(const Languages& languages, platform::ui::DialogModel& dialog);

// A message box owned by `owner` and captioned with text 140.
int ManagerMessageBox(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages,
                      std::u16string_view text, uint32_t style);

}  // namespace kv::manager
