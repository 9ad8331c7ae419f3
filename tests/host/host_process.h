// Runs a kvemu host (the real one or the test host) in a private platform root for one test.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace kv::test {

class HostProcess {
 public:
  // Sets KV_PLATFORM_ROOT of this process to `root` as well, so the device I/O calls of the
  // test reach this host.
  HostProcess(const std::string& program, const std::string& root, const std::vector<std::string>& args = {});
  ~HostProcess();
  // Waits until the host answers (false when it exited or did not come up within 10 s).
  bool WaitReady();
  // Sends `signal` and waits for the exit; returns the exit status (-1 when killed by a signal).
  int Stop(int signal);
  // Waits for an exit that happens on its own.
  int Wait();
  pid_t pid() const { return pid_; }
  // What the host wrote to stderr.
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  std::string logPath_;
  int status_ = -1;
};

// Starts kvexport on `mountpoint` in the foreground of a child process; returns its pid.
pid_t StartKvexport(const std::string& mountpoint);

// Every entry left in a folder (names relative to it).
std::vector<std::string> FolderEntries(const std::string& folder);

}  // namespace kv::test
