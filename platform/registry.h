// The registry: hives HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (per user) with keys, subkeys and
// typed values, kept in SQLite files under the platform root and shared by every process.
//
// Key and value names are compared without regard to ASCII case, as Windows does. Writes to
// HKEY_LOCAL_MACHINE need an elevated process (effective uid 0). HKEY_CURRENT_USER belongs to the
// real uid, so an elevated copy started by a user still sees that user's keys.
// A missing, unreadable, locked or corrupt database never crashes a caller: reads fail (callers use
// their defaults), writes fail with a result code, and a corrupt file is left as it is.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

using DWORD = uint32_t;
using LSTATUS = int32_t;
using REGSAM = uint32_t;

inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;  // the database file is corrupt
inline constexpr LSTATUS ERROR_CANTREAD = 1012;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;  // also: locked by another process too long
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM DELETE = 0x00010000;
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
inline constexpr REGSAM KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits (UTF-16 code units / bytes).
inline constexpr size_t kRegMaxKeyNameLength = 255;
inline constexpr size_t kRegMaxKeyPathLength = 4096;
inline constexpr size_t kRegMaxValueNameLength = 16383;
inline constexpr size_t kRegMaxValueSize = 1u << 20;

struct RegKeyObject;
using HKEY = RegKeyObject*;
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});

// `subKey` may end with one backslash; empty opens another handle to `parent`.
LSTATUS RegOpenKeyEx(HKEY parent, std::u16string_view subKey, DWORD options, REGSAM access, HKEY* result);
// Creates the missing keys of the path. `disposition` (optional) tells whether the key is new.
LSTATUS RegCreateKeyEx(HKEY parent, std::u16string_view subKey, DWORD options, REGSAM access, HKEY* result,
                       DWORD* disposition);
// Windows semantics: `data` null asks for the size; too small a buffer gives ERROR_MORE_DATA and
// the size needed in *dataSize. `type` and `data`/`dataSize` are optional.
LSTATUS RegQueryValueEx(HKEY key, std::u16string_view valueName, DWORD* type, uint8_t* data, DWORD* dataSize);
LSTATUS RegSetValueEx(HKEY key, std::u16string_view valueName, DWORD type, const uint8_t* data, DWORD dataSize);
LSTATUS RegDeleteValue(HKEY key, std::u16string_view valueName);
// With `subKey`: that key and everything below it. Empty: every value and subkey of `key`.
LSTATUS RegDeleteTree(HKEY key, std::u16string_view subKey);
// Subkeys in case-insensitive name order; ERROR_NO_MORE_ITEMS past the last.
LSTATUS RegEnumKeyEx(HKEY key, DWORD index, std::u16string* name);
// Values in the order they were created; ERROR_NO_MORE_ITEMS past the last.
LSTATUS RegEnumValue(HKEY key, DWORD index, std::u16string* name, DWORD* type, std::vector<uint8_t>* data);
LSTATUS RegCloseKey(HKEY key);

// The HKEY_CURRENT_USER hive of another user; only an elevated process may open other users'.
LSTATUS RegOpenUserHive(uid_t uid, HKEY* result);

// Owns a key handle (predefined handles are never closed).
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY h) : h_(h) {}
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKey(RegKey&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  RegKey& operator=(RegKey&& o) noexcept {
    if (this != &o) {
      Close();
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  HKEY get() const { return h_; }
  operator HKEY() const { return h_; }
  // For the out-parameter of RegOpenKeyEx/RegCreateKeyEx; closes what was held.
  HKEY* put() {
    Close();
    return &h_;
  }
  bool valid() const { return h_ != nullptr; }
  void Close() {
    if (h_) RegCloseKey(h_);
    h_ = nullptr;
  }

 private:
  HKEY h_ = nullptr;
};

// String data as the registry keeps it: UTF-16LE with a terminating zero.
std::vector<uint8_t> RegStringData(std::u16string_view text);
// The text of string data: stops at the first zero character; an odd last byte is ignored.
std::u16string RegDataToString(const uint8_t* data, size_t size);

// Convenience reads: false when the value is missing, of another type or unreadable.
// `maxBytes` is the caller's buffer size (terminator included); longer values fail (ERROR_MORE_DATA).
bool RegReadString(HKEY key, std::u16string_view valueName, std::u16string* text, size_t maxBytes = 2048);
bool RegReadDword(HKEY key, std::u16string_view valueName, DWORD* value);

// Name of a result code ("ERROR_ACCESS_DENIED") for messages.
const char* RegResultName(LSTATUS result);

// How long an operation waits for another process's lock before failing (default 5000 ms).
void RegSetBusyTimeout(int milliseconds);

// The database file of a hive (tests and tools).
std::string RegMachineDatabasePath();
std::string RegUserDatabasePath(uid_t uid);

}  // namespace kv::platform
