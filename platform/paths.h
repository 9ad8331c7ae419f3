// Where the platform keeps its shared state: sockets, named objects, the registry.
#pragma once
#include <string>

namespace kv::platform {

// KV_PLATFORM_ROOT when set; else /run/korvendrake for root and $XDG_RUNTIME_DIR/korvendrake
// (or /tmp/korvendrake-UID) for other users. The folder is created on first use.
std::string PlatformRoot();

// PlatformRoot() + "/" + relative, with the parent folders created.
std::string PlatformPath(const std::string& relative);

}  // namespace kv::platform
