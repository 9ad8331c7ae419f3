#include "manager/config_store.h"

#include <sys/stat.h>

#include <cctype>
#include <vector>

#include "common/config_names.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/wide_text.h"

namespace kv::manager {

using namespace kv::platform;
namespace cfg = kv::config;

namespace {

std::u16string StripTrailingSeparator(std::u16string s) {
  while (s.size() > 1 && (s.back() == u'\\' || s.back() == u'/')) s.pop_back();
  return s;
}

std::u16string FolderOf(std::u16string path) {
  const size_t p = path.find_last_of(u"/\\");
  if (p == std::u16string::npos) return {};
  return path.substr(0, p == 0 ? 1 : p);
}

bool FileExists(const std::u16string& path) {
  struct stat st {};
  return stat(Utf16ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::u16string> ReadStringAt(HKEY root, std::u16string_view key, std::u16string_view name,
                                           size_t maxBytes, bool create) {
  RegKey k;
  const LSTATUS r =
      create ? RegCreateKeyEx(root, key, 0, KEY_READ, k.put(), nullptr) : RegOpenKeyEx(root, key, 0, KEY_READ, k.put());
  if (r != ERROR_SUCCESS) return std::nullopt;
  std::u16string text;
  if (!RegReadString(k, name, &text, maxBytes)) return std::nullopt;
  return text;
}

std::optional<uint32_t> ReadDwordAt(HKEY root, std::u16string_view key, std::u16string_view name, bool create) {
  RegKey k;
  const LSTATUS r =
      create ? RegCreateKeyEx(root, key, 0, KEY_READ, k.put(), nullptr) : RegOpenKeyEx(root, key, 0, KEY_READ, k.put());
  if (r != ERROR_SUCCESS) return std::nullopt;
  DWORD v = 0;
  if (!RegReadDword(k, name, &v)) return std::nullopt;
  return v;
}

bool WriteAt(HKEY root, std::u16string_view key, std::u16string_view name, DWORD type, const uint8_t* data,
             DWORD size) {
  RegKey k;
  if (RegCreateKeyEx(root, key, 0, KEY_WRITE, k.put(), nullptr) != ERROR_SUCCESS) return false;
  return RegSetValueEx(k, name, type, data, size) == ERROR_SUCCESS;
}

std::vector<uint8_t> DwordData(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

bool WriteDwordAt(HKEY root, std::u16string_view key, std::u16string_view name, uint32_t v) {
  const auto d = DwordData(v);
  return WriteAt(root, key, name, REG_DWORD, d.data(), 4);
}

bool NonEmpty(const std::optional<std::u16string>& s) {
  return s && !s->empty();
}

}  // namespace

SystemFacts SystemFacts::FromPlatform() {
  SystemFacts f;
  OsVersionInfo v;
  f.versionKnown = GetVersionEx(&v);
  f.platformId = v.platformId;
  f.majorVersion = v.majorVersion;
  f.minorVersion = v.minorVersion;
  bool wow = false;
  f.wow64 = IsWow64Process(&wow) && wow;
  f.systemLangId = GetSystemDefaultLangID();
  f.ownFolder = FolderOf(Utf8ToUtf16(GetModuleFileName()));
  return f;
}

int OsClass(const SystemFacts& f) {
  if (f.wow64) return 5;
  if (!f.versionKnown) return 0;
  if (f.platformId == VER_PLATFORM_WIN32_WINDOWS && f.majorVersion == 4 &&
      (f.minorVersion == 10 || f.minorVersion == 90)) {
    return 1;
  }
  if (f.platformId == VER_PLATFORM_WIN32_NT) {
    if (f.majorVersion == 5 && f.minorVersion == 0) return 2;
    if (f.majorVersion == 5 && f.minorVersion == 1) return 3;
    if (f.majorVersion == 5 && f.minorVersion == 2) return 4;
    if (f.majorVersion > 5) return 6;
  }
  return 0;
}

bool IsVistaOrLater(const SystemFacts& f) {
  return f.versionKnown && f.platformId == VER_PLATFORM_WIN32_NT && f.majorVersion > 5;
}

bool IsApplySwitch(int argc, const char* const* argv) {
  if (argc != 2 || !argv[1]) return false;
  const std::string_view a = argv[1];
  const std::string_view want = cfg::kApplySwitch;
  if (a.size() != want.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != want[i]) return false;
  }
  return true;
}

std::u16string JoinFolder(std::u16string_view folder, std::u16string_view name) {
  std::u16string out(folder);
  if (!out.empty() && out.back() != u'/') out += u'/';
  out += name;
  return out;
}

ConfigStore::ConfigStore(ConfigProgram program, SystemFacts facts) : program_(program), facts_(std::move(facts)) {}

size_t ConfigStore::StringBytes() const {
  return program_ == ConfigProgram::Service ? cfg::kServiceStringBytes : cfg::kManagerStringBytes;
}

std::optional<std::u16string> ConfigStore::ReadMachineString(std::u16string_view key, std::u16string_view name,
                                                             size_t maxBytes) const {
  return ReadStringAt(HKEY_LOCAL_MACHINE, key, name, maxBytes, program_ != ConfigProgram::Manager);
}

std::optional<std::u16string> ConfigStore::ReadString(std::u16string_view name) const {
  return ReadMachineString(cfg::kMainKey, name, StringBytes());
}

uint32_t ConfigStore::ReadDword(std::u16string_view name, uint32_t defaultValue) const {
  return ReadDwordAt(HKEY_LOCAL_MACHINE, cfg::kMainKey, name, program_ != ConfigProgram::Manager)
      .value_or(defaultValue);
}

bool ConfigStore::WriteMachine(std::u16string_view key, std::u16string_view name, uint32_t type, const uint8_t* data,
                               uint32_t size) {
  return WriteAt(HKEY_LOCAL_MACHINE, key, name, type, data, size);
}

bool ConfigStore::WriteUser(std::u16string_view key, std::u16string_view name, uint32_t type, const uint8_t* data,
                            uint32_t size) {
  return WriteAt(HKEY_CURRENT_USER, key, name, type, data, size);
}

bool ConfigStore::WriteByPolicy(std::u16string_view name, uint32_t type, const uint8_t* data, uint32_t size) {
  if (program_ != ConfigProgram::Manager) return WriteMachine(cfg::kMainKey, name, type, data, size);
  if (!WriteUser(cfg::kMainKey, name, type, data, size)) return false;
  // Vista and later: the elevated apply step (or the service, for the language) updates the machine key.
  if (IsVistaOrLater(facts_)) return true;
  return WriteMachine(cfg::kMainKey, name, type, data, size);
}

bool ConfigStore::WriteString(std::u16string_view name, std::u16string_view text) {
  const auto d = RegStringData(text);
  return WriteByPolicy(name, REG_SZ, d.data(), static_cast<uint32_t>(d.size()));
}

bool ConfigStore::WriteDword(std::u16string_view name, uint32_t value) {
  const auto d = DwordData(value);
  return WriteByPolicy(name, REG_DWORD, d.data(), 4);
}

std::u16string ConfigStore::InstallFolder() const {
  const size_t bytes = StringBytes();
  std::optional<std::u16string> dir;
  switch (program_) {
    case ConfigProgram::Manager:
      dir = ReadMachineString(cfg::kMainKey, cfg::kInstallDir, bytes);
      if (!NonEmpty(dir)) dir = ReadStringAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kInstallDir, bytes, false);
      if (!NonEmpty(dir)) dir = facts_.ownFolder;
      break;
    case ConfigProgram::Service:
      dir = ReadMachineString(cfg::kMainKey, cfg::kInstallDir, bytes);
      if (!NonEmpty(dir)) dir = ReadMachineString(cfg::kMainKey, cfg::kInstallDir, bytes);
      break;
    case ConfigProgram::PlugIn: {
      RegKey k;
      if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, cfg::kMainKey, 0, KEY_READ, k.put(), nullptr) == ERROR_SUCCESS) {
        std::u16string s;
        if (RegReadString(k, cfg::kInstallDir, &s, bytes)) dir = s;
      } else {
        dir = ReadStringAt(HKEY_CURRENT_USER, cfg::kMainKey, cfg::kInstallDir, bytes, true);
      }
      break;
    }
  }
  return StripTrailingSeparator(dir.value_or(u""));
}

