// KVHELPER: the apply step when asked for it, else the tray program on the desktop.
//
// "--automate DIR" is for checks on a virtual desktop: every window the program shows is
// photographed (DIR/NN.png) and described from its widget tree (DIR/NN.txt), then answered with
// the next line of DIR/script ("answer ID", "click ID", "type ID TEXT", "wait NAME", several
// joined by "|"); a line "file PATH" answers the next file dialog.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "common/config_names.h"
#include "manager/config_store.h"
#include "manager/helper.h"
#include "manager/language.h"
#include "platform/ui/gtk_ui.h"
#include "platform/wide_text.h"
#include "platform/window_class.h"

namespace {

using namespace kv::platform::ui;

// The GTK back end with the file dialog answered from a script.
class AutomatedUi final : public Ui {
 public:
  AutomatedUi(GtkUi& gtk, std::string folder) : gtk_(gtk), folder_(std::move(folder)) {
    std::ifstream in(folder_ + "/script");
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#') script_.push_back(line);
    gtk_.SetShownHook([this](WindowId w) { Shown(w); });
  }

  WindowId CreateHiddenWindow(std::u16string_view c) override { return gtk_.CreateHiddenWindow(c); }
  void DestroyWindow(WindowId w) override { gtk_.DestroyWindow(w); }
  int MessageBox(WindowId o, std::u16string_view t, std::u16string_view c, uint32_t s) override {
    return gtk_.MessageBox(o, t, c, s);
  }
  uint32_t TrackPopupMenu(WindowId o, const Menu& m) override { return gtk_.TrackPopupMenu(o, m); }
  int DialogBox(WindowId o, DialogModel& d, DialogHandler& h) override { return gtk_.DialogBox(o, d, h); }
  WindowId ActiveDialog() const override { return gtk_.ActiveDialog(); }
  void BringToFront(WindowId w) override { gtk_.BringToFront(w); }
  std::optional<std::u16string> OpenFile(const OpenFileRequest& request) override {
    Log("open file: " + std::to_string(request.filters.size()) + " filters, first " +
        (request.filters.empty() ? std::string() : kv::platform::Utf16ToUtf8(request.filters[0].label)));
    if (script_.empty() || script_.front().rfind("file ", 0) != 0) return std::nullopt;
    const std::string path = script_.front().substr(5);
    script_.pop_front();
    return kv::platform::Utf8ToUtf16(path);
  }
  std::optional<std::u16string> BrowseForFolder(const FolderRequest& r) override { return gtk_.BrowseForFolder(r); }
  bool AddTrayIcon(const TrayIcon& i, std::function<void(TrayEvent)> e) override {
    return gtk_.AddTrayIcon(i, std::move(e));
  }
  bool ShowBalloon(uint32_t id, const Balloon& b) override {
    Log("balloon: " + kv::platform::Utf16ToUtf8(b.title) + " | " + kv::platform::Utf16ToUtf8(b.text));
    return gtk_.ShowBalloon(id, b);
  }
  void RemoveTrayIcon(uint32_t id) override { gtk_.RemoveTrayIcon(id); }
  bool SetTimer(uint32_t id, uint32_t ms, std::function<void()> f) override {
    return gtk_.SetTimer(id, ms, std::move(f));
  }
  void KillTimer(uint32_t id) override { gtk_.KillTimer(id); }
  bool SetClipboardText(std::u16string_view t) override { return gtk_.SetClipboardText(t); }
  std::optional<std::u16string> ClipboardText() override { return gtk_.ClipboardText(); }
  void RunLoop() override { gtk_.RunLoop(); }
  void Quit() override { gtk_.Quit(); }

 private:
  void Log(const std::string& line) { std::ofstream(folder_ + "/log", std::ios::app) << line << "\n"; }

  void Shown(WindowId w) {
    char name[16];
    std::snprintf(name, sizeof name, "%02d", ++count_);
    const std::string base = folder_ + "/" + name;
    // The description is written last: a reader waiting for it finds the picture complete.
    gtk_.Screenshot(w, base + ".png");
    std::ofstream(base + ".tmp") << gtk_.Describe(w);
    std::rename((base + ".tmp").c_str(), (base + ".txt").c_str());
    if (script_.empty()) return;
    const std::string line = script_.front();
    script_.pop_front();
    std::istringstream actions(line);
    for (std::string action; std::getline(actions, action, '|');) {
      std::istringstream a(action);
      std::string verb;
      int id = 0;
      a >> verb >> id;
      bool ok = false;
      if (verb == "wait") {
        // Another program looks at the window (its accessibility tree) until it leaves DIR/NAME.
        std::string file;
        std::istringstream(action) >> verb >> file;
        const std::string path = folder_ + "/" + file;
        ok = gtk_.PumpUntil([&path] { return access(path.c_str(), F_OK) == 0; }, 60000);
      }
      if (verb == "answer") ok = gtk_.Answer(w, id);
      if (verb == "click") ok = gtk_.ClickControl(w, id);
      if (verb == "type") {
        std::string text;
        std::getline(a >> std::ws, text);
        ok = gtk_.TypeText(w, id, kv::platform::Utf8ToUtf16(text));
      }
      Log(std::string(name) + " " + action + (ok ? "" : " (refused)"));
    }
  }

  GtkUi& gtk_;
  std::string folder_;
  std::deque<std::string> script_;
  int count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace kv::manager;
  ConfigStore config(ConfigProgram::Manager);
  Languages languages(config);
  languages.Load();
  // The elevated copy started by the configuration: no window at all.
  if (IsApplySwitch(argc, argv)) {
    config.ApplyElevated();
    return 0;
  }
  std::string automate;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--automate") == 0 && i + 1 < argc) automate = argv[++i];
    // What the installer's removal does: the running manager is asked to end.
    if (std::strcmp(argv[i], "--exit") == 0)
      return kv::platform::PostMessageToClass(kv::config::kManagerWindowClass, kMessageExit) ? 0 : 1;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "usage: KVHELPER                                  the tray program (one per desktop)\n"
          "       KVHELPER -vset_virtual_drive_parameters   copy the per-user settings to the machine\n"
          "       KVHELPER --exit                           end the running tray program\n"
          "       KVHELPER --automate DIR                   answer windows from DIR/script, photograph them\n");
      return 0;
    }
  }
  GtkUi gtk;
  if (!gtk.ready()) {
    std::fprintf(stderr, "KVHELPER: no desktop to show the tray icon on (DISPLAY or WAYLAND_DISPLAY unset?)\n");
    return 1;
  }
  std::unique_ptr<AutomatedUi> automated;
  if (!automate.empty()) automated = std::make_unique<AutomatedUi>(gtk, automate);
  Ui& ui = automated ? static_cast<Ui&>(*automated) : static_cast<Ui&>(gtk);
  Helper helper(ui, config, languages);
  return helper.Run();
}
