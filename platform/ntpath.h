// Linux paths in the NT form that the driver expects of a MountRequest name.
#pragma once
#include <string>

namespace kv::platform {

// "/srv/x.iso" -> "\??\C:\srv\x.iso" (the root file system is the system disk C:). A relative
// path is taken from the current folder first. False for an empty path, or one holding a
// backslash or a NUL (they have no NT spelling that maps back to the same file).
bool LinuxPathToNt(const std::string& linuxPath, std::u16string* ntPath);

}  // namespace kv::platform