std::u16string ConfigStore::ArchiverFolder() const {
  const size_t bytes = StringBytes();
  auto dir = ReadMachineString(cfg::kArchiverKey, cfg::kInstallDir, bytes);
  if (!NonEmpty(dir)) dir = ReadStringAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kInstallDir, bytes, false);
  if (!NonEmpty(dir)) dir = facts_.ownFolder;
  return StripTrailingSeparator(dir.value_or(u""));
}

bool ConfigStore::ArchiverInstalled() const {
  if (program_ == ConfigProgram::PlugIn) {
    return NonEmpty(ReadStringAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kInstallDir, StringBytes(), false));
  }
  const std::u16string dir = ArchiverFolder();
  return !dir.empty() && FileExists(JoinFolder(dir, cfg::kArchiverProgram));
}

std::u16string ConfigStore::ParseDriveLetters(const std::optional<std::u16string>& stored) {
  std::u16string letters(32, u'A');
  if (stored) {
    const size_t n = std::min<size_t>(stored->size(), 24);
    for (size_t i = 0; i < n; ++i) letters[i] = (*stored)[i];
  }
  letters.resize(cfg::kDriveLetterPositions);
  for (char16_t& c : letters) {
    if (c < u'A' || c > u'Z') c = u'A';
  }
  return letters;
}

