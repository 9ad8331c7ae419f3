// The service framework: installation from the command line, the service main function, the
// control handler, status reports and event-log entries. A derived class does its work in
// OnInit, Run and OnStop.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/event_log.h"
#include "platform/service_control.h"

namespace kv::service {

// Event identifiers of the service.
enum ServiceEvent : uint32_t {
  kEventInstalled = 100,
  kEventRemoved = 101,
  kEventNotRemoved = 102,
  kEventHandlerNotInstalled = 103,
  kEventInitFailed = 104,
  kEventStarted = 105,
  kEventBadControl = 106,
  kEventStopped = 108,
};

class CNTService {
 public:
  explicit CNTService(const std::u16string& serviceName);
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  virtual void Run();
  virtual bool OnInit();
  virtual void OnStop();
  virtual void OnInterrogate() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnShutdown() {}
  bool OnUserControl(uint32_t) { return true; }

  // "-v", "-i", "-u" (without regard to case): does it and returns true.
  bool ParseStandardArgs(int argc, char** argv);
  bool IsInstalled();
  bool Install();
  bool Uninstall();
  // Runs as a service: returns when the service has stopped (false when the dispatcher could not
  // start, for example when the program was not started by the service manager).
  bool StartService();

  void SetStatus(uint32_t state);
  void LogEvent(uint16_t type, uint32_t id, const std::u16string* insertion = nullptr);
  int exitCode() const { return static_cast<int>(status_.dwWin32ExitCode); }
  const std::u16string& name() const { return name_; }
  // The level of drive-letter announcements (see SystemAnnouncesLetters).
  bool systemLevel() const { return systemLevel_; }

 protected:
  bool running() const { return isRunning_.load(); }
  void ClearRunning() { isRunning_.store(false); }

 private:
  static void ServiceMain();
  static void Handler(uint32_t control);
  bool Initialize();

  std::u16string name_;
  int major_ = 1;
  int minor_ = 0;
  platform::SERVICE_STATUS status_{};
  platform::SERVICE_STATUS_HANDLE statusHandle_ = 0;
  platform::EventSourceHandle eventSource_ = 0;
  std::atomic<bool> isRunning_{false};
  // A stop that came while OnInit still ran: honoured as soon as it has finished.
  std::atomic<bool> stopRequested_{false};
  bool systemLevel_ = false;
  static CNTService* instance_;
};

}  // namespace kv::service
