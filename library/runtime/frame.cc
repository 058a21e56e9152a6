// Link frames and data-block headers: encoding and the checked decoders.

#include "frame.h"

#include <algorithm>
#include <cstring>

#include "kr/serialize.h"
#include "msg_internal.h"

namespace kr_internal {
namespace {

// Header layout (little-endian):
//   0 u32 magic   4 u8 kind   5 u8 flags (0)   6 u16 reserved (0)
//   8 u32 type   12 u32 payload size   16 u64 channel   24 u32 task   28 u32 reserved (0)
constexpr size_t kOffKind = 4;
constexpr size_t kOffFlags = 5;
constexpr size_t kOffReserved16 = 6;
constexpr size_t kOffType = 8;
constexpr size_t kOffPayload = 12;
constexpr size_t kOffChannel = 16;
constexpr size_t kOffTask = 24;
constexpr size_t kOffReserved32 = 28;

bool KindKnown(uint8_t k) {
  return k >= static_cast<uint8_t>(FrameKind::kHello) &&
         k <= static_cast<uint8_t>(FrameKind::kChannelClose);
}

}  // namespace

int FrameEncode(std::string* out, const Frame& frame) noexcept {
  size_t start = out->size();
  out->resize(start + kFrameHeaderSize);
  uint32_t payload = 0;
  if (frame.object) {
    if (!ObjSerializeToMemory(out, frame.object.get())) {
      out->resize(start);
      return 0;
    }
    size_t n = out->size() - start - kFrameHeaderSize;
    if (n > kFrameMaxPayload) {
      out->resize(start);
      return 0;
    }
    payload = static_cast<uint32_t>(n);
  }
  auto* h = reinterpret_cast<unsigned char*>(&(*out)[start]);
  std::memset(h, 0, kFrameHeaderSize);
  PutU32(h, kFrameMagic);
  h[kOffKind] = static_cast<unsigned char>(frame.kind);
  PutU32(h + kOffType, frame.type);
  PutU32(h + kOffPayload, payload);
  PutU64(h + kOffChannel, frame.channel);
  PutU32(h + kOffTask, frame.task);
  return 1;
}

bool FrameHeaderDecode(const unsigned char* h, Frame* frame, uint32_t* payload_size) noexcept {
  if (GetU32(h) != kFrameMagic) return false;
  if (!KindKnown(h[kOffKind]) || h[kOffFlags] != 0) return false;
  if (h[kOffReserved16] != 0 || h[kOffReserved16 + 1] != 0) return false;
  if (GetU32(h + kOffReserved32) != 0) return false;
  uint32_t payload = GetU32(h + kOffPayload);
  if (payload > kFrameMaxPayload) return false;
  auto kind = static_cast<FrameKind>(h[kOffKind]);
  uint64_t channel = GetU64(h + kOffChannel);
  uint32_t task = GetU32(h + kOffTask);
  switch (kind) {
    case FrameKind::kHello:
    case FrameKind::kHelloAck:
      if (payload == 0 || channel != 0 || task != 0) return false;
      break;
    case FrameKind::kMessage:
      break;
    case FrameKind::kTask:
      if (channel != 0) return false;
      break;
    case FrameKind::kChannelClose:
      if (payload != 0 || channel == 0 || task != 0) return false;
      break;
  }
  // A payload smaller than an object header cannot hold an object.
  if (payload != 0 && payload < kObjHeaderSize) return false;
  frame->kind = kind;
  frame->type = GetU32(h + kOffType);
  frame->channel = channel;
  frame->task = task;
  frame->object.reset();
  *payload_size = payload;
  return true;
}

bool FrameDecoder::Fail(const char* why) {
  failed_ = true;
  error_ = why;
  payload_.clear();
  payload_.shrink_to_fit();
  return false;
}

bool FrameDecoder::Complete(std::vector<Frame>* frames) {
  if (payload_size_ != 0) {
    uint32_t body = 0;
    if (!ObjBufferAnalyze(&body, payload_.data(), payload_.size()))
      return Fail("bad object header in payload");
    if (uint64_t{body} + kObjHeaderSize != payload_.size())
      return Fail("object size does not fill the payload");
    if (!ObjReconstructFromMemory(&current_.object, payload_.data() + kObjHeaderSize, body))
      return Fail("payload object does not rebuild");
  }
  frames->push_back(std::move(current_));
  current_ = Frame{};
  header_got_ = 0;
  payload_size_ = 0;
  payload_.clear();
  return true;
}

bool FrameDecoder::Feed(const unsigned char* data, size_t n, std::vector<Frame>* frames) noexcept {
  if (failed_) return false;
  while (n > 0) {
    if (header_got_ < kFrameHeaderSize) {
      size_t take = std::min(n, kFrameHeaderSize - header_got_);
      std::memcpy(header_ + header_got_, data, take);
      header_got_ += take;
      data += take;
      n -= take;
      if (header_got_ < kFrameHeaderSize) break;
      if (!FrameHeaderDecode(header_, &current_, &payload_size_)) return Fail("bad frame header");
      if (payload_size_ == 0) {
        if (!Complete(frames)) return false;
      }
      continue;
    }
    // The payload buffer grows only with the bytes that have arrived.
    size_t take = std::min<size_t>(n, payload_size_ - payload_.size());
    payload_.append(reinterpret_cast<const char*>(data), take);
    data += take;
    n -= take;
    if (payload_.size() == payload_size_ && !Complete(frames)) return false;
  }
  return true;
}

// Block header layout (little-endian):
//   0 u32 magic   4 u32 bytes used   8 u64 sequence   16..22 reserved (0)
//   23 continuation byte (the application's)   24..31 reserved (0)
void DataHeaderFill(unsigned char* h, uint32_t bytes_used, uint64_t sequence) noexcept {
  unsigned char continuation = h[kDataContinuationOffset];
  std::memset(h, 0, kDataHeaderSize);
  PutU32(h, kDataBlockMagic);
  PutU32(h + 4, bytes_used);
  PutU64(h + 8, sequence);
  h[kDataContinuationOffset] = continuation;
}

bool DataHeaderCheck(const unsigned char* h, uint32_t buffer_size, uint64_t sequence,
                     uint32_t* bytes_used) noexcept {
  if (GetU32(h) != kDataBlockMagic) return false;
  uint32_t used = GetU32(h + 4);
  if (used > buffer_size) return false;
  if (GetU64(h + 8) != sequence) return false;
  for (size_t i = 16; i < kDataHeaderSize; ++i)
    if (i != kDataContinuationOffset && h[i] != 0) return false;
  *bytes_used = used;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Hellos.

std::string HelloEncode(const Hello& hello, bool ack) noexcept {
  Ref<LinkHello> h = LinkHello::New();
  h->set_purpose(hello.purpose);
  h->set_from(MakeAddress(hello.from, 0, 0, 0));
  if (!ack) h->set_target(MakeAddress(hello.target, 0, 0, 0));
  h->set_channel(hello.channel);
  h->set_buffer_size(static_cast<int32_t>(hello.buffer_size));
  h->set_result(hello.result);
  h->set_version(hello.version.c_str());
  h->set_listen_port(hello.listen_port);
  Frame f;
  f.kind = ack ? FrameKind::kHelloAck : FrameKind::kHello;
  f.type = kLinkProtocolVersion;
  f.object = h;
  std::string bytes;
  FrameEncode(&bytes, f);
  return bytes;
}

int64_t HelloHeaderCheck(const unsigned char* header, bool ack) noexcept {
  Frame f;
  uint32_t size = 0;
  if (!FrameHeaderDecode(header, &f, &size) ||
      f.kind != (ack ? FrameKind::kHelloAck : FrameKind::kHello) ||
      f.type != kLinkProtocolVersion || size > kMaxHelloPayload)
    return -1;
  return size;
}

bool HelloDecode(const std::string& payload, bool ack, Hello* hello) noexcept {
  uint32_t body = 0;
  Ref<Obj> obj;
  if (!ObjBufferAnalyze(&body, payload.data(), payload.size()) ||
      uint64_t{body} + kObjHeaderSize != payload.size() ||
      !ObjReconstructFromMemory(&obj, payload.data() + kObjHeaderSize, body))
    return false;
  const LinkHello* h = ObjCast<LinkHello>(obj.get());
  if (h == nullptr) return false;
  Hello out;
  out.purpose = h->purpose();
  if (out.purpose != kHelloPurposeLink && out.purpose != kHelloPurposeData) return false;
  if (!AddressIdentity(h->from(), &out.from) || out.from.instance == 0) return false;
  if (!ack && !AddressIdentity(h->target(), &out.target)) return false;
  out.channel = h->channel();
  int32_t size = h->buffer_size();
  out.result = h->result();
  if (out.purpose == kHelloPurposeData && !ack &&
      (out.channel == 0 || size <= 0 || static_cast<uint32_t>(size) > kDataMaxBufferSize))
    return false;
  out.buffer_size = size > 0 ? static_cast<uint32_t>(size) : 0;
  const int32_t port = h->listen_port();
  out.listen_port = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
  // The version only ever reaches traces and MachInfoFind: keep it short and printable.
  if (const char* v = h->version()) {
    for (; *v != '\0' && out.version.size() < kMaxVersionText; ++v)
      if (*v >= 0x20 && *v < 0x7f) out.version += *v;
  }
  *hello = std::move(out);
  return true;
}

}  // namespace kr_internal
