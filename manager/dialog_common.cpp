#include "manager/dialog_common.h"

#include "common/texts.h"

namespace kv::manager {

using namespace kv::platform::ui;

void ApplyLanguageToDialog(const Languages& languages, DialogModel& dialog) {
  const DialogTexts texts = languages.ApplyToDialog(dialog.Text(kOkButton), dialog.Text(kCancelButton));
  dialog.font = {texts.font.face, texts.font.pointSize};
  if (texts.okText) dialog.SetText(kOkButton, *texts.okText);
  if (texts.cancelText) dialog.SetText(kCancelButton, *texts.cancelText);
  dialog.title = texts.caption;
}

int ManagerMessageBox(Ui& ui, WindowId owner, const Languages& languages, std::u16string_view text, uint32_t style) {
  return ui.MessageBox(owner, text, languages.Text(texts::TEXT_PRODUCT_NAME), style);
}

}  // namespace kv::manager
