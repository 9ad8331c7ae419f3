#include "platform/ui/gtk_ui.h"

#include <gtk/gtk.h>
#ifdef KV_HAVE_LIBNOTIFY
#include <libnotify/notify.h>
#endif
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/wide_text.h"

// The status icon is the only GTK 3 way to a notification-area icon without further libraries.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace kv::platform::ui {

namespace {

std::string U8(std::u16string_view s) {
  return Utf16ToUtf8(s);
}

// Windows marks mnemonics with "&" ("&&" is a literal "&"); GTK with "_".
std::string Mnemonic(std::u16string_view s) {
  std::string out;
  const std::string u = U8(s);
  for (size_t i = 0; i < u.size(); ++i) {
    if (u[i] == '&') {
      if (i + 1 < u.size() && u[i + 1] == '&') {
        out += '&';
        ++i;
      } else {
        out += '_';
      }
    } else if (u[i] == '_') {
      out += "__";
    } else {
      out += u[i];
    }
  }
  return out;
}

struct Binding {
  GtkUi::Shown* shown;
  int controlId;
};

}  // namespace

struct GtkUi::Shown {
  enum class Kind { Box, Menu, Dialog };
  GtkUi* ui = nullptr;
  Kind kind = Kind::Box;
  WindowId id = kNoWindow;
  GtkWidget* window = nullptr;  // the toplevel (for a menu: the menu itself)
  GMainLoop* loop = nullptr;
  int answer = 0;
  bool announced = false;
  // Dialogs.
  DialogModel* model = nullptr;
  DialogHandler* handler = nullptr;
  std::map<int, GtkWidget*> widgets;  // control id -> the widget that holds its value
  std::map<int, Control> synced;      // what the widgets show now
  std::vector<std::unique_ptr<Binding>> bindings;
  bool syncing = false;
  bool firstPaintDone = false;
  GtkCssProvider* css = nullptr;
  std::function<void()> announce;  // after the first paint
};

struct GtkUi::Tray {
  GtkUi* ui = nullptr;
  uint32_t id = 0;
  GtkStatusIcon* icon = nullptr;
  GObject* indicator = nullptr;  // a StatusNotifierItem, when the desktop shows them
  Menu menuData;                 // what the indicator's menu was last built from
  bool hasMenu = false;
  guint refresh = 0;
  guint activation = 0;
  uint32_t activated = 0;
  std::function<void(TrayEvent)> onEvent;
};

struct GtkUi::Busy {
  explicit Busy(GtkUi& ui) : ui_(ui) { ++ui_.busy_; }
  ~Busy() { --ui_.busy_; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  GtkUi& ui_;
};

struct GtkUi::Timer {
  guint source = 0;
  std::function<void()> onTick;
};

namespace {

void Refresh(GtkUi::Shown* s);
void Notify(GtkUi::Shown* s, int controlId, Notification what);

GtkListStore* StoreOf(GtkWidget* tree) {
  return GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(tree)));
}

void FillStore(GtkWidget* tree, const std::vector<std::vector<std::u16string>>& rows, size_t columns) {
  GtkListStore* store = StoreOf(tree);
  gtk_list_store_clear(store);
  for (const auto& row : rows) {
    GtkTreeIter it;
    gtk_list_store_append(store, &it);
    for (size_t c = 0; c < columns; ++c) {
      const std::string cell = c < row.size() ? U8(row[c]) : std::string();
      gtk_list_store_set(store, &it, static_cast<gint>(c), cell.c_str(), -1);
    }
  }
}

void SelectRows(GtkWidget* tree, const std::vector<int>& rows) {
  GtkTreeSelection* sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(tree));
  gtk_tree_selection_unselect_all(sel);
  for (int r : rows) {
    GtkTreePath* path = gtk_tree_path_new_from_indices(r, -1);
    gtk_tree_selection_select_path(sel, path);
    gtk_tree_path_free(path);
  }
}

std::vector<int> SelectedRows(GtkWidget* tree) {
  std::vector<int> rows;
  GtkTreeSelection* sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(tree));
  GList* paths = gtk_tree_selection_get_selected_rows(sel, nullptr);
  for (GList* p = paths; p; p = p->next) {
    const gint* idx = gtk_tree_path_get_indices(static_cast<GtkTreePath*>(p->data));
    if (idx) rows.push_back(idx[0]);
  }
  g_list_free_full(paths, reinterpret_cast<GDestroyNotify>(gtk_tree_path_free));
  return rows;
}

std::string EditText(GtkWidget* w) {
  if (GTK_IS_TEXT_VIEW(w)) {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(b, &start, &end);
    gchar* t = gtk_text_buffer_get_text(b, &start, &end, FALSE);
    std::string s = t ? t : "";
    g_free(t);
    return s;
  }
  return gtk_entry_get_text(GTK_ENTRY(w));
}

void SetEditText(GtkWidget* w, const std::string& text) {
  if (GTK_IS_TEXT_VIEW(w)) {
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(w)), text.c_str(), -1);
  } else {
    gtk_entry_set_text(GTK_ENTRY(w), text.c_str());
  }
}

// The model from what the user changed in `c`'s widget.
void ReadBack(GtkUi::Shown* s, const Control& c, GtkWidget* w) {
  Control* m = s->model->Find(c.id);
  if (!m) return;
  switch (c.kind) {
    case ControlKind::CheckBox:
      m->checked = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
      break;
    case ControlKind::Edit:
      m->text = Utf8ToUtf16(EditText(w));
      break;
    case ControlKind::DropDownList:
      m->selected = gtk_combo_box_get_active(GTK_COMBO_BOX(w));
      break;
    case ControlKind::ListBox: {
      const auto rows = SelectedRows(w);
      m->selected = rows.empty() ? -1 : rows[0];
      break;
    }
    case ControlKind::ListView:
      m->selectedRows = SelectedRows(w);
      break;
    default:
      break;
  }
  s->synced[c.id] = *m;
}

void Notify(GtkUi::Shown* s, int controlId, Notification what) {
  if (s->syncing || s->model->ended) return;
  const Control* c = s->model->Find(controlId);
  if (!c) return;
  ReadBack(s, *c, s->widgets[controlId]);
  s->handler->OnCommand(*s->model, controlId, what);
  if (s->model->ended) {
    g_main_loop_quit(s->loop);
    return;
  }
  Refresh(s);
}