std::u16string ConfigStore::DriveLetters() const {
  return ParseDriveLetters(ReadString(cfg::kDriveLetter));
}

uint32_t ConfigStore::Flags() const {
  return ReadDword(cfg::kFlags, cfg::kDefaultFlags);
}

uint32_t ConfigStore::WithFlagBits(uint32_t flags, bool autostart, bool automount) {
  flags &= ~(cfg::FLAG_AUTOSTART | cfg::FLAG_AUTOMOUNT);
  if (autostart) flags |= cfg::FLAG_AUTOSTART;
  if (automount) flags |= cfg::FLAG_AUTOMOUNT;
  return flags;
}

bool ConfigStore::WritePlugInFlags(bool autostart, bool automount) {
  return WriteDword(cfg::kFlags, WithFlagBits(0, autostart, automount));
}

uint16_t ConfigStore::Language() const {
  if (program_ == ConfigProgram::Manager && ArchiverInstalled()) {
    const auto archiver = ReadDwordAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kLanguage, false);
    if (archiver && (*archiver & 0xFFFF) != 0) return static_cast<uint16_t>(*archiver & 0xFFFF);
  }
  const uint32_t v = ReadDword(cfg::kLanguage, 0);
  return (v & 0xFFFF) == 0 ? facts_.systemLangId : static_cast<uint16_t>(v & 0xFFFF);
}

bool ConfigStore::WriteLanguage(uint16_t langId) {
  switch (program_) {
    case ConfigProgram::Manager:
      if (!WriteDword(cfg::kLanguage, langId)) return false;
      if (ArchiverInstalled()) return WriteDwordAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kLanguage, langId);
      return true;
    case ConfigProgram::Service:
      return WriteDword(cfg::kLanguage, langId);
    case ConfigProgram::PlugIn:
      if (!WriteDwordAt(HKEY_LOCAL_MACHINE, cfg::kMainKey, cfg::kLanguage, langId)) return false;
      if (!WriteDwordAt(HKEY_CURRENT_USER, cfg::kMainKey, cfg::kLanguage, langId)) return false;
      if (!ArchiverInstalled()) return true;
      if (!WriteDwordAt(HKEY_LOCAL_MACHINE, cfg::kArchiverKey, cfg::kLanguage, langId)) return false;
      return WriteDwordAt(HKEY_CURRENT_USER, cfg::kArchiverKey, cfg::kLanguage, langId);
  }
  return false;
}

std::u16string ConfigStore::ImageNameValue(int drive) {
  return std::u16string(cfg::kImageNamePrefix) + Utf8ToUtf16(std::to_string(drive));
}

int ConfigStore::DiskCount() {
  const auto stored =
      ReadDwordAt(HKEY_LOCAL_MACHINE, cfg::kMainKey, cfg::kDiskCount, program_ != ConfigProgram::Manager);
  if (!stored) return static_cast<int>(cfg::kDefaultDiskCount);
  const int32_t v = static_cast<int32_t>(*stored);
  if (v >= 0 && v <= cfg::kMaxDrives) return v;
  if (program_ == ConfigProgram::Service) SetDiskCount(static_cast<int>(cfg::kDefaultDiskCount));
  return static_cast<int>(cfg::kDefaultDiskCount);
}

bool ConfigStore::SetDiskCount(int k) {
  if (k < 0 || k > cfg::kMaxDrives) return false;
  bool ok = WriteDword(cfg::kDiskCount, static_cast<uint32_t>(k));
  for (int n = k; n < cfg::kMaxDrives; ++n) ok = SetImageName(n, u"") && ok;
  return ok;
}

