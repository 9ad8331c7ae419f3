// kvsetup: installs Korvendrake Virtual Drive into a folder the way its installer does (files,
// Install_Dir, then the options page of the installer plug-in, which registers and starts the
// driver and the service), and removes it again.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/config_names.h"
#include "installer/nsis_plugin.h"
#include "manager/config_store.h"
#include "platform/codepage.h"
#include "platform/devio.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/ui/scripted_ui.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"
#include "tools/cli/cli.h"
#include "tools/kvsetup/setup_files.h"
#ifdef KV_HAVE_GTK
#include "platform/ui/gtk_ui.h"
#endif

namespace {

namespace fs = std::filesystem;
namespace ui = kv::platform::ui;
namespace cfg = kv::config;
using namespace kv::installer;
using namespace kv::platform;

constexpr char kUsage[] =
    "Usage: kvsetup [--prefix DIR] [--yes] [--drives N] [--autostart|--no-autostart]\n"
    "               [--automount|--no-automount] [--language NAME]\n"
    "       kvsetup --uninstall [--prefix DIR] [--purge]\n"
    "\n"
    "Installs Korvendrake Virtual Drive into DIR (default /opt/korvendrake): the programs, the\n"
    "driver, the installer plug-in, the codec library link and the language files; records the\n"
    "folder as Install_Dir and shows the options page (number of drives, autostart, automount),\n"
    "which registers and starts the driver kvemu and the service \"Korvendrake Service\". After that\n"
    "the platform's boot step (kvctl sc boot) brings the system up. Needs root.\n"
    "\n"
    "  --prefix DIR       install folder (default /opt/korvendrake; for --uninstall: Install_Dir)\n"
    "  --yes              no options page: take the page's defaults and the options given here\n"
    "  --drives N         number of virtual drives, 0..23 (with --yes)\n"
    "  --autostart, --no-autostart   start the tray program at logon (with --yes)\n"
    "  --automount, --no-automount   remount the last images at logon (with --yes)\n"
    "  --language NAME    installer language name (English, German, Italian, ...): the page's\n"
    "                     texts and the system's language\n"
    "  --uninstall        ends the tray program, stops and removes the services and the files;\n"
    "                     the configuration stays\n"
    "  --purge            with --uninstall: also remove the configuration\n";

constexpr char kDefaultPrefix[] = "/opt/korvendrake";
constexpr int kStringSize = 1024;
constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kvsetup: %s\n", message.c_str());
  return kv::cli::kExitFailure;
}

fs::path OwnFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

// The nine texts of the options page in the order the plug-in takes them, per installer language.
struct PageTexts {
  const char* language;
  const char* texts[9];
};
constexpr PageTexts kPageTexts[] = {
    {"English",
     {"Korvendrake Virtual Drive Setup", "The computer must be restarted to finish the installation. Restart now?",
      "%d Drives", "1 Drive", "No Drive", "Automount on boot up", "Autostart on boot up",
      "Please select the number of virtual drives:", "English"}},
    {"German",
     {"Korvendrake Virtual Drive Setup",
      "Der Computer muss neu gestartet werden, um die Installation abzuschlie\xc3\x9f"
      "en. Jetzt neu starten?",
      "%d Laufwerke", "1 Laufwerk", "Kein Laufwerk", "Beim Systemstart automatisch einbinden",
      "Beim Systemstart automatisch starten",
      "Bitte w\xc3\xa4hlen Sie die Anzahl der virtuellen Laufwerke:", "German"}},
};

const PageTexts& TextsFor(const std::string& language) {
  for (const PageTexts& t : kPageTexts)
    if (language == t.language) return t;
  return kPageTexts[0];
}