void OnClicked(GtkWidget*, gpointer p) {
  auto* b = static_cast<Binding*>(p);
  Notify(b->shown, b->controlId, Notification::Clicked);
}
void OnChanged(gpointer, gpointer p) {
  auto* b = static_cast<Binding*>(p);
  const Control* c = b->shown->model->Find(b->controlId);
  const bool isList = c && c->kind != ControlKind::Edit;
  Notify(b->shown, b->controlId, isList ? Notification::SelectionChanged : Notification::Changed);
}
void OnRowActivated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer p) {
  auto* b = static_cast<Binding*>(p);
  Notify(b->shown, b->controlId, Notification::DoubleClicked);
}

// The widgets from the model, where they differ from what they show.
void Refresh(GtkUi::Shown* s) {
  s->syncing = true;
  gtk_window_set_title(GTK_WINDOW(s->window), U8(s->model->title).c_str());
  for (const Control& c : s->model->controls) {
    GtkWidget* w = s->widgets[c.id];
    if (!w) continue;
    Control& last = s->synced[c.id];
    gtk_widget_set_sensitive(w, c.enabled);
    switch (c.kind) {
      case ControlKind::Label:
        gtk_label_set_text_with_mnemonic(GTK_LABEL(w), Mnemonic(c.text).c_str());
        break;
      case ControlKind::Group:
        gtk_frame_set_label(GTK_FRAME(w), U8(c.text).c_str());
        break;
      case ControlKind::Button:
      case ControlKind::CheckBox:
        gtk_button_set_label(GTK_BUTTON(w), Mnemonic(c.text).c_str());
        gtk_button_set_use_underline(GTK_BUTTON(w), TRUE);
        if (c.kind == ControlKind::CheckBox) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), c.checked);
        break;
      case ControlKind::Edit:
        if (last.text != c.text || EditText(w).empty() != c.text.empty()) SetEditText(w, U8(c.text));
        break;
      case ControlKind::DropDownList:
        if (last.items != c.items) {
          gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(w));
          for (const auto& item : c.items) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w), U8(item).c_str());
        }
        gtk_combo_box_set_active(GTK_COMBO_BOX(w), c.selected);
        break;
      case ControlKind::ListBox: {
        std::vector<std::vector<std::u16string>> rows;
        for (const auto& item : c.items) rows.push_back({item});
        if (last.items != c.items) FillStore(w, rows, 1);
        SelectRows(w, c.selected >= 0 ? std::vector<int>{c.selected} : std::vector<int>{});
        break;
      }
      case ControlKind::ListView: {
        GtkTreeView* tree = GTK_TREE_VIEW(w);
        for (size_t col = 0; col < c.columns.size(); ++col) {
          GtkTreeViewColumn* column = gtk_tree_view_get_column(tree, static_cast<gint>(col));
          if (!column) continue;
          gtk_tree_view_column_set_title(column, U8(c.columns[col]).c_str());
          if (col < c.columnWidths.size() && c.columnWidths[col] > 0) {
            gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
            gtk_tree_view_column_set_fixed_width(column, c.columnWidths[col] * 2);
          }
        }
        if (last.rows != c.rows) FillStore(w, c.rows, 2);
        SelectRows(w, c.selectedRows);
        break;
      }
      case ControlKind::Icon:
        break;
    }
    last = c;
  }
  s->syncing = false;
}

void ApplyFont(GtkUi::Shown* s) {
  if (s->model->font.face.empty()) return;
  const std::string name = "kvdialog" + std::to_string(s->id);
  gtk_widget_set_name(s->window, name.c_str());
  const std::string css = "#" + name + ", #" + name + " * { font-family: \"" + U8(s->model->font.face) +
                          "\"; font-size: " + std::to_string(s->model->font.pointSize) + "pt; }";
  s->css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(s->css, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(s->css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

GtkWidget* MakeList(int columns, bool headers, GtkSelectionMode mode) {
  std::vector<GType> types(static_cast<size_t>(columns), G_TYPE_STRING);
  GtkListStore* store = gtk_list_store_newv(columns, types.data());
  GtkWidget* tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
  g_object_unref(store);
  for (int c = 0; c < columns; ++c) {
    GtkCellRenderer* r = gtk_cell_renderer_text_new();
    gtk_tree_view_append_column(GTK_TREE_VIEW(tree),
                                gtk_tree_view_column_new_with_attributes("", r, "text", c, nullptr));
  }
  gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(tree), headers);
  gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)), mode);
  return tree;
}

GtkWidget* Scrolled(GtkWidget* child, int height) {
  GtkWidget* sw = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  gtk_widget_set_size_request(sw, -1, height);
  gtk_container_add(GTK_CONTAINER(sw), child);
  return sw;
}

