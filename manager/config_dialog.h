// The configuration dialog (number of drives, autostart, automount, drive letters, temporary
// folder, language) and its letter dialog, as logic over the dialogs' control models.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "manager/config_store.h"
#include "manager/language.h"
#include "platform/ui/ui.h"

namespace kv::manager {

inline constexpr int kConfigDialogResource = 140;
inline constexpr int kLetterDialogResource = 141;

// Configuration dialog controls.
inline constexpr int kIdOptionsGroup = 1013;
inline constexpr int kIdLettersGroup = 1014;
inline constexpr int kIdDriveCountLabel = 1015;
inline constexpr int kIdAutostart = 1016;
inline constexpr int kIdAutomount = 1017;
inline constexpr int kIdDriveCount = 1018;
inline constexpr int kIdLetterList = 1019;
inline constexpr int kIdEditLetter = 1020;
inline constexpr int kIdTempGroup = 1023;
inline constexpr int kIdTempFolder = 1024;
inline constexpr int kIdBrowseFolder = 1025;
inline constexpr int kIdLanguage = 1029;
inline constexpr int kIdMiscGroup = 1031;
inline constexpr int kIdTempNote = 1032;
inline constexpr int kIdLanguageLabel = 1033;
// Letter dialog controls.
inline constexpr int kIdLetterPrompt = 1021;
inline constexpr int kIdLetterChoice = 1022;
inline constexpr int kIdLetterLabel = 1030;

// The start folder of the folder browser when the edit is empty: the system disk's root.
inline constexpr char16_t kSystemDiskRoot[] = u"/";

// The resources: every control with its kind; the logic sets the texts.
platform::ui::DialogModel ConfigurationDialogTemplate();
platform::ui::DialogModel LetterDialogTemplate();

struct ConfigDrive {
  int number = 0;
  char16_t letter = u'?';  // its current letter
};

// What the dialog asks of the drive control client and the shell.
struct ConfigDialogActions {
  std::function<std::vector<ConfigDrive>()> driveList;
  std::function<void(int count)> setDriveCount;
  std::function<void(int drive, char16_t letter)> changeLetter;
  std::function<void(uint16_t langId)> sendLanguage;
  // Empty: StartElevatedApplyStep(config).
  std::function<bool()> startElevatedApply;
};

// Runs the dialog modally; IDOK or IDCANCEL, -1 when it could not be shown.
int RunConfigurationDialog(platform::ui::Ui& ui, platform::ui::WindowId owner, ConfigStore& config,
                           Languages& languages, const ConfigDialogActions& actions);

// Edits the letter of `drive` in `letters` (23 characters); IDOK with `letters` changed, else IDCANCEL.
int RunLetterDialog(platform::ui::Ui& ui, platform::ui::WindowId owner, const Languages& languages, int drive,
                    std::u16string* letters);

// Starts "KVHELPER" of the install folder with the shell verb "runas" and the apply switch.
bool StartElevatedApplyStep(const ConfigStore& config, pid_t* process = nullptr);

}  // namespace kv::manager
