#include "service/host/cnt_service.h"

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "common/config_names.h"
#include "platform/devio.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/wide_text.h"
#include "service/commands/drives.h"

namespace kv::service {

CNTService* CNTService::instance_ = nullptr;

CNTService::CNTService(const std::u16string& serviceName) : name_(serviceName.substr(0, 63)) {
  instance_ = this;
  status_.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = platform::SERVICE_STOPPED;
  status_.dwControlsAccepted = platform::SERVICE_ACCEPT_STOP;
  systemLevel_ = SystemAnnouncesLetters();
}

CNTService::~CNTService() {
  if (eventSource_) platform::DeregisterEventSource(eventSource_);
  if (instance_ == this) instance_ = nullptr;
}

void CNTService::Run() {
  while (isRunning_.load()) std::this_thread::sleep_for(std::chrono::seconds(1));
}

bool CNTService::OnInit() {
  return true;
}

void CNTService::OnStop() {}

bool CNTService::ParseStandardArgs(int argc, char** argv) {
  if (argc < 2) return false;
  const std::string name = platform::Utf16ToUtf8(name_);
  if (strcasecmp(argv[1], "-v") == 0) {
    std::printf("%s Version %d.%d\n", name.c_str(), major_, minor_);
    std::printf("The service is %s installed\n", IsInstalled() ? "currently" : "not");
    return true;
  }
  if (strcasecmp(argv[1], "-i") == 0) {
    if (IsInstalled()) {
      std::printf("%s is already installed\n", name.c_str());
    } else if (Install()) {
      std::printf("%s installed\n", name.c_str());
    } else {
      std::printf("%s failed to install. Error %d\n", name.c_str(), static_cast<int>(platform::GetLastError()));
    }
    return true;
  }
  if (strcasecmp(argv[1], "-u") == 0) {
    if (!IsInstalled()) {
      std::printf("%s is not installed\n", name.c_str());
    } else if (Uninstall()) {
      std::printf("%s removed. (You must delete the file (%s) yourself.)\n", name.c_str(),
                  platform::GetModuleFileName().c_str());
    } else {
      std::printf("Could not remove %s. Error %d\n", name.c_str(), static_cast<int>(platform::GetLastError()));
    }
    return true;
  }
  return false;
}

bool CNTService::IsInstalled() {
  return platform::OpenService(name_);
}

bool CNTService::Install() {
  const std::u16string path = platform::Utf8ToUtf16(platform::GetModuleFileName());
  platform::ServiceConfig config;
  config.name = name_;
  config.displayName = name_;
  config.type = platform::SERVICE_WIN32_OWN_PROCESS;
  config.start = platform::SERVICE_AUTO_START;
  config.errorControl = platform::SERVICE_ERROR_NORMAL;
  config.imagePath = path.find(u' ') == std::u16string::npos ? path : u"\"" + path + u"\"";
  if (!platform::CreateService(config)) return false;

  platform::RegKey key;
  const std::u16string keyPath = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name_;
  platform::LSTATUS r =
      platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, keyPath, 0, platform::KEY_ALL_ACCESS, key.put(), nullptr);
  if (r == platform::ERROR_SUCCESS) {
    const auto file = platform::RegStringData(path);
    const platform::DWORD types = config::kEventTypesSupported;
    r = platform::RegSetValueEx(key, config::kEventMessageFile, platform::REG_EXPAND_SZ, file.data(),
                                static_cast<platform::DWORD>(file.size()));
    if (r == platform::ERROR_SUCCESS)
      r = platform::RegSetValueEx(key, config::kTypesSupported, platform::REG_DWORD,
                                  reinterpret_cast<const uint8_t*>(&types), sizeof types);
  }
  if (r != platform::ERROR_SUCCESS) {
    platform::SetLastError(r);
    return false;
  }
  LogEvent(platform::EVENTLOG_INFORMATION_TYPE, kEventInstalled, &name_);
  return true;
}

bool CNTService::Uninstall() {
  if (platform::DeleteService(name_)) {
    LogEvent(platform::EVENTLOG_INFORMATION_TYPE, kEventRemoved, &name_);
    return true;
  }
  const platform::LSTATUS error = platform::GetLastError();
  LogEvent(platform::EVENTLOG_ERROR_TYPE, kEventNotRemoved, &name_);
  platform::SetLastError(error);
  return false;
}

bool CNTService::StartService() {
  return platform::StartServiceCtrlDispatcher(name_, &CNTService::ServiceMain);
}

void CNTService::SetStatus(uint32_t state) {
  status_.dwCurrentState = state;
  platform::SetServiceStatus(statusHandle_, status_);
}

void CNTService::LogEvent(uint16_t type, uint32_t id, const std::u16string* insertion) {
  if (!eventSource_) eventSource_ = platform::RegisterEventSource(name_);
  if (!eventSource_) return;
  std::vector<std::u16string> strings;
  if (insertion) strings.push_back(*insertion);
  platform::ReportEvent(eventSource_, type, id, strings);
}

void CNTService::ServiceMain() {
  CNTService* self = instance_;
  if (!self) return;
  self->status_.dwCurrentState = platform::SERVICE_START_PENDING;
  self->statusHandle_ = platform::RegisterServiceCtrlHandler(self->name_, &CNTService::Handler);
  if (self->statusHandle_ == 0) {
    self->LogEvent(platform::EVENTLOG_ERROR_TYPE, kEventHandlerNotInstalled);
    return;
  }
  if (self->Initialize()) {
    self->isRunning_.store(true);
    if (self->stopRequested_.load()) {
      self->OnStop();
      self->isRunning_.store(false);
    }
    self->status_.dwWin32ExitCode = 0;
    self->status_.dwCheckPoint = 0;
    self->status_.dwWaitHint = 0;
    self->Run();
  }
  self->SetStatus(platform::SERVICE_STOPPED);
}

bool CNTService::Initialize() {
  SetStatus(platform::SERVICE_START_PENDING);
  platform::SetLastError(platform::ERROR_SUCCESS);
  const bool ok = OnInit();
  status_.dwWin32ExitCode = static_cast<uint32_t>(platform::GetLastError());
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
  if (!ok) {
    LogEvent(platform::EVENTLOG_ERROR_TYPE, kEventInitFailed);
    SetStatus(platform::SERVICE_STOPPED);
    return false;
  }
  LogEvent(platform::EVENTLOG_INFORMATION_TYPE, kEventStarted);
  SetStatus(platform::SERVICE_RUNNING);
  return true;
}

void CNTService::Handler(uint32_t control) {
  CNTService* self = instance_;
  if (!self) return;
  switch (control) {
    case platform::SERVICE_CONTROL_STOP:
      self->stopRequested_.store(true);
      self->SetStatus(platform::SERVICE_STOP_PENDING);
      self->OnStop();
      self->isRunning_.store(false);
      self->LogEvent(platform::EVENTLOG_INFORMATION_TYPE, kEventStopped);
      break;
    case platform::SERVICE_CONTROL_PAUSE:
      self->OnPause();
      break;
    case platform::SERVICE_CONTROL_CONTINUE:
      self->OnContinue();
      break;
    case platform::SERVICE_CONTROL_INTERROGATE:
      self->OnInterrogate();
      break;
    case platform::SERVICE_CONTROL_SHUTDOWN:
      self->OnShutdown();
      break;
    default:
      if (control < 128 || !self->OnUserControl(control))
        self->LogEvent(platform::EVENTLOG_ERROR_TYPE, kEventBadControl);
      break;
  }
  platform::SetServiceStatus(self->statusHandle_, self->status_);
}

}  // namespace kv::service