// Lays the controls out top to bottom in resource order; groups frame what follows them up to
// the next group, and OK/Cancel go into a button row at the bottom.
void BuildDialog(GtkUi::Shown* s) {
  GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(outer), 10);
  gtk_container_add(GTK_CONTAINER(s->window), outer);
  GtkWidget* current = outer;
  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 6);
  for (const Control& c : s->model->controls) {
    auto binding = std::make_unique<Binding>(Binding{s, c.id});
    Binding* b = binding.get();
    s->bindings.push_back(std::move(binding));
    GtkWidget* w = nullptr;
    GtkWidget* packed = nullptr;
    switch (c.kind) {
      case ControlKind::Group: {
        w = gtk_frame_new("");
        current = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
        gtk_container_set_border_width(GTK_CONTAINER(current), 6);
        gtk_container_add(GTK_CONTAINER(w), current);
        gtk_box_pack_start(GTK_BOX(outer), w, FALSE, FALSE, 0);
        break;
      }
      case ControlKind::Label:
        w = gtk_label_new(nullptr);
        gtk_label_set_xalign(GTK_LABEL(w), 0);
        gtk_label_set_line_wrap(GTK_LABEL(w), TRUE);
        gtk_label_set_max_width_chars(GTK_LABEL(w), 60);
        break;
      case ControlKind::Button:
        w = gtk_button_new_with_mnemonic("");
        g_signal_connect(w, "clicked", G_CALLBACK(OnClicked), b);
        if (c.id == IDOK || c.id == IDCANCEL) {
          gtk_container_add(GTK_CONTAINER(buttons), w);
          packed = w;
        }
        break;
      case ControlKind::CheckBox:
        w = gtk_check_button_new_with_mnemonic("");
        g_signal_connect(w, "toggled", G_CALLBACK(OnClicked), b);
        break;
      case ControlKind::Edit:
        if (c.style & ES_MULTILINE) {
          w = gtk_text_view_new();
          gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(w), GTK_WRAP_WORD_CHAR);
          gtk_text_view_set_editable(GTK_TEXT_VIEW(w), !(c.style & ES_READONLY));
          g_signal_connect(gtk_text_view_get_buffer(GTK_TEXT_VIEW(w)), "changed", G_CALLBACK(OnChanged), b);
          packed = Scrolled(w, 200);
        } else {
          w = gtk_entry_new();
          gtk_entry_set_visibility(GTK_ENTRY(w), !(c.style & ES_PASSWORD));
          gtk_editable_set_editable(GTK_EDITABLE(w), !(c.style & ES_READONLY));
          if (c.textLimit) gtk_entry_set_max_length(GTK_ENTRY(w), static_cast<gint>(c.textLimit));
          g_signal_connect(w, "changed", G_CALLBACK(OnChanged), b);
        }
        break;
      case ControlKind::DropDownList:
        w = gtk_combo_box_text_new();
        g_signal_connect(w, "changed", G_CALLBACK(OnChanged), b);
        break;
      case ControlKind::ListBox:
        w = MakeList(1, false, GTK_SELECTION_SINGLE);
        g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(w)), "changed", G_CALLBACK(OnChanged), b);
        packed = Scrolled(w, 90);
        break;
      case ControlKind::ListView:
        w = MakeList(2, true, GTK_SELECTION_MULTIPLE);
        g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(w)), "changed", G_CALLBACK(OnChanged), b);
        g_signal_connect(w, "row-activated", G_CALLBACK(OnRowActivated), b);
        packed = Scrolled(w, 160);
        break;
      case ControlKind::Icon:
        w = gtk_image_new_from_icon_name("dialog-password", GTK_ICON_SIZE_DIALOG);
        gtk_widget_set_halign(w, GTK_ALIGN_START);
        break;
    }
    s->widgets[c.id] = w;
    if (c.kind == ControlKind::Group) continue;
    if (packed == w && (c.id == IDOK || c.id == IDCANCEL)) continue;
    gtk_box_pack_start(GTK_BOX(current), packed ? packed : w, FALSE, FALSE, 0);
  }
  gtk_box_pack_end(GTK_BOX(outer), buttons, FALSE, FALSE, 0);
}

// Escape is the Cancel command and Enter the OK command (when OK can be pressed), as in a
// Windows dialog.
gboolean OnDialogKey(GtkWidget*, GdkEventKey* event, gpointer p) {
  auto* s = static_cast<GtkUi::Shown*>(p);
  if (event->keyval == GDK_KEY_Escape) {
    s->handler->OnCommand(*s->model, IDCANCEL, Notification::Clicked);
  } else if ((event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter) && s->model->Enabled(IDOK)) {
    const Control* ok = s->model->Find(IDOK);
    GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(s->window));
    // Enter in a multi-line edit or on a button is that control's own.
    if (!ok || GTK_IS_TEXT_VIEW(focus) || GTK_IS_BUTTON(focus)) return FALSE;
    Notify(s, IDOK, Notification::Clicked);
    return TRUE;
  } else {
    return FALSE;
  }
  if (s->model->ended) {
    g_main_loop_quit(s->loop);
  } else {
    Refresh(s);
  }
  return TRUE;
}

gboolean OnDialogDelete(GtkWidget*, GdkEvent*, gpointer p) {
  auto* s = static_cast<GtkUi::Shown*>(p);
  if (!s->model->ended) s->handler->OnCommand(*s->model, IDCANCEL, Notification::Clicked);
  if (!s->model->ended) s->model->End(IDCANCEL);
  g_main_loop_quit(s->loop);
  return TRUE;
}

}  // namespace

GtkUi::GtkUi() {
  ready_ = gtk_init_check(nullptr, nullptr);
}

GtkUi::~GtkUi() {
  for (auto& [id, timer] : timers_) g_source_remove(timer->source);
  for (auto& [id, tray] : trays_) DropTray(*tray);
}

GtkUi::Shown* GtkUi::FindShown(WindowId window) {
  for (auto& s : shown_) {
    if (s->id == window) return s.get();
  }
  return nullptr;
}

// Tells the hook, once per window, after its first paint (from the window's own loop).
void GtkUi::Announce(WindowId window) {
  struct Call {
    GtkUi* ui;
    WindowId window;
  };
  g_idle_add(
      [](gpointer p) -> gboolean {
        auto* call = static_cast<Call*>(p);
        if (call->ui->shownHook_ && call->ui->FindShown(call->window)) call->ui->shownHook_(call->window);
        delete call;
        return G_SOURCE_REMOVE;
      },
      new Call{this, window});
}

namespace {

gboolean OnFirstDraw(GtkWidget* w, cairo_t*, gpointer p) {
  auto* s = static_cast<GtkUi::Shown*>(p);
  if (s->announced) return FALSE;
  s->announced = true;
  g_signal_handlers_disconnect_by_func(w, reinterpret_cast<gpointer>(OnFirstDraw), p);
  if (s->kind == GtkUi::Shown::Kind::Dialog && !s->firstPaintDone) {
    s->firstPaintDone = true;
    s->handler->OnFirstPaint(*s->model);
    Refresh(s);
  }
  if (s->announce) s->announce();
  return FALSE;
}

}  // namespace

WindowId GtkUi::CreateHiddenWindow(std::u16string_view) {
  return nextWindow_++;
}

void GtkUi::DestroyWindow(WindowId) {}

WindowId GtkUi::ActiveDialog() const {
  for (auto it = shown_.rbegin(); it != shown_.rend(); ++it) {
    if ((*it)->kind == Shown::Kind::Dialog) return (*it)->id;
  }
  return kNoWindow;
}

void GtkUi::BringToFront(WindowId window) {
  if (Shown* s = FindShown(window)) gtk_window_present(GTK_WINDOW(s->window));
}

