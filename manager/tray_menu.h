// The tray icon's popup menu: its command identifiers and its layout, rebuilt for every showing
// from the drive list, the flags and the current language.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "manager/language.h"
#include "platform/ui/ui.h"

namespace kv::manager {

inline constexpr uint32_t kCmdUnmountAll = 32781;
inline constexpr uint32_t kCmdExit = 32783;
inline constexpr uint32_t kCmdNoDrive = 32790;
inline constexpr uint32_t kCmdToggleAutostart = 32791;
inline constexpr uint32_t kCmdToggleAutomount = 32792;
inline constexpr uint32_t kCmdDriveCountBase = 32851;  // + n, n = 0..23
inline constexpr uint32_t kCmdMountBase = 32884;       // + drive number
inline constexpr uint32_t kCmdUnmountBase = 32916;     // + drive number
inline constexpr uint32_t kCmdArchiver = 32948;
inline constexpr uint32_t kCmdConfiguration = 32950;

// Drive counts listed directly before the rest goes into "More".
inline constexpr int kDriveCountsBeforeMore = 8;

struct MenuDrive {
  int number = 0;          // 0..22
  char16_t letter = u'?';  // the drive's letter
  std::u16string name;     // display name of the medium; empty when there is none
};

struct TrayMenuState {
  std::vector<MenuDrive> drives;  // the drive list
  uint32_t flags = 0;             // FLAGS
  bool archiverInstalled = false;
};

platform::ui::Menu BuildTrayMenu(const TrayMenuState& state, const Languages& languages);

enum class MenuCommand {
  None,
  UnmountAll,
  Exit,
  ToggleAutostart,
  ToggleAutomount,
  SetDriveCount,  // argument: the count
  Mount,          // argument: the drive number
  Unmount,        // argument: the drive number
  Archiver,
  Configuration,
};

struct DecodedCommand {
  MenuCommand command = MenuCommand::None;
  int argument = 0;
  bool operator==(const DecodedCommand&) const = default;
};

DecodedCommand DecodeMenuCommand(uint32_t id);

}  // namespace kv::manager
