// The tray icon on a desktop with a status-notifier host (run under dbus-run-session and
// xvfb-run): a watcher of the test's own on the session bus sees the item register, and the menu
// the item exports over dbusmenu is the manager's, kept current and answering with its commands.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manager/tray_app.h"
#include "platform/ui/gtk_ui.h"
#include "tests/ui/ui_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;

namespace {

constexpr char kWatcherXml[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
    "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
    "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    "<property name='ProtocolVersion' type='i' access='read'/>"
    "<signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
    "<signal name='StatusNotifierHostRegistered'/>"
    "</interface></node>";

// org.kde.StatusNotifierWatcher on a connection and thread of its own, so that the program's
// calls to it are answered whatever its main loop is doing.
class FakeWatcher {
 public:
  FakeWatcher() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
  }
  ~FakeWatcher() {
    g_main_loop_quit(loop_);
    thread_.join();
  }
  bool owned() const { return owned_; }
  // The sender and the path of each RegisterStatusNotifierItem call.
  std::vector<std::pair<std::string, std::string>> items() {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  void Run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusConnection* bus = address
                               ? g_dbus_connection_new_for_address_sync(
                                     address,
                                     static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                     nullptr, nullptr, nullptr)
                               : nullptr;
    g_free(address);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kWatcherXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method, GVariant* params,
           GDBusMethodInvocation* call, gpointer p) {
          auto* self = static_cast<FakeWatcher*>(p);
          if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
            const gchar* path = nullptr;
            g_variant_get(params, "(&s)", &path);
            std::lock_guard lock(self->mutex_);
            self->items_.emplace_back(sender, path);
          }
          g_dbus_method_invocation_return_value(call, nullptr);
        },
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
           gpointer) -> GVariant* {
          if (g_strcmp0(property, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
          if (g_strcmp0(property, "ProtocolVersion") == 0) return g_variant_new_int32(0);
          return g_variant_new_strv(nullptr, 0);
        },
        nullptr,
        {}};
    if (bus && node &&
        g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr,
                                          nullptr)) {
      GVariant* r =
          g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u),
                                      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      guint result = 0;
      if (r) g_variant_get(r, "(u)", &result), g_variant_unref(r);
      owned_ = result == 1;  // primary owner
    }
    {
      std::lock_guard lock(mutex_);
      started_ = true;
    }
    ready_.notify_all();
    g_main_loop_run(loop_);
    if (bus) {
      // Released for certain before the next test looks for a host.
      GVariant* r =
          g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "ReleaseName", g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), nullptr,
                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (r) g_variant_unref(r);
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    if (node) g_dbus_node_info_unref(node);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  bool started_ = false;
  std::atomic<bool> owned_{false};
  GMainLoop* loop_ = nullptr;
  std::vector<std::pair<std::string, std::string>> items_;
};

// The labels of a dbusmenu layout (ia{sv}av) with their ids, depth first; mnemonics dropped,
// " (grayed)" and " (checked)" added for the entry's state.
void CollectLabels(GVariant* item, std::vector<std::pair<int32_t, std::string>>* out) {
  gint32 id = 0;
  GVariant* props = nullptr;
  GVariant* children = nullptr;
  g_variant_get(item, "(i@a{sv}@av)", &id, &props, &children);
  const gchar* label = nullptr;
  if (g_variant_lookup(props, "label", "&s", &label)) {
    std::string plain;
    for (const char* c = label; *c; ++c) {
      if (*c == '_' && c[1] == '_') {
        plain += '_';
        ++c;
      } else if (*c != '_') {
        plain += *c;
      }
    }
    gboolean enabled = TRUE;
    gint32 toggle = 0;
    g_variant_lookup(props, "enabled", "b", &enabled);
    g_variant_lookup(props, "toggle-state", "i", &toggle);
    if (!enabled) plain += " (grayed)";
    if (toggle == 1) plain += " (checked)";
    out->emplace_back(id, plain);
  }
  GVariantIter it;
  g_variant_iter_init(&it, children);
  while (GVariant* child = g_variant_iter_next_value(&it)) {
    GVariant* inner = g_variant_get_variant(child);
    CollectLabels(inner, out);
    g_variant_unref(inner);
    g_variant_unref(child);
  }
  g_variant_unref(props);
  g_variant_unref(children);
}

// The manager's texts as CollectLabels gives them.
std::vector<std::string> Texts(const Menu& menu) {
  std::vector<std::string> out;
  for (const MenuItem& e : menu) {
    if (e.flags & MF_SEPARATOR) continue;
    std::string plain;
    const std::string u = kv::platform::Utf16ToUtf8(e.text);
    for (size_t i = 0; i < u.size(); ++i) {
      if (u[i] == '&' && i + 1 < u.size() && u[i + 1] == '&') {
        plain += '&';
        ++i;
      } else if (u[i] != '&') {
        plain += u[i];
      }
    }
    if (e.flags & MF_GRAYED) plain += " (grayed)";
    if (e.flags & MF_CHECKED) plain += " (checked)";
    out.push_back(plain);
    for (std::string& s : Texts(e.submenu)) out.push_back(std::move(s));
  }
  return out;
}

// The place of entry `id` among the texts Texts() lists; -1 when absent.
int TextIndex(const Menu& menu, uint32_t id, int* next) {
  for (const MenuItem& e : menu) {
    if (e.flags & MF_SEPARATOR) continue;
    if (!(e.flags & MF_POPUP) && e.id == id) return *next;
    ++*next;
    if (const int found = TextIndex(e.submenu, id, next); found >= 0) return found;
  }
  return -1;
}