int GtkUi::MessageBox(WindowId owner, std::u16string_view text, std::u16string_view caption, uint32_t style) {
  if (!ready_) return DismissAnswer(style);
  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (style & MB_ICONMASK) {
    case MB_ICONERROR:
      type = GTK_MESSAGE_ERROR;
      break;
    case MB_ICONQUESTION:
      type = GTK_MESSAGE_QUESTION;
      break;
    case MB_ICONWARNING:
      type = GTK_MESSAGE_WARNING;
      break;
    case MB_ICONINFORMATION:
      type = GTK_MESSAGE_INFO;
      break;
  }
  Shown* parent = FindShown(owner);
  GtkWidget* d = gtk_message_dialog_new(parent ? GTK_WINDOW(parent->window) : nullptr, GTK_DIALOG_MODAL, type,
                                        GTK_BUTTONS_NONE, "%s", U8(text).c_str());
  gtk_window_set_title(GTK_WINDOW(d), U8(caption).c_str());
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL:
      gtk_dialog_add_buttons(GTK_DIALOG(d), "_OK", IDOK, "_Cancel", IDCANCEL, nullptr);
      break;
    case MB_YESNO:
      gtk_dialog_add_buttons(GTK_DIALOG(d), "_Yes", IDYES, "_No", IDNO, nullptr);
      break;
    case MB_YESNOCANCEL:
      gtk_dialog_add_buttons(GTK_DIALOG(d), "_Yes", IDYES, "_No", IDNO, "_Cancel", IDCANCEL, nullptr);
      break;
    default:
      gtk_dialog_add_buttons(GTK_DIALOG(d), "_OK", IDOK, nullptr);
      break;
  }
  auto s = std::make_unique<Shown>();
  s->ui = this;
  s->kind = Shown::Kind::Box;
  s->id = nextWindow_++;
  s->announce = [this, id = s->id] { Announce(id); };
  s->window = d;
  Shown* raw = s.get();
  shown_.push_back(std::move(s));
  g_signal_connect_after(d, "draw", G_CALLBACK(OnFirstDraw), raw);
  const int response = gtk_dialog_run(GTK_DIALOG(d));
  gtk_widget_destroy(d);
  shown_.pop_back();
  return response > 0 ? response : DismissAnswer(style);
}

namespace {

struct MenuRun {
  GtkUi::Shown* shown;
  uint32_t chosen = 0;
};

void OnMenuItem(GtkMenuItem* item, gpointer p) {
  auto* run = static_cast<MenuRun*>(p);
  run->chosen = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "kv-id"));
}

// `onActivate` gets `data`; the entry's id is the item's "kv-id". Bold marks the default entry only
// where GTK draws the menu itself (`markup`): dbusmenu labels are plain text.
GtkWidget* BuildMenu(const Menu& entries, GCallback onActivate, gpointer data, bool markup) {
  GtkWidget* menu = gtk_menu_new();
  for (const MenuItem& e : entries) {
    GtkWidget* item = nullptr;
    if (e.flags & MF_SEPARATOR) {
      item = gtk_separator_menu_item_new();
    } else if (e.flags & MF_POPUP) {
      item = gtk_menu_item_new_with_mnemonic(Mnemonic(e.text).c_str());
      gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), BuildMenu(e.submenu, onActivate, data, markup));
    } else {
      if (e.flags & MF_CHECKED) {
        item = gtk_check_menu_item_new_with_mnemonic(Mnemonic(e.text).c_str());
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
      } else {
        item = gtk_menu_item_new_with_mnemonic(Mnemonic(e.text).c_str());
      }
      if (markup && (e.flags & MFS_DEFAULT)) {
        gchar* escaped = g_markup_escape_text(Mnemonic(e.text).c_str(), -1);
        gtk_label_set_markup_with_mnemonic(GTK_LABEL(gtk_bin_get_child(GTK_BIN(item))),
                                           (std::string("<b>") + escaped + "</b>").c_str());
        g_free(escaped);
      }
      g_object_set_data(G_OBJECT(item), "kv-id", GUINT_TO_POINTER(e.id));
      g_signal_connect(item, "activate", onActivate, data);
    }
    gtk_widget_set_sensitive(item, !(e.flags & MF_GRAYED));
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  return menu;
}

GtkWidget* FindMenuItem(GtkWidget* menu, uint32_t id) {
  GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
  GtkWidget* found = nullptr;
  for (GList* c = children; c && !found; c = c->next) {
    GtkWidget* item = GTK_WIDGET(c->data);
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item))) {
      found = FindMenuItem(sub, id);
    } else if (!GTK_IS_SEPARATOR_MENU_ITEM(item) &&
               GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "kv-id")) == id) {
      found = item;
    }
  }
  g_list_free(children);
  return found;
}

}  // namespace

uint32_t GtkUi::TrackPopupMenu(WindowId, const Menu& menu) {
  if (!ready_) return 0;
  if (capture_ != Capture::None) return TakeCapturedMenu(menu);
  auto s = std::make_unique<Shown>();
  s->ui = this;
  s->kind = Shown::Kind::Menu;
  s->id = nextWindow_++;
  s->announce = [this, id = s->id] { Announce(id); };
  MenuRun run{s.get()};
  GtkWidget* root = BuildMenu(menu, G_CALLBACK(OnMenuItem), &run, true);
  g_object_ref_sink(root);
  s->window = root;
  s->loop = g_main_loop_new(nullptr, FALSE);
  Shown* raw = s.get();
  shown_.push_back(std::move(s));
  // The chosen item's "activate" comes after the menu's "deactivate": end the loop once idle.
  g_signal_connect(root, "deactivate", G_CALLBACK(+[](GtkMenuShell*, gpointer p) {
                     g_idle_add(
                         [](gpointer q) -> gboolean {
                           g_main_loop_quit(static_cast<GMainLoop*>(q));
                           return G_SOURCE_REMOVE;
                         },
                         p);
                   }),
                   raw->loop);
  gtk_widget_show_all(root);
  g_signal_connect_after(root, "draw", G_CALLBACK(OnFirstDraw), raw);
  // The menu's right edge at the cursor, as the tray shows it.
  GdkRectangle at{0, 0, 1, 1};
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
  if (pointer) gdk_device_get_position(pointer, nullptr, &at.x, &at.y);
  gtk_menu_popup_at_rect(GTK_MENU(root), gdk_get_default_root_window(), &at, GDK_GRAVITY_NORTH_WEST,
                         GDK_GRAVITY_NORTH_EAST, nullptr);
  if (gtk_widget_get_visible(root)) g_main_loop_run(raw->loop);
  g_main_loop_unref(raw->loop);
  gtk_widget_destroy(root);
  g_object_unref(root);
  shown_.pop_back();
  return run.chosen;
}

