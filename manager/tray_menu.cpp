#include "manager/tray_menu.h"

#include "common/config_names.h"
#include "common/texts.h"
#include "manager/ui_text.h"

namespace kv::manager {

using namespace kv::platform::ui;
namespace cfg = kv::config;
namespace t = kv::texts;

namespace {

std::u16string Text(const Languages& l, uint16_t id) {
  return std::u16string(l.Text(id));
}

MenuItem DriveCountEntry(const Languages& l, int count, int current) {
  return MenuEntry(kCmdDriveCountBase + static_cast<uint32_t>(count),
                   FormatUiText(l.Text(t::TEXT_N_DRIVES), {int64_t{count}}), count == current ? MF_CHECKED : 0);
}

}  // namespace

Menu BuildTrayMenu(const TrayMenuState& state, const Languages& l) {
  Menu menu;
  const int n = static_cast<int>(state.drives.size());
  if (n == 0) {
    menu.push_back(MenuEntry(kCmdNoDrive, Text(l, t::TEXT_NO_DRIVE), MF_GRAYED));
  } else if (n == 1) {
    const MenuDrive& d = state.drives[0];
    menu.push_back(MenuEntry(kCmdMountBase + static_cast<uint32_t>(d.number),
                             FormatUiText(l.Text(t::TEXT_MOUNT_ARCHIVE_TO_DRIVE), {d.letter}) + d.name));
    menu.push_back(MenuEntry(kCmdUnmountBase + static_cast<uint32_t>(d.number),
                             FormatUiText(l.Text(t::TEXT_UNMOUNT_DRIVE), {d.letter})));
  } else {
    for (const MenuDrive& d : state.drives) {
      std::u16string title = FormatUiText(l.Text(t::TEXT_DRIVE_LETTER_ITEM), {d.letter});
      title += d.name.empty() ? Text(l, t::TEXT_NO_MEDIA) : d.name;
      menu.push_back(
          MenuPopup(std::move(title),
                    {MenuEntry(kCmdMountBase + static_cast<uint32_t>(d.number), Text(l, t::TEXT_MOUNT_ARCHIVE)),
                     MenuEntry(kCmdUnmountBase + static_cast<uint32_t>(d.number), Text(l, t::TEXT_UNMOUNT_ARCHIVE))}));
    }
  }
  menu.push_back(MenuSeparator());

  Menu counts;
  counts.push_back(MenuEntry(kCmdDriveCountBase, Text(l, t::TEXT_DISABLE), n == 0 ? MF_CHECKED : 0));
  counts.push_back(MenuSeparator());
  if (n > kDriveCountsBeforeMore) {
    for (int i = 1; i <= cfg::kMaxDrives; ++i) counts.push_back(DriveCountEntry(l, i, n));
  } else {
    for (int i = 1; i <= kDriveCountsBeforeMore; ++i) counts.push_back(DriveCountEntry(l, i, n));
    Menu more;
    for (int i = kDriveCountsBeforeMore + 1; i <= cfg::kMaxDrives; ++i) more.push_back(DriveCountEntry(l, i, n));
    counts.push_back(MenuSeparator());
    counts.push_back(MenuPopup(Text(l, t::TEXT_MORE), std::move(more)));
  }
  menu.push_back(MenuPopup(Text(l, t::TEXT_SET_NUMBER_OF_DRIVES), std::move(counts)));

  menu.push_back(MenuSeparator());
  menu.push_back(MenuEntry(kCmdUnmountAll, Text(l, t::TEXT_UNMOUNT_ALL)));
  menu.push_back(MenuSeparator());

  menu.push_back(MenuPopup(Text(l, t::TEXT_OPTIONS),
                           {MenuEntry(kCmdToggleAutostart, Text(l, t::TEXT_AUTOSTART_MENU),
                                      (state.flags & cfg::FLAG_AUTOSTART) ? MF_CHECKED : 0),
                            MenuEntry(kCmdToggleAutomount, Text(l, t::TEXT_AUTOMOUNT_MENU),
                                      (state.flags & cfg::FLAG_AUTOMOUNT) ? MF_CHECKED : 0),
                            MenuSeparator(), MenuEntry(kCmdConfiguration, Text(l, t::TEXT_CONFIGURATION_MENU))}));

  menu.push_back(MenuSeparator());
  menu.push_back(MenuEntry(
      kCmdArchiver, Text(l, state.archiverInstalled ? t::TEXT_OPEN_ARCHIVER : t::TEXT_INSTALL_ARCHIVER), MFS_DEFAULT));
  menu.push_back(MenuEntry(kCmdExit, Text(l, t::TEXT_EXIT)));
  return menu;
}

DecodedCommand DecodeMenuCommand(uint32_t id) {
  switch (id) {
    case kCmdUnmountAll:
      return {MenuCommand::UnmountAll, 0};
    case kCmdExit:
      return {MenuCommand::Exit, 0};
    case kCmdToggleAutostart:
      return {MenuCommand::ToggleAutostart, 0};
    case kCmdToggleAutomount:
      return {MenuCommand::ToggleAutomount, 0};
    case kCmdArchiver:
      return {MenuCommand::Archiver, 0};
    case kCmdConfiguration:
      return {MenuCommand::Configuration, 0};
    default:
      break;
  }
  const auto in = [id](uint32_t base, int count) { return id >= base && id < base + static_cast<uint32_t>(count); };
  if (in(kCmdDriveCountBase, cfg::kMaxDrives + 1)) {
    return {MenuCommand::SetDriveCount, static_cast<int>(id - kCmdDriveCountBase)};
  }
  if (in(kCmdMountBase, cfg::kMaxDrives)) return {MenuCommand::Mount, static_cast<int>(id - kCmdMountBase)};
  if (in(kCmdUnmountBase, cfg::kMaxDrives)) return {MenuCommand::Unmount, static_cast<int>(id - kCmdUnmountBase)};
  return {};
}

}  // namespace kv::manager
