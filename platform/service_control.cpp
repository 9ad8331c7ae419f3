#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/devio.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/wide_text.h"

namespace kv::platform {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kServiceEnvironment = "KV_SCM_SERVICE";
constexpr uint32_t kStateMagic = 0x31534353;  // "SCS1"
constexpr int kStartTimeoutMs = 30000;
constexpr int kControlTimeoutMs = 120000;

// What the service's process last reported.
struct StateRecord {
  uint32_t magic;
  int32_t pid;
  SERVICE_STATUS status;
};
static_assert(sizeof(StateRecord) == 36);

std::string FileStem(const std::u16string& name) {
  std::string stem;
  for (unsigned char c : Utf16ToUtf8(name)) {
    if (std::isalnum(c) || c == '-' || c == '.') {
      stem += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      stem += hex;
    }
  }
  return PlatformPath("services/" + stem);
}

std::string StatePath(const std::u16string& name) {
  return FileStem(name) + ".state";
}
std::string ControlPath(const std::u16string& name) {
  return FileStem(name) + ".ctl";
}
std::string LogPath(const std::u16string& name) {
  return FileStem(name) + ".log";
}

bool WriteState(const std::u16string& name, pid_t pid, const SERVICE_STATUS& status) {
  const StateRecord record{kStateMagic, static_cast<int32_t>(pid), status};
  const std::string path = StatePath(name);
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record);
  close(fd);
  return ok && rename(temp.c_str(), path.c_str()) == 0;
}