int GtkUi::DialogBox(WindowId owner, DialogModel& dialog, DialogHandler& handler) {
  if (!ready_) return -1;
  auto s = std::make_unique<Shown>();
  s->ui = this;
  s->kind = Shown::Kind::Dialog;
  s->id = nextWindow_++;
  s->announce = [this, id = s->id] { Announce(id); };
  s->model = &dialog;
  s->handler = &handler;
  s->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  s->loop = g_main_loop_new(nullptr, FALSE);
  Shown* raw = s.get();
  shown_.push_back(std::move(s));
  gtk_window_set_modal(GTK_WINDOW(raw->window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(raw->window), FALSE);
  gtk_window_set_type_hint(GTK_WINDOW(raw->window), GDK_WINDOW_TYPE_HINT_DIALOG);
  if (Shown* parent = FindShown(owner))
    gtk_window_set_transient_for(GTK_WINDOW(raw->window), GTK_WINDOW(parent->window));
  dialog.window = raw->id;
  dialog.ended = false;
  dialog.result = 0;
  BuildDialog(raw);
  handler.OnInit(dialog);
  if (!dialog.ended) {
    ApplyFont(raw);
    Refresh(raw);
    g_signal_connect(raw->window, "delete-event", G_CALLBACK(OnDialogDelete), raw);
    g_signal_connect(raw->window, "key-press-event", G_CALLBACK(OnDialogKey), raw);
    g_signal_connect_after(raw->window, "draw", G_CALLBACK(OnFirstDraw), raw);
    gtk_widget_show_all(raw->window);
    g_main_loop_run(raw->loop);
  }
  gtk_widget_destroy(raw->window);
  if (raw->css) {
    gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(raw->css));
    g_object_unref(raw->css);
  }
  g_main_loop_unref(raw->loop);
  shown_.pop_back();
  dialog.window = kNoWindow;
  return dialog.result;
}

bool GtkUi::ClickControl(WindowId window, int controlId) {
  Shown* s = FindShown(window);
  if (!s || s->kind != Shown::Kind::Dialog) return false;
  GtkWidget* w = s->widgets[controlId];
  if (!w || !gtk_widget_is_sensitive(w) || !GTK_IS_BUTTON(w)) return false;
  gtk_button_clicked(GTK_BUTTON(w));
  return true;
}

bool GtkUi::TypeText(WindowId window, int controlId, std::u16string_view text) {
  Shown* s = FindShown(window);
  if (!s || s->kind != Shown::Kind::Dialog) return false;
  GtkWidget* w = s->widgets[controlId];
  if (!w || !gtk_widget_is_sensitive(w)) return false;
  if (GTK_IS_ENTRY(w) || GTK_IS_TEXT_VIEW(w)) {
    const bool editable =
        GTK_IS_ENTRY(w) ? gtk_editable_get_editable(GTK_EDITABLE(w)) : gtk_text_view_get_editable(GTK_TEXT_VIEW(w));
    if (!editable) return false;
    SetEditText(w, U8(text));
    return true;
  }
  if (GTK_IS_COMBO_BOX(w)) {
    // Choosing the item that shows `text`.
    const Control* c = s->model->Find(controlId);
    for (size_t i = 0; c && i < c->items.size(); ++i) {
      if (c->items[i] == text) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(w), static_cast<gint>(i));
        return true;
      }
    }
  }
  return false;
}

bool GtkUi::PressKey(WindowId window, unsigned keyval) {
  Shown* s = FindShown(window);
  if (!s || s->kind != Shown::Kind::Dialog) return false;
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(s->window)));
  key->key.keyval = keyval;
  key->key.send_event = TRUE;
  gtk_widget_event(s->window, key);
  gdk_event_free(key);
  return true;
}

bool GtkUi::Answer(WindowId window, int answer) {
  Shown* s = FindShown(window);
  if (!s) return false;
  if (s->kind == Shown::Kind::Box) {
    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(s->window), answer);
    if (!button) return false;
    gtk_button_clicked(GTK_BUTTON(button));
    return true;
  }
  if (s->kind == Shown::Kind::Menu) {
    if (answer == 0) {
      gtk_menu_shell_deactivate(GTK_MENU_SHELL(s->window));
      return true;
    }
    GtkWidget* item = FindMenuItem(s->window, static_cast<uint32_t>(answer));
    if (!item || !gtk_widget_is_sensitive(item)) return false;
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(gtk_widget_get_parent(item)), item, TRUE);
    gtk_menu_shell_deactivate(GTK_MENU_SHELL(s->window));
    return true;
  }
  return false;
}

namespace {

void DescribeWidget(GtkWidget* w, int depth, std::string* out);

void DescribeChildren(GtkWidget* w, int depth, std::string* out) {
  if (!GTK_IS_CONTAINER(w)) return;
  GList* children = gtk_container_get_children(GTK_CONTAINER(w));
  for (GList* c = children; c; c = c->next) DescribeWidget(GTK_WIDGET(c->data), depth, out);
  g_list_free(children);
}

void DescribeLine(int depth, const std::string& kind, const std::string& text, std::string* out) {
  out->append(static_cast<size_t>(depth) * 2, ' ');
  *out += kind + ": " + text + "\n";
}

void DescribeWidget(GtkWidget* w, int depth, std::string* out) {
  if (!gtk_widget_get_visible(w)) return;
  const char* state = gtk_widget_get_sensitive(w) ? "" : " (disabled)";
  if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
    DescribeLine(depth, "separator", "", out);
  } else if (GTK_IS_MENU_ITEM(w)) {
    const char* label = gtk_menu_item_get_label(GTK_MENU_ITEM(w));
    std::string text = label ? label : "";
    if (GTK_IS_CHECK_MENU_ITEM(w) && gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w))) text = "[x] " + text;
    DescribeLine(depth, "item", text + state, out);
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(w))) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(sub));
      for (GList* c = children; c; c = c->next) DescribeWidget(GTK_WIDGET(c->data), depth + 1, out);
      g_list_free(children);
    }
  } else if (GTK_IS_CHECK_BUTTON(w)) {
    const char* label = gtk_button_get_label(GTK_BUTTON(w));
    DescribeLine(depth, "check",
                 std::string(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)) ? "[x] " : "[ ] ") +
                     (label ? label : "") + state,
                 out);
  } else if (GTK_IS_BUTTON(w)) {
    const char* label = gtk_button_get_label(GTK_BUTTON(w));
    DescribeLine(depth, "button", std::string(label ? label : "") + state, out);
  } else if (GTK_IS_LABEL(w)) {
    DescribeLine(depth, "label", gtk_label_get_text(GTK_LABEL(w)), out);
  } else if (GTK_IS_ENTRY(w)) {
    const bool hidden = !gtk_entry_get_visibility(GTK_ENTRY(w));
    DescribeLine(depth, hidden ? "password" : "edit",
                 std::string(hidden ? std::string(gtk_entry_get_text_length(GTK_ENTRY(w)), '*')
                                    : gtk_entry_get_text(GTK_ENTRY(w))) +
                     state,
                 out);
  } else if (GTK_IS_TEXT_VIEW(w)) {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w));
    GtkTextIter from, to;
    gtk_text_buffer_get_bounds(b, &from, &to);
    gchar* t = gtk_text_buffer_get_text(b, &from, &to, FALSE);
    DescribeLine(depth, "text", t ? t : "", out);
    g_free(t);
  } else if (GTK_IS_COMBO_BOX_TEXT(w)) {
    gchar* t = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(w));
    DescribeLine(depth, "list", std::string(t ? t : "") + state, out);
    g_free(t);
    GtkTreeModel* m = gtk_combo_box_get_model(GTK_COMBO_BOX(w));
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
      gchar* item = nullptr;
      gtk_tree_model_get(m, &it, 0, &item, -1);
      DescribeLine(depth + 1, "option", item ? item : "", out);
      g_free(item);
    }
  } else if (GTK_IS_TREE_VIEW(w)) {
    GtkTreeView* tree = GTK_TREE_VIEW(w);
    const int columns = static_cast<int>(gtk_tree_view_get_n_columns(tree));
    for (int c = 0; c < columns; ++c) {
      const char* title = gtk_tree_view_column_get_title(gtk_tree_view_get_column(tree, c));
      DescribeLine(depth, "column", title ? title : "", out);
    }
    GtkTreeModel* m = gtk_tree_view_get_model(tree);
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
      std::string row;
      for (int c = 0; c < gtk_tree_model_get_n_columns(m); ++c) {
        if (gtk_tree_model_get_column_type(m, c) != G_TYPE_STRING) continue;
        gchar* cell = nullptr;
        gtk_tree_model_get(m, &it, c, &cell, -1);
        row += std::string(row.empty() ? "" : " | ") + (cell ? cell : "");
        g_free(cell);
      }
      DescribeLine(depth + 1, "row", row, out);
    }
  } else if (GTK_IS_FRAME(w)) {
    const char* label = gtk_frame_get_label(GTK_FRAME(w));
    DescribeLine(depth, "group", label ? label : "", out);
    DescribeChildren(w, depth + 1, out);
  } else {
    DescribeChildren(w, depth, out);
  }
}

}  // namespace

