// Starting programs the way the shell does for the verbs "open" and "runas".
#pragma once
#include <sys/types.h>

#include <string_view>

namespace kv::platform {

// Starts `file` with `parameters` as its one argument (none when empty) in the current folder.
// "open" also opens a web address ("scheme://...") with the desktop's handler (xdg-open). "runas"
// starts the program with this process's rights: elevated exactly when the caller is (here that
// is an effective uid of 0). False when the verb is unknown or the program could not be started.
// With `process` the caller gets the child to wait for; without it the child is not the
// caller's to reap.
bool ShellExecute(std::u16string_view verb, std::u16string_view file, std::u16string_view parameters,
                  pid_t* process = nullptr);

}  // namespace kv::platform
