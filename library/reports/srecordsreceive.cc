// Receiving serialized records: the receive state machine that cuts incoming buffers into block
// infos and records, dumps to a file when asked and copes with blocks split across buffers. The
// sending side never needs it, so it is its own file.

#include "reports/serializedrecords.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "contextstate.h"
#include "kr/config.h"
#include "kr/datachannel.h"
#include "kr/file.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "kr/trace.h"
#include "kr/tree.h"
#include "reports/filter.h"
#include "reports/reports.h"
#include "reports/tablesprovider.h"
#include "srecords_internal.h"

using kr_internal::srecords::FnToken;
using kr_internal::srecords::GetLe32;
using kr_internal::srecords::HeldFile;
using kr_internal::srecords::HoldFile;
using kr_internal::srecords::kTag;
using kr_internal::srecords::TokenToFn;

namespace {

// Receive ids are process-wide, so that two contexts of one process never confuse their
// self-posted messages.
std::atomic<int32_t> g_next_receive_id{0};

// Rebuilds a block info object from its serialized body: 1 good, 0 not rebuilt, 2 rebuilt but
// of another type (its name in *type_name).
int RebuildBlockInfo(Ref<Obj>* info, const unsigned char* body, size_t size,
                     std::string* type_name) {
  Ref<Obj> obj;
  if (!ObjReconstructFromMemory(&obj, body, size)) return 0;
  if (ObjGetMagic(obj.get()) != RepSRecordsBlockInfo::kTypeCode) {
    *type_name = ObjNameFromObject(obj.get());
    return 2;
  }
  *info = std::move(obj);
  return 1;
}

// The receives of a context are owned by its state from their start to their end, beside the
// time the last buffer of any of them arrived (contextstate.h).

}  // namespace

// ================================================================================================
// Receiving

namespace {

enum ReceiveSlot {
  kRecvDumping = 1,
  kRecvNewBlock = 2,
  kRecvRecord = 3,
  kRecvCompletion = 4,
  kRecvChannel = 5,
  kRecvCookie = 6,
  kRecvId = 7,
  kRecvSender = 8,
  kRecvState = 9,
  kRecvBlockInfo = 10,
  kRecvScratch = 11,
  kRecvScratchCount = 12,
  kRecvInfoSize = 13,
  kRecvDumpPath = 14,
  kRecvDumpFile = 15,
  kRecvHeaderMissing = 16,
  kRecvBodyMissing = 17,
  kRecvRecords = 18,
};

int ReceiveHandler(Obj* message, void* state);

// The receive state with typed access to the slots the buffer step works on.
struct Receiver {
  RepSRecordsReceiveState* s;
  std::string* scratch;

  int32_t Get(int slot) const { return ObjGetSlotInteger(s, slot); }
  void Set(int slot, int32_t v) const { ObjSetSlotInteger(s, slot, v); }
  int32_t state() const { return Get(kRecvState); }
  void set_state(int32_t v) const { Set(kRecvState, v); }
  unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(scratch->data()); }
  // The scratch area only grows; growing keeps what it holds.
  void Grow(size_t size) const {
    if (scratch->size() < size) scratch->resize(size);
  }
  FileSysFile* dump() const { return HeldFile<FileSysFile>(ObjGetSlotObject(s, kRecvDumpFile)); }
  Obj* cookie() const { return ObjGetSlotObject(s, kRecvCookie); }
  const char* table() const {
    const char* t = RepSRecordsBlockTableName(ObjGetSlotObject(s, kRecvBlockInfo));
    return t != nullptr ? t : "";
  }
};