// The installer plug-in, loaded as the installer loads it.
class PlugIn {
 public:
  ~PlugIn() {
    kv::installer::FreeStack(&stack_);
    if (handle_) dlclose(handle_);
  }
  bool Load(const fs::path& path, std::string* reason) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      *reason = "cannot load the installer plug-in " + path.string() + ": " + dlerror();
      return false;
    }
    return true;
  }
  bool Call(const char* name, InstallerWindow* window) {
    auto fn = reinterpret_cast<PluginFunction>(dlsym(handle_, name));
    if (!fn) return false;
    variables_.assign(static_cast<size_t>(kStringSize) * 25, '\0');
    fn(window, kStringSize, variables_.data(), &stack_);
    return true;
  }
  void Push(const std::string& text) { PushString(&stack_, kStringSize, text); }
  std::string Pop() {
    std::string text;
    return PopString(&stack_, kStringSize, &text) ? text : std::string();
  }

 private:
  void* handle_ = nullptr;
  StackEntry* stack_ = nullptr;
  std::string variables_;
};

// Programs that the page starts (the tray program) must not hold kvsetup's output open: a caller
// that reads it to the end would wait for them. While the page runs, the output goes to a log.
class OutputAside {
 public:
  explicit OutputAside(const std::string& log) {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
    savedErr_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
  }
  ~OutputAside() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (const auto& [saved, fd] : {std::pair{savedOut_, 1}, std::pair{savedErr_, 2}}) {
      if (saved < 0) continue;
      dup2(saved, fd);
      close(saved);
    }
  }
  OutputAside(const OutputAside&) = delete;
  OutputAside& operator=(const OutputAside&) = delete;

 private:
  int savedOut_ = -1;
  int savedErr_ = -1;
};

// What the installer window heard from the page.
struct HostState {
  bool ready = false;
  std::optional<uintptr_t> left;
};

intptr_t HostProcedure(InstallerWindow* window, uint32_t message, uintptr_t wParam, intptr_t) {
  auto* host = static_cast<HostState*>(window->owner);
  if (message == WM_NOTIFY_CUSTOM_READY) host->ready = true;
  if (message == WM_NOTIFY_OUTER_NEXT) host->left = wParam;
  return 0;
}

std::string ServiceImage(const std::u16string& name) {
  ServiceConfig config;
  return OpenService(name, &config) ? Utf16ToUtf8(config.imagePath) : std::string();
}

