#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "platform/registry_write.h"
#include "platform/wide_text.h"
#include "tests/config/config_fixture.h"

using namespace kv::platform;
using kv::test::PrivateRegistry;

namespace {

constexpr uid_t kNobody = 65534;

class Registry : public PrivateRegistry {};

TEST_F(Registry, KeysValuesAndNamesBehaveLikeWindows) {
  RegKey k;
  DWORD disposition = 0;
  ASSERT_EQ(
      RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\Product\\", 0, KEY_ALL_ACCESS, k.put(), &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const auto text = RegStringData(u"C:\\Program Files\\x");
  ASSERT_EQ(RegSetValueEx(k, u"Install_Dir", REG_SZ, text.data(), static_cast<DWORD>(text.size())), ERROR_SUCCESS);
  const uint8_t dword[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(RegSetValueEx(k, u"Count", REG_DWORD, dword, 4), ERROR_SUCCESS);
  const uint8_t blob[3] = {0, 0xFF, 7};
  ASSERT_EQ(RegSetValueEx(k, u"Blob", REG_BINARY, blob, 3), ERROR_SUCCESS);
  const auto expand = RegStringData(u"%TEMP%\\x");
  ASSERT_EQ(RegSetValueEx(k, u"Path", REG_EXPAND_SZ, expand.data(), static_cast<DWORD>(expand.size())), ERROR_SUCCESS);

  // Another handle, other case, no trailing backslash.
  RegKey r;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\vendor\\PRODUCT", 0, KEY_READ, r.put()), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"software\\VENDOR\\product", 0, KEY_READ, RegKey().put(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueEx(r, u"install_dir", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, text.size());
  std::vector<uint8_t> small(size - 1);
  DWORD smallSize = static_cast<DWORD>(small.size());
  EXPECT_EQ(RegQueryValueEx(r, u"INSTALL_DIR", &type, small.data(), &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, text.size());
  DWORD v = 0;
  ASSERT_TRUE(RegReadDword(r, u"count", &v));
  EXPECT_EQ(v, 0x12345678u);
  std::u16string s;
  EXPECT_FALSE(RegReadDword(r, u"Blob", &v)) << "a binary value is no 32-bit value";
  EXPECT_FALSE(RegReadString(r, u"Count", &s)) << "a 32-bit value is no string";
  ASSERT_TRUE(RegReadString(r, u"Path", &s));
  EXPECT_EQ(s, u"%TEMP%\\x");
  EXPECT_FALSE(RegReadString(r, u"Install_Dir", &s, 10)) << "does not fit a 10-byte buffer";

  // Overwrite keeps the stored name and the order of values.
  const auto other = RegStringData(u"D:\\y");
  ASSERT_EQ(RegSetValueEx(k, u"INSTALL_DIR", REG_SZ, other.data(), static_cast<DWORD>(other.size())), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    std::u16string name;
    const LSTATUS e = RegEnumValue(r, i, &name, nullptr, nullptr);
    if (e == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(e, ERROR_SUCCESS);
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Install_Dir", u"Count", u"Blob", u"Path"}));
  ASSERT_TRUE(RegReadString(r, u"Install_Dir", &s));
  EXPECT_EQ(s, u"D:\\y");

  EXPECT_EQ(RegDeleteValue(k, u"blob"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(k, u"blob"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueEx(r, u"Blob", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\Missing", 0, KEY_READ, RegKey().put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\\\Vendor", 0, KEY_READ, RegKey().put()), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"\\Software", 0, KEY_READ, RegKey().put()), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegQueryValueEx(nullptr, u"x", &type, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueEx(r, u"x", REG_DWORD, dword, 4), ERROR_ACCESS_DENIED) << "read-only handle";
}

TEST_F(Registry, SubkeysEnumerateInNameOrderAndTreesDelete) {
  for (const char16_t* p : {u"Root\\beta\\x", u"Root\\Alpha", u"Root\\gamma\\y\\z", u"Rooted"}) {
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, p, 0, KEY_WRITE, RegKey().put(), nullptr), ERROR_SUCCESS);
  }
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Root\\gamma\\y\\z", u"v", 1));
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Root", u"top", 2));
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Rooted", u"keep", 3));
  RegKey root;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"root", 0, KEY_ALL_ACCESS, root.put()), ERROR_SUCCESS);
  std::vector<std::u16string> subs;
  std::u16string name;
  for (DWORD i = 0; RegEnumKeyEx(root, i, &name) == ERROR_SUCCESS; ++i) subs.push_back(name);
  EXPECT_EQ(subs, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));

  RegKey doomed;
  ASSERT_EQ(RegOpenKeyEx(root, u"Gamma\\Y", 0, KEY_READ, doomed.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTree(root, u"GAMMA"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Root\\gamma\\y\\z", 0, KEY_READ, RegKey().put()), ERROR_FILE_NOT_FOUND);
  DWORD v = 0;
  EXPECT_EQ(RegQueryValueEx(doomed, u"v", nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteTree(root, u"gamma"), ERROR_FILE_NOT_FOUND);

  // Empty sub key: everything below the key goes, the key stays; the sibling sharing the prefix stays.
  ASSERT_EQ(RegDeleteTree(root, u""), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyEx(root, 0, &name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValue(root, 0, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Root", 0, KEY_READ, RegKey().put()), ERROR_SUCCESS);
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, u"Rooted", u"keep"), 3u);
  (void)v;
}

TEST_F(Registry, HivesAreSeparateAndTheCurrentUserHiveBelongsToTheRealUid) {
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Software\\K", u"Language", 1031));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"Language", 1036));
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, u"Software\\K", u"Language"), 1031u);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"Language"), 1036u);
  EXPECT_TRUE(std::filesystem::exists(RegUserDatabasePath(getuid())));
  EXPECT_TRUE(std::filesystem::exists(RegMachineDatabasePath()));
  HKEY other = nullptr;
  ASSERT_EQ(RegOpenUserHive(getuid() + 1000, &other), ERROR_SUCCESS) << "elevated: any user's hive";
  RegKey o(other);
  EXPECT_FALSE(GetDword(o, u"Software\\K", u"Language"));
}

TEST_F(Registry, MissingDatabaseReadsNothingAndReadsDoNotCreateIt) {
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, RegKey().put()), ERROR_FILE_NOT_FOUND);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, u"x", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  std::u16string name;
  EXPECT_EQ(RegEnumKeyEx(HKEY_LOCAL_MACHINE, 0, &name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, u"Software"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(RegMachineDatabasePath()));
}

std::vector<uint8_t> FileBytes(const std::string& p) {
  return kv::test::ReadFileBytes(p);
}

TEST_F(Registry, CorruptOrForeignDatabaseFailsCleanlyAndIsNeverReplaced) {
  const std::string path = RegMachineDatabasePath();
  std::vector<uint8_t> garbage = kv::test::PatternBytes(8192, 7);
  kv::test::WriteFileBytes(path, garbage);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, RegKey().put()), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_WRITE, RegKey().put(), nullptr), ERROR_BADDB);
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, u"x", REG_BINARY, garbage.data(), 4), ERROR_BADDB);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, u"", u"x"));
  EXPECT_EQ(FileBytes(path), garbage);

  // A valid SQLite file that is not ours: left alone as well.
  const std::string user = RegUserDatabasePath(getuid());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(user.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('mine');", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  const auto before = FileBytes(user);
  EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, u"Software", 0, KEY_WRITE, RegKey().put(), nullptr), ERROR_BADDB);
  EXPECT_FALSE(GetDword(HKEY_CURRENT_USER, u"", u"x"));
  EXPECT_EQ(FileBytes(user), before);
}