void CloseDump(const Receiver& r) {
  Obj* held = ObjGetSlotObject(r.s, kRecvDumpFile);
  if (held == nullptr) return;
  FileSysFile* file = HeldFile<FileSysFile>(held);
  if (file != nullptr) {
    std::unique_ptr<FileSysFile> owned(file);
    // Take the handle back so that the close is checked, and clear the holder's copy.
    size_t size = 0;
    std::memset(ObjDataFieldGet(held, &size), 0, sizeof file);
    if (!FileSysFClose(&owned))
      TraceMessage(kTag, 30, 0, -1, "Failed to close s-records dump file ('%s')",
                   ObjGetSlotString(r.s, kRecvDumpPath) != nullptr
                       ? ObjGetSlotString(r.s, kRecvDumpPath)
                       : "");
  }
  ObjSetSlotObject(r.s, kRecvDumpFile, nullptr);
}

// Asks the new-block callback what to do with the block whose info object is held.
void NewBlockDecision(const Receiver& r) {
  ObjSetSlotString(r.s, kRecvDumpPath, nullptr);
  auto new_block = TokenToFn<RepSRecordsNewBlockFn>(ObjGetSlotPointer(r.s, kRecvNewBlock));
  std::string path;
  int result = new_block != nullptr
                   ? new_block(ObjGetSlotObject(r.s, kRecvBlockInfo), r.cookie(), &path)
                   : kRepSRecBlockReceive;
  if (result == kRepSRecBlockReceive) {
    r.set_state(kRepSRecNewObject);
    ObjSetSlotBoolean(r.s, kRecvDumping, false);
    return;
  }
  if (result == kRepSRecBlockDump) {
    ObjSetSlotBoolean(r.s, kRecvDumping, true);
    ObjSetSlotString(r.s, kRecvDumpPath, path.c_str());
    std::unique_ptr<FileSysFile> file;
    Ref<Obj> held;
    if (FileSysFOpen(&file, path.c_str(), kFileSysModeWrite) &&
        (held = HoldFile(std::move(file))) != nullptr) {
      ObjSetSlotObject(r.s, kRecvDumpFile, held);
      TraceMessage(kTag, 31, 0, 2, "Will dump s-record block to file ('%s')", path.c_str());
      r.set_state(kRepSRecDump);
    } else {
      TraceMessage(kTag, 32, 0, -1,
                   "Failed to open s-records dump file, so ignore rest of block ('%s')",
                   path.c_str());
      r.set_state(kRepSRecError);
    }
    return;
  }
  TraceMessage(kTag, 33, 0, -1, "New block callback has instructed abort of s-records receive");
  r.set_state(kRepSRecError);
}

// After an info object completed in a later buffer than the block's first: when the block is
// dumped, the earlier buffers' bytes (all of them in the scratch area) go first.
void DumpHeldBytes(const Receiver& r, int32_t held, bool header_case) {
  if (r.state() != kRepSRecDump) return;
  if (FileSysFWrite(r.dump(), r.bytes(), static_cast<size_t>(held))) {
    if (header_case)
      TraceMessage(kTag, 34, 0, 3,
                   "Wrote %ld previous buff bytes at start of dump file in split info obj header "
                   "/ wholly in buffer info obj case",
                   static_cast<long>(held));
    else
      TraceMessage(kTag, 35, 0, 3,
                   "Wrote %ld previous buff bytes at start of dump file in split info object case",
                   static_cast<long>(held));
    return;
  }
  if (header_case)
    TraceMessage(kTag, 36, 0, -1,
                 "Failed to %ld previous buffer bytes to file in split info obj header  / wholly "
                 "in buffer info object case",
                 static_cast<long>(held));
  else
    TraceMessage(kTag, 37, 0, -1,
                 "Failed to %ld previous buffer bytes to file in split info object case",
                 static_cast<long>(held));
  r.set_state(kRepSRecError);
}

// Checks a block info object's size: 1 when it may be received.
bool InfoSizeOk(uint32_t size) {
  if (size <= kRepSRecordsMaxInfoSize) return true;
  TraceMessage(kTag, 38, 0, -1,
               "Block info object of %lu bytes is over the limit of %lu. Ignore this block.",
               static_cast<unsigned long>(size),
               static_cast<unsigned long>(kRepSRecordsMaxInfoSize));
  return false;
}

