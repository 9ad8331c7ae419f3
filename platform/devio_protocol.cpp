#include "platform/devio_protocol.h"

#include <bit>
#include <cstring>

namespace kv::platform {

static_assert(std::endian::native == std::endian::little, "frames are copied as little-endian structs");

DecodeResult DecodeRequest(const uint8_t* data, size_t size, RequestHeader* header, size_t* frameSize) {
  if (size < sizeof(RequestHeader)) return DecodeResult::NeedMore;
  std::memcpy(header, data, sizeof *header);
  if (header->Magic != kRequestMagic || header->Reserved != 0) return DecodeResult::Malformed;
  if (header->Kind == 0 || header->Kind >= static_cast<uint32_t>(RequestKind::Kinds)) return DecodeResult::Malformed;
  if (header->PayloadLength > kMaxRequestPayload || header->OutputLength > kMaxTransfer) return DecodeResult::Malformed;
  const size_t total = sizeof(RequestHeader) + header->PayloadLength;
  if (size < total) return DecodeResult::NeedMore;
  *frameSize = total;
  return DecodeResult::Frame;
}

DecodeResult DecodeReply(const uint8_t* data, size_t size, ReplyHeader* header, size_t* frameSize) {
  if (size < sizeof(ReplyHeader)) return DecodeResult::NeedMore;
  std::memcpy(header, data, sizeof *header);
  if (header->Magic != kReplyMagic) return DecodeResult::Malformed;
  if (header->Kind != static_cast<uint32_t>(ReplyKind::Reply) &&
      header->Kind != static_cast<uint32_t>(ReplyKind::Event))
    return DecodeResult::Malformed;
  if (header->PayloadLength > kMaxReplyPayload) return DecodeResult::Malformed;
  const size_t total = sizeof(ReplyHeader) + header->PayloadLength;
  if (size < total) return DecodeResult::NeedMore;
  *frameSize = total;
  return DecodeResult::Frame;
}

namespace {
template <class H>
std::vector<uint8_t> Encode(const H& header, const void* payload, size_t payloadLength) {
  std::vector<uint8_t> out(sizeof(H) + payloadLength);
  H h = header;
  h.PayloadLength = static_cast<uint32_t>(payloadLength);
  std::memcpy(out.data(), &h, sizeof h);
  if (payloadLength) std::memcpy(out.data() + sizeof h, payload, payloadLength);
  return out;
}
}  // namespace

std::vector<uint8_t> EncodeRequest(const RequestHeader& header, const void* payload, size_t payloadLength) {
  return Encode(header, payload, payloadLength);
}

std::vector<uint8_t> EncodeReply(const ReplyHeader& header, const void* payload, size_t payloadLength) {
  return Encode(header, payload, payloadLength);
}

}  // namespace kv::platform
