// ConfigStore: every persistent setting of the system, read from and written to the registry with
// the rules of the program that uses it (manager, service or installer plug-in).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kv::manager {

enum class ConfigProgram { Manager, Service, PlugIn };

// What the store needs to know about the system; FromPlatform() asks the platform layer.
struct SystemFacts {
  bool versionKnown = true;
  uint32_t platformId = 2;  // VER_PLATFORM_WIN32_NT
  uint32_t majorVersion = 6;
  uint32_t minorVersion = 1;
  bool wow64 = false;
  uint16_t systemLangId = 1033;
  std::u16string ownFolder;  // folder of the running program

  static SystemFacts FromPlatform();
};

// Windows version class: 5 WOW64, 1 Windows 9x (4.10/4.90), 2/3/4 NT 5.0/5.1/5.2, 6 NT above 5, 0 else.
int OsClass(const SystemFacts& facts);
// NT platform with major version above 5 (true on 64-bit Vista and later, where OsClass says 5).
bool IsVistaOrLater(const SystemFacts& facts);

// True for exactly one argument equal to "-vset_virtual_drive_parameters" (any case).
bool IsApplySwitch(int argc, const char* const* argv);

// "folder/name" with the platform's separator.
std::u16string JoinFolder(std::u16string_view folder, std::u16string_view name);

// What the manager asks of the shell when the autostart flag is set from outside the manager.
struct ShellHooks {
  std::function<bool(std::u16string_view windowClass)> windowExists;
  std::function<void(std::u16string_view verb, std::u16string_view program)> execute;
};

class ConfigStore {
 public:
  explicit ConfigStore(ConfigProgram program, SystemFacts facts = SystemFacts::FromPlatform());

  ConfigProgram program() const { return program_; }
  const SystemFacts& facts() const { return facts_; }

  // Machine key reads; any failure gives nothing / the default.
  std::optional<std::u16string> ReadString(std::u16string_view name) const;
  uint32_t ReadDword(std::u16string_view name, uint32_t defaultValue) const;
  // Manager: the write policy (per-user key; on systems before Vista also the machine key).
  // Service and plug-in: the machine key.
  bool WriteString(std::u16string_view name, std::u16string_view text);
  bool WriteDword(std::u16string_view name, uint32_t value);

  // Without a trailing separator; may be empty (service, plug-in).
  std::u16string InstallFolder() const;
  std::u16string ArchiverFolder() const;
  bool ArchiverInstalled() const;

  // 23 characters, "A" (automatic) or an upper-case letter per drive.
  std::u16string DriveLetters() const;
  static std::u16string ParseDriveLetters(const std::optional<std::u16string>& stored);

  uint32_t Flags() const;
  // Manager toggles: bits 0 and 1 set as given, every other bit kept.
  static uint32_t WithFlagBits(uint32_t flags, bool autostart, bool automount);
  // Plug-in: exactly the two check boxes.
  bool WritePlugInFlags(bool autostart, bool automount);

  // The effective LANGID (never 0).
  uint16_t Language() const;
  // Manager: write policy + the archiver's per-user value when it is installed (the caller then
  // sends the language command to the service). Plug-in: machine, per-user, archiver keys in this
  // order, stopping at the first failure. Service: the machine value.
  bool WriteLanguage(uint16_t langId);

  // Drives to create: 0..23; invalid or missing values give 1. The service also repairs an
  // invalid stored value (DiskCount = 1, ImageName1..ImageName22 emptied).
  int DiskCount();
  // Service, after changing the number of drives to k: DiskCount = k, ImageName<k>.. emptied.
  bool SetDiskCount(int k);

  std::u16string ImageName(int drive) const;
  bool SetImageName(int drive, std::u16string_view path);
  static std::u16string ImageNameValue(int drive);

  // The autostart value: the quoted full path of the manager.
  std::u16string RunEntryText() const;
  // Manager: FLAGS by the write policy; the Run entry directly only before Vista; then, when
  // autostart is on and no manager window exists, starts the manager through `hooks`.
  bool SetAutostart(uint32_t flags, const ShellHooks& hooks = {});
  // Run entry present exactly when `autostart`; needs elevation.
  bool UpdateRunEntry(bool autostart, std::u16string_view installFolder);

  // The step run under "-vset_virtual_drive_parameters": per-user values to the machine key and the
  // Run entry. False when the machine key could not be written.
  bool ApplyElevated();

  // Manager at start on Vista and later: removes the per-user virtualised copies of both keys.
  void DeleteVirtualStoreCopies();

  // Plug-in: the service's event source.
  bool WriteEventLogSource(std::u16string_view installFolder);

 private:
  std::optional<std::u16string> ReadMachineString(std::u16string_view key, std::u16string_view name,
                                                  size_t maxBytes) const;
  bool WriteMachine(std::u16string_view key, std::u16string_view name, uint32_t type, const uint8_t* data,
                    uint32_t size);
  bool WriteUser(std::u16string_view key, std::u16string_view name, uint32_t type, const uint8_t* data, uint32_t size);
  bool WriteByPolicy(std::u16string_view name, uint32_t type, const uint8_t* data, uint32_t size);
  size_t StringBytes() const;

  ConfigProgram program_;
  SystemFacts facts_;
};

}  // namespace kv::manager