std::string GtkUi::Describe(WindowId window) {
  Shown* s = FindShown(window);
  if (!s) return {};
  std::string out;
  if (GTK_IS_WINDOW(s->window)) {
    const char* title = gtk_window_get_title(GTK_WINDOW(s->window));
    DescribeLine(0, "title", title ? title : "", &out);
  }
  DescribeChildren(s->window, 1, &out);
  return out;
}

bool GtkUi::PumpUntil(const std::function<bool()>& done, unsigned timeoutMs) {
  const gint64 until = g_get_monotonic_time() + static_cast<gint64>(timeoutMs) * 1000;
  while (!done()) {
    if (g_get_monotonic_time() > until) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(10000);
  }
  return true;
}

bool GtkUi::Screenshot(WindowId window, const std::string& pngPath, int* width, int* height) {
  Shown* s = FindShown(window);
  if (!s) return false;
  GtkWidget* top = s->kind == Shown::Kind::Menu ? gtk_widget_get_toplevel(s->window) : s->window;
  GdkWindow* gw = gtk_widget_get_window(top);
  if (!gw || !gdk_window_is_viewable(gw)) return false;
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  // What the user changed just now is painted before the picture is taken: one full paint.
  bool drawn = false;
  const gulong handler =
      g_signal_connect_after(top, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer p) -> gboolean {
                               *static_cast<bool*>(p) = true;
                               return FALSE;
                             }),
                             &drawn);
  gtk_widget_queue_draw(top);
  const gint64 until = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
  while (!drawn && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, TRUE);
  g_signal_handler_disconnect(top, handler);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  gdk_display_sync(gdk_display_get_default());
  const int w = gdk_window_get_width(gw);
  const int h = gdk_window_get_height(gw);
  GdkPixbuf* pixels = gdk_pixbuf_get_from_window(gw, 0, 0, w, h);
  if (!pixels) return false;
  const bool ok = gdk_pixbuf_save(pixels, pngPath.c_str(), "png", nullptr, nullptr);
  g_object_unref(pixels);
  if (width) *width = w;
  if (height) *height = h;
  return ok;
}

std::optional<std::u16string> GtkUi::OpenFile(const OpenFileRequest& request) {
  if (!ready_) return std::nullopt;
  Shown* parent = FindShown(request.owner);
  GtkWidget* d =
      gtk_file_chooser_dialog_new("", parent ? GTK_WINDOW(parent->window) : nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                                  "_Cancel", GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileFilter* chosen = nullptr;
  int index = 1;
  for (const FileFilter& f : request.filters) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, U8(f.label).c_str());
    std::string patterns = U8(f.patterns);
    size_t start = 0;
    while (start <= patterns.size()) {
      const size_t end = std::min(patterns.find(';', start), patterns.size());
      std::string p = patterns.substr(start, end - start);
      if (p == "*.*") p = "*";
      if (!p.empty()) gtk_file_filter_add_pattern(filter, p.c_str());
      start = end + 1;
    }
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(d), filter);
    if (index++ == request.filterIndex) chosen = filter;
  }
  if (chosen) gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(d), chosen);
  std::optional<std::u16string> result;
  Busy busy(*this);
  if (gtk_dialog_run(GTK_DIALOG(d)) == GTK_RESPONSE_ACCEPT) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    if (name) {
      std::string path = name;
      g_free(name);
      struct stat st {};
      if (stat(path.c_str(), &st) != 0 && !request.defaultExtension.empty() &&
          path.find('.', path.rfind('/') + 1) == std::string::npos) {
        const std::string ext = U8(request.defaultExtension);
        path += ext[0] == '.' ? ext : "." + ext;
      }
      const std::u16string wide = Utf8ToUtf16(path);
      const bool exists = stat(path.c_str(), &st) == 0;
      if (wide.size() < request.maxPathChars && (exists || !request.pathMustExist)) result = wide;
    }
  }
  gtk_widget_destroy(d);
  return result;
}

std::optional<std::u16string> GtkUi::BrowseForFolder(const FolderRequest& request) {
  if (!ready_) return std::nullopt;
  Shown* parent = FindShown(request.owner);
  GtkWidget* d = gtk_file_chooser_dialog_new(U8(request.title).c_str(), parent ? GTK_WINDOW(parent->window) : nullptr,
                                             GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel", GTK_RESPONSE_CANCEL,
                                             "_Select", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(d), request.fileSystemOnly);
  if (!request.startFolder.empty())
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), U8(request.startFolder).c_str());
  std::optional<std::u16string> result;
  Busy busy(*this);
  if (gtk_dialog_run(GTK_DIALOG(d)) == GTK_RESPONSE_ACCEPT) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    if (name) result = Utf8ToUtf16(name);
    g_free(name);
  }
  gtk_widget_destroy(d);
  return result;
}

