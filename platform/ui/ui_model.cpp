#include "platform/ui/ui.h"

namespace kv::platform::ui {

int DismissAnswer(uint32_t style) {
  switch (style & MB_TYPEMASK) {
    case MB_OK:
      return IDOK;
    case MB_YESNO:
      return IDNO;
    default:
      return IDCANCEL;
  }
}

MenuItem MenuEntry(uint32_t id, std::u16string text, uint32_t flags) {
  return MenuItem{id, std::move(text), flags, {}};
}

MenuItem MenuSeparator() {
  return MenuItem{0, {}, MF_SEPARATOR, {}};
}

MenuItem MenuPopup(std::u16string text, Menu entries) {
  return MenuItem{0, std::move(text), MF_POPUP, std::move(entries)};
}

const MenuItem* FindMenuEntry(const Menu& menu, uint32_t id) {
  for (const MenuItem& item : menu) {
    if (item.flags & MF_POPUP) {
      if (const MenuItem* found = FindMenuEntry(item.submenu, id)) return found;
    } else if (!(item.flags & MF_SEPARATOR) && item.id == id) {
      return &item;
    }
  }
  return nullptr;
}

Control* DialogModel::Find(int id) {
  for (Control& c : controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

const Control* DialogModel::Find(int id) const {
  for (const Control& c : controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void DialogModel::SetText(int id, std::u16string_view text) {
  if (Control* c = Find(id)) {
    c->text.assign(text);
    if (c->textLimit != 0 && c->text.size() > c->textLimit) c->text.resize(c->textLimit);
  }
}

std::u16string DialogModel::Text(int id) const {
  const Control* c = Find(id);
  return c ? c->text : std::u16string();
}

void DialogModel::SetChecked(int id, bool checked) {
  if (Control* c = Find(id)) c->checked = checked;
}

bool DialogModel::Checked(int id) const {
  const Control* c = Find(id);
  return c && c->checked;
}

void DialogModel::Enable(int id, bool enabled) {
  if (Control* c = Find(id)) c->enabled = enabled;
}

bool DialogModel::Enabled(int id) const {
  const Control* c = Find(id);
  return c && c->enabled;
}

void DialogModel::SetItems(int id, std::vector<std::u16string> items) {
  if (Control* c = Find(id)) {
    c->items = std::move(items);
    c->selected = -1;
  }
}

void DialogModel::Select(int id, int index) {
  if (Control* c = Find(id)) {
    c->selected = index >= 0 && static_cast<size_t>(index) < c->items.size() ? index : -1;
  }
}

int DialogModel::Selected(int id) const {
  const Control* c = Find(id);
  return c ? c->selected : -1;
}

void DialogModel::End(int endResult) {
  ended = true;
  result = endResult;
}

}  // namespace kv::platform::ui