// Checks a record's length field: 1 when the record may be received.
bool RecordLengthOk(uint32_t length) {
  if (length >= 4 && length <= kRepSRecordsMaxRecordSize) return true;
  TraceMessage(kTag, 39, 0, -1,
               "Corrupt s-record length of %lu bytes (must be 4 to %lu). Skip rest of block.",
               static_cast<unsigned long>(length),
               static_cast<unsigned long>(kRepSRecordsMaxRecordSize));
  return false;
}

void StartOfBlock(const Receiver& r, const unsigned char* data, uint32_t size, uint32_t* p) {
  TraceMessage(kTag, 40, 0, 3, "Start of new block of records received on data channel");
  r.Set(kRecvHeaderMissing, 0);
  r.Set(kRecvBodyMissing, 0);
  r.Set(kRecvScratchCount, 0);
  r.set_state(kRepSRecError);
  ObjSetSlotBoolean(r.s, kRecvDumping, false);
  ObjSetSlotObject(r.s, kRecvBlockInfo, nullptr);
  CloseDump(r);
  if (size < kObjHeaderSize) {
    TraceMessage(kTag, 41, 0, 3, "Detected split info obj header in new block buffer of %ld bytes",
                 static_cast<long>(size));
    r.set_state(kRepSRecSplitInfoHeader);
    r.Set(kRecvInfoSize, 0);
    r.Grow(kObjHeaderSize);
    return;
  }
  uint32_t n = 0;
  if (!ObjBufferAnalyze(&n, data, size)) {
    TraceMessage(kTag, 42, 0, -1,
                 "Bad block info object header at start of new block. Ignore "
                 "this block.");
    return;
  }
  if (!InfoSizeOk(n)) return;
  r.Set(kRecvInfoSize, static_cast<int32_t>(n));
  TraceMessage(kTag, 43, 0, 3, "Info obj size is %ld bytes", static_cast<long>(n));
  if (uint64_t{size} < uint64_t{n} + kObjHeaderSize) {
    TraceMessage(kTag, 44, 0, 3, "Detected split info object in new block buffer of %ld bytes",
                 static_cast<long>(size));
    r.Grow(kObjHeaderSize);
    std::memcpy(r.bytes(), data, kObjHeaderSize);
    r.Set(kRecvScratchCount, kObjHeaderSize);
    *p = kObjHeaderSize;
    r.set_state(kRepSRecSplitInfoObject);
    return;
  }
  Ref<Obj> info;
  std::string type_name;
  int got = RebuildBlockInfo(&info, data + kObjHeaderSize, n, &type_name);
  if (got == 0) {
    TraceMessage(kTag, 45, 0, -1,
                 "Failed to reconstruct srecords block info object at start of new block. Ignore "
                 "this block.");
    return;
  }
  if (got == 2) {
    TraceMessage(kTag, 46, 0, -1,
                 "SRecords info object of wrong type. Is a '%s'. Ignore this block.",
                 type_name.c_str());
    return;
  }
  ObjSetSlotObject(r.s, kRecvBlockInfo, info);
  *p = kObjHeaderSize + n;
  TraceMessage(kTag, 47, 0, 3,
               "Succesfully reconstructed srecords block info object for new block. Records for "
               "table '%s'",
               r.table());
  NewBlockDecision(r);
}

