// Fuzzes the decoding of link frames and data-block headers: everything a peer's bytes reach
// before the application sees them.
//
// The first input byte chooses how the rest is used:
//   even: the rest is a raw byte stream, fed to a frame decoder in chunks of 1..64 bytes;
//   odd:  the rest seeds a valid stream (frames carrying objects built from the bytes), which
//         is then corrupted at positions the bytes choose, so that mutations reach deep into
//         the object reader instead of stopping at the frame magic.
// Every 32-byte window of the input is also checked as a data-block header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"
#include "kr/list.h"
#include "kr/trace.h"

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
  if ((mode & 1) == 0) {
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
