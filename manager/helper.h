// The tray program as a whole: its start-up (apply switch, single instance, system and driver
// checks, drive count, automount), the tray over the drive control client and the mount flow, and
// the archive prompts as the program's dialogs. Works on any platform/ui back end.
#pragma once
#include <memory>
#include <string>

#include "manager/config_store.h"
#include "manager/drive_control.h"
#include "manager/inspect/prompts.h"
#include "manager/language.h"
#include "manager/mount_flow.h"
#include "manager/tray_app.h"
#include "platform/ui/ui.h"

namespace kv::manager {

// The inspection's questions as the manager's dialogs, owned by the window `*owner` points at.
class UiPrompts final : public inspect::Prompts {
 public:
  UiPrompts(platform::ui::Ui& ui, const Languages& languages, const platform::ui::WindowId* owner)
      : ui_(ui), languages_(languages), owner_(owner) {}
  std::optional<std::u16string> AskPassword(std::u16string_view prompt, const std::string& path) override;
  bool WrongPassword(std::u16string_view text) override;
  inspect::VolumesAnswer AskMissingVolumes(const inspect::MissingVolumes& volumes, bool skipAllowed,
                                           const std::vector<std::u16string>& texts) override;
  void ShowComment(const std::string& comment) override;
  void ShowError(const std::u16string& text) override;

 private:
  platform::ui::Ui& ui_;
  const Languages& languages_;
  const platform::ui::WindowId* owner_;
};

// How the program ends.
inline constexpr int kHelperExitOk = 0;
inline constexpr int kHelperExitOutOfMemory = 1;

// The drive path stored as `ImageName<d>` ("C:\dir\file") as a file of this system, or the value
// itself when it already is one.
std::string FileOfStoredImage(const std::u16string& stored);

// The open-file dialog's filters, in the menu's order, each shown as "label (patterns)".
std::vector<platform::ui::FileFilter> MountFileFilters(const Languages& languages);

class Helper {
 public:
  Helper(platform::ui::Ui& ui, ConfigStore& config, Languages& languages);
  ~Helper();

  // Start-up from the single-instance test on (the apply switch is the caller's, before any window
  // exists). False: end at once with *exitCode.
  bool Start(int* exitCode);
  // Start, the message loop, the end; the process's exit code.
  int Run();

  // Drive setup at start: the drive count from DiskCount, then automount when it is on.
  void SetUpDrives();
  // The menu's mount command for list position `drive`: file dialog, unmount, mount flow.
  void MountCommand(int drive);
  // The mount flow for `path`; false when nothing was mounted. Failures are shown.
  bool MountPath(int drive, const std::string& path);

  TrayApp* tray() { return tray_.get(); }
  DriveControl& drives() { return drives_; }
  platform::ui::WindowId window() const { return window_; }
  // Set when the out-of-memory result ended the program.
  bool outOfMemory() const { return outOfMemory_; }
  // Tests: the wait between the unmount and the mount of the mount command.
  void SetMountDelayMs(unsigned ms) { mountDelayMs_ = ms; }

 private:
  void Message(const std::u16string& text, MessageKind kind);
  // True once the machine's DriveLetter holds `letter` for `drive` (runs the apply step if needed).
  bool MachineLetterFollows(int drive, char16_t letter);
  std::vector<MenuDrive> MenuDrives();
  TrayServices Services();
  void ShowMountFailure(const std::string& path, const MountResult& result);

  platform::ui::Ui& ui_;
  ConfigStore& config_;
  Languages& languages_;
  platform::ui::WindowId window_ = platform::ui::kNoWindow;
  DriveControl drives_;
  UiPrompts prompts_;
  inspect::InspectContext context_;
  std::unique_ptr<TrayApp> tray_;
  bool outOfMemory_ = false;
  unsigned mountDelayMs_ = 100;
};

}  // namespace kv::manager
