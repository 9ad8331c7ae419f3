#include "tests/host/host_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/devio.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {

HostProcess::HostProcess(const std::string& program, const std::string& root, const std::vector<std::string>& args) {
  setenv("KV_PLATFORM_ROOT", root.c_str(), 1);
  logPath_ = root + ".host.log";
  pid_ = fork();
  if (pid_ == 0) {
    FILE* log = std::fopen(logPath_.c_str(), "w");
    if (log) dup2(fileno(log), 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

HostProcess::~HostProcess() {
  if (pid_ > 0) Stop(SIGKILL);
  std::error_code ec;
  std::filesystem::remove(logPath_, ec);
}

bool HostProcess::WaitReady() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    platform::DeviceChangeSubscription probe;
    if (probe.Open()) return true;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int HostProcess::Stop(int signal) {
  if (pid_ <= 0) return status_;
  kill(pid_, signal);
  return Wait();
}

int HostProcess::Wait() {
  if (pid_ <= 0) return status_;
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return status_;
}

std::string HostProcess::Log() const {
  std::ifstream f(logPath_);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

pid_t StartKvexport(const std::string& mountpoint) {
  const std::string program = ProgramPath("kvexport");
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program.c_str(), program.c_str(), mountpoint.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec))
    out.push_back(std::filesystem::relative(e.path(), folder).string());
  return out;
}

}  // namespace kv::test
