// Execution of the six commands of the command area, and the drives' start-up.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/service_command.h"
#include "service/sector_server.h"
#include "service/temp_folder.h"

namespace kv::manager {
class ConfigStore;
}

namespace kv::service {

class MessageSender;

struct CommandContext {
  DriveSlotTable* table = nullptr;
  manager::ConfigStore* config = nullptr;
  MessageSender* messages = nullptr;
  TempFolders* temp = nullptr;
};

// Checks the fields of a command record of kCommandRecordSize bytes: a known command, a drive
// index 0..22, NUL-terminated path and password, a request that fits the record. Nothing outside
// the record is read.
bool CommandFieldsValid(const uint8_t* record);

// Executes a private copy of a command record; sets bits and flags of `reply` (never clears them).
void ExecuteCommand(CommandContext& context, const uint8_t* record, ServiceReply* reply);

// Unmounts drive `drive` as command 3 does (also used when drives go and at stop).
void UnmountCommand(CommandContext& context, int drive, ServiceReply* reply);
// Brings the number of drives to `count` (at most 23) as command 4 does.
void SetDriveCount(CommandContext& context, int count, ServiceReply* reply);
// At service start: the number of drives from DiskCount.
void StartUpDrives(CommandContext& context);

// A client's path as a file of this system: "C:\dir\x.zip" (the root file system is C:) or an
// absolute "/dir/x.zip". Empty for any other form (other drives, network paths).
std::string ClientPathToLinux(const std::u16string& path);

}  // namespace kv::service
