#include "manager/config_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config_names.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/wide_text.h"
#include "tests/config/config_fixture.h"

using namespace kv::platform;
using kv::manager::ConfigProgram;
using kv::manager::ConfigStore;
using kv::manager::SystemFacts;
namespace cfg = kv::config;

namespace {

constexpr char16_t kMain[] = u"Software\\Korvendrake Virtual Drive";
constexpr char16_t kArchiver[] = u"Software\\Korvendrake";
constexpr char16_t kRun[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

SystemFacts Nt(uint32_t major, uint32_t minor, bool wow64 = false) {
  SystemFacts f;
  f.platformId = VER_PLATFORM_WIN32_NT;
  f.majorVersion = major;
  f.minorVersion = minor;
  f.wow64 = wow64;
  f.systemLangId = 1031;
  f.ownFolder = u"/opt/own folder";
  return f;
}

class Config : public kv::test::PrivateRegistry {
 protected:
  std::u16string Folder(const std::string& name) {
    const auto p = root_.path() / name;
    std::filesystem::create_directories(p);
    return Utf8ToUtf16(p.string());
  }
  // An installed archiver: its folder holds "Korvendrake.exe".
  std::u16string InstallArchiver() {
    const std::u16string dir = Folder("archiver");
    kv::test::WriteFileText(Utf16ToUtf8(dir) + "/Korvendrake.exe", "x");
    EXPECT_TRUE(SetString(HKEY_LOCAL_MACHINE, kArchiver, cfg::kInstallDir, dir));
    return dir;
  }
};

TEST(OsClassTest, ClassifiesVersionsAndKeepsTheVistaTestSeparate) {
  EXPECT_EQ(kv::manager::OsClass(Nt(6, 1, true)), 5);
  EXPECT_TRUE(kv::manager::IsVistaOrLater(Nt(6, 1, true))) << "64-bit Vista is Vista even though the class says 5";
  SystemFacts nine = Nt(4, 10);
  nine.platformId = VER_PLATFORM_WIN32_WINDOWS;
  EXPECT_EQ(kv::manager::OsClass(nine), 1);
  nine.minorVersion = 90;
  EXPECT_EQ(kv::manager::OsClass(nine), 1);
  nine.minorVersion = 0;
  EXPECT_EQ(kv::manager::OsClass(nine), 0) << "Windows 95";
  EXPECT_EQ(kv::manager::OsClass(Nt(5, 0)), 2);
  EXPECT_EQ(kv::manager::OsClass(Nt(5, 1)), 3);
  EXPECT_EQ(kv::manager::OsClass(Nt(5, 2)), 4);
  EXPECT_EQ(kv::manager::OsClass(Nt(10, 0)), 6);
  EXPECT_EQ(kv::manager::OsClass(Nt(4, 0)), 0);
  EXPECT_FALSE(kv::manager::IsVistaOrLater(Nt(5, 2)));
  SystemFacts unknown = Nt(6, 1);
  unknown.versionKnown = false;
  EXPECT_EQ(kv::manager::OsClass(unknown), 0);
  // This platform reports an NT 6 class system, so the Vista-and-later rules are the live ones.
  const SystemFacts here = SystemFacts::FromPlatform();
  EXPECT_EQ(kv::manager::OsClass(here), 6);
  EXPECT_TRUE(kv::manager::IsVistaOrLater(here));
  EXPECT_FALSE(here.ownFolder.empty());
}

TEST(ApplySwitchTest, ExactlyOneArgumentInAnyCase) {
  const char* one[] = {"KVHELPER", "-VSET_Virtual_Drive_Parameters"};
  EXPECT_TRUE(kv::manager::IsApplySwitch(2, one));
  const char* two[] = {"KVHELPER", "-vset_virtual_drive_parameters", "x"};
  EXPECT_FALSE(kv::manager::IsApplySwitch(3, two));
  const char* other[] = {"KVHELPER", "-vset_virtual_drive_parameter"};
  EXPECT_FALSE(kv::manager::IsApplySwitch(2, other));
}

TEST_F(Config, DriveLetterStringParsing) {
  ConfigStore store(ConfigProgram::Manager, Nt(6, 1));
  EXPECT_EQ(store.DriveLetters(), std::u16string(23, u'A')) << "missing value: all automatic";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kDriveLetter, u"EFz"));
  EXPECT_EQ(store.DriveLetters(), u"EFA" + std::u16string(20, u'A'));
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kDriveLetter, u"DEFGHIJKLMNOPQRSTUVWXYZQRS"));
  EXPECT_EQ(store.DriveLetters(), u"DEFGHIJKLMNOPQRSTUVWXYZ") << "characters after the 23rd are ignored";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kDriveLetter, u"B1 \u00c4C"));
  EXPECT_EQ(store.DriveLetters(), u"BAAAC" + std::u16string(18, u'A'))
      << "B and C stay; the drive control handles them";
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDriveLetter, 0x45));
  EXPECT_EQ(store.DriveLetters(), std::u16string(23, u'A')) << "wrong type counts as missing";
}

