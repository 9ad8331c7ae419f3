// The client side of the service's command area: one command at a time for any program (the
// manager's drive control, kvctl). Clients serialise on the area-free event; the holder's process
// id sits in the area so that a client that died holding it does not block the others for ever.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/service_command.h"
#include "platform/named_objects.h"

namespace kv::manager {

// A zero-filled command record (kCommandRecordSize bytes) for each command.
std::vector<uint8_t> MountArchiveRecord(int drive, const std::u16string& path, const std::u16string& password);
std::vector<uint8_t> MountImageRecord(int drive, const std::u16string& path, const std::vector<uint8_t>& request);
std::vector<uint8_t> SimpleRecord(uint32_t command, int32_t argument);

class ServiceClient {
 public:
  ServiceClient();
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // Opens the area and its three events; false (with a reason) when the service does not run or
  // this user may not use it.
  bool Open(std::string* error);
  // Sends one record and waits for the reply: waits of `waitMs` (10 seconds) repeated until the
  // area is free and the reply is there. False when the service went away meanwhile.
  bool Send(const std::vector<uint8_t>& record, ServiceReply* reply, std::string* error);
  void SetWaitForTest(int waitMs) { waitMs_ = waitMs; }

 private:
  bool TakeArea(std::string* error);
  bool ServiceStillThere() const;

  std::unique_ptr<platform::NamedMapping> area_;
  std::unique_ptr<platform::NamedEvent> areaFree_;
  std::unique_ptr<platform::NamedEvent> requestReady_;
  std::unique_ptr<platform::NamedEvent> replyReady_;
  ino_t replyEventInode_ = 0;
  int waitMs_ = 10000;
};

// Text of the letter bits of a reply ("E: F:"; "-" for none).
std::string LetterMaskText(uint32_t mask);

}  // namespace kv::manager
