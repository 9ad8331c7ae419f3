// Processes as the service manager and the command-area clients see them.
#pragma once
#include <sys/types.h>

namespace kv::platform {

// True while `pid` runs; a process that ended but was not yet reaped counts as ended.
bool ProcessAlive(pid_t pid);

// Group whose members may use the service's command area and pipe: "korvendrake" when the system
// has it, else the group of this process.
gid_t SystemUsersGroup();

// Gives `path` to SystemUsersGroup() with `mode` (for example 0660).
bool RestrictToSystemUsers(const char* path, mode_t mode);

}  // namespace kv::platform
