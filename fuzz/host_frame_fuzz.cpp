// Feeds a byte stream to the frame decoders the way the host and the clients consume their
// sockets: whole frames from the front, in pieces of any size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/devio_protocol.h"

using namespace kv::platform;

namespace {

template <class Header, class Decode>
void Consume(const uint8_t* data, size_t size, size_t piece, Decode decode) {
  std::vector<uint8_t> buffer;
  size_t fed = 0;
  // Bounded: every round either feeds bytes or takes a frame of at least a header.
  while (fed < size || !buffer.empty()) {
    Header h;
    size_t frameSize = 0;
    const DecodeResult r = decode(buffer.data(), buffer.size(), &h, &frameSize);
    if (r == DecodeResult::Malformed) return;
    if (r == DecodeResult::Frame) {
      if (frameSize < sizeof(Header) || frameSize > buffer.size() || frameSize != sizeof(Header) + h.PayloadLength)
        std::abort();
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(frameSize));
      continue;
    }
    if (fed == size) return;  // a truncated frame at the end of the stream
    const size_t n = size - fed < piece ? size - fed : piece;
    buffer.insert(buffer.end(), data + fed, data + fed + n);
    fed += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  Consume<RequestHeader>(data + 1, size - 1, piece, DecodeRequest);
  Consume<ReplyHeader>(data + 1, size - 1, piece, DecodeReply);
  return 0;
}