void SplitInfoHeader(const Receiver& r, const unsigned char* data, uint32_t size, uint32_t* p,
                     int32_t held) {
  int32_t count = r.Get(kRecvScratchCount);
  uint32_t n = std::min<uint32_t>(kObjHeaderSize - static_cast<uint32_t>(count), size - *p);
  r.Grow(kObjHeaderSize);
  std::memcpy(r.bytes() + count, data + *p, n);
  TraceMessage(kTag, 48, 0, 3, "Copy %ld split info obj header bytes to offset %ld in scratch area",
               static_cast<long>(n), static_cast<long>(count));
  count += static_cast<int32_t>(n);
  *p += n;
  r.Set(kRecvScratchCount, count);
  if (count < static_cast<int32_t>(kObjHeaderSize)) {
    TraceMessage(kTag, 49, 0, 3, "Still waiting for %ld info obj header bytes from future buffer",
                 static_cast<long>(kObjHeaderSize - count));
    return;
  }
  uint32_t info_size = 0;
  if (!ObjBufferAnalyze(&info_size, r.bytes(), kObjHeaderSize)) {
    TraceMessage(kTag, 50, 0, -1,
                 "Bad block info object header at start of new block. Ignore "
                 "this block.");
    r.set_state(kRepSRecError);
    return;
  }
  if (!InfoSizeOk(info_size)) {
    r.set_state(kRepSRecError);
    return;
  }
  r.Set(kRecvInfoSize, static_cast<int32_t>(info_size));
  TraceMessage(kTag, 51, 0, 3,
               "Now have the whole info object header of %ld bytes. Info object size is %ld bytes",
               static_cast<long>(kObjHeaderSize), static_cast<long>(info_size));
  if (size - *p < info_size) {
    TraceMessage(kTag, 52, 0, 3,
                 "Whole of block info not in current buffer after completing split block info "
                 "object header. %ld bytes left in buffer, object of %ld bytes. Go to split "
                 "object state.",
                 static_cast<long>(size - *p), static_cast<long>(info_size));
    r.set_state(kRepSRecSplitInfoObject);
    return;
  }
  Ref<Obj> info;
  std::string type_name;
  int got = RebuildBlockInfo(&info, data + *p, info_size, &type_name);
  if (got == 0) {
    TraceMessage(kTag, 53, 0, -1,
                 "Failed to reconstruct srecords block info object at after completing split "
                 "block info header. Ignore this block.");
    r.set_state(kRepSRecError);
    return;
  }
  if (got == 2) {
    TraceMessage(kTag, 54, 0, -1,
                 "Failed to reconstruct Wholly in buffer srecords info object after completing "
                 "split block info object header is of wrong type. Is a '%s'. Ignore this block.",
                 type_name.c_str());
    r.set_state(kRepSRecError);
    return;
  }
  ObjSetSlotObject(r.s, kRecvBlockInfo, info);
  *p += info_size;
  r.Set(kRecvScratchCount, 0);
  TraceMessage(kTag, 55, 0, 3,
               "Succesfully reconstructed wholly in buffer srecords block info object after "
               "completing split block info object header. Records for table '%s'",
               r.table());
  NewBlockDecision(r);
  DumpHeldBytes(r, held, true);
}

void SplitInfoObject(const Receiver& r, const unsigned char* data, uint32_t size, uint32_t* p,
                     int32_t held) {
  int32_t count = r.Get(kRecvScratchCount);
  uint32_t info_size = static_cast<uint32_t>(r.Get(kRecvInfoSize));
  uint32_t total = info_size + kObjHeaderSize;
  uint32_t n = std::min<uint32_t>(total - static_cast<uint32_t>(count), size - *p);
  r.Grow(static_cast<size_t>(count) + n);
  std::memcpy(r.bytes() + count, data + *p, n);
  TraceMessage(kTag, 56, 0, 3, "Copy %ld split info object bytes to offset %ld in scratch area",
               static_cast<long>(n), static_cast<long>(count));
  count += static_cast<int32_t>(n);
  *p += n;
  r.Set(kRecvScratchCount, count);
  if (static_cast<uint32_t>(count) < total) {
    TraceMessage(kTag, 57, 0, 3,
                 "Still need %ld bytes of a block info object. Wait for next buffer",
                 static_cast<long>(total - count));
    return;
  }
  Ref<Obj> info;
  std::string type_name;
  int got = RebuildBlockInfo(&info, r.bytes() + kObjHeaderSize, info_size, &type_name);
  r.Set(kRecvScratchCount, 0);
  if (got == 0) {
    TraceMessage(kTag, 58, 0, -1,
                 "Failed to reconstruct buffer-split srecords block info object. Ignore this "
                 "block.");
    r.set_state(kRepSRecError);
    return;
  }
  if (got == 2) {
    TraceMessage(kTag, 59, 0, -1,
                 "Split buffer srecords info objectafter completing split block info object "
                 "header is of wrong type. Is a '%s'. Ignore this block.",
                 type_name.c_str());
    r.set_state(kRepSRecError);
    return;
  }
  ObjSetSlotObject(r.s, kRecvBlockInfo, info);
  TraceMessage(kTag, 60, 0, 3,
               "Succesfully reconstructed split-buffer srecords block info object. Records for "
               "table '%s'",
               r.table());
  NewBlockDecision(r);
  DumpHeldBytes(r, held, false);
}

