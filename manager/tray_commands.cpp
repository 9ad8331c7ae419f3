#include "manager/tray_commands.h"

#include "common/config_names.h"
#include "manager/config_dialog.h"
#include "platform/shell.h"

namespace kv::manager {

namespace cfg = kv::config;

bool ToggleFlag(ConfigStore& config, uint32_t bit, const std::function<bool()>& startElevatedApply) {
  const bool ok = config.SetAutostart(config.Flags() ^ bit);
  if (IsVistaOrLater(config.facts())) {
    if (startElevatedApply) {
      startElevatedApply();
    } else {
      StartElevatedApplyStep(config);
    }
  }
  return ok;
}

std::u16string ArchiverDownloadAddress(uint16_t langId) {
  return langId == 2052 ? u"https://www.korvendrake.cn/download.html" : u"https://www.korvendrake.com/download.html";
}

bool OpenOrInstallArchiver(const ConfigStore& config, uint16_t langId) {
  if (config.ArchiverInstalled()) {
    return platform::ShellExecute(u"open", JoinFolder(config.ArchiverFolder(), cfg::kArchiverProgram), u"");
  }
  return platform::ShellExecute(u"open", ArchiverDownloadAddress(langId), u"");
}

}  // namespace kv::manager
