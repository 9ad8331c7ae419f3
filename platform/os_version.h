// What the system says about itself: its version (an NT 6 class system), whether the process runs
// under WOW64, and the system's default language.
#pragma once
#include <cstdint>
#include <string>

namespace kv::platform {

inline constexpr uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

struct OsVersionInfo {
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint32_t platformId = 0;
};

// False when the version cannot be told. Here: NT 6.1.
bool GetVersionEx(OsVersionInfo* info);
// False when the test itself fails. Here the process is native, so never WOW64.
bool IsWow64Process(bool* wow64);
// LANGID of the locale in LC_ALL, LC_MESSAGES or LANG ("de_DE.UTF-8" -> 1031); 1033 otherwise.
uint16_t GetSystemDefaultLangID();
// LANGID of a locale name such as "de_DE.UTF-8", "fr" or "pt_BR"; 0 when unknown.
uint16_t LangIdFromLocaleName(const std::string& locale);
// Full path of the running program; empty when unknown.
std::string GetModuleFileName();

}  // namespace kv::platform