int CallRecord(const Receiver& r, const unsigned char* bytes, uint32_t length) {
  r.Set(kRecvRecords, r.Get(kRecvRecords) + 1);
  auto record = TokenToFn<RepSRecordsRecordFn>(ObjGetSlotPointer(r.s, kRecvRecord));
  return record != nullptr ? record(bytes, length, r.cookie()) : 1;
}

// The record loop's step at a new record: true to go on with the buffer, false when it is done.
bool NewObjectStep(const Receiver& r, const unsigned char* data, uint32_t* at, uint32_t left) {
  uint32_t& p = *at;
  TraceMessage(kTag, 62, 0, 3, "State new object...");
  if (left < 4) {
    r.Grow(4);
    std::memcpy(r.bytes(), data + p, left);
    r.Set(kRecvScratchCount, static_cast<int32_t>(left));
    r.Set(kRecvHeaderMissing, static_cast<int32_t>(4 - left));
    r.set_state(kRepSRecSplitHeader);
    TraceMessage(kTag, 63, 0, 3, "Split header in buffer (%ld of %ld bytes)",
                 static_cast<long>(left), 4L);
    return false;
  }
  uint32_t length = GetLe32(data + p);
  if (!RecordLengthOk(length)) {
    r.set_state(kRepSRecError);
    return false;
  }
  if (length > left) {
    // The scratch area grows with the bytes that arrive, not with what the length field
    // claims, so a corrupt length costs nothing until its bytes are really there.
    r.Grow(left);
    std::memcpy(r.bytes(), data + p, left);
    r.Set(kRecvScratchCount, static_cast<int32_t>(left));
    r.Set(kRecvBodyMissing, static_cast<int32_t>(length - left));
    r.set_state(kRepSRecSplitBody);
    TraceMessage(kTag, 64, 0, 3,
                 "Whole header but split body in buffer. Need %ld more body "
                 "bytes",
                 static_cast<long>(length - left));
    return false;
  }
  if (CallRecord(r, data + p, length) == 1) {
    p += length;
    TraceMessage(kTag, 65, 0, 3, "Callback processed wholly in buffer object of %ld bytes",
                 static_cast<long>(length));
  } else {
    TraceMessage(kTag, 66, 0, -1,
                 "Callback failed to process wholly in buffer object of %ld bytes. Skip "
                 "block.",
                 static_cast<long>(length));
    r.set_state(kRepSRecError);
    return false;
  }
  return true;
}

