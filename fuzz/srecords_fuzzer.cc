// Fuzzes the receiving side of the serialized-record stream: sequences of buffers, each with its
// continuation byte, fed to one receive state.
//
// Input: a list of buffers, each a 3-byte prefix (continuation byte in the low bit of the first
// byte; bit 1 asks for the block to be dumped; the next two bytes the buffer's length,
// little-endian) followed by that many bytes (fewer at the end of the input). The first input
// byte, when odd, makes the fuzzer begin with a valid block built from the rest of the input and
// then flip bytes where the input says, so mutations reach the record loop and the object reader
// rather than stopping at the block header.
//
// The record callback rebuilds every record it is given, as the table fetch does, so the object
// reader sees record payloads too. Memory stays bounded: the caps on record and info object
// sizes limit what the scratch area may grow to.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kr/serialize.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/serializedrecords.h"

namespace {

bool g_dump_allowed = false;
std::string g_dump_path;

int NewBlock(Obj* info, Obj*, std::string* dump) {
  if (RepSRecordsBlockFields(info) == nullptr) return 3;
  if (g_dump_allowed) {
    *dump = g_dump_path;
    return kRepSRecBlockDump;
  }
  return kRepSRecBlockReceive;
}

int Record(const unsigned char* bytes, uint32_t length, Obj*) {
  if (length < 4 + kObjHeaderSize) return 1;
  uint32_t n = 0;
  if (!ObjBufferAnalyze(&n, bytes + 4, length - 4)) return 0;
  if (uint64_t{n} + kObjHeaderSize + 4 > length) return 0;
  Ref<Obj> rec;
  return ObjReconstructFromMemory(&rec, bytes + 4 + kObjHeaderSize, n) ? 1 : 0;
}

std::string ValidBlock(const uint8_t* data, size_t size) {
  Ref<List> fields = ListNewFromPool();
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("id", kRepTypeInteger, 8));
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("name", kRepTypeString, 20));
  std::string out;
  RepSRecordsAppendBlockInfo(&out, "jobs", fields.get(), 0);
  for (size_t at = 0; at + 1 < size && out.size() < 8192; at += 2) {
    Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateNormal);
    ObjSetInteger(r->value_at(0)->value(), data[at]);
    ObjSetString(r->value_at(1)->value(), std::string(data[at + 1] % 64, 'x').c_str());
    RepSRecordsAppendRecord(&out, r.get(), kRepSRecordsNoIndex);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TraceSetLevel(-2);  // complaints about corrupt input are expected
  char name[64];
  std::snprintf(name, sizeof name, "/tmp/srecords_fuzz_dump.%ld", static_cast<long>(getpid()));
  g_dump_path = name;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Ref<RepSRecordsReceiveState> state = RepSRecordsNewReceiveState(&NewBlock, &Record, nullptr);
  size_t at = 1;
  if (data[0] & 1) {
    // A valid block, cut where the input says, with bytes flipped where it says.
    std::string block = ValidBlock(data + 1, size - 1);
    for (size_t i = 1; i + 2 < size && i < 64; i += 3) {
      size_t pos = (data[i] | data[i + 1] << 8) % block.size();
      block[pos] = static_cast<char>(block[pos] ^ data[i + 2]);
    }
    size_t cut = size > 1 ? data[1] % (block.size() + 1) : block.size();
    g_dump_allowed = false;
    RepSRecordsProcessBuffer(state.get(), 0, reinterpret_cast<const unsigned char*>(block.data()),
                             static_cast<uint32_t>(cut));
    RepSRecordsProcessBuffer(state.get(), 1,
                             reinterpret_cast<const unsigned char*>(block.data()) + cut,
                             static_cast<uint32_t>(block.size() - cut));
    at = size;
  }
  while (at + 3 <= size) {
    int cont = data[at] & 1;
    g_dump_allowed = (data[at] & 2) != 0;
    size_t len = data[at + 1] | data[at + 2] << 8;
    at += 3;
    if (len > size - at) len = size - at;
    RepSRecordsProcessBuffer(state.get(), cont, data + at, static_cast<uint32_t>(len));
    at += len;
  }
  RepSRecordsCloseDump(state.get());
  return 0;
}