// A real second process holds the lock; the parent answers quickly instead of hanging.
TEST_F(Registry, LockedDatabaseWritesFailAndReadsStillWorkInWalMode) {
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount", 4));
  const std::string path = RegMachineDatabasePath();
  for (const bool exclusiveMode : {false, true}) {
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      sqlite3* db = nullptr;
      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) _exit(2);
      if (exclusiveMode && sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr)) _exit(3);
      if (sqlite3_exec(db, "BEGIN EXCLUSIVE; UPDATE vals SET type=type;", nullptr, nullptr, nullptr)) _exit(4);
      char c = 'r';
      if (write(toParent[1], &c, 1) != 1) _exit(5);
      if (read(toChild[0], &c, 1) != 1) _exit(6);
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    RegSetBusyTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, u"x", REG_DWORD, reinterpret_cast<const uint8_t*>("abcd"), 4),
              ERROR_CANTWRITE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    if (exclusiveMode) {
      EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount")) << "the holder shuts readers out";
    } else {
      EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount"), 4u) << "WAL readers are not blocked";
    }
    ASSERT_EQ(write(toChild[1], &c, 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
    RegSetBusyTimeout(5000);
    EXPECT_TRUE(SetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"After", 1)) << "usable again once released";
  }
}

TEST_F(Registry, ConcurrentProcessesLoseNoWrite) {
  constexpr int kPerProcess = 40;
  std::vector<pid_t> pids;
  for (int p = 0; p < 3; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        const std::u16string key = u"Software\\Shared\\P" + Utf8ToUtf16(std::to_string(p));
        if (!SetDword(HKEY_LOCAL_MACHINE, key, u"V" + Utf8ToUtf16(std::to_string(i)), static_cast<uint32_t>(i))) {
          ++failures;
        }
        if (!SetDword(HKEY_LOCAL_MACHINE, u"Software\\Shared",
                      u"P" + Utf8ToUtf16(std::to_string(p)) + u"V" + Utf8ToUtf16(std::to_string(i)),
                      static_cast<uint32_t>(i))) {
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegKey shared;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_READ, shared.put()), ERROR_SUCCESS);
  int values = 0;
  std::u16string name;
  while (RegEnumValue(shared, static_cast<DWORD>(values), &name, nullptr, nullptr) == ERROR_SUCCESS) ++values;
  EXPECT_EQ(values, 3 * kPerProcess);
  for (int p = 0; p < 3; ++p) {
    for (int i = 0; i < kPerProcess; ++i) {
      EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Software\\Shared\\P" + Utf8ToUtf16(std::to_string(p)),
                         u"V" + Utf8ToUtf16(std::to_string(i))),
                static_cast<uint32_t>(i));
    }
  }
}

