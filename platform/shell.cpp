#include "platform/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/wide_text.h"

namespace kv::platform {

namespace {

bool IsWebAddress(std::u16string_view s) {
  const size_t p = s.find(u"://");
  return p != std::u16string_view::npos && p > 0 && s.find_first_of(u"/\\") > p;
}

}  // namespace

bool ShellExecute(std::u16string_view verb, std::u16string_view file, std::u16string_view parameters, pid_t* process) {
  if (verb != u"open" && verb != u"runas") return false;
  if (file.empty()) return false;
  std::vector<std::string> args;
  if (verb == u"open" && IsWebAddress(file)) args.push_back("xdg-open");
  args.push_back(Utf16ToUtf8(std::u16string(file)));
  if (!parameters.empty()) args.push_back(Utf16ToUtf8(std::u16string(parameters)));
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const bool search = args[0] == "xdg-open";

  // The exec's outcome comes back through a close-on-exec pipe: no bytes means it ran.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const bool detach = process == nullptr;
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    close(report[0]);
    if (detach) {
      // A grandchild that init reaps.
      const pid_t grandchild = fork();
      if (grandchild != 0) _exit(grandchild < 0 ? 127 : 0);
      setsid();
    }
    if (search) {
      execvp(argv[0], argv.data());
    } else {
      execv(argv[0], argv.data());
    }
    const int err = errno;
    (void)!write(report[1], &err, sizeof err);
    _exit(127);
  }
  close(report[1]);
  int err = 0;
  ssize_t got;
  do {
    got = read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (detach) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  }
  if (got > 0) {
    if (!detach) {
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    return false;
  }
  if (process) *process = child;
  return true;
}

}  // namespace kv::platform
