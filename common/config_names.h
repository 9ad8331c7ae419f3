// Registry keys and values of the configuration shared by the manager, the service and the
// installer plug-in.
#pragma once
#include <cstdint>

namespace kv::config {

// Opened for values with the trailing backslash.
inline constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive\\";
inline constexpr char16_t kArchiverKey[] = u"Software\\Korvendrake\\";
inline constexpr char16_t kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";
inline constexpr char16_t kEventLogSourceKey[] =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Korvendrake Service";
inline constexpr char16_t kVirtualStoreMainKey[] =
    u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Korvendrake Virtual Drive";
inline constexpr char16_t kVirtualStoreArchiverKey[] =
    u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Korvendrake";

inline constexpr char16_t kInstallDir[] = u"Install_Dir";
inline constexpr char16_t kDriveLetter[] = u"DriveLetter";
inline constexpr char16_t kTempFolder[] = u"TempFolder";
inline constexpr char16_t kLanguage[] = u"Language";
inline constexpr char16_t kDiskCount[] = u"DiskCount";
inline constexpr char16_t kFlags[] = u"FLAGS";
inline constexpr char16_t kImageNamePrefix[] = u"ImageName";  // + decimal drive number
inline constexpr char16_t kEventMessageFile[] = u"EventMessageFile";
inline constexpr char16_t kTypesSupported[] = u"TypesSupported";

// Value name of the autostart entry in the Run key.
inline constexpr char16_t kRunValueName[] = u"KVHELPER.EXE";
// File name of the manager program in the install folder (the Run entry starts it).
inline constexpr char16_t kManagerProgram[] = u"KVHELPER";
inline constexpr char16_t kServiceProgram[] = u"KVService";
// The sibling archiver counts as installed when this file is in its folder.
inline constexpr char16_t kArchiverProgram[] = u"Korvendrake.exe";
inline constexpr char16_t kLanguageFolder[] = u"Lang";

// Argument of the elevated apply step (compared without regard to case).
inline constexpr char kApplySwitch[] = "-vset_virtual_drive_parameters";
// Window class of the running manager.
inline constexpr char16_t kManagerWindowClass[] = u"KVHELPER_C2C80BFA WNDCLASS";

inline constexpr int kMaxDrives = 23;  // MAX_DRIVES
inline constexpr int kDriveLetterPositions = 23;

inline constexpr uint32_t FLAG_AUTOSTART = 1u << 0;
inline constexpr uint32_t FLAG_AUTOMOUNT = 1u << 1;

inline constexpr uint32_t kDefaultFlags = FLAG_AUTOSTART;
inline constexpr uint32_t kDefaultDiskCount = 1;
inline constexpr uint16_t kEnglishLangId = 1033;
inline constexpr uint32_t kEventTypesSupported = 7;

// String reads: the manager's buffer is 1024 bytes, the service's 2048 bytes.
inline constexpr uint32_t kManagerStringBytes = 1024;
inline constexpr uint32_t kServiceStringBytes = 2048;

}  // namespace kv::config