namespace {

gboolean OnTrayRelease(GtkStatusIcon*, GdkEventButton* event, gpointer p) {
  // A copy: the command may remove the icon (the program ends from it).
  const auto onEvent = *static_cast<std::function<void(TrayEvent)>*>(p);
  if (event->button == 1 && onEvent) onEvent(TrayEvent::LeftButtonUp);
  if (event->button == 3 && onEvent) onEvent(TrayEvent::RightButtonUp);
  return TRUE;
}

// libayatana-appindicator3, loaded when first needed so that the program runs without it.
struct IndicatorApi {
  GObject* (*create)(const gchar* id, const gchar* iconName, int category) = nullptr;
  void (*setStatus)(GObject* indicator, int status) = nullptr;
  void (*setMenu)(GObject* indicator, GtkMenu* menu) = nullptr;
  void (*setTitle)(GObject* indicator, const gchar* title) = nullptr;
};
constexpr int kCategoryApplicationStatus = 0;
constexpr int kStatusPassive = 0;
constexpr int kStatusActive = 1;

const IndicatorApi* Indicators() {
  static const IndicatorApi* api = []() -> const IndicatorApi* {
    void* lib = dlopen("libayatana-appindicator3.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static IndicatorApi a;
    a.create = reinterpret_cast<decltype(a.create)>(dlsym(lib, "app_indicator_new"));
    a.setStatus = reinterpret_cast<decltype(a.setStatus)>(dlsym(lib, "app_indicator_set_status"));
    a.setMenu = reinterpret_cast<decltype(a.setMenu)>(dlsym(lib, "app_indicator_set_menu"));
    a.setTitle = reinterpret_cast<decltype(a.setTitle)>(dlsym(lib, "app_indicator_set_title"));
    // The library stays loaded: its types are registered with GObject for the process's life.
    if (!a.create || !a.setStatus || !a.setMenu || !a.setTitle) return nullptr;
    return &a;
  }();
  return api;
}

// A status-notifier host shows items only while the watcher's name is owned on the session bus.
bool StatusNotifierHostPresent() {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return false;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return false;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                  "NameHasOwner", g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return owned;
}

// The host shows the indicator's menu and reports the chosen item without a click on the icon
// reaching us, so the menu is kept as the manager would build it now: every tick asks the
// manager for its menu and rebuilds only when it differs. Polling rather than waiting for the
// host's "about to show": many hosts show a cached layout and only follow layout updates. A
// rebuild replaces the exported layout, so an unchanged menu is left alone. A quarter second:
// the manager's drive list takes about 3 ms with 23 drives, about 1 % of a core at this rate.
constexpr guint kIndicatorRefreshMs = 250;

}  // namespace

uint32_t GtkUi::TakeCapturedMenu(const Menu& menu) {
  const Capture how = capture_;
  capture_ = Capture::None;
  captured_ = menu;
  capturedAny_ = true;
  if (how != Capture::Answer) return 0;
  // Only an entry the manager offers now, enabled, runs; a stale one is dropped.
  const MenuItem* e = FindMenuEntry(menu, answer_);
  return e && !(e->flags & (MF_GRAYED | MF_POPUP | MF_SEPARATOR)) ? answer_ : 0;
}

// Asks the manager for its menu as a click would, answering `answer` (0: only read it). False
// when it showed none (a dialog of its own came to the front instead).
bool GtkUi::AskTrayMenu(uint32_t iconId, uint32_t answer) {
  const auto it = trays_.find(iconId);
  if (it == trays_.end() || !it->second->onEvent) return false;
  const auto onEvent = it->second->onEvent;  // a copy: the command may remove the icon
  capture_ = answer ? Capture::Answer : Capture::Read;
  answer_ = answer;
  capturedAny_ = false;
  {
    Busy busy(*this);
    onEvent(TrayEvent::RightButtonUp);
  }
  capture_ = Capture::None;
  return capturedAny_;
}

void GtkUi::RefreshIndicatorMenu(uint32_t iconId) {
  // Not while the manager is inside a command or shows a window: asking would re-enter it.
  if (busy_ || !shown_.empty()) return;
  if (!AskTrayMenu(iconId, 0)) return;
  const auto it = trays_.find(iconId);
  if (it == trays_.end() || !it->second->indicator) return;
  Tray& t = *it->second;
  if (t.hasMenu && t.menuData == captured_) return;
  t.menuData = captured_;
  t.hasMenu = true;
  // The indicator holds the menu from here on (and drops the previous one).
  GtkWidget* menu = BuildMenu(t.menuData, G_CALLBACK(+[](GtkMenuItem* item, gpointer p) {
                                auto* tray = static_cast<Tray*>(p);
                                tray->activated = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "kv-id"));
                                // The command runs from the loop, not inside the host's event on the menu it may
                                // replace.
                                if (!tray->activation) {
                                  tray->activation = g_idle_add(
                                      [](gpointer q) -> gboolean {
                                        auto* t = static_cast<Tray*>(q);
                                        t->activation = 0;
                                        GtkUi* ui = t->ui;
                                        const uint32_t icon = t->id;
                                        if (ui->AskTrayMenu(icon, t->activated) && ui->trays_.count(icon))
                                          ui->RefreshIndicatorMenu(icon);
                                        return G_SOURCE_REMOVE;
                                      },
                                      tray);
                                }
                              }),
                              &t, false);
  gtk_widget_show_all(menu);
  Indicators()->setMenu(t.indicator, GTK_MENU(menu));
}