class Indicator : public kv::test::ManagerUi {
 protected:
  void SetUp() override {
    ManagerUi::SetUp();
    if (!ui_.ready()) GTEST_SKIP() << "no display";
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    config_ = std::make_unique<ConfigStore>(ConfigProgram::Manager, Facts(true));
    languages_ = std::make_unique<Languages>(*config_);
    languages_->Load();
    services_.driveList = [this] { return drives_; };
    services_.mount = [this](int d) { mounts_.push_back(d); };
    services_.setDriveCount = [this](int n) { counts_.push_back(n); };
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(bus_, nullptr);
  }
  void TearDown() override {
    if (bus_) g_object_unref(bus_);
    ManagerUi::TearDown();
  }

  // A call answered while the desktop keeps running (the program answers from this loop).
  GVariant* Call(const std::string& name, const std::string& path, const char* iface, const char* method,
                 GVariant* params) {
    struct Reply {
      GVariant* value = nullptr;
      bool done = false;
    } reply;
    g_dbus_connection_call(
        bus_, name.c_str(), path.c_str(), iface, method, params, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer p) {
          auto* r = static_cast<Reply*>(p);
          r->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
          r->done = true;
        },
        &reply);
    EXPECT_TRUE(ui_.PumpUntil([&] { return reply.done; }, 10000)) << method;
    return reply.value;
  }

  std::vector<std::pair<int32_t, std::string>> Layout(const std::string& name, const std::string& menuPath) {
    std::vector<std::pair<int32_t, std::string>> labels;
    const gchar* none[] = {nullptr};
    GVariant* r = Call(name, menuPath, "com.canonical.dbusmenu", "GetLayout", g_variant_new("(ii^as)", 0, -1, none));
    if (!r) return labels;
    GVariant* root = g_variant_get_child_value(r, 1);
    CollectLabels(root, &labels);
    g_variant_unref(root);
    g_variant_unref(r);
    return labels;
  }

  Menu ManagerMenu() {
    TrayMenuState state;
    state.drives = drives_;
    state.flags = config_->Flags();
    state.archiverInstalled = config_->ArchiverInstalled();
    return BuildTrayMenu(state, *languages_);
  }

  GtkUi ui_;
  GDBusConnection* bus_ = nullptr;
  std::unique_ptr<ConfigStore> config_;
  std::unique_ptr<Languages> languages_;
  TrayServices services_;
  std::vector<MenuDrive> drives_;
  std::vector<int> mounts_, counts_;
};

TEST_F(Indicator, WithoutAWatcherTheIconIsAStatusIcon) {
  TrayApp app(ui_, *config_, *languages_, services_);
  ASSERT_TRUE(app.Start());
  EXPECT_FALSE(ui_.TrayUsesIndicator(kTrayIconId));
}

TEST_F(Indicator, RegistersWithTheWatcherAndExportsTheManagersMenuKeptCurrent) {
  FakeWatcher watcher;
  ASSERT_TRUE(watcher.owned());
  TrayApp app(ui_, *config_, *languages_, services_);
  ASSERT_TRUE(app.Start());
  if (!ui_.TrayUsesIndicator(kTrayIconId)) GTEST_SKIP() << "libayatana-appindicator3 is not installed";
  ASSERT_TRUE(ui_.PumpUntil([&] { return !watcher.items().empty(); }, 20000)) << "the item never registered";
  const std::string name = watcher.items().front().first;
  const std::string path = watcher.items().front().second;
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(path.rfind("/", 0), 0u) << path;

  GVariant* prop = Call(name, path, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"));
  ASSERT_NE(prop, nullptr);
  GVariant* boxed = nullptr;
  g_variant_get(prop, "(v)", &boxed);
  const std::string menuPath = g_variant_get_string(boxed, nullptr);
  g_variant_unref(boxed);
  g_variant_unref(prop);

  const auto labelsOf = [&] {
    std::vector<std::string> out;
    for (const auto& [id, label] : Layout(name, menuPath)) out.push_back(label);
    return out;
  };
  const std::vector<std::string> none = Texts(ManagerMenu());
  const auto has = [&none](const char* state) {
    return std::any_of(none.begin(), none.end(), [state](const std::string& t) { return t.find(state) != t.npos; });
  };
  ASSERT_TRUE(has("(checked)") && has("(grayed)")) << "without drives the menu has entries in both states";
  EXPECT_EQ(labelsOf(), none);

  // Drives appear: the exported menu follows without a click.
  drives_ = {{0, u'D', u""}, {1, u'E', u"DATA"}, {2, u'F', u"MUSIC"}};
  const std::vector<std::string> three = Texts(ManagerMenu());
  std::vector<std::string> seen;
  EXPECT_TRUE(ui_.PumpUntil(
      [&] {
        seen = labelsOf();
        return seen == three;
      },
      10000));
  EXPECT_EQ(seen, three);

  // The host reports a click on an entry: the manager runs that entry's command.
  int counter = 0;
  const int index = TextIndex(ManagerMenu(), kCmdMountBase + 2, &counter);
  const auto layout = Layout(name, menuPath);
  ASSERT_GE(index, 0);
  ASSERT_LT(static_cast<size_t>(index), layout.size());
  const int32_t itemId = layout[static_cast<size_t>(index)].first;
  GVariant* r = Call(name, menuPath, "com.canonical.dbusmenu", "Event",
                     g_variant_new("(isvu)", itemId, "clicked", g_variant_new_int32(0), 0u));
  if (r) g_variant_unref(r);
  EXPECT_TRUE(ui_.PumpUntil([&] { return !mounts_.empty(); }, 10000));
  EXPECT_EQ(mounts_, std::vector<int>{2});
  EXPECT_TRUE(counts_.empty());
}

}  // namespace