std::u16string ConfigStore::ImageName(int drive) const {
  if (drive < 0 || drive >= cfg::kMaxDrives) return {};
  return ReadString(ImageNameValue(drive)).value_or(u"");
}

bool ConfigStore::SetImageName(int drive, std::u16string_view path) {
  if (drive < 0 || drive >= cfg::kMaxDrives) return false;
  return WriteString(ImageNameValue(drive), path);
}

std::u16string ConfigStore::RunEntryText() const {
  return u"\"" + JoinFolder(InstallFolder(), cfg::kManagerProgram) + u"\"";
}

bool ConfigStore::UpdateRunEntry(bool autostart, std::u16string_view installFolder) {
  if (autostart) {
    const auto d = RegStringData(u"\"" + JoinFolder(installFolder, cfg::kManagerProgram) + u"\"");
    return WriteAt(HKEY_LOCAL_MACHINE, cfg::kRunKey, cfg::kRunValueName, REG_SZ, d.data(),
                   static_cast<DWORD>(d.size()));
  }
  RegKey k;
  const LSTATUS r = RegOpenKeyEx(HKEY_LOCAL_MACHINE, cfg::kRunKey, 0, KEY_SET_VALUE, k.put());
  if (r == ERROR_FILE_NOT_FOUND) return true;
  if (r != ERROR_SUCCESS) return false;
  const LSTATUS d = RegDeleteValue(k, cfg::kRunValueName);
  return d == ERROR_SUCCESS || d == ERROR_FILE_NOT_FOUND;
}

bool ConfigStore::SetAutostart(uint32_t flags, const ShellHooks& hooks) {
  const bool ok = WriteDword(cfg::kFlags, flags);
  const bool autostart = (flags & cfg::FLAG_AUTOSTART) != 0;
  const std::u16string folder = InstallFolder();
  if (!IsVistaOrLater(facts_)) UpdateRunEntry(autostart, folder);
  if (autostart && hooks.windowExists && hooks.execute && !hooks.windowExists(cfg::kManagerWindowClass)) {
    hooks.execute(u"open", JoinFolder(folder, cfg::kManagerProgram));
  }
  return ok;
}

bool ConfigStore::ApplyElevated() {
  bool ok = true;
  RegKey user;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, cfg::kMainKey, 0, KEY_READ, user.put()) == ERROR_SUCCESS) {
    for (const char16_t* name : {cfg::kDriveLetter, cfg::kTempFolder}) {
      std::u16string text;
      if (!RegReadString(user, name, &text, cfg::kManagerStringBytes)) continue;
      const auto d = RegStringData(text);
      ok = WriteMachine(cfg::kMainKey, name, REG_SZ, d.data(), static_cast<uint32_t>(d.size())) && ok;
    }
    for (const char16_t* name : {cfg::kLanguage, cfg::kDiskCount, cfg::kFlags}) {
      DWORD v = 0;
      if (!RegReadDword(user, name, &v)) continue;
      ok = WriteDwordAt(HKEY_LOCAL_MACHINE, cfg::kMainKey, name, v) && ok;
    }
  }
  const uint32_t flags = Flags();
  const std::u16string folder = InstallFolder();
  if (!folder.empty()) ok = UpdateRunEntry((flags & cfg::FLAG_AUTOSTART) != 0, folder) && ok;
  return ok;
}

void ConfigStore::DeleteVirtualStoreCopies() {
  RegDeleteTree(HKEY_CURRENT_USER, cfg::kVirtualStoreMainKey);
  RegDeleteTree(HKEY_CURRENT_USER, cfg::kVirtualStoreArchiverKey);
}

bool ConfigStore::WriteEventLogSource(std::u16string_view installFolder) {
  const auto file = RegStringData(JoinFolder(installFolder, cfg::kServiceProgram));
  if (!WriteAt(HKEY_LOCAL_MACHINE, cfg::kEventLogSourceKey, cfg::kEventMessageFile, REG_EXPAND_SZ, file.data(),
               static_cast<DWORD>(file.size()))) {
    return false;
  }
  return WriteDwordAt(HKEY_LOCAL_MACHINE, cfg::kEventLogSourceKey, cfg::kTypesSupported, cfg::kEventTypesSupported);
}

}  // namespace kv::manager
