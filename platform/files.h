// File services of the platform that Windows programs expect: the temporary path and deletion of
// files at the next reboot.
#pragma once
#include <string>

namespace kv::platform {

// The system's temporary folder ($TMPDIR or /tmp), with a trailing "/".
std::string GetTempPath();

// Records `path` for deletion at the next boot (the platform's boot step runs the list).
bool RegisterDeleteAtReboot(const std::string& path);
// Deletes every recorded file that still exists and empties the list; returns how many were removed.
int RunPendingDeletes();

}  // namespace kv::platform