bool ReadState(const std::u16string& name, StateRecord* record) {
  const int fd = open(StatePath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = read(fd, record, sizeof *record) == static_cast<ssize_t>(sizeof *record);
  close(fd);
  return ok && record->magic == kStateMagic;
}

bool Address(const std::string& path, sockaddr_un* addr) {
  if (path.size() >= sizeof addr->sun_path) return false;
  *addr = {};
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int ConnectControl(const std::u16string& name) {
  sockaddr_un addr;
  if (!Address(ControlPath(name), &addr)) return -1;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

RegKey OpenServiceKey(const std::u16string& name, bool create) {
  RegKey key;
  const std::u16string path = std::u16string(kServicesKey) + name;
  const LSTATUS r = create ? RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.put(), nullptr)
                           : RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put());
  if (r != ERROR_SUCCESS) SetLastError(r == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST : r);
  return key;
}

bool SetDword(HKEY key, std::u16string_view name, uint32_t value) {
  return RegSetValueEx(key, name, REG_DWORD, reinterpret_cast<const uint8_t*>(&value), 4) == ERROR_SUCCESS;
}
bool SetString(HKEY key, std::u16string_view name, uint32_t type, const std::u16string& text) {
  const auto data = RegStringData(text);
  return RegSetValueEx(key, name, type, data.data(), static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

// The program and its arguments of an image path ("\"/a b/prog\" -x" or "/prog -x").
std::vector<std::string> SplitCommand(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size()) break;
    if (line[at] == '"') {
      const size_t end = line.find('"', at + 1);
      words.push_back(line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
      at = end == std::string::npos ? line.size() : end + 1;
    } else {
      const size_t end = line.find(' ', at);
      words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
      at = end == std::string::npos ? line.size() : end;
    }
  }
  return words;
}

// Starts `words` detached from the caller (its own session, output to `log`); returns its pid.
pid_t Spawn(const std::vector<std::string>& words, const std::string& log, const std::u16string& serviceName) {
  int pipeFds[2];
  if (words.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild != 0) {
      const int32_t pid = grandchild;
      (void)!write(pipeFds[1], &pid, sizeof pid);
      _exit(0);
    }
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!serviceName.empty()) {
      setenv(kServiceEnvironment, Utf16ToUtf8(serviceName).c_str(), 1);
      // Reported before the program runs, so that no later report of the program is overwritten.
      SERVICE_STATUS pending{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
      WriteState(serviceName, getpid(), pending);
    }
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  close(pipeFds[1]);
  int32_t pid = -1;
  if (read(pipeFds[0], &pid, sizeof pid) != sizeof pid) pid = -1;
  close(pipeFds[0]);
  waitpid(child, nullptr, 0);
  return pid;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

// ---- The dispatcher's side ----

struct Dispatch {
  std::mutex lock;
  std::u16string name;
  ServiceHandler handler = nullptr;
  SERVICE_STATUS status{};
  bool active = false;
};
Dispatch g_dispatch;

}  // namespace

bool CreateService(const ServiceConfig& config) {
  if (config.name.empty() || config.name.size() > 256 || config.name.find(u'\\') != std::u16string::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (OpenService(config.name)) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return false;
  }
  RegKey key = OpenServiceKey(config.name, true);
  if (!key) return false;
  const bool ok =
      SetDword(key, u"Type", config.type) && SetDword(key, u"Start", config.start) &&
      SetDword(key, u"ErrorControl", config.errorControl) &&
      SetString(key, u"ImagePath", REG_EXPAND_SZ, config.imagePath) &&
      SetString(key, u"DisplayName", REG_SZ, config.displayName.empty() ? config.name : config.displayName) &&
      SetString(key, u"ObjectName", REG_SZ, u"LocalSystem") &&
      (config.group.empty() || SetString(key, u"Group", REG_SZ, config.group));
  if (!ok) {
    SetLastError(ERROR_ACCESS_DENIED);
    key.Close();
    RegDeleteTree(HKEY_LOCAL_MACHINE, std::u16string(kServicesKey) + config.name);
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool OpenService(const std::u16string& name, ServiceConfig* config) {
  if (name.empty()) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  RegKey key = OpenServiceKey(name, false);
  if (!key) return false;
  DWORD type = 0;
  if (!RegReadDword(key, u"Type", &type)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  if (config) {
    config->name = name;
    config->type = type;
    DWORD v = 0;
    config->start = RegReadDword(key, u"Start", &v) ? v : SERVICE_DEMAND_START;
    config->errorControl = RegReadDword(key, u"ErrorControl", &v) ? v : SERVICE_ERROR_NORMAL;
    RegReadString(key, u"ImagePath", &config->imagePath, 8192);
    RegReadString(key, u"DisplayName", &config->displayName, 1024);
    RegReadString(key, u"Group", &config->group, 1024);
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool DeleteService(const std::u16string& name) {
  if (!OpenService(name)) return false;
  const LSTATUS r = RegDeleteTree(HKEY_LOCAL_MACHINE, std::u16string(kServicesKey) + name);
  if (r != ERROR_SUCCESS) {
    SetLastError(r);
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

std::vector<std::u16string> EnumServices() {
  std::vector<std::u16string> names;
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
  std::u16string name;
  for (DWORD i = 0; i < 100000 && RegEnumKeyEx(key, i, &name) == ERROR_SUCCESS; ++i)
    if (OpenService(name)) names.push_back(name);
  return names;
}

bool QueryServiceStatus(const std::u16string& name, SERVICE_STATUS* status, pid_t* pid) {
  ServiceConfig config;
  if (!OpenService(name, &config)) return false;
  StateRecord record{};
  *status = SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  if (pid) *pid = 0;
  if (ReadState(name, &record)) {
    *status = record.status;
    if (record.status.dwCurrentState != SERVICE_STOPPED && !ProcessAlive(record.pid)) {
      status->dwCurrentState = SERVICE_STOPPED;
      status->dwControlsAccepted = 0;
      status->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    } else if (record.status.dwCurrentState != SERVICE_STOPPED && pid) {
      *pid = record.pid;
    }
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool WaitServiceState(const std::u16string& name, uint32_t state, int timeoutMs) {
  return WaitUntil(
      [&] {
        SERVICE_STATUS s{};
        return QueryServiceStatus(name, &s) && s.dwCurrentState == state;
      },
      timeoutMs);
}

bool StartService(const std::u16string& name) {
  ServiceConfig config;
  if (!OpenService(name, &config)) return false;
  SERVICE_STATUS now{};
  QueryServiceStatus(name, &now);
  if (now.dwCurrentState != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return false;
  }
  const std::vector<std::string> words = SplitCommand(Utf16ToUtf8(config.imagePath));
  if (words.empty() || access(words[0].c_str(), X_OK) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const bool driver = config.type == SERVICE_KERNEL_DRIVER;
  const pid_t pid = Spawn(words, LogPath(name), driver ? std::u16string() : name);
  if (pid <= 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool started = false;
  if (driver) {
    WriteState(name, pid, SERVICE_STATUS{config.type, SERVICE_START_PENDING, 0, 0, 0, 0, 0});
    started = WaitUntil(
        [&] {
          DeviceChangeSubscription probe;
          return probe.Open() || !ProcessAlive(pid);
        },
        kStartTimeoutMs);
    started = started && ProcessAlive(pid);
    if (started) WriteState(name, pid, SERVICE_STATUS{config.type, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0});
  } else {
    started = WaitUntil(
        [&] {
          const int fd = ConnectControl(name);
          if (fd >= 0) close(fd);
          return fd >= 0 || !ProcessAlive(pid);
        },
        kStartTimeoutMs);
    started = started && ProcessAlive(pid);
  }
  if (!started) {
    if (ProcessAlive(pid)) kill(pid, SIGKILL);
    WriteState(name, pid, SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, ERROR_SERVICE_REQUEST_TIMEOUT, 0, 0, 0});
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool ControlService(const std::u16string& name, uint32_t control, SERVICE_STATUS* status) {
  ServiceConfig config;
  pid_t pid = 0;
  if (!QueryServiceStatus(name, status, &pid)) return false;
  if (status->dwCurrentState == SERVICE_STOPPED || pid <= 0) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return false;
  }
  OpenService(name, &config);
  if (config.type == SERVICE_KERNEL_DRIVER) {
    if (control != SERVICE_CONTROL_STOP) {
      SetLastError(control == SERVICE_CONTROL_INTERROGATE ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
      return control == SERVICE_CONTROL_INTERROGATE;
    }
    WriteState(name, pid, SERVICE_STATUS{config.type, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0});
    kill(pid, SIGTERM);
    if (!WaitUntil([&] { return !ProcessAlive(pid); }, kControlTimeoutMs)) {
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      return false;
    }
    *status = SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    WriteState(name, pid, *status);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  const int fd = ConnectControl(name);
  if (fd < 0) {
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return false;
  }
  bool ok = send(fd, &control, sizeof control, MSG_NOSIGNAL) == sizeof control;
  pollfd p{fd, POLLIN, 0};
  ok = ok && poll(&p, 1, kControlTimeoutMs) == 1;
  SERVICE_STATUS answer{};
  ok = ok && recv(fd, &answer, sizeof answer, 0) == sizeof answer;
  close(fd);
  if (!ok) {
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return false;
  }
  *status = answer;
  SetLastError(ERROR_SUCCESS);
  return true;
}

int BootSystem(std::vector<std::string>* log) {
  RunPendingDeletes();
  struct Entry {
    std::u16string name;
    uint32_t start;
  };
  std::vector<Entry> entries;
  for (const auto& name : EnumServices()) {
    ServiceConfig c;
    if (OpenService(name, &c) && c.start <= SERVICE_AUTO_START) entries.push_back({name, c.start});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.start < b.start; });
  int failed = 0;
  for (const auto& e : entries) {
    SERVICE_STATUS s{};
    if (QueryServiceStatus(e.name, &s) && s.dwCurrentState != SERVICE_STOPPED) {
      if (log) log->push_back(Utf16ToUtf8(e.name) + ": already running");
      continue;
    }
    const bool ok = StartService(e.name);
    if (!ok) ++failed;
    if (log)
      log->push_back(Utf16ToUtf8(e.name) +
                     (ok ? ": started" : ": failed to start, error " + std::to_string(GetLastError())));
  }
  // The logon: programs of the machine's Run entries that are installed.
  RegKey run;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ, run.put()) ==
      ERROR_SUCCESS) {
    std::u16string value;
    DWORD type = 0;
    std::vector<uint8_t> data;
    for (DWORD i = 0; i < 1000 && RegEnumValue(run, i, &value, &type, &data) == ERROR_SUCCESS; ++i) {
      if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
      const auto words = SplitCommand(Utf16ToUtf8(RegDataToString(data.data(), data.size())));
      if (words.empty() || access(words[0].c_str(), X_OK) != 0) continue;
      const pid_t pid = Spawn(words, PlatformPath("services/run.log"), {});
      if (log) log->push_back(words[0] + (pid > 0 ? ": started at logon" : ": failed to start at logon"));
    }
  }
  return failed;
}

int ShutdownSystem(std::vector<std::string>* log) {
  std::vector<std::u16string> services;
  std::vector<std::u16string> drivers;
  for (const auto& name : EnumServices()) {
    ServiceConfig c;
    SERVICE_STATUS s{};
    if (!OpenService(name, &c) || !QueryServiceStatus(name, &s) || s.dwCurrentState == SERVICE_STOPPED) continue;
    (c.type == SERVICE_KERNEL_DRIVER ? drivers : services).push_back(name);
  }
  std::reverse(services.begin(), services.end());
  std::reverse(drivers.begin(), drivers.end());
  services.insert(services.end(), drivers.begin(), drivers.end());
  int failed = 0;
  for (const auto& name : services) {
    SERVICE_STATUS s{};
    const bool ok = ControlService(name, SERVICE_CONTROL_STOP, &s) && WaitServiceState(name, SERVICE_STOPPED, 120000);
    if (!ok) ++failed;
    if (log) log->push_back(Utf16ToUtf8(name) + (ok ? ": stopped" : ": did not stop"));
  }
  return failed;
}

bool StartServiceCtrlDispatcher(const std::u16string& name, const std::function<void()>& serviceMain) {
  const char* env = std::getenv(kServiceEnvironment);
  if (!env || Utf8ToUtf16(env) != name) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  sockaddr_un addr;
  const std::string path = ControlPath(name);
  const int listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  unlink(path.c_str());
  if (listenFd < 0 || !Address(path, &addr) || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(listenFd, 16) != 0) {
    if (listenFd >= 0) close(listenFd);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  {
    std::lock_guard<std::mutex> g(g_dispatch.lock);
    g_dispatch.name = name;
    g_dispatch.active = true;
    g_dispatch.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  }
  const int doneFd = eventfd(0, EFD_CLOEXEC);
  std::thread main([&] {
    serviceMain();
    const uint64_t one = 1;
    (void)!write(doneFd, &one, sizeof one);
  });
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    uint32_t control = 0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) == 1 && recv(fd, &control, sizeof control, 0) == sizeof control) {
      ServiceHandler handler;
      {
        std::lock_guard<std::mutex> g(g_dispatch.lock);
        handler = g_dispatch.handler;
      }
      if (handler) handler(control);
      SERVICE_STATUS status;
      {
        std::lock_guard<std::mutex> g(g_dispatch.lock);
        status = g_dispatch.status;
      }
      send(fd, &status, sizeof status, MSG_NOSIGNAL);
    }
    close(fd);
  }
  main.join();
  close(listenFd);
  close(doneFd);
  unlink(path.c_str());
  std::lock_guard<std::mutex> g(g_dispatch.lock);
  if (g_dispatch.status.dwCurrentState != SERVICE_STOPPED) {
    g_dispatch.status.dwCurrentState = SERVICE_STOPPED;
    WriteState(name, getpid(), g_dispatch.status);
  }
  g_dispatch.active = false;
  SetLastError(ERROR_SUCCESS);
  return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::u16string& name, ServiceHandler handler) {
  std::lock_guard<std::mutex> g(g_dispatch.lock);
  if (!g_dispatch.active) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return 0;
  }
  if (name != g_dispatch.name || !handler) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  g_dispatch.handler = handler;
  return 1;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
  std::lock_guard<std::mutex> g(g_dispatch.lock);
  if (handle != 1 || !g_dispatch.active) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  g_dispatch.status = status;
  return WriteState(g_dispatch.name, getpid(), status);
}

}  // namespace kv::platform
