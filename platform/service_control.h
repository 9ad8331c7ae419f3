// The service control manager: services recorded where Windows keeps them
// (HKLM\SYSTEM\CurrentControlSet\Services\<name>), started as processes with a control channel,
// stopped through it; the dispatcher and handler of a service program; a boot step that starts
// the boot and automatic services in order. Failures leave a Win32 error for GetLastError().
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace kv::platform {

inline constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services\\";

inline constexpr uint32_t SERVICE_KERNEL_DRIVER = 0x1;
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_BOOT_START = 0;
inline constexpr uint32_t SERVICE_SYSTEM_START = 1;
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 1;

inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

inline constexpr LSTATUS ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr LSTATUS ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr LSTATUS ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr LSTATUS ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr LSTATUS ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr LSTATUS ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr LSTATUS ERROR_PROCESS_ABORTED = 1067;
inline constexpr LSTATUS ERROR_SERVICE_EXISTS = 1073;

struct SERVICE_STATUS {
  uint32_t dwServiceType;
  uint32_t dwCurrentState;
  uint32_t dwControlsAccepted;
  uint32_t dwWin32ExitCode;
  uint32_t dwServiceSpecificExitCode;
  uint32_t dwCheckPoint;
  uint32_t dwWaitHint;
};
static_assert(sizeof(SERVICE_STATUS) == 28);

struct ServiceConfig {
  std::u16string name;
  std::u16string displayName;
  uint32_t type = SERVICE_WIN32_OWN_PROCESS;
  uint32_t start = SERVICE_DEMAND_START;
  uint32_t errorControl = SERVICE_ERROR_NORMAL;
  std::u16string imagePath;  // the program, quoted when it holds spaces
  std::u16string group;
};

// Records a new service (HKLM write: elevated). ERROR_SERVICE_EXISTS when it is there.
bool CreateService(const ServiceConfig& config);
// True when the service is recorded (ERROR_SERVICE_DOES_NOT_EXIST otherwise).
bool OpenService(const std::u16string& name, ServiceConfig* config = nullptr);
// Removes the record (the running process is not stopped).
bool DeleteService(const std::u16string& name);
// Every recorded service.
std::vector<std::u16string> EnumServices();

// Starts the program. A driver (kernel driver type) is the kernel host: started when the host
// answers. Another service is started once its program runs the control dispatcher.
bool StartService(const std::u16string& name);
// Sends a control code and gives the status the service reports back. A driver only stops
// (its host ends as on unload). ERROR_SERVICE_NOT_ACTIVE when it does not run.
bool ControlService(const std::u16string& name, uint32_t control, SERVICE_STATUS* status);
// A service whose process ended without reporting "stopped" reads as stopped with
// ERROR_PROCESS_ABORTED. `pid` receives its process (0 when none).
bool QueryServiceStatus(const std::u16string& name, SERVICE_STATUS* status, pid_t* pid = nullptr);
// Waits at most timeoutMs until the service reports `state`.
bool WaitServiceState(const std::u16string& name, uint32_t state, int timeoutMs);

// The stand-in for booting: runs the pending deletes, starts the boot and system drivers, then
// the automatic services, then the programs of the Run entries that exist. Returns the number of
// services that failed to start; `log` receives one line per step.
int BootSystem(std::vector<std::string>* log);
// Stops every running service in the reverse order (services, then drivers) and waits for each.
int ShutdownSystem(std::vector<std::string>* log);

// ---- Inside a service program --------------------------------------------------------------

// Runs `serviceMain` on a new thread and delivers control codes to the registered handler on
// the calling thread; returns when serviceMain has returned. Fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not started by StartService.
bool StartServiceCtrlDispatcher(const std::u16string& name, const std::function<void()>& serviceMain);
using ServiceHandler = void (*)(uint32_t control);
using SERVICE_STATUS_HANDLE = uintptr_t;
// 0 on failure.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::u16string& name, ServiceHandler handler);
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

}  // namespace kv::platform