TEST_F(Config, DiskCountValidity) {
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  EXPECT_EQ(manager.DiskCount(), 1) << "missing";
  for (int n = 0; n < 4; ++n) ASSERT_TRUE(service.SetImageName(n, u"/images/" + Utf8ToUtf16(std::to_string(n))));
  for (const uint32_t bad : {40u, 0xFFFFFFFFu, 24u}) {
    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount, bad));
    EXPECT_EQ(manager.DiskCount(), 1) << bad;
    EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount), bad) << "the manager does not repair";
  }
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount, 0xFFFFFFFFu));
  EXPECT_EQ(service.DiskCount(), 1);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount), 1u) << "the service writes 1 back";
  EXPECT_EQ(service.ImageName(0), u"/images/0");
  for (int n = 1; n < 23; ++n) {
    EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kMain, ConfigStore::ImageNameValue(n)), u"") << n;
  }
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount, 23));
  EXPECT_EQ(manager.DiskCount(), 23);
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount, 0));
  EXPECT_EQ(service.DiskCount(), 0);
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount, u"5"));
  EXPECT_EQ(manager.DiskCount(), 1) << "a string is no 32-bit value";

  ASSERT_TRUE(service.SetImageName(2, u"/x.iso"));
  ASSERT_TRUE(service.SetDiskCount(2));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount), 2u);
  EXPECT_EQ(service.ImageName(0), u"/images/0");
  EXPECT_EQ(service.ImageName(2), u"");
  EXPECT_EQ(ConfigStore::ImageNameValue(22), u"ImageName22");
  EXPECT_FALSE(service.SetDiskCount(24));
}

TEST_F(Config, FlagsDefaultAndKeptBits) {
  ConfigStore store(ConfigProgram::Manager, Nt(6, 1));
  const uint32_t flags = store.Flags();
  EXPECT_TRUE(flags & cfg::FLAG_AUTOSTART) << "FLAGS missing: autostart on";
  EXPECT_FALSE(flags & cfg::FLAG_AUTOMOUNT) << "FLAGS missing: automount off";
  EXPECT_EQ(ConfigStore::WithFlagBits(0xF0, false, true), 0xF2u);
  EXPECT_EQ(ConfigStore::WithFlagBits(0xF3, true, false), 0xF1u);
  ConfigStore plugIn(ConfigProgram::PlugIn, Nt(6, 1));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kFlags, 0xF0));
  ASSERT_TRUE(plugIn.WritePlugInFlags(false, true));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kFlags), 2u) << "the plug-in writes exactly its two boxes";
}

TEST_F(Config, LanguageLookup) {
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  EXPECT_EQ(manager.Language(), 1031) << "missing: the system default language";
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 0));
  EXPECT_EQ(manager.Language(), 1031) << "stored 0: the system default language";
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 0x70000 | 1036));
  EXPECT_EQ(manager.Language(), 1036) << "low 16 bits";
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage, 1040));
  EXPECT_EQ(manager.Language(), 1036) << "the archiver's value counts only when it is installed";
  InstallArchiver();
  EXPECT_TRUE(manager.ArchiverInstalled());
  EXPECT_EQ(manager.Language(), 1040) << "the installed archiver's language wins";
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage, 0x10000));
  EXPECT_EQ(manager.Language(), 1036) << "archiver value with zero low bits is skipped";
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage, 1040));
  EXPECT_EQ(service.Language(), 1036) << "the service uses the machine value only";
}

