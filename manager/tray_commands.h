// Tray commands that need neither the service nor the driver: the autostart and automount
// toggles and opening (or fetching) the archiver program. The caller runs the driver check first
// where the command has one.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "manager/config_store.h"

namespace kv::manager {

// Flips `bit` (FLAG_AUTOSTART or FLAG_AUTOMOUNT) of FLAGS, stores it with the set-autostart
// operation and, on Vista and later, starts the elevated apply step (`startElevatedApply`, or
// StartElevatedApplyStep when empty). False when the store refused the write.
bool ToggleFlag(ConfigStore& config, uint32_t bit, const std::function<bool()>& startElevatedApply = {});

// The maker's download page; a separate one for LANGID 2052.
std::u16string ArchiverDownloadAddress(uint16_t langId);

// Starts the archiver from its folder with "open" when it is installed, else opens the download
// page in the browser. False when nothing could be started.
bool OpenOrInstallArchiver(const ConfigStore& config, uint16_t langId);

}  // namespace kv::manager
