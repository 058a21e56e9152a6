// Fuzzes the decoding of link frames, of the handshake's hellos and of data-block headers:
// everything a peer's bytes reach before the application sees them.
//
// The first input byte chooses how the rest is used (its low two bits):
//   0: the rest is a raw byte stream, fed to a frame decoder in chunks of 1..64 bytes;
//   1: the rest seeds a valid stream (frames carrying objects built from the bytes), which
//      is then corrupted at positions the bytes choose, so that mutations reach deep into
//      the object reader instead of stopping at the frame magic;
//   2: the rest is a hello frame as a connector (or, by the next bit, a listener's answer)
//      would send it: header check, then the payload's decoding and checks;
//   3: a valid hello built from the bytes (names, instance, purpose, channel, version), then
//      corrupted as in 1 and decoded as in 2.
// Every 32-byte window of the input is also checked as a data-block header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"
#include "kr/list.h"
#include "kr/trace.h"
#include "msg_internal.h"

using namespace kr_internal;

namespace {

void Decode(const unsigned char* data, size_t size, size_t chunk) {
  FrameDecoder decoder;
  std::vector<Frame> frames;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = chunk < size - at ? chunk : size - at;
    if (!decoder.Feed(data + at, n, &frames)) break;
  }
}

std::string ValidStream(const unsigned char* data, size_t size) {
  std::string stream;
  size_t at = 0;
  while (at < size && stream.size() < 4096) {
    size_t n = data[at] % 48;
    std::string text(reinterpret_cast<const char*>(data + at), n < size - at ? n : size - at);
    at += text.size() + 1;
    Frame f;
    f.kind = (text.size() % 3 == 0) ? FrameKind::kTask : FrameKind::kMessage;
    f.type = static_cast<uint32_t>(text.size());
    Ref<List> list = ListNewFromPool();
    ListPushLastItemInternal(list.get(), ObjNewString(text.c_str()));
    ListPushLastItemInternal(list.get(), ObjNewInteger(static_cast<int32_t>(at)));
    f.object = list;
    FrameEncode(&stream, f);
  }
  return stream;
}

// What a listener (or connector) does with the first bytes of a connection.
void DecodeHello(const unsigned char* data, size_t size, bool ack) {
  if (size < kFrameHeaderSize) return;
  int64_t n = HelloHeaderCheck(data, ack);
  if (n < 0) return;
  size_t have = size - kFrameHeaderSize;
  std::string payload(reinterpret_cast<const char*>(data + kFrameHeaderSize),
                      have < static_cast<size_t>(n) ? have : static_cast<size_t>(n));
  if (payload.size() != static_cast<size_t>(n)) return;  // a short hello: the read fails
  Hello h;
  if (HelloDecode(payload, ack, &h)) {
    // What the checks let through is well-formed enough to compare and to trace.
    if (h.from.machine.empty() || h.from.process.empty() || h.from.instance == 0 ||
        h.version.size() > kMaxVersionText)
      __builtin_trap();
  }
}

std::string ValidHello(const unsigned char* data, size_t size, bool ack) {
  auto text = [&](size_t at, size_t len) {
    std::string t;
    for (size_t i = at; i < size && t.size() < len; ++i) t += static_cast<char>(data[i]);
    return t;
  };
  Hello h;
  h.purpose = size > 0 ? 1 + (data[0] & 1) : 1;
  h.from.machine = text(1, 8);
  h.from.process = text(9, 8);
  h.from.instance = size > 17 ? data[17] : 1;
  h.target.machine = text(18, 8);
  h.target.process = text(26, 8);
  h.channel = size > 34 ? data[34] : 0;
  h.buffer_size = size > 35 ? data[35] * 4096u : 0;
  h.version = text(36, 80);
  h.result = ack ? 1 : 0;
  return HelloEncode(h, ack);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TraceSetLevel(-2);  // the reader's complaints about corrupt input are expected
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned char mode = data[0];
  size_t chunk = 1 + data[1] % 64;
  data += 2;
  size -= 2;
  bool ack = (mode & 4) != 0;
  if ((mode & 3) == 2) {
    DecodeHello(data, size, ack);
  } else if ((mode & 3) == 3) {
    size_t half = size / 2;
    std::string hello = ValidHello(data, half, ack);
    for (size_t i = half; i + 1 < size && !hello.empty(); i += 2)
      hello[data[i] * 131u % hello.size()] ^= static_cast<char>(data[i + 1]);
    DecodeHello(reinterpret_cast<const unsigned char*>(hello.data()), hello.size(), ack);
  } else if ((mode & 3) == 0) {
    Decode(data, size, chunk);
  } else {
    size_t half = size / 2;
    std::string stream = ValidStream(data, half);
    for (size_t i = half; i + 1 < size && !stream.empty(); i += 2)
      stream[data[i] * 131u % stream.size()] ^= static_cast<char>(data[i + 1]);
    Decode(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), chunk);
  }
  for (size_t at = 0; at + kDataHeaderSize <= size; at += kDataHeaderSize) {
    uint32_t used = 0;
    DataHeaderCheck(data + at, 1 + (mode << 8), GetU64(data + at + 8), &used);
  }
  return 0;
}