// The record loop's step at a record whose length field was split: true to go on with the buffer,
// false when it is done.
bool SplitHeaderStep(const Receiver& r, const unsigned char* data, uint32_t* at, uint32_t left) {
  uint32_t& p = *at;
  TraceMessage(kTag, 67, 0, 3, "State split header...");
  uint32_t missing = static_cast<uint32_t>(r.Get(kRecvHeaderMissing));
  if (left < missing) {
    TraceMessage(kTag, 68, 0, -1,
                 "Error - only %ld of %ld remaining split header bytes in buffer. Skip rest "
                 "of block.",
                 static_cast<long>(left), static_cast<long>(missing));
    r.set_state(kRepSRecError);
    return false;
  }
  int32_t count = r.Get(kRecvScratchCount);
  std::memcpy(r.bytes() + count, data + p, missing);
  p += missing;
  r.Set(kRecvScratchCount, 4);
  r.Set(kRecvHeaderMissing, 0);
  uint32_t length = GetLe32(r.bytes());
  if (!RecordLengthOk(length)) {
    r.set_state(kRepSRecError);
    return false;
  }
  r.Set(kRecvBodyMissing, static_cast<int32_t>(length - 4));
  r.set_state(kRepSRecSplitBody);
  TraceMessage(kTag, 69, 0, 3, "Got remaining header bytes, now try for body of %ld bytes",
               static_cast<long>(length - 4));
  return true;
}

// The record loop's step at a record whose body was split: true to go on with the buffer, false
// when it is done.
bool SplitBodyStep(const Receiver& r, const unsigned char* data, uint32_t* at, uint32_t left) {
  uint32_t& p = *at;
  TraceMessage(kTag, 70, 0, 3, "State split body...");
  uint32_t missing = static_cast<uint32_t>(r.Get(kRecvBodyMissing));
  int32_t count = r.Get(kRecvScratchCount);
  if (left < missing) {
    r.Grow(static_cast<size_t>(count) + left);
    std::memcpy(r.bytes() + count, data + p, left);
    r.Set(kRecvScratchCount, count + static_cast<int32_t>(left));
    r.Set(kRecvBodyMissing, static_cast<int32_t>(missing - left));
    TraceMessage(kTag, 71, 0, 3, "Copy %ld more bytes of still incomplete record body",
                 static_cast<long>(left));
    return false;
  }
  r.Grow(static_cast<size_t>(count) + missing);
  if (missing > 0) std::memcpy(r.bytes() + count, data + p, missing);
  p += missing;
  TraceMessage(kTag, 72, 0, 3, "Got %ld remaining bytes of split body", static_cast<long>(missing));
  uint32_t length = static_cast<uint32_t>(count) + missing;
  r.Set(kRecvBodyMissing, 0);
  r.Set(kRecvScratchCount, 0);
  if (CallRecord(r, r.bytes(), length) == 1) {
    TraceMessage(kTag, 73, 0, 3, "Callback processed split record OK. Continue processing buffer.");
    r.set_state(kRepSRecNewObject);
  } else {
    TraceMessage(kTag, 74, 0, -1,
                 "Callback failed to store split record of %ld total bytes. Skip rest of "
                 "block.",
                 static_cast<long>(length));
    r.set_state(kRepSRecError);
    return false;
  }
  return true;
}

void RecordLoop(const Receiver& r, const unsigned char* data, uint32_t size, uint32_t p) {
  for (;;) {
    uint32_t left = size - p;
    // A record of a bare length field completes with its header; it is delivered at once.
    bool empty_body = r.state() == kRepSRecSplitBody && r.Get(kRecvBodyMissing) == 0;
    if (left == 0 && !empty_body) {
      TraceMessage(kTag, 61, 0, 3, "No bytes left in buffer. Wait for next buffer.");
      return;
    }
    bool more = false;
    switch (r.state()) {
      case kRepSRecNewObject:
        more = NewObjectStep(r, data, &p, left);
        break;
      case kRepSRecSplitHeader:
        more = SplitHeaderStep(r, data, &p, left);
        break;
      case kRepSRecSplitBody:
        more = SplitBodyStep(r, data, &p, left);
        break;
      default:
        TraceMessage(kTag, 75, 0, 3, "State error. Wait for start of next block...");
        return;
    }
    if (!more) return;
  }
}

