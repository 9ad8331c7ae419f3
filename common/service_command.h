// The service's command area: one ServiceCommand written by a client, one ServiceReply written
// by the service, three events that serialise and signal them, and the message pipe.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kv {

inline constexpr const char* kCommandAreaName = "Global\\KORVENDRAKE_C2C80BFABC_FILEMAPPING";
inline constexpr const char* kAreaFreeEventName = "Global\\AccessSyncService0";      // auto-reset, signalled
inline constexpr const char* kRequestReadyEventName = "Global\\AccessSyncService1";  // set by the client
inline constexpr const char* kReplyReadyEventName = "Global\\AccessSyncService2";    // set by the service
inline constexpr const char* kMessagePipeName = "\\\\.\\pipe\\KVServicePipeMsg";

inline constexpr size_t kCommandAreaSize = 32768;
inline constexpr size_t kCommandRecordSize = 16384;
inline constexpr size_t kReplyOffset = 16384;
inline constexpr size_t kReplyRecordSize = 16384;

enum ServiceCommandCode : uint32_t {
  kCommandMountArchive = 1,
  kCommandMountImage = 2,
  kCommandUnmount = 3,
  kCommandSetDriveCount = 4,
  kCommandReapplyLetter = 5,
  kCommandSetLanguage = 6,
};

inline constexpr size_t kCommandPathChars = 1024;

// The fixed head of a ServiceCommand; Path and then Password (command 1) or RequestLength and
// Request (command 2) follow as offsets below.
struct ServiceCommand {
  uint32_t Command;
  int32_t Argument;
  uint32_t Unused;  // written by the manager, never read by the service
  char16_t Path[kCommandPathChars];
  // Command 1: the password (NUL-terminated UTF-16); command 2: RequestLength then Request.
  uint8_t Tail[kCommandRecordSize - 2060];
};
static_assert(offsetof(ServiceCommand, Command) == 0);
static_assert(offsetof(ServiceCommand, Argument) == 4);
static_assert(offsetof(ServiceCommand, Path) == 12);
static_assert(offsetof(ServiceCommand, Tail) == 2060);
static_assert(sizeof(ServiceCommand) == kCommandRecordSize);

inline constexpr size_t kCommandPasswordOffset = 2060;
inline constexpr size_t kCommandRequestLengthOffset = 2060;
inline constexpr size_t kCommandRequestOffset = 2064;
inline constexpr size_t kCommandPasswordChars = (kCommandRecordSize - kCommandPasswordOffset) / 2;
inline constexpr size_t kCommandRequestMax = kCommandRecordSize - kCommandRequestOffset;

struct ServiceReply {
  uint32_t Failed;
  uint32_t ArrivedLetters;  // bit (letter - 'A')
  uint32_t RemovedLetters;
};
static_assert(offsetof(ServiceReply, Failed) == 0);
static_assert(offsetof(ServiceReply, ArrivedLetters) == 4);
static_assert(offsetof(ServiceReply, RemovedLetters) == 8);
static_assert(sizeof(ServiceReply) == 12);

// Process id of the client that holds the area (0 when none), in the last word of the reply
// record, which neither record uses: a client that finds the holder dead takes the area over.
// Clients clear the reply record up to this word only.
inline constexpr size_t kAreaHolderOffset = kCommandAreaSize - 4;
static_assert(kAreaHolderOffset >= kReplyOffset + sizeof(ServiceReply));

// Longest message on the pipe, in characters without the terminating NUL.
inline constexpr size_t kMaxMessageChars = 2047;

}  // namespace kv