// Machine writes need root; another user reads them but cannot change them, and its own
// read-only database fails writes without harm.
TEST_F(Registry, MachineWritesNeedElevation) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another uid";
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount", 5));
  chmod(root_.path().c_str(), 0755);
  chmod((root_.path() / "registry").c_str(), 0755);
  const std::string userDb = RegUserDatabasePath(kNobody);
  {
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenUserHive(kNobody, &h), ERROR_SUCCESS);
    RegKey nobody(h);
    ASSERT_TRUE(SetDword(nobody, u"Software\\K", u"Mine", 9));
  }
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string f = userDb + suffix;
    ASSERT_EQ(chown(f.c_str(), kNobody, kNobody), 0) << f;
    ASSERT_EQ(chmod(f.c_str(), 0444), 0) << f;
  }
  const int result = InChild([] {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
    int bad = 0;
    if (GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount") != 5u) bad |= 1;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\K", 0, KEY_WRITE, RegKey().put(), nullptr) !=
        ERROR_ACCESS_DENIED) {
      bad |= 2;
    }
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\New", 0, KEY_READ, RegKey().put(), nullptr) !=
        ERROR_ACCESS_DENIED) {
      bad |= 4;
    }
    if (RegSetValueEx(HKEY_LOCAL_MACHINE, u"x", REG_BINARY, reinterpret_cast<const uint8_t*>("x"), 1) !=
        ERROR_ACCESS_DENIED) {
      bad |= 8;
    }
    HKEY h = nullptr;
    if (RegOpenUserHive(0, &h) != ERROR_ACCESS_DENIED) bad |= 16;
    if (GetDword(HKEY_CURRENT_USER, u"Software\\K", u"Mine") != 9u) bad |= 32;
    const LSTATUS w = RegCreateKeyEx(HKEY_CURRENT_USER, u"Software\\Other", 0, KEY_WRITE, RegKey().put(), nullptr);
    if (w == ERROR_SUCCESS) bad |= 64;
    return bad;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"DiskCount"), 5u);
}

