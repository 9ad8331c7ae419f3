#include "platform/ntpath.h"

#include <unistd.h>

#include <climits>

#include "platform/wide_text.h"

namespace kv::platform {

bool LinuxPathToNt(const std::string& linuxPath, std::u16string* ntPath) {
  if (linuxPath.empty() || linuxPath.find('\\') != std::string::npos || linuxPath.find('\0') != std::string::npos)
    return false;
  std::string absolute = linuxPath;
  if (absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    absolute = std::string(cwd) + (cwd[1] == '\0' ? "" : "/") + linuxPath;
  }
  std::string nt = "\\??\\C:";
  for (char c : absolute) nt.push_back(c == '/' ? '\\' : c);
  *ntPath = Utf8ToUtf16(nt);
  return true;
}

}  // namespace kv::platform