bool WriteInstallDir(const fs::path& folder) {
  RegKey key;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_ALL_ACCESS, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  const auto data = RegStringData(Utf8ToUtf16(folder.string()));
  return RegSetValueEx(key, cfg::kInstallDir, REG_SZ, data.data(), static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

void DeleteInstallDir() {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS)
    RegDeleteValue(key, cfg::kInstallDir);
}

std::string RegisteredInstallDir() {
  RegKey key;
  std::u16string dir;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kMainKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    RegReadString(key, cfg::kInstallDir, &dir, 4096);
  return Utf16ToUtf8(dir);
}

std::string ToAnsi(const char* utf8) {
  return WideToAnsi(Utf8ToUtf16(utf8), AnsiCodePage());
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds) {
  for (int waited = 0;; waited += 20) {
    if (condition()) return true;
    if (waited >= milliseconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct InstallOptions {
  fs::path prefix;
  bool yes = false;
  std::optional<int> drives;
  std::optional<bool> autostart;
  std::optional<bool> automount;
  std::string language = "English";
};

int Install(const InstallOptions& options) {
  // Everything that can be checked is checked before anything is written.
  const kv::setup::SourceFolders from{OwnFolder(), KV_BUILD_INSTALL_DIR};
  std::error_code ec;
  for (const fs::path& source : {from.programs, from.installTree}) {
    if (fs::equivalent(source, options.prefix, ec))
      return Fail(options.prefix.string() + " is the build's own folder; choose another --prefix");
  }
  if (fs::exists(from.programs / kv::setup::kFileListName, ec))
    return Fail("this is the installed copy in " + from.programs.string() +
                ", which only removes (--uninstall); install with the kvsetup of a build");
  std::vector<std::string> missing;
  const auto files = kv::setup::FilesToCopy(from, &missing);
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += "\n  " + m;
    return Fail("the build lacks what an installation needs (build these targets first):" + list);
  }

  std::unique_ptr<ui::Ui> backEnd;
  ui::ScriptedUi* scripted = nullptr;
  if (options.yes) {
    auto s = std::make_unique<ui::ScriptedUi>();
    scripted = s.get();
    backEnd = std::move(s);
  } else {
#ifdef KV_HAVE_GTK
    auto gtk = std::make_unique<ui::GtkUi>();
    if (gtk->ready()) backEnd = std::move(gtk);
#endif
    if (!backEnd) {
      std::fprintf(stderr, "kvsetup: no display for the options page; give --yes (with --drives N ...)\n");
      return kv::cli::kExitUsage;
    }
  }

  std::string reason;
  if (!kv::setup::PrepareFolder(options.prefix, &reason)) return Fail(reason + "; nothing was installed");
  const std::string oldDriver = ServiceImage(u"kvemu");
  const std::string oldService = ServiceImage(u"Korvendrake Service");
  if (!kv::setup::CopyFiles(files, options.prefix, &reason)) return Fail(reason + "; nothing was registered");
  std::printf("kvsetup: copied %zu files into %s\n", files.size(), options.prefix.c_str());
  if (!WriteInstallDir(options.prefix)) {
    kv::setup::RemoveFiles(options.prefix);
    return Fail("cannot write Install_Dir to the machine's registry (" + RegMachineDatabasePath() +
                "); the files were removed again");
  }

  PlugIn plugIn;
  if (!plugIn.Load(options.prefix / kv::setup::kPlugInName, &reason)) return Fail(reason);
  HostState host;
  InstallerWindow window;
  window.ui = backEnd.get();
  window.id = backEnd->CreateHiddenWindow(u"#32770");
  window.font = {u"MS Shell Dlg", 8};
  window.placeholder = {10, 10, 420, 200};
  window.backEnabled = false;  // the options page is the installer's only page
  window.dialogProcedure = HostProcedure;
  window.owner = &host;
  if (scripted) {
    const InstallOptions o = options;
    scripted->QueueDialog([o](ui::DialogDriver& page) {
      if (o.drives) page.Select(1225, *o.drives);
      if (o.autostart) page.Check(1228, *o.autostart);
      if (o.automount) page.Check(1229, *o.automount);
      page.Click(kNextButton);
    });
    scripted->QueueBox(ui::IDOK);  // the restart question, when there is one
  }
  const PageTexts& texts = TextsFor(options.language);
  for (int i = 8; i >= 0; --i) plugIn.Push(ToAnsi(i == 8 ? options.language.c_str() : texts.texts[i]));
  {
    const OutputAside aside(PlatformPath("services/kvsetup.log"));
    plugIn.Call("Dialog", &window);
  }
  const std::string result = plugIn.Pop();
  if (result == "ERROR")
    return Fail("the options page could not be shown; the files stay in " + options.prefix.string());
  if (!host.left || *host.left != kLeaveNext) {
    std::printf("kvsetup: cancelled on the options page; the files stay in %s (kvsetup --uninstall removes them)\n",
                options.prefix.c_str());
    return kv::cli::kExitFailure;
  }
  plugIn.Pop();  // "/END"
  if (scripted) {
    for (const auto& d : scripted->dialogs) {
      const ui::DialogModel& page = d.atClose;
      std::printf(
          "kvsetup: options: %s, autostart %s, automount %s\n",
          Utf16ToUtf8(page.Find(1225) && page.Selected(1225) >= 0 ? page.Find(1225)->items[page.Selected(1225)] : u"?")
              .c_str(),
          page.Checked(1228) ? "on" : "off", page.Checked(1229) ? "on" : "off");
    }
  }
  if (result == "REBOOT") {
    // The user agreed to the restart: the platform's restart is a shutdown of the services and the
    // boot step, which starts the new programs. The running tray program ends as at a log-off.
    std::printf("kvsetup: an earlier installation is registered; restarting the system to finish\n");
    const std::string newService = (options.prefix / "KVService").string();
    if (!oldService.empty() && oldService.find(newService) == std::string::npos)
      std::printf("kvsetup: note: \"Korvendrake Service\" runs %s; kvsetup --uninstall first to move it\n",
                  oldService.c_str());
    if (!oldDriver.empty() && oldDriver != (options.prefix / "drivers/kvemu").string())
      std::printf("kvsetup: note: the driver kvemu runs %s\n", oldDriver.c_str());
    if (FindWindowByClass(cfg::kManagerWindowClass)) {
      PostMessageToClass(cfg::kManagerWindowClass, 0x421);
      WaitFor([] { return !FindWindowByClass(cfg::kManagerWindowClass); }, 10000);
    }
    std::vector<std::string> log;
    ShutdownSystem(&log);
    if (BootSystem(&log) != 0) {
      for (const std::string& line : log) std::fprintf(stderr, "  %s\n", line.c_str());
      return Fail("the restart did not bring every service up; see " + PlatformPath("services") + "/*.log");
    }
  } else if (result != "NEXT") {
    return Fail("the options page answered \"" + result + "\"");
  } else if (!oldService.empty() || !oldDriver.empty()) {
    std::printf(
        "kvsetup: the running services keep their programs until the next restart "
        "(kvctl sc shutdown && kvctl sc boot)\n");
  }
  int failed = 0;
  for (const char16_t* name : {u"kvemu", u"Korvendrake Service"}) {
    // Started means its program runs; running once it has set up its drives.
    const bool running = WaitServiceState(name, SERVICE_RUNNING, 30000);
    std::printf("kvsetup: %s: %s\n", Utf16ToUtf8(name).c_str(), running ? "registered and running" : "NOT running");
    failed += running ? 0 : 1;
  }
  if (failed) return Fail("the services did not start; see " + PlatformPath("services") + "/*.log");
  std::printf("kvsetup: installed in %s\n", options.prefix.c_str());
  return kv::cli::kExitOk;
}

int Uninstall(std::optional<fs::path> prefix, bool purge) {
  if (!prefix) {
    const std::string registered = RegisteredInstallDir();
    prefix = registered.empty() ? fs::path(kDefaultPrefix) : fs::path(registered);
  }
  std::error_code ec;
  if (!fs::exists(*prefix, ec) && !OpenService(u"kvemu") && !OpenService(u"Korvendrake Service") &&
      RegisteredInstallDir().empty() && !purge) {
    std::printf("kvsetup: nothing is installed (no %s, no registered services)\n", prefix->c_str());
    return kv::cli::kExitOk;
  }
  // The plug-in's removal step: ends the tray program and marks the driver for the next install.
  fs::path plugInPath = *prefix / kv::setup::kPlugInName;
  if (!fs::exists(plugInPath)) plugInPath = OwnFolder() / kv::setup::kPlugInName;
  PlugIn plugIn;
  std::string reason;
  ui::ScriptedUi quiet;
  InstallerWindow window;
  window.ui = &quiet;
  if (plugIn.Load(plugInPath, &reason)) {
    plugIn.Call("Uninstall", &window);
    plugIn.Pop();
  } else {
    std::fprintf(stderr, "kvsetup: %s; ending the tray program directly\n", reason.c_str());
    PostMessageToClass(cfg::kManagerWindowClass, 0x421);
  }
  int problems = 0;
  if (!WaitFor([] { return !FindWindowByClass(cfg::kManagerWindowClass); }, 10000)) {
    std::fprintf(stderr, "kvsetup: the tray program KVHELPER did not end\n");
    ++problems;
  }
  // The service first: it unmounts its archives; then the driver, whose unload ends every medium.
  for (const char16_t* name : {u"Korvendrake Service", u"kvemu"}) {
    if (!OpenService(name)) continue;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(name, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(name, SERVICE_CONTROL_STOP, &status);
      if (!WaitServiceState(name, SERVICE_STOPPED, 60000)) {
        std::fprintf(stderr, "kvsetup: %s did not stop\n", Utf16ToUtf8(name).c_str());
        ++problems;
      }
    }
    if (!DeleteService(name)) {
      std::fprintf(stderr, "kvsetup: cannot remove the service %s (error %d)\n", Utf16ToUtf8(name).c_str(),
                   static_cast<int>(GetLastError()));
      ++problems;
    }
  }
  RegDeleteTree(HKEY_LOCAL_MACHINE, cfg::kEventLogSourceKey);
  kv::manager::ConfigStore(kv::manager::ConfigProgram::PlugIn).UpdateRunEntry(false, u"");
  DeleteInstallDir();
  const bool listed = fs::exists(*prefix / kv::setup::kFileListName, ec);
  if (fs::exists(*prefix, ec) && !listed)
    std::printf("kvsetup: %s holds no list of installed files; its files stay\n", prefix->c_str());
  for (const std::string& left : kv::setup::RemoveFiles(*prefix)) {
    std::fprintf(stderr, "kvsetup: not removed: %s\n", left.c_str());
    ++problems;
  }
  if (purge) {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kMainKey);
    RegDeleteTree(HKEY_CURRENT_USER, kMainKey);
    // The settings of the user who ran kvsetup through sudo.
    if (const char* sudoUid = std::getenv("SUDO_UID")) {
      RegKey hive;
      const long uid = std::strtol(sudoUid, nullptr, 10);
      if (uid > 0 && RegOpenUserHive(static_cast<uid_t>(uid), hive.put()) == ERROR_SUCCESS)
        RegDeleteTree(hive, kMainKey);
    }
  }
  std::printf("kvsetup: removed%s%s%s\n", listed ? " from " : "", listed ? prefix->c_str() : "",
              purge ? " with its configuration" : " (configuration kept; --purge removes it)");
  return problems == 0 ? kv::cli::kExitOk : kv::cli::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress lines show before the page waits
  const std::vector<std::string> flags = {"yes",          "autostart", "no-autostart", "automount",
                                          "no-automount", "uninstall", "purge",        "help"};
  kv::cli::Args args(argc - 1, argv + 1, flags);
  if (args.Has("help")) {
    std::fputs(kUsage, stdout);
    return kv::cli::kExitOk;
  }
  const std::vector<std::string> known = {"prefix",       "drives",    "language",     "yes",       "autostart",
                                          "no-autostart", "automount", "no-automount", "uninstall", "purge"};
  auto usage = [](const std::string& message) {
    std::fprintf(stderr, "kvsetup: %s (see --help)\n", message.c_str());
    return kv::cli::kExitUsage;
  };
  if (!args.ok()) return usage(args.error());
  if (!args.positional().empty()) return usage("unexpected argument " + args.positional().front());
  if (const auto unknown = args.Unknown(known); !unknown.empty()) return usage("unknown option --" + unknown.front());
  if (args.Has("autostart") && args.Has("no-autostart")) return usage("--autostart or --no-autostart, not both");
  if (args.Has("automount") && args.Has("no-automount")) return usage("--automount or --no-automount, not both");
  const bool uninstall = args.Has("uninstall");
  if (args.Has("purge") && !uninstall) return usage("--purge belongs to --uninstall");
  if (uninstall) {
    for (const char* o :
         {"--drives", "--language", "--yes", "--autostart", "--no-autostart", "--automount", "--no-automount"})
      if (args.Has(o + 2)) return usage(std::string(o) + " belongs to an installation, not to --uninstall");
  }
  std::optional<fs::path> prefix;
  if (auto p = args.Get("prefix")) {
    if (p->empty()) return usage("--prefix needs a folder");
    prefix = fs::absolute(*p).lexically_normal();
    if (prefix->has_filename() == false) prefix = prefix->parent_path();
  }
  if (geteuid() != 0) return Fail("needs root: the services and Install_Dir are machine-wide settings");
  if (uninstall) return Uninstall(prefix, args.Has("purge"));

  InstallOptions options;
  options.prefix = prefix.value_or(fs::path(kDefaultPrefix));
  options.yes = args.Has("yes");
  if (args.Has("drives")) {
    int64_t n = 0;
    std::string error;
    if (!args.GetInt("drives", 0, cfg::kMaxDrives, &n, &error)) return usage(error);
    options.drives = static_cast<int>(n);
  }
  if (args.Has("autostart") || args.Has("no-autostart")) options.autostart = args.Has("autostart");
  if (args.Has("automount") || args.Has("no-automount")) options.automount = args.Has("automount");
  if (auto l = args.Get("language")) options.language = *l;
  if (!options.yes && (options.drives || options.autostart || options.automount))
    return usage("--drives, --autostart and --automount go with --yes (the page asks otherwise)");
  return Install(options);
}