TEST_F(Registry, PackedValueParsesOnlyWhenEverythingIsInside) {
  PackedRegistryValue v{u"\\Registry\\Machine\\Software\\K", u"Name", REG_DWORD, {1, 2, 3, 4}};
  const auto packed = PackRegistryValue(v);
  PackedRegistryValue out;
  ASSERT_TRUE(ParsePackedRegistryValue(packed.data(), packed.size(), &out));
  EXPECT_EQ(out.keyPath, v.keyPath);
  EXPECT_EQ(out.valueName, v.valueName);
  EXPECT_EQ(out.type, v.type);
  EXPECT_EQ(out.data, v.data);
  for (size_t n = 0; n < packed.size(); ++n) {
    EXPECT_FALSE(ParsePackedRegistryValue(packed.data(), n, &out)) << "cut at " << n;
  }
  auto extra = packed;
  extra.push_back(0xEE);
  EXPECT_TRUE(ParsePackedRegistryValue(extra.data(), extra.size(), &out));
  auto huge = packed;
  const size_t lengthAt = packed.size() - 4 - 4;
  huge[lengthAt + 3] = 0xFF;  // data length far beyond the input
  EXPECT_FALSE(ParsePackedRegistryValue(huge.data(), huge.size(), &out));
}

TEST_F(Registry, AbsoluteWriteReachesTheHivesAndNeedsAnExistingParent) {
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_WRITE, RegKey().put(), nullptr), ERROR_SUCCESS);
  PackedRegistryValue v{u"\\REGISTRY\\Machine\\Software\\Korvendrake", u"Probe", REG_SZ, RegStringData(u"on")};
  EXPECT_EQ(WriteRegistryValueAbsolute(v), kv::STATUS_SUCCESS);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake", u"Probe"), u"on");
  v.keyPath = u"\\Registry\\Machine\\Software\\Missing\\Deeper";
  EXPECT_EQ(WriteRegistryValueAbsolute(v), kv::STATUS_OBJECT_NAME_NOT_FOUND);
  v.keyPath = u"\\Registry\\User\\" + Utf8ToUtf16(std::to_string(getuid()));
  EXPECT_EQ(WriteRegistryValueAbsolute(v), kv::STATUS_SUCCESS);
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, u"", u"Probe"), u"on");
  v.keyPath = u"\\Registry\\Machinery\\x";
  EXPECT_EQ(WriteRegistryValueAbsolute(v), kv::STATUS_OBJECT_NAME_INVALID);
  v.keyPath = u"C:\\x";
  EXPECT_EQ(WriteRegistryValueAbsolute(v), kv::STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Registry, DebugLineNeverReadsPastTheData) {
  PackedRegistryValue v{u"\\Registry\\Machine\\S", u"N", REG_BINARY, {'h', 0, 'i', 0, 'x'}};
  EXPECT_EQ(RegistryWriteDebugLine(kv::STATUS_ACCESS_DENIED, v),
            "SCDEmuWriteRegTable: c0000022, \\Registry\\Machine\\S, N, hi, 3, 5");
  v.data = {'a', 0, 'b', 0};  // no terminator
  EXPECT_EQ(RegistryWriteDebugLine(0, v), "SCDEmuWriteRegTable: 0, \\Registry\\Machine\\S, N, ab, 3, 4");
}

}  // namespace

namespace {

// In a shared platform root nobody but root may plant the machine hive, nor another user's hive.
TEST_F(Registry, HiveFilesOwnedBySomebodyElseAreNotBelieved) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"v", 1));
  ASSERT_EQ(chown(RegMachineDatabasePath().c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"v"));
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\K", 0, KEY_WRITE, RegKey().put(), nullptr),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(chown(RegMachineDatabasePath().c_str(), 0, 0), 0);
  ASSERT_EQ(chown((RegMachineDatabasePath() + "-wal").c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"v")) << "a planted log file counts too";
  ASSERT_EQ(chown((RegMachineDatabasePath() + "-wal").c_str(), 0, 0), 0);
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, u"Software\\K", u"v"), 1u);

  // An elevated process creating a user's hive hands the files to that user.
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenUserHive(kNobody, &h), ERROR_SUCCESS);
  RegKey nobody(h);
  ASSERT_TRUE(SetDword(nobody, u"Software\\K", u"v", 2));
  struct stat st {};
  ASSERT_EQ(stat(RegUserDatabasePath(kNobody).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  ASSERT_EQ(stat((root_.path() / "registry" / "users").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  ASSERT_EQ(chown(RegUserDatabasePath(kNobody).c_str(), kNobody + 1, kNobody), 0);
  EXPECT_FALSE(GetDword(nobody, u"Software\\K", u"v")) << "owned by a third user";
}

}  // namespace
