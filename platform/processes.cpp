#include "platform/processes.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace kv::platform {

bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  FILE* f = std::fopen(stat.c_str(), "r");
  if (!f) return errno != ENOENT;
  // "pid (comm) S ...": the state follows the last ')'.
  char buffer[512];
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  const std::string text(buffer, n);
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return true;
  const char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

gid_t SystemUsersGroup() {
  if (const group* g = getgrnam("korvendrake")) return g->gr_gid;
  return getegid();
}

bool RestrictToSystemUsers(const char* path, mode_t mode) {
  const gid_t gid = SystemUsersGroup();
  if (chown(path, static_cast<uid_t>(-1), gid) != 0 && gid != getegid()) return false;
  return chmod(path, mode) == 0;
}

}  // namespace kv::platform
