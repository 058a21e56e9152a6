// The wire format of the messaging layer: link frames and data-block headers.
//
// Everything here is plain byte work with no sockets, so that the decoders can be tested and
// fuzzed on their own. doc/messaging.md gives the byte layout.
//
// A link carries frames: a 32-byte header, then a payload that is either nothing or exactly one
// serialized object (its 8-byte object header and its body). Bytes from a peer are untrusted:
// the decoder checks every header field, bounds the payload, grows its buffer only as bytes
// actually arrive, and rebuilds the payload object with the checked reader. The first fault
// makes it refuse everything after; the link is then dropped.
//
// A data channel carries data blocks: a 32-byte block header, then the bytes used.
//
// Thread safety: a decoder belongs to one link and one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "coding.h"
#include "kr/object.h"

namespace kr_internal {

inline constexpr uint32_t kFrameMagic = 0x3146524b;  // "KRF1"
inline constexpr size_t kFrameHeaderSize = 32;
// The largest payload a frame may carry. Larger objects travel over data channels.
inline constexpr uint32_t kFrameMaxPayload = 64u << 20;
// The version a link's hello frame names.
inline constexpr uint32_t kLinkProtocolVersion = 1;

enum class FrameKind : uint8_t {
  kHello = 1,         // first frame of a connection: the connector's identity and purpose
  kHelloAck = 2,      // the acceptor's answer: its identity, accepted or refused
  kMessage = 3,       // a message, perhaps on a channel
  kTask = 4,          // a task handed to the receiving process
  kChannelClose = 5,  // the sender closed its end of a channel
};

struct Frame {
  FrameKind kind = FrameKind::kMessage;
  uint32_t type = 0;     // message type; task kind; hello: protocol version; ack: result
  uint64_t channel = 0;  // message on a channel, channel close; else 0
  uint32_t task = 0;     // task: the giver's task id; message: destination task or 0
  Ref<Obj> object;       // the payload, or null
};

// Appends the encoded frame to `out`. 0 when the object cannot be serialized or is too large.
int FrameEncode(std::string* out, const Frame& frame) noexcept;

// Checks a frame header; on success fills everything but the object and sets *payload_size.
bool FrameHeaderDecode(const unsigned char* header, Frame* frame, uint32_t* payload_size) noexcept;

// Cuts a byte stream into frames.
class FrameDecoder {
 public:
  // Consumes `n` bytes, appending every frame they complete to `frames`. False once the stream
  // holds anything malformed; the decoder then refuses all further input.
  bool Feed(const unsigned char* data, size_t n, std::vector<Frame>* frames) noexcept;
  bool failed() const { return failed_; }
  // Why the stream was refused, for the trace.
  const char* error() const { return error_; }

 private:
  bool Fail(const char* why);
  bool Complete(std::vector<Frame>* frames);

  unsigned char header_[kFrameHeaderSize];
  size_t header_got_ = 0;
  Frame current_;
  uint32_t payload_size_ = 0;
  std::string payload_;
  bool failed_ = false;
  const char* error_ = "";
};

// ---------------------------------------------------------------------------------------------
// Data blocks.

inline constexpr uint32_t kDataBlockMagic = 0x3144524b;  // "KRD1"
inline constexpr size_t kDataHeaderSize = 32;
inline constexpr size_t kDataContinuationOffset = 23;
// The largest buffer a data channel may use.
inline constexpr uint32_t kDataMaxBufferSize = 16u << 20;

// Fills in the runtime's fields of a block header (all but the continuation byte).
void DataHeaderFill(unsigned char* header, uint32_t bytes_used, uint64_t sequence) noexcept;
// Checks a received block header: magic, bytes used within the buffer size, the expected
// sequence number and zero reserved bytes. On success sets *bytes_used.
bool DataHeaderCheck(const unsigned char* header, uint32_t buffer_size, uint64_t sequence,
                     uint32_t* bytes_used) noexcept;

}  // namespace kr_internal