TEST_F(Config, ManagerWritesOnlyThePerUserKeyOnVistaUntilTheApplyStep) {
  const std::u16string install = Folder("Program Files/Korvendrake Virtual Drive");
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, install + u"/"));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kFlags, 1));
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  EXPECT_EQ(manager.InstallFolder(), install) << "trailing separator removed";

  // Toggle automount and autostart off from the tray.
  ASSERT_TRUE(manager.SetAutostart(ConfigStore::WithFlagBits(manager.Flags(), false, true)));
  ASSERT_TRUE(manager.WriteString(cfg::kDriveLetter, u"EFG"));
  ASSERT_TRUE(manager.WriteString(cfg::kTempFolder, u"/var/tmp/kv"));
  ASSERT_TRUE(manager.WriteDword(cfg::kDiskCount, 4));
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kMain, cfg::kLanguage, u"1031"));  // wrong type: skipped
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMain, cfg::kFlags), 2u);
  EXPECT_EQ(manager.Flags(), 1u) << "the machine value is unchanged until the apply step";
  EXPECT_EQ(manager.DriveLetters(), std::u16string(23, u'A'));
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName)) << "no Run entry written on Vista";

  ASSERT_TRUE(manager.ApplyElevated());
  EXPECT_EQ(manager.Flags(), 2u);
  EXPECT_EQ(manager.DriveLetters(), u"EFG" + std::u16string(20, u'A'));
  EXPECT_EQ(manager.ReadString(cfg::kTempFolder), u"/var/tmp/kv");
  EXPECT_EQ(manager.DiskCount(), 4);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage)) << "wrong-typed values are not copied";
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName)) << "autostart off: no Run entry";

  ASSERT_TRUE(manager.SetAutostart(ConfigStore::WithFlagBits(manager.Flags(), true, true)));
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName));
  ASSERT_TRUE(manager.ApplyElevated());
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName), u"\"" + install + u"/KVHELPER\"")
      << "the path with spaces is quoted";

  ASSERT_TRUE(manager.SetAutostart(ConfigStore::WithFlagBits(manager.Flags(), false, true)));
  ASSERT_TRUE(manager.ApplyElevated());
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName)) << "deleted when the bit is clear";
}

TEST_F(Config, ManagerBeforeVistaWritesBothKeysAndTheRunEntry) {
  const std::u16string install = Folder("kv dir");
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, install));
  ConfigStore manager(ConfigProgram::Manager, Nt(5, 1));
  int started = 0;
  kv::manager::ShellHooks hooks;
  hooks.windowExists = [](std::u16string_view cls) { return cls != cfg::kManagerWindowClass; };
  hooks.execute = [&](std::u16string_view verb, std::u16string_view program) {
    EXPECT_EQ(verb, u"open");
    EXPECT_EQ(program, install + u"/KVHELPER");
    ++started;
  };
  ASSERT_TRUE(manager.SetAutostart(3, hooks));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMain, cfg::kFlags), 3u);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kFlags), 3u);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName), u"\"" + install + u"/KVHELPER\"");
  EXPECT_EQ(started, 1) << "no manager window: it is started";
  ASSERT_TRUE(manager.SetAutostart(2, hooks));
  EXPECT_FALSE(GetString(HKEY_LOCAL_MACHINE, kRun, cfg::kRunValueName));
  EXPECT_EQ(started, 1);
}

TEST_F(Config, FailedPerUserWriteFailsTheManagerWrite) {
  ConfigStore manager(ConfigProgram::Manager, Nt(5, 1));
  kv::test::WriteFileBytes(RegUserDatabasePath(getuid()), kv::test::PatternBytes(4096, 3));
  EXPECT_FALSE(manager.WriteDword(cfg::kDiskCount, 3));
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kDiskCount)) << "no machine write after the failure";
}

// The user's manager writes its own hive; the elevated copy (real uid kept, effective uid 0) sees
// the same per-user values and brings the machine key up to date.
TEST_F(Config, ElevatedCopyOfAUsersManagerAppliesThatUsersValues) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kUser = 65534;
  const std::u16string install = Folder("install");
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, install));
  chmod(root_.path().c_str(), 0777);
  chmod((root_.path() / "registry").c_str(), 0755);
  const int userStep = InChild([] {
    if (setgid(kUser) || setuid(kUser)) return 100;
    ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
    if (!manager.WriteDword(cfg::kDiskCount, 7)) return 1;
    if (manager.DiskCount() != 1) return 2;
    return 0;
  });
  ASSERT_EQ(userStep, 0);
  const int elevatedStep = InChild([] {
    if (setresuid(kUser, 0, 0)) return 100;
    ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
    return manager.ApplyElevated() ? 0 : 1;
  });
  ASSERT_EQ(elevatedStep, 0);
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  EXPECT_EQ(service.DiskCount(), 7);
  EXPECT_FALSE(GetDword(HKEY_CURRENT_USER, kMain, cfg::kDiskCount)) << "root's own hive is untouched";
  const int deniedStep = InChild([] {
    if (setgid(kUser) || setuid(kUser)) return 100;
    ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
    return manager.ApplyElevated() ? 1 : 0;
  });
  EXPECT_EQ(deniedStep, 0) << "the apply step fails without elevation";
}