void ReceiveCleanup(RepSRecordsReceiveState* s, int success) {
  Ref<RepSRecordsReceiveState> hold = Ref<RepSRecordsReceiveState>::Share(s);
  if (Obj* channel = ObjGetSlotObject(s, kRecvChannel)) DataChannelRelease(channel);
  ObjSetSlotObject(s, kRecvChannel, nullptr);
  CloseDump(Receiver{s, ObjGetSlotScratch(s, kRecvScratch)});
  MsgWaitRemoveHandler(kRepMsgReceiveSRecords, &ReceiveHandler, s);
  kr_internal::RepState().srecords_receives.erase(s);
  auto completion = TokenToFn<RepSRecordsCompletionFn>(ObjGetSlotPointer(s, kRecvCompletion));
  if (completion != nullptr) completion(success, ObjGetSlotObject(s, kRecvCookie));
}

int ReceiveHandler(Obj* message, void* state) {
  kr_internal::RepContextState& context = kr_internal::RepState();
  auto it = context.srecords_receives.find(static_cast<const Obj*>(state));
  if (it == context.srecords_receives.end()) return 1;
  Ref<RepSRecordsReceiveState> s = it->second;
  Ref<Obj> id;
  if (!MsgGetObjectInternal(&id, message, kObjIntegerType)) {
    TraceMessage(kTag, 76, 0, -1, "Munged integer object attached to srecords receive msg");
    return 1;
  }
  if (ObjGetInteger(id.get()) != ObjGetInteger(ObjGetSlotObject(s.get(), kRecvId))) return 1;
  Obj* channel = ObjGetSlotObject(s.get(), kRecvChannel);
  DataBlock* block = nullptr;
  int r = DataChannelGetReceiveBuffer(channel, &block);
  if (r == 2 || r == 3) {
    // Not yet: the call has already waited briefly for data. Going round the message loop again
    // (rather than polling from inside this handler) keeps a sender in the same process moving.
    MsgSendObjectToSelf(kRepMsgReceiveSRecords, id.get());
    return 0;
  }
  if (r != 1) {
    TraceMessage(kTag, 77, 0, -1, "Failed to receive srecords data on channel. Abort.");
    ReceiveCleanup(s.get(), 0);
    return 0;
  }
  context.last_buffer = std::chrono::steady_clock::now();
  uint32_t used = DataBlockGetBytesUsed(block);
  if (used == 0) {
    TraceMessage(kTag, 78, 0, 2, "Got end-of-xfer signal from data channel. Received %ld records.",
                 static_cast<long>(ObjGetSlotInteger(s.get(), kRecvRecords)));
    DataChannelReleaseBuffer(channel, block);
    DataChannelRelease(channel);
    ObjSetSlotObject(s.get(), kRecvChannel, nullptr);
    MsgSendObject(ObjGetSlotObject(s.get(), kRecvSender), kRepMsgSRecordsCloseConfirm, nullptr);
    ReceiveCleanup(s.get(), 1);
    return 0;
  }
  TraceMessage(kTag, 79, 0, 3, "Received %ld bytes on data channel", static_cast<long>(used));
  RepSRecordsProcessBuffer(s.get(), DataBlockHeader(block)[kDataBlockContinuationByte],
                           DataBlockGetData(block), used);
  DataChannelReleaseBuffer(channel, block);
  MsgSendObjectToSelf(kRepMsgReceiveSRecords, id.get());
  return 0;
}

}  // namespace

Ref<RepSRecordsReceiveState> RepSRecordsNewReceiveState(RepSRecordsNewBlockFn new_block,
                                                        RepSRecordsRecordFn record,
                                                        Obj* cookie) noexcept {
  Ref<RepSRecordsReceiveState> s = RepSRecordsReceiveState::New();
  ObjSetSlotPointer(s.get(), kRecvNewBlock, FnToken(new_block));
  ObjSetSlotPointer(s.get(), kRecvRecord, FnToken(record));
  ObjSetSlotObject(s.get(), kRecvCookie, Ref<Obj>::Share(cookie));
  // Until the first block starts, everything is skipped.
  ObjSetSlotInteger(s.get(), kRecvState, kRepSRecError);
  return s;
}

