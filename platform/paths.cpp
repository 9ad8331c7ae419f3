#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kv::platform {

std::string PlatformRoot() {
  std::string root;
  if (const char* r = std::getenv("KV_PLATFORM_ROOT"); r && *r) {
    root = r;
  } else if (geteuid() == 0) {
    root = "/run/korvendrake";
  } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
    root = std::string(x) + "/korvendrake";
  } else {
    root = "/tmp/korvendrake-" + std::to_string(geteuid());
  }
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  return root;
}

std::string PlatformPath(const std::string& relative) {
  std::filesystem::path p = std::filesystem::path(PlatformRoot()) / relative;
  std::error_code ec;
  std::filesystem::create_directories(p.parent_path(), ec);
  return p.string();
}

}  // namespace kv::platform