TEST_F(Config, InstallAndArchiverFolderLookups) {
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  ConfigStore plugIn(ConfigProgram::PlugIn, Nt(6, 1));
  EXPECT_EQ(manager.InstallFolder(), u"/opt/own folder") << "last resort: the program's own folder";
  EXPECT_EQ(service.InstallFolder(), u"");
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kArchiver, cfg::kInstallDir, u"/opt/archiver\\"));
  EXPECT_EQ(manager.InstallFolder(), u"/opt/archiver") << "then the archiver's per-user folder";
  EXPECT_EQ(manager.ArchiverFolder(), u"/opt/archiver");
  EXPECT_FALSE(manager.ArchiverInstalled()) << "no Korvendrake.exe there";
  EXPECT_TRUE(plugIn.ArchiverInstalled()) << "the plug-in only asks for the per-user folder";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, u""));
  EXPECT_EQ(manager.InstallFolder(), u"/opt/archiver") << "an empty value is skipped";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, u"/usr/lib/kv/"));
  EXPECT_EQ(manager.InstallFolder(), u"/usr/lib/kv");
  EXPECT_EQ(service.InstallFolder(), u"/usr/lib/kv");
  EXPECT_EQ(plugIn.InstallFolder(), u"/usr/lib/kv");
  const std::u16string archiver = InstallArchiver();
  EXPECT_EQ(manager.ArchiverFolder(), archiver) << "the machine key comes first";
  EXPECT_TRUE(manager.ArchiverInstalled());
}

TEST_F(Config, StringReadsRespectTheProgramsBufferSize) {
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kTempFolder, std::u16string(511, u'x')));
  EXPECT_EQ(manager.ReadString(cfg::kTempFolder)->size(), 511u);
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kTempFolder, std::u16string(512, u'x')));
  EXPECT_FALSE(manager.ReadString(cfg::kTempFolder)) << "does not fit 1024 bytes";
  EXPECT_EQ(service.ReadString(cfg::kTempFolder)->size(), 512u) << "fits 2048 bytes";
}

TEST_F(Config, LanguageWritesOfTheThreePrograms) {
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  ASSERT_TRUE(manager.WriteLanguage(1031));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMain, cfg::kLanguage), 1031u);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage)) << "the service writes the machine value";
  EXPECT_FALSE(GetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage));
  InstallArchiver();
  ASSERT_TRUE(manager.WriteLanguage(1036));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage), 1036u);
  ConfigStore service(ConfigProgram::Service, Nt(6, 1));
  ASSERT_TRUE(service.WriteLanguage(1036));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage), 1036u);

  ConfigStore plugIn(ConfigProgram::PlugIn, Nt(6, 1));
  ASSERT_TRUE(plugIn.WriteLanguage(1040));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage), 1040u);
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMain, cfg::kLanguage), 1040u);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, kArchiver, cfg::kLanguage)) << "plug-in: archiver not installed";
  ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kArchiver, cfg::kInstallDir, u"/opt/a"));
  ASSERT_TRUE(plugIn.WriteLanguage(1041));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kArchiver, cfg::kLanguage), 1041u);
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kArchiver, cfg::kLanguage), 1041u);
}

TEST_F(Config, VirtualStoreCopiesAndEventSource) {
  const std::u16string vs = u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Korvendrake Virtual Drive\\Sub";
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, vs, cfg::kDiskCount, 9));
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Korvendrake",
                       cfg::kLanguage, 9));
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Other", u"x", 1));
  ConfigStore manager(ConfigProgram::Manager, Nt(6, 1));
  manager.DeleteVirtualStoreCopies();
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Korvendrake", 0,
                         KEY_READ, RegKey().put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, u"Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Other", u"x"), 1u);

  ConfigStore plugIn(ConfigProgram::PlugIn, Nt(6, 1));
  ASSERT_TRUE(plugIn.WriteEventLogSource(u"/opt/kv"));
  const std::u16string source = cfg::kEventLogSourceKey;
  RegKey k;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, source, 0, KEY_READ, k.put()), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueEx(k, cfg::kEventMessageFile, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, source, cfg::kEventMessageFile), u"/opt/kv/KVService");
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, source, cfg::kTypesSupported), 7u);
}

}  // namespace

namespace {

TEST(SystemLanguage, LocaleNamesGiveLangIds) {
  EXPECT_EQ(LangIdFromLocaleName("de_DE.UTF-8"), 1031);
  EXPECT_EQ(LangIdFromLocaleName("de_AT@euro"), 3079);
  EXPECT_EQ(LangIdFromLocaleName("pt_BR"), 1046);
  EXPECT_EQ(LangIdFromLocaleName("pt"), 2070);
  EXPECT_EQ(LangIdFromLocaleName("fr_BE.UTF-8"), 1036) << "unknown country: the language's main id";
  EXPECT_EQ(LangIdFromLocaleName("C"), 0);
  EXPECT_EQ(LangIdFromLocaleName(""), 0);
}

TEST(SystemLanguage, DefaultComesFromTheLocaleEnvironment) {
  setenv("LC_ALL", "", 1);
  setenv("LC_MESSAGES", "fr_FR.UTF-8", 1);
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), 1036) << "LC_MESSAGES before LANG";
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(GetSystemDefaultLangID(), 1031);
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), 1033) << "no language in the locale: English";
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(SystemFacts::FromPlatform().systemLangId, 1031);
}

}  // namespace
