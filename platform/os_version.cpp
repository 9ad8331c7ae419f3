#include "platform/os_version.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kv::platform {

bool GetVersionEx(OsVersionInfo* info) {
  if (!info) return false;
  *info = OsVersionInfo{6, 1, 7601, VER_PLATFORM_WIN32_NT};
  return true;
}

bool IsWow64Process(bool* wow64) {
  if (!wow64) return false;
  *wow64 = false;
  return true;
}

uint16_t LangIdFromLocaleName(const std::string& locale) {
  struct Entry {
    const char* name;
    uint16_t id;
  };
  // Full names first so that "pt_BR" wins over "pt".
  static constexpr Entry kTable[] = {
      {"en_US", 1033}, {"en_GB", 2057}, {"de_DE", 1031}, {"de_AT", 3079}, {"de_CH", 2055}, {"fr_FR", 1036},
      {"fr_CA", 3084}, {"es_ES", 3082}, {"es_MX", 2058}, {"it_IT", 1040}, {"pt_BR", 1046}, {"pt_PT", 2070},
      {"nl_NL", 1043}, {"ru_RU", 1049}, {"pl_PL", 1045}, {"cs_CZ", 1029}, {"ja_JP", 1041}, {"ko_KR", 1042},
      {"zh_CN", 2052}, {"zh_TW", 1028}, {"sv_SE", 1053}, {"da_DK", 1030}, {"fi_FI", 1035}, {"nb_NO", 1044},
      {"tr_TR", 1055}, {"hu_HU", 1038}, {"el_GR", 1032}, {"uk_UA", 1058}, {"en", 1033},    {"de", 1031},
      {"fr", 1036},    {"es", 3082},    {"it", 1040},    {"pt", 2070},    {"nl", 1043},    {"ru", 1049},
      {"pl", 1045},    {"cs", 1029},    {"ja", 1041},    {"ko", 1042},    {"zh", 2052},    {"sv", 1053},
      {"da", 1030},    {"fi", 1035},    {"nb", 1044},    {"tr", 1055},    {"hu", 1038},    {"el", 1032},
      {"uk", 1058},
  };
  const std::string base = locale.substr(0, locale.find_first_of(".@"));
  for (const Entry& e : kTable) {
    if (base == e.name) return e.id;
  }
  const std::string language = base.substr(0, base.find('_'));
  for (const Entry& e : kTable) {
    if (language == e.name) return e.id;
  }
  return 0;
}

uint16_t GetSystemDefaultLangID() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      const uint16_t id = LangIdFromLocaleName(v);
      return id ? id : 1033;
    }
  }
  return 1033;
}

std::string GetModuleFileName() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace kv::platform
