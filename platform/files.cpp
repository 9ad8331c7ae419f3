#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/paths.h"

namespace kv::platform {

namespace {

// Serialises writers of the list across processes.
class ListLock {
 public:
  explicit ListLock(const std::string& path) : fd_(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~ListLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string PendingListPath() {
  return PlatformPath("pending-deletes");
}

}  // namespace

std::string GetTempPath() {
  std::string dir;
  if (const char* t = std::getenv("TMPDIR"); t && *t) dir = t;
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool RegisterDeleteAtReboot(const std::string& path) {
  if (path.empty() || path.find('\n') != std::string::npos) return false;
  const std::string list = PendingListPath();
  ListLock lock(list);
  if (!lock.ok()) return false;
  std::ofstream out(list, std::ios::app);
  out << path << '\n';
  return static_cast<bool>(out.flush());
}

int RunPendingDeletes() {
  const std::string list = PendingListPath();
  ListLock lock(list);
  std::ifstream in(list);
  std::set<std::string> paths;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) paths.insert(line);
  int removed = 0;
  for (const auto& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(p, ec)) && std::filesystem::remove(p, ec))
      ++removed;
  }
  std::ofstream(list, std::ios::trunc);
  return removed;
}

}  // namespace kv::platform
