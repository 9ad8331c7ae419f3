// Frames between user processes and the kvemu host on its Unix stream socket. Every frame is a
// fixed little-endian header followed by `PayloadLength` bytes. Requests carry an id chosen by
// the client; replies carry the same id and may arrive in any order. Events (device-change
// broadcasts) come unasked to connections that subscribed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::platform {

inline constexpr uint32_t kRequestMagic = 0x5152564Bu;  // "KVRQ"
inline constexpr uint32_t kReplyMagic = 0x5052564Bu;    // "KVRP"

// Caps: a request payload holds at most an input buffer or a name; a transfer (read length,
// output buffer) is at most kMaxTransfer bytes.
inline constexpr uint32_t kMaxRequestPayload = 1u << 20;
inline constexpr uint32_t kMaxTransfer = 8u << 20;
inline constexpr uint32_t kMaxReplyPayload = kMaxTransfer;
inline constexpr uint32_t kMaxNameLength = 1024;
// A connection may share one memory region with the host (ShareMemory, once): ReadShared
// requests then name a range of it, the drive writes the bytes there and the socket carries
// only the request and the reply. A range outside the region is refused.
inline constexpr uint32_t kMaxSharedRegion = kMaxTransfer;

enum class RequestKind : uint32_t {
  Open = 1,             // payload: device path ("\\.\KVEmuDev0", "\\.\E:"); Code: access bits
  Close = 2,            // Handle
  DeviceControl = 3,    // Handle, Code, OutputLength, Offset: room for a view; payload: input buffer
  Read = 4,             // Handle, Offset, OutputLength
  LogicalDrives = 5,    // reply Value: letter mask
  DefineDosDevice = 6,  // Code: DDD_ flags; payload: "X:" NUL target
  QueryDosDevice = 7,   // payload: "X:" (empty: every name); reply payload: targets, NUL-separated
  Subscribe = 8,        // device-change events follow on this connection
  Broadcast = 9,        // Code: event type, Offset: unit mask
  OccupyLetter = 10,    // payload: the letter; Code: 1 occupy, 0 release
  ShareMemory = 11,     // OutputLength: region size; the reply passes a sealed memory file of it
  ReadShared = 12,      // Handle, Offset, OutputLength, Code: where in the region the bytes go
  Kinds
};

enum class ReplyKind : uint32_t { Reply = 1, Event = 2 };

struct RequestHeader {
  uint32_t Magic;
  uint32_t PayloadLength;
  uint32_t Kind;
  uint32_t RequestId;
  uint32_t Handle;
  uint32_t Code;
  uint32_t OutputLength;
  uint32_t Reserved;  // zero
  uint64_t Offset;
};
static_assert(sizeof(RequestHeader) == 40);
static_assert(offsetof(RequestHeader, Magic) == 0);
static_assert(offsetof(RequestHeader, PayloadLength) == 4);
static_assert(offsetof(RequestHeader, Kind) == 8);
static_assert(offsetof(RequestHeader, RequestId) == 12);
static_assert(offsetof(RequestHeader, Handle) == 16);
static_assert(offsetof(RequestHeader, Code) == 20);
static_assert(offsetof(RequestHeader, OutputLength) == 24);
static_assert(offsetof(RequestHeader, Reserved) == 28);
static_assert(offsetof(RequestHeader, Offset) == 32);

// Reply: Status is an NTSTATUS; Information the returned length; Value the new handle (Open),
// the letter mask (LogicalDrives) or the event type (Event, with the unit mask in Information).
// A DeviceControl request may offer, in Offset, the address of room it reserved below 4 GiB
// (kernel::kRequestorViewRoom bytes) for a view of shared memory. Its reply then may carry a
// memory file descriptor (SCM_RIGHTS, with the frame's first byte) to be mapped at Value; a
// reply with Value set and no descriptor asks the client to unmap its view at Value.
struct ReplyHeader {
  uint32_t Magic;
  uint32_t PayloadLength;
  uint32_t Kind;
  uint32_t RequestId;
  int32_t Status;
  uint32_t Value;
  uint64_t Information;
};
static_assert(sizeof(ReplyHeader) == 32);
static_assert(offsetof(ReplyHeader, Magic) == 0);
static_assert(offsetof(ReplyHeader, PayloadLength) == 4);
static_assert(offsetof(ReplyHeader, Kind) == 8);
static_assert(offsetof(ReplyHeader, RequestId) == 12);
static_assert(offsetof(ReplyHeader, Status) == 16);
static_assert(offsetof(ReplyHeader, Value) == 20);
static_assert(offsetof(ReplyHeader, Information) == 24);

// Device-change events (the values of the system's broadcast).
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;

// DefineDosDevice flags.
inline constexpr uint32_t DDD_RAW_TARGET_PATH = 0x1;
inline constexpr uint32_t DDD_REMOVE_DEFINITION = 0x2;
inline constexpr uint32_t DDD_EXACT_MATCH_ON_REMOVE = 0x4;

enum class DecodeResult { NeedMore, Frame, Malformed };

// Takes whole request frames from the front of a byte stream. A frame whose header is not
// valid (magic, reserved field, payload or transfer over the caps, unknown kind) makes the
// stream Malformed: a stream cannot be resynchronised, so the peer is dropped.
DecodeResult DecodeRequest(const uint8_t* data, size_t size, RequestHeader* header, size_t* frameSize);
DecodeResult DecodeReply(const uint8_t* data, size_t size, ReplyHeader* header, size_t* frameSize);

// Byte images of frames (header followed by payload).
std::vector<uint8_t> EncodeRequest(const RequestHeader& header, const void* payload, size_t payloadLength);
std::vector<uint8_t> EncodeReply(const ReplyHeader& header, const void* payload, size_t payloadLength);

}  // namespace kv::platform