bool GtkUi::AddTrayIcon(const TrayIcon& icon, std::function<void(TrayEvent)> onEvent) {
  if (!ready_ || trays_.count(icon.id)) return false;
  auto tray = std::make_unique<Tray>();
  tray->ui = this;
  tray->id = icon.id;
  tray->onEvent = std::move(onEvent);
  std::u16string tip = icon.tooltip.substr(0, 128);
  const IndicatorApi* api = StatusNotifierHostPresent() ? Indicators() : nullptr;
  if (api) {
    const std::string name = "kvhelper-" + std::to_string(icon.id);
    tray->indicator = api->create(name.c_str(), "media-optical", kCategoryApplicationStatus);
  }
  if (tray->indicator) {
    api->setTitle(tray->indicator, U8(tip).c_str());
    Tray* raw = tray.get();
    trays_.emplace(icon.id, std::move(tray));
    // An indicator without a menu is not shown by most hosts: give it the manager's menu now.
    RefreshIndicatorMenu(icon.id);
    api->setStatus(raw->indicator, kStatusActive);
    raw->refresh = g_timeout_add(
        kIndicatorRefreshMs,
        [](gpointer p) -> gboolean {
          auto* t = static_cast<Tray*>(p);
          t->ui->RefreshIndicatorMenu(t->id);
          return G_SOURCE_CONTINUE;
        },
        raw);
    return true;
  }
  tray->icon = gtk_status_icon_new_from_icon_name("media-optical");
  gtk_status_icon_set_tooltip_text(tray->icon, U8(tip).c_str());
  gtk_status_icon_set_visible(tray->icon, TRUE);
  g_signal_connect(tray->icon, "button-release-event", G_CALLBACK(OnTrayRelease), &tray->onEvent);
  trays_.emplace(icon.id, std::move(tray));
  return true;
}

bool GtkUi::TrayUsesIndicator(uint32_t iconId) const {
  const auto it = trays_.find(iconId);
  return it != trays_.end() && it->second->indicator;
}

void GtkUi::DropTray(Tray& t) {
  if (t.refresh) g_source_remove(t.refresh);
  if (t.activation) g_source_remove(t.activation);
  if (t.indicator) {
    Indicators()->setStatus(t.indicator, kStatusPassive);
    g_object_unref(t.indicator);
  }
  if (t.icon) {
    gtk_status_icon_set_visible(t.icon, FALSE);
    g_object_unref(t.icon);
  }
}

bool GtkUi::ShowBalloon(uint32_t iconId, const Balloon& balloon) {
  if (!ready_ || !trays_.count(iconId)) return false;
  const char* iconName = balloon.icon == NIIF_ERROR     ? "dialog-error"
                         : balloon.icon == NIIF_WARNING ? "dialog-warning"
                                                        : "dialog-information";
#ifdef KV_HAVE_LIBNOTIFY
  // The desktop's notification server, when one answers (a session without a bus would start one).
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") && (notify_is_initted() || notify_init("KVHELPER"))) {
    const std::string title = U8(balloon.title.substr(0, 64));
    NotifyNotification* n =
        notify_notification_new(title.empty() ? " " : title.c_str(), U8(balloon.text.substr(0, 256)).c_str(), iconName);
    // Time-out 0 means the system's choice.
    if (balloon.timeoutMs) notify_notification_set_timeout(n, static_cast<gint>(balloon.timeoutMs));
    const bool shown = notify_notification_show(n, nullptr);
    g_object_unref(n);
    if (shown) return true;
  }
#endif
  // Else a small window in the screen's lower right corner, gone after the time-out.
  GtkWidget* w = gtk_window_new(GTK_WINDOW_POPUP);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_container_set_border_width(GTK_CONTAINER(box), 10);
  gtk_container_add(GTK_CONTAINER(w), box);
  GtkWidget* head = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_pack_start(GTK_BOX(head), gtk_image_new_from_icon_name(iconName, GTK_ICON_SIZE_DND), FALSE, FALSE, 0);
  if (!balloon.title.empty()) {
    GtkWidget* title = gtk_label_new(nullptr);
    gchar* escaped = g_markup_escape_text(U8(balloon.title.substr(0, 64)).c_str(), -1);
    gtk_label_set_markup(GTK_LABEL(title), (std::string("<b>") + escaped + "</b>").c_str());
    g_free(escaped);
    gtk_box_pack_start(GTK_BOX(head), title, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(box), head, FALSE, FALSE, 0);
  GtkWidget* text = gtk_label_new(U8(balloon.text.substr(0, 256)).c_str());
  gtk_label_set_line_wrap(GTK_LABEL(text), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(text), 50);
  gtk_box_pack_start(GTK_BOX(box), text, FALSE, FALSE, 0);
  gtk_window_set_gravity(GTK_WINDOW(w), GDK_GRAVITY_SOUTH_EAST);
  gtk_widget_show_all(w);
  GdkRectangle area{};
  gdk_monitor_get_workarea(gdk_display_get_primary_monitor(gdk_display_get_default()), &area);
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(w), &width, &height);
  gtk_window_move(GTK_WINDOW(w), area.x + area.width - width - 8, area.y + area.height - height - 8);
  // Time-out 0 means the system's choice.
  g_timeout_add(
      balloon.timeoutMs ? balloon.timeoutMs : 10000,
      [](gpointer p) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(p));
        return G_SOURCE_REMOVE;
      },
      w);
  return true;
}

void GtkUi::RemoveTrayIcon(uint32_t iconId) {
  const auto it = trays_.find(iconId);
  if (it == trays_.end()) return;
  DropTray(*it->second);
  trays_.erase(it);
}

bool GtkUi::SetTimer(uint32_t id, uint32_t periodMs, std::function<void()> onTick) {
  if (periodMs == 0) return false;
  KillTimer(id);
  auto timer = std::make_unique<Timer>();
  timer->onTick = std::move(onTick);
  timer->source = g_timeout_add(
      periodMs,
      [](gpointer p) -> gboolean {
        // A copy: the tick may kill its own timer (the program ends from it).
        const std::function<void()> tick = static_cast<Timer*>(p)->onTick;
        if (tick) tick();
        return G_SOURCE_CONTINUE;
      },
      timer.get());
  timers_.emplace(id, std::move(timer));
  return true;
}

void GtkUi::KillTimer(uint32_t id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  g_source_remove(it->second->source);
  timers_.erase(it);
}

bool GtkUi::SetClipboardText(std::u16string_view text) {
  if (!ready_) return false;
  GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  if (!cb) return false;
  const std::string u = U8(text);
  gtk_clipboard_set_text(cb, u.c_str(), static_cast<gint>(u.size()));
  return true;
}

std::optional<std::u16string> GtkUi::ClipboardText() {
  if (!ready_) return std::nullopt;
  GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gchar* t = cb ? gtk_clipboard_wait_for_text(cb) : nullptr;
  if (!t) return std::nullopt;
  std::u16string s = Utf8ToUtf16(t);
  g_free(t);
  return s;
}

void GtkUi::RunLoop() {
  if (ready_) gtk_main();
}

void GtkUi::Quit() {
  if (ready_) gtk_main_quit();
}

}  // namespace kv::platform::ui