void RepSRecordsProcessBuffer(RepSRecordsReceiveState* state, int continuation,
                              const unsigned char* data, uint32_t size) noexcept {
  if (state == nullptr || (data == nullptr && size > 0)) return;
  Receiver r{state, ObjGetSlotScratch(state, kRecvScratch)};
  if (r.scratch == nullptr) return;
  uint32_t p = 0;
  int32_t held = r.Get(kRecvScratchCount);
  if (continuation == 0) StartOfBlock(r, data, size, &p);
  if (r.state() == kRepSRecSplitInfoHeader) SplitInfoHeader(r, data, size, &p, held);
  if (r.state() == kRepSRecSplitInfoObject && p < size) SplitInfoObject(r, data, size, &p, held);
  switch (r.state()) {
    case kRepSRecError:
      TraceMessage(kTag, 80, 0, 3, "In error state, skip (rest of) buffer");
      break;
    case kRepSRecSplitInfoHeader:
    case kRepSRecSplitInfoObject:
      break;
    case kRepSRecDump:
      if (FileSysFWrite(r.dump(), data, size)) {
        TraceMessage(kTag, 81, 0, 3, "Wrote %ld byte buffer to dump file", static_cast<long>(size));
      } else {
        TraceMessage(kTag, 82, 0, -1,
                     "Failed to write %ld byte buffer to dump file - go to block error state",
                     static_cast<long>(size));
        r.set_state(kRepSRecError);
      }
      break;
    default:
      RecordLoop(r, data, size, p);
      break;
  }
}

void RepSRecordsCloseDump(RepSRecordsReceiveState* state) noexcept {
  if (state == nullptr) return;
  CloseDump(Receiver{state, ObjGetSlotScratch(state, kRecvScratch)});
}

int RepInitSRecordsReceive(RepSRecordsNewBlockFn new_block, RepSRecordsRecordFn record,
                           RepSRecordsCompletionFn completion, const Obj* connect_message,
                           Obj* cookie) noexcept {
  Ref<RepSRecordsReceiveState> s = RepSRecordsNewReceiveState(new_block, record, cookie);
  ObjSetSlotPointer(s.get(), kRecvCompletion, FnToken(completion));
  int32_t id = g_next_receive_id.fetch_add(1);
  ObjSetSlotObject(s.get(), kRecvId, ObjNewInteger(id));
  Ref<Obj> sender;
  if (MsgGetSender(&sender, connect_message)) ObjSetSlotObject(s.get(), kRecvSender, sender);
  Ref<Obj> channel;
  int r;
  while ((r = DataChannelAcceptConnection(&channel, connect_message)) == 2) MsgWaitPoll();
  if (r != 1) {
    TraceMessage(kTag, 83, 0, -1, "Failed to accept data channel. Abort");
    ReceiveCleanup(s.get(), 0);
    return 0;
  }
  TraceMessage(kTag, 84, 0, 2, "Accepted data channel connection from '%s'",
               MsgGetMachineName(sender.get()));
  ObjSetSlotObject(s.get(), kRecvChannel, channel);
  kr_internal::RepState().srecords_receives[s.get()] = s;
  MsgWaitAddHandler(kRepMsgReceiveSRecords, &ReceiveHandler, s.get());
  MsgSendObjectToSelf(kRepMsgReceiveSRecords, ObjNewInteger(id).get());
  return 1;
}

std::chrono::steady_clock::time_point kr_internal::RepSRecordsLastBufferTime() noexcept {
  return kr_internal::RepState().last_buffer;
}

bool kr_internal::RepSRecordsAbortReceive(const Obj* cookie) noexcept {
  for (auto& entry : kr_internal::RepState().srecords_receives) {
    if (ObjGetSlotObject(entry.second.get(), kRecvCookie) != cookie) continue;
    Ref<RepSRecordsReceiveState> s = entry.second;
    TraceMessage(kTag, 85, 0, 2, "Abandoning srecords receive: its data channel is released");
    ReceiveCleanup(s.get(), 0);
    return true;
  }
  return false;
}
