// Serialized-record streaming: the sending and receiving state machines, the record index
// helpers and the provider-side table producer. doc/srecords.md describes the stream.

#include "reports/serializedrecords.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <unordered_map>

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

namespace {

constexpr const char* kTag = "REPSRECS";

// Transmit and receive ids are process-wide, so that two contexts of one process never confuse
// their self-posted messages.
std::atomic<int32_t> g_next_transmit_id{0};
std::atomic<int32_t> g_next_receive_id{0};

// --- small helpers ------------------------------------------------------------------------------

template <class F>
uint64_t FnToken(F fn) {
  return reinterpret_cast<uint64_t>(reinterpret_cast<void*>(fn));
}
template <class F>
F TokenToFn(uint64_t token) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(token));
}

uint32_t GetLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// An open file (a FileStream or FileSysFile) held in an object slot: a data field carrying the
// handle's pointer, whose finalizer closes it when the slot is cleared or its object destroyed.
template <class T>
void CloseHeld(void* bytes) {
  T* handle;
  std::memcpy(&handle, bytes, sizeof handle);
  std::default_delete<T>()(handle);
}
template <class T>
Ref<Obj> HoldFile(std::unique_ptr<T> file) {
  T* raw = file.get();
  Ref<Obj> field;
  if (!ObjDataFieldCreate(&field, &raw, sizeof raw)) return nullptr;
  file.release();
  ObjDataFieldSetFinalizer(field.get(), &CloseHeld<T>);
  return field;
}
template <class T>
T* HeldFile(const Obj* field) {
  size_t size = 0;
  void* bytes = field != nullptr ? ObjDataFieldGet(field, &size) : nullptr;
  if (bytes == nullptr || size != sizeof(T*)) return nullptr;
  T* handle;
  std::memcpy(&handle, bytes, sizeof handle);
  return handle;
}

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

// --- live transfers -----------------------------------------------------------------------------

// Each transfer is owned here from its start to its end; the handlers and the alarm get the
// state's address as their cookie. The per-send bookkeeping that is no part of the state object
// sits beside it.
struct SendEntry {
  Ref<RepSRecordsSendState> state;
  bool starts_block = false;   // the next send buffer starts a new block
  DataBlock* spare = nullptr;  // a send buffer got but not sent (after a failed read)
};
thread_local std::unordered_map<const Obj*, SendEntry> t_sends;
thread_local std::unordered_map<const Obj*, Ref<RepSRecordsReceiveState>> t_receives;
// When the last buffer of any receive of this thread arrived: a requester's sign that its
// provider is alive while a block too large for one buffer trickles in.
thread_local std::chrono::steady_clock::time_point t_last_buffer;

SendEntry* FindSend(const void* state) {
  auto it = t_sends.find(static_cast<const Obj*>(state));
  return it == t_sends.end() ? nullptr : &it->second;
}

}  // namespace

// ================================================================================================
// Block info objects

const char* RepSRecordsBlockTableName(const Obj* block_info) noexcept {
  if (ObjGetMagic(block_info) != RepSRecordsBlockInfo::kTypeCode) return nullptr;
  return ObjGetSlotString(block_info, 1);
}

RepFieldList* RepSRecordsBlockFields(const Obj* block_info) noexcept {
  if (ObjGetMagic(block_info) != RepSRecordsBlockInfo::kTypeCode) return nullptr;
  return ObjCast<List>(ObjGetSlotObject(block_info, 2));
}

// ================================================================================================
// Sending

namespace {

// Slot numbers of the send state.
enum SendSlot {
  kSendCompletion = 1,
  kSendDestination = 2,
  kSendChannel = 3,
  kSendBlockSize = 4,
  kSendId = 5,
  kSendFromMemory = 6,
  kSendSourceSize = 7,
  kSendSourceSent = 8,
  kSendNextBuffer = 9,
  kSendBuffer = 10,
  kSendNextFile = 11,
  kSendFile = 12,
  kSendCookie = 13,
};

void EmergencyCleanup(void* state);
int CloseConfirmHandler(Obj* message, void* state);

int GetSendBuffer(Obj* channel, DataBlock** block) {
  int r;
  while ((r = DataChannelGetSendBuffer(channel, block)) == 2) MsgWaitPoll();
  if (r != 1) TraceMessage(kTag, 1, 0, -1, "Failed to get send buffer.");
  return r == 1;
}

int SendBlock(Obj* channel, DataBlock* block) {
  int r;
  while ((r = DataChannelSendBuffer(channel, block)) == 2) MsgWaitPoll();
  if (r != 1) TraceMessage(kTag, 2, 0, -1, "Failed to send buffer. Abort");
  return r == 1;
}

void CloseSendFile(RepSRecordsSendState* s) { ObjSetSlotObject(s, kSendFile, nullptr); }

// Ends a send: closes the file, releases the channel, calls the completion callback and drops
// the send's handlers, alarm and entry.
void FinishSend(RepSRecordsSendState* s, int success) {
  Ref<RepSRecordsSendState> hold = Ref<RepSRecordsSendState>::Share(s);
  CloseSendFile(s);
  if (Obj* channel = ObjGetSlotObject(s, kSendChannel)) DataChannelRelease(channel);
  ObjSetSlotObject(s, kSendChannel, nullptr);
  MsgWaitRemoveHandler(kRepMsgTransmitSRecords, &RepHandleTransmitSRecordsMsg, s);
  MsgWaitRemoveHandler(kRepMsgSRecordsCloseConfirm, &CloseConfirmHandler, s);
  TimrResetAlarm(&EmergencyCleanup, s);
  t_sends.erase(s);
  auto completion = TokenToFn<RepSRecordsCompletionFn>(ObjGetSlotPointer(s, kSendCompletion));
  if (completion != nullptr) completion(success, ObjGetSlotObject(s, kSendCookie));
}

// Makes sure a source with bytes left is at hand. 1 data, 2 no more data, 0 error.
int NextSource(RepSRecordsSendState* s, SendEntry* e) {
  Obj* cookie = ObjGetSlotObject(s, kSendCookie);
  if (ObjGetSlotBoolean(s, kSendFromMemory)) {
    while (ObjGetSlotPointer(s, kSendBuffer) == 0 ||
           ObjGetSlotInteger(s, kSendSourceSent) >= ObjGetSlotInteger(s, kSendSourceSize)) {
      auto next = TokenToFn<RepSRecordsNextBufferFn>(ObjGetSlotPointer(s, kSendNextBuffer));
      const unsigned char* buffer = nullptr;
      int32_t size = 0;
      int r = next(&buffer, &size, cookie);
      if (r == kRepSRecBufferNoMore) return 2;
      if (r != kRepSRecBufferContinues && r != kRepSRecBufferNewBlock) {
        TraceMessage(kTag, 3, 0, -1, "Error getting data to send. Abort send.");
        return 0;
      }
      if (size < 1 || buffer == nullptr) {
        TraceMessage(kTag, 4, 0, -1, "Error - zero size next send buffer");
        return 0;
      }
      ObjSetSlotPointer(s, kSendBuffer, reinterpret_cast<uint64_t>(buffer));
      ObjSetSlotInteger(s, kSendSourceSize, size);
      ObjSetSlotInteger(s, kSendSourceSent, 0);
      e->starts_block = r == kRepSRecBufferNewBlock;
    }
    return 1;
  }
  while (ObjGetSlotObject(s, kSendFile) == nullptr ||
         ObjGetSlotInteger(s, kSendSourceSent) >= ObjGetSlotInteger(s, kSendSourceSize)) {
    CloseSendFile(s);
    auto next = TokenToFn<RepSRecordsNextFileFn>(ObjGetSlotPointer(s, kSendNextFile));
    std::string path;
    int r = next(&path, cookie);
    if (r == kRepSRecNextFileNoMore) return 2;
    if (r != kRepSRecNextFileOk) {
      TraceMessage(kTag, 5, 0, -1, "Error getting data to send. Abort send.");
      return 0;
    }
    int64_t size = 0;
    std::unique_ptr<FileStream> stream;
    if (!FileSize(&size, path.c_str()) || !FileStreamOpen(&stream, path.c_str())) {
      TraceMessage(kTag, 6, 0, -1, "Could not open next callback supplied s-records file '%s'",
                   path.c_str());
      return 0;
    }
    // The send state counts a source's bytes in 32 bits; the producer cuts its files far
    // smaller than that.
    if (size > INT32_MAX) {
      TraceMessage(kTag, 7, 0, -1, "S-records file '%s' of %" PRId64 " bytes is too large",
                   path.c_str(), size);
      return 0;
    }
    if (size == 0) {
      // A 0-byte buffer would read as end-of-xfer at the other end: an empty file is passed over.
      TraceMessage(kTag, 8, 0, 2, "S-records file '%s' is empty. Skip to next file", path.c_str());
      continue;
    }
    ObjSetSlotObject(s, kSendFile, HoldFile(std::move(stream)));
    ObjSetSlotInteger(s, kSendSourceSize, static_cast<int32_t>(size));
    ObjSetSlotInteger(s, kSendSourceSent, 0);
    e->starts_block = true;
  }
  return 1;
}

// One send step. 1 data sent, 2 end-of-xfer sent, 0 failure.
int SendStep(RepSRecordsSendState* s) {
  SendEntry* e = FindSend(s);
  if (e == nullptr) return 0;
  Obj* channel = ObjGetSlotObject(s, kSendChannel);
  int got = NextSource(s, e);
  if (got == 0) return 0;
  e = FindSend(s);  // the callbacks may have started other transfers
  if (e == nullptr) return 0;
  if (got == 2) {
    TraceMessage(kTag, 9, 0, 2, "Sent all s-records succesfully. Send end-of-xfer buffer");
    DataBlock* block = e->spare;
    e->spare = nullptr;
    if (block == nullptr && !GetSendBuffer(channel, &block)) {
      TraceMessage(kTag, 10, 0, -1, "Cannot get send buffer for end-of-xfer. Abort.");
      return 0;
    }
    DataBlockSetBytesUsed(block, 0);
    if (!SendBlock(channel, block)) {
      TraceMessage(kTag, 11, 0, -1, "Cannot send end-of-xfer. Abort.");
      return 0;
    }
    TraceMessage(kTag, 12, 0, 2, "Sent end-of-xfer OK");
    return 2;
  }
  DataBlock* block = e->spare;
  e->spare = nullptr;
  if (block == nullptr) {
    if (!GetSendBuffer(channel, &block)) {
      TraceMessage(kTag, 13, 0, -1, "Cannot get send buffer. Abort.");
      return 0;
    }
    e = FindSend(s);
    if (e == nullptr) return 0;
  }
  int32_t sent = ObjGetSlotInteger(s, kSendSourceSent);
  int32_t left = ObjGetSlotInteger(s, kSendSourceSize) - sent;
  uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(ObjGetSlotInteger(s, kSendBlockSize)),
                                     static_cast<uint32_t>(left));
  want = std::min(want, DataBlockGetCapacity(block));
  unsigned char* data = DataBlockGetData(block);
  uint32_t n = want;
  if (ObjGetSlotBoolean(s, kSendFromMemory)) {
    const auto* source = reinterpret_cast<const unsigned char*>(ObjGetSlotPointer(s, kSendBuffer));
    std::memcpy(data, source + sent, want);
  } else {
    FileStream* stream = HeldFile<FileStream>(ObjGetSlotObject(s, kSendFile));
    n = 0;
    bool ok = stream != nullptr;
    while (ok && n < want) {
      size_t chunk = 0;
      ok = FileStreamRead(stream, data + n, want - n, &chunk) && chunk > 0;
      n += static_cast<uint32_t>(chunk);
    }
    if (n == 0) {
      // The file shrank or cannot be read: the rest of it is skipped and the buffer kept for
      // the next step.
      TraceMessage(kTag, 14, 0, -1, "Failed to read from file. Skip to next file");
      ObjSetSlotInteger(s, kSendSourceSent, ObjGetSlotInteger(s, kSendSourceSize));
      e->spare = block;
      return 1;
    }
  }
  DataBlockSetBytesUsed(block, n);
  DataBlockHeader(block)[kDataBlockContinuationByte] = e->starts_block ? 0 : 1;
  e->starts_block = false;
  // A short read counts as the end of the file, so the next step moves on to the next one.
  ObjSetSlotInteger(
      s, kSendSourceSent,
      n < want ? ObjGetSlotInteger(s, kSendSourceSize) : sent + static_cast<int32_t>(n));
  if (!SendBlock(channel, block)) {
    TraceMessage(kTag, 15, 0, -1, "Cannot send data down channel. Abort.");
    return 0;
  }
  TraceMessage(kTag, 16, 0, 3, "Sent %ld bytes down channel", static_cast<long>(n));
  return 1;
}

int CloseConfirmHandler(Obj* message, void* state) {
  SendEntry* e = FindSend(state);
  if (e == nullptr) return 1;
  RepSRecordsSendState* s = e->state.get();
  Ref<Obj> sender;
  if (!MsgGetSender(&sender, message) ||
      !MsgAddressEqual(sender.get(), ObjGetSlotObject(s, kSendDestination)))
    return 1;
  TraceMessage(kTag, 17, 0, 2, "Received channel close confirmation. Freeing resources.");
  FinishSend(s, 1);
  return 0;
}

void EmergencyCleanup(void* state) {
  SendEntry* e = FindSend(state);
  if (e == nullptr) return;
  TraceMessage(kTag, 18, 0, -1,
               "Emergency data channel clean up handler called. Data channel close not confirmed");
  FinishSend(e->state.get(), 0);
}

int StartSend(const Obj* destination, bool from_memory, RepSRecordsNextFileFn next_file,
              RepSRecordsNextBufferFn next_buffer, RepSRecordsCompletionFn completion,
              int32_t block_size, Obj* cookie) {
  if (destination == nullptr || block_size < 1 ||
      static_cast<uint32_t>(block_size) > kDataChannelMaxBufferSize) {
    TraceMessage(kTag, 19, 0, -1, "Bad arguments for s-records send (block size %ld)",
                 static_cast<long>(block_size));
    return 0;
  }
  Ref<RepSRecordsSendState> s = RepSRecordsSendState::New();
  ObjSetSlotPointer(s.get(), kSendCompletion, FnToken(completion));
  ObjSetSlotObject(s.get(), kSendDestination, Ref<Obj>::Share(const_cast<Obj*>(destination)));
  ObjSetSlotInteger(s.get(), kSendBlockSize, block_size);
  ObjSetSlotBoolean(s.get(), kSendFromMemory, from_memory);
  ObjSetSlotPointer(s.get(), kSendNextBuffer, FnToken(next_buffer));
  ObjSetSlotPointer(s.get(), kSendNextFile, FnToken(next_file));
  ObjSetSlotObject(s.get(), kSendCookie, Ref<Obj>::Share(cookie));
  Ref<Obj> channel;
  if (!DataChannelCreate(&channel, destination, static_cast<uint32_t>(block_size))) {
    TraceMessage(kTag, 20, 0, -1, "Cannot create data channel for s-records send");
    return 0;
  }
  int r;
  while ((r = DataChannelConnect(channel.get())) == 2) MsgWaitPoll();
  if (r != 1) {
    if (from_memory)
      TraceMessage(kTag, 21, 0, -1,
                   "Failed to open data channel for s-records memory buffer'd send");
    else
      TraceMessage(kTag, 22, 0, -1, "Failed to open data channel for s-records send");
    DataChannelRelease(channel.get());
    return 0;
  }
  int32_t id = g_next_transmit_id.fetch_add(1);
  ObjSetSlotInteger(s.get(), kSendId, id);
  ObjSetSlotObject(s.get(), kSendChannel, channel);
  Obj* key = s.get();
  t_sends[key].state = s;
  MsgWaitAddHandler(kRepMsgTransmitSRecords, &RepHandleTransmitSRecordsMsg, key);
  MsgSendObjectToSelf(kRepMsgTransmitSRecords, ObjNewInteger(id).get());
  return 1;
}

}  // namespace

int RepInitSRecordsSend(const Obj* destination, RepSRecordsNextFileFn next_file,
                        RepSRecordsCompletionFn completion, Obj* cookie) noexcept {
  if (next_file == nullptr) return 0;
  int32_t kib = kRepSRecordsDefaultBlockKiB;
  CfgGetInteger(&kib, "reports.cfg", "Reports", "StatsSendBlockSize", kRepSRecordsDefaultBlockKiB);
  if (kib < 1 || kib > static_cast<int32_t>(kDataChannelMaxBufferSize / 1024)) {
    TraceMessage(kTag, 23, 0, -1, "StatsSendBlockSize of %ld KiB is out of range. Using %ld KiB",
                 static_cast<long>(kib), static_cast<long>(kRepSRecordsDefaultBlockKiB));
    kib = kRepSRecordsDefaultBlockKiB;
  }
  return StartSend(destination, false, next_file, nullptr, completion, kib * 1024, cookie);
}

int RepInitSRecordsSendFromMemory(const Obj* destination, RepSRecordsNextBufferFn next_buffer,
                                  RepSRecordsCompletionFn completion, int32_t block_size,
                                  Obj* cookie) noexcept {
  if (next_buffer == nullptr) return 0;
  return StartSend(destination, true, nullptr, next_buffer, completion, block_size, cookie);
}

int RepHandleTransmitSRecordsMsg(Obj* message, void* send_state) noexcept {
  SendEntry* e = FindSend(send_state);
  if (e == nullptr) return 1;
  Ref<RepSRecordsSendState> s = e->state;
  Ref<Obj> id;
  if (!MsgGetObjectInternal(&id, message, kObjIntegerType)) {
    TraceMessage(kTag, 24, 0, -1, "Bad object attached to LIB_REP_TRANSMIT_SRECORTDS_MSG");
    return 1;
  }
  int32_t mine = ObjGetSlotInteger(s.get(), kSendId);
  if (ObjGetInteger(id.get()) != mine) {
    TraceMessage(kTag, 25, 0, 3, "Transmit msg %ld NOT for handler %ld",
                 static_cast<long>(ObjGetInteger(id.get())), static_cast<long>(mine));
    return 1;
  }
  int r = SendStep(s.get());
  if (FindSend(s.get()) == nullptr) return 0;  // ended from inside a callback
  if (r == 1) {
    TraceMessage(kTag, 26, 0, 3, "Transmitted data OK");
    MsgSendObjectToSelf(kRepMsgTransmitSRecords, id.get());
  } else if (r == 2) {
    TraceMessage(kTag, 27, 0, 2,
                 "Data transfer completed succesfully. Installed handlers for channel close down");
    MsgWaitAddHandler(kRepMsgSRecordsCloseConfirm, &CloseConfirmHandler, s.get());
    TimrSetAlarm(&EmergencyCleanup, s.get(), kRepSRecordsCloseWaitSeconds);
    MsgWaitRemoveHandler(kRepMsgTransmitSRecords, &RepHandleTransmitSRecordsMsg, s.get());
  } else {
    TraceMessage(kTag, 28, 0, -1, "Failed to transmit data. Abort send.");
    FinishSend(s.get(), 0);
  }
  return 0;
}

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

void RecordLoop(const Receiver& r, const unsigned char* data, uint32_t size, uint32_t p) {
  for (;;) {
    uint32_t left = size - p;
    // A record of a bare length field completes with its header; it is delivered at once.
    bool empty_body = r.state() == kRepSRecSplitBody && r.Get(kRecvBodyMissing) == 0;
    if (left == 0 && !empty_body) {
      TraceMessage(kTag, 61, 0, 3, "No bytes left in buffer. Wait for next buffer.");
      return;
    }
    switch (r.state()) {
      case kRepSRecNewObject: {
        TraceMessage(kTag, 62, 0, 3, "State new object...");
        if (left < 4) {
          r.Grow(4);
          std::memcpy(r.bytes(), data + p, left);
          r.Set(kRecvScratchCount, static_cast<int32_t>(left));
          r.Set(kRecvHeaderMissing, static_cast<int32_t>(4 - left));
          r.set_state(kRepSRecSplitHeader);
          TraceMessage(kTag, 63, 0, 3, "Split header in buffer (%ld of %ld bytes)",
                       static_cast<long>(left), 4L);
          return;
        }
        uint32_t length = GetLe32(data + p);
        if (!RecordLengthOk(length)) {
          r.set_state(kRepSRecError);
          return;
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
          return;
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
          return;
        }
        break;
      }
      case kRepSRecSplitHeader: {
        TraceMessage(kTag, 67, 0, 3, "State split header...");
        uint32_t missing = static_cast<uint32_t>(r.Get(kRecvHeaderMissing));
        if (left < missing) {
          TraceMessage(kTag, 68, 0, -1,
                       "Error - only %ld of %ld remaining split header bytes in buffer. Skip rest "
                       "of block.",
                       static_cast<long>(left), static_cast<long>(missing));
          r.set_state(kRepSRecError);
          return;
        }
        int32_t count = r.Get(kRecvScratchCount);
        std::memcpy(r.bytes() + count, data + p, missing);
        p += missing;
        r.Set(kRecvScratchCount, 4);
        r.Set(kRecvHeaderMissing, 0);
        uint32_t length = GetLe32(r.bytes());
        if (!RecordLengthOk(length)) {
          r.set_state(kRepSRecError);
          return;
        }
        r.Set(kRecvBodyMissing, static_cast<int32_t>(length - 4));
        r.set_state(kRepSRecSplitBody);
        TraceMessage(kTag, 69, 0, 3, "Got remaining header bytes, now try for body of %ld bytes",
                     static_cast<long>(length - 4));
        break;
      }
      case kRepSRecSplitBody: {
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
          return;
        }
        r.Grow(static_cast<size_t>(count) + missing);
        if (missing > 0) std::memcpy(r.bytes() + count, data + p, missing);
        p += missing;
        TraceMessage(kTag, 72, 0, 3, "Got %ld remaining bytes of split body",
                     static_cast<long>(missing));
        uint32_t length = static_cast<uint32_t>(count) + missing;
        r.Set(kRecvBodyMissing, 0);
        r.Set(kRecvScratchCount, 0);
        if (CallRecord(r, r.bytes(), length) == 1) {
          TraceMessage(kTag, 73, 0, 3,
                       "Callback processed split record OK. Continue processing buffer.");
          r.set_state(kRepSRecNewObject);
        } else {
          TraceMessage(kTag, 74, 0, -1,
                       "Callback failed to store split record of %ld total bytes. Skip rest of "
                       "block.",
                       static_cast<long>(length));
          r.set_state(kRepSRecError);
          return;
        }
        break;
      }
      default:
        TraceMessage(kTag, 75, 0, 3, "State error. Wait for start of next block...");
        return;
    }
  }
}

void ReceiveCleanup(RepSRecordsReceiveState* s, int success) {
  Ref<RepSRecordsReceiveState> hold = Ref<RepSRecordsReceiveState>::Share(s);
  if (Obj* channel = ObjGetSlotObject(s, kRecvChannel)) DataChannelRelease(channel);
  ObjSetSlotObject(s, kRecvChannel, nullptr);
  CloseDump(Receiver{s, ObjGetSlotScratch(s, kRecvScratch)});
  MsgWaitRemoveHandler(kRepMsgReceiveSRecords, &ReceiveHandler, s);
  t_receives.erase(s);
  auto completion = TokenToFn<RepSRecordsCompletionFn>(ObjGetSlotPointer(s, kRecvCompletion));
  if (completion != nullptr) completion(success, ObjGetSlotObject(s, kRecvCookie));
}

int ReceiveHandler(Obj* message, void* state) {
  auto it = t_receives.find(static_cast<const Obj*>(state));
  if (it == t_receives.end()) return 1;
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
  t_last_buffer = std::chrono::steady_clock::now();
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
  t_receives[s.get()] = s;
  MsgWaitAddHandler(kRepMsgReceiveSRecords, &ReceiveHandler, s.get());
  MsgSendObjectToSelf(kRepMsgReceiveSRecords, ObjNewInteger(id).get());
  return 1;
}

std::chrono::steady_clock::time_point kr_internal::RepSRecordsLastBufferTime() noexcept {
  return t_last_buffer;
}

bool kr_internal::RepSRecordsAbortReceive(const Obj* cookie) noexcept {
  for (auto& entry : t_receives) {
    if (ObjGetSlotObject(entry.second.get(), kRecvCookie) != cookie) continue;
    Ref<RepSRecordsReceiveState> s = entry.second;
    TraceMessage(kTag, 85, 0, 2, "Abandoning srecords receive: its data channel is released");
    ReceiveCleanup(s.get(), 0);
    return true;
  }
  return false;
}

// ================================================================================================
// Record indexes

int RepGetSRecordsIndexSize(int32_t index_type) noexcept {
  if (index_type == kRepTypeInteger || index_type == kRepTypeSysTime) return 4;
  TraceMessage(kTag, 85, 0, -1, "Bad index type");
  return 0;
}

int RepCreateIndexObject(Ref<Obj>* index, int32_t index_type) noexcept {
  if (index == nullptr) return 0;
  if (index_type != kRepTypeInteger && index_type != kRepTypeSysTime) {
    TraceMessage(kTag, 86, 0, -1, "UNSUPPORTED");
    return 0;
  }
  *index = ObjNewInteger(0);
  return 1;
}

int RepEncodeRecordIndex(const unsigned char* bytes, Obj* index, int32_t index_type) noexcept {
  if (index_type != kRepTypeInteger && index_type != kRepTypeSysTime) {
    TraceMessage(kTag, 87, 0, -1, "UNSUPPORTED");
    return 0;
  }
  if (bytes == nullptr) return 0;
  return ObjSetInteger(index, static_cast<int32_t>(GetLe32(bytes)));
}

// ================================================================================================
// The table producer

namespace {

// One served table. Slots: 1 the descriptor (not owned), 2 grabber context, 3 grabber arguments,
// 4 filter tree, 5 table name, 6 index type, 7 next block number, 8 all records fetched,
// 9 grabber finished, 10 the block being handed out, 11 the caller's cookie, 12 done callback,
// 13 records sent.
struct SRecordsProducer : ObjView<SRecordsProducer> {
  static constexpr uint32_t kTypeCode = 0xca1e9701;
  static constexpr const char kSpec[] = "p;o;o;o;s;i;i;b;b;d;o;p;i;";
  static constexpr const char kName[] = "RepSRecordsProducer";
};

const RepProvidedTableDesc* ProducerDesc(const Obj* p) {
  return reinterpret_cast<const RepProvidedTableDesc*>(ObjGetSlotPointer(p, 1));
}

void ProducerFinishGrabber(Obj* p) {
  if (ObjGetSlotBoolean(p, 9)) return;
  ObjSetSlotBoolean(p, 9, true);
  const RepProvidedTableDesc* desc = ProducerDesc(p);
  Ref<Obj> context = Ref<Obj>::Share(ObjGetSlotObject(p, 2));
  auto* args = static_cast<RepGrabberInitArgs*>(ObjGetSlotObject(p, 3));
  if (desc != nullptr && desc->finish != nullptr) desc->finish(&context, args);
  ObjSetSlotObject(p, 2, nullptr);
}

int ProducerNextBuffer(const unsigned char** buffer, int32_t* size, Obj* cookie) {
  Obj* p = cookie;
  int32_t block = ObjGetSlotInteger(p, 7);
  // The first block always goes, so an empty table still tells its field list.
  if (ObjGetSlotBoolean(p, 8) && block > 0) return kRepSRecBufferNoMore;
  const RepProvidedTableDesc* desc = ProducerDesc(p);
  auto* args = static_cast<RepGrabberInitArgs*>(ObjGetSlotObject(p, 3));
  const RepFieldList* fields = args->fields();
  Obj* tree_obj = ObjGetSlotObject(p, 4);
  const Tree* tree = ObjGetMagic(tree_obj) == kObjTreeType ? static_cast<Tree*>(tree_obj) : nullptr;
  int32_t index_type = ObjGetSlotInteger(p, 6);
  const char* table = ObjGetSlotString(p, 5);
  std::string& out = *ObjGetSlotScratch(p, 10);
  out.clear();
  if (!RepSRecordsAppendBlockInfo(&out, table, fields, block)) return 3;
  size_t info_end = out.size();
  int32_t sent = ObjGetSlotInteger(p, 13);
  while (!ObjGetSlotBoolean(p, 8) && out.size() < kRepSRecordsProducerBlockSize) {
    Ref<RepRecord> record = RepMakeBlankRecord(fields, kRepStateNormal);
    int r = desc->get_record(record.get(), ObjGetSlotObject(p, 2), args);
    if (r == 2) {
      ObjSetSlotBoolean(p, 8, true);
      ProducerFinishGrabber(p);
      break;
    }
    if (r != 1) {
      TraceMessage(kTag, 88, 0, -1,
                   "Failed to get record from data grabber while streaming table '%s'.", table);
      ProducerFinishGrabber(p);
      return 3;
    }
    if (tree != nullptr && !RepFilterCatchesRecord(record.get(), tree)) continue;
    if (!RepSRecordsAppendRecord(&out, record.get(), index_type)) {
      TraceMessage(kTag, 89, 0, -1, "Failed to serialize a record of table '%s'.", table);
      ProducerFinishGrabber(p);
      return 3;
    }
    ++sent;
  }
  ObjSetSlotInteger(p, 13, sent);
  if (block > 0 && out.size() == info_end && ObjGetSlotBoolean(p, 8)) return kRepSRecBufferNoMore;
  ObjSetSlotInteger(p, 7, block + 1);
  *buffer = reinterpret_cast<const unsigned char*>(out.data());
  *size = static_cast<int32_t>(out.size());
  TraceMessage(kTag, 90, 0, 3, "Cut s-record block %ld of %lu bytes for table '%s'",
               static_cast<long>(block), static_cast<unsigned long>(out.size()), table);
  return kRepSRecBufferNewBlock;
}

void ProducerDone(int success, Obj* cookie) {
  Ref<Obj> p = Ref<Obj>::Share(cookie);
  ProducerFinishGrabber(p.get());
  TraceMessage(kTag, 91, 0, 2, "Served %ld s-records of table '%s'. Success = %s",
               static_cast<long>(ObjGetSlotInteger(p.get(), 13)), ObjGetSlotString(p.get(), 5),
               success ? "TRUE" : "FALSE");
  ObjGetSlotScratch(p.get(), 10)->clear();
  auto done = TokenToFn<RepSRecordsServeDoneFn>(ObjGetSlotPointer(p.get(), 12));
  if (done != nullptr) done(success, ObjGetSlotObject(p.get(), 11));
}

}  // namespace

int RepSRecordsAppendBlockInfo(std::string* out, const char* table_name, const RepFieldList* fields,
                               int32_t block_number) noexcept {
  if (out == nullptr) return 0;
  Ref<RepSRecordsBlockInfo> info = RepSRecordsBlockInfo::New();
  ObjSetSlotString(info.get(), 1, table_name);
  ObjSetSlotObject(info.get(), 2, Ref<Obj>::Share(const_cast<RepFieldList*>(fields)));
  ObjSetSlotInteger(info.get(), 3, block_number);
  return ObjSerializeToMemory(out, info.get());
}

int RepSRecordsAppendRecord(std::string* out, const Obj* record, int32_t index_type) noexcept {
  if (out == nullptr || record == nullptr) return 0;
  size_t start = out->size();
  bool indexed = index_type == kRepTypeInteger || index_type == kRepTypeSysTime;
  out->append(indexed ? 8 : 4, '\0');
  if (indexed) {
    const RepRecord* rec = ObjCast<RepRecord>(record);
    const RepFieldValue* first = rec != nullptr ? rec->value_at(0) : nullptr;
    int32_t index = first != nullptr ? ObjGetInteger(first->value()) : 0;
    PutLe32(reinterpret_cast<unsigned char*>(out->data()) + start + 4,
            static_cast<uint32_t>(index));
  }
  if (!ObjSerializeToMemory(out, record) || out->size() - start > kRepSRecordsMaxRecordSize) {
    out->resize(start);
    return 0;
  }
  PutLe32(reinterpret_cast<unsigned char*>(out->data()) + start,
          static_cast<uint32_t>(out->size() - start));
  return 1;
}

int RepSRecordsServeTable(const Obj* destination, const RepProvidedTableDesc* descriptor,
                          Ref<Obj> grabber_context, RepGrabberInitArgs* args, Obj* filter_tree,
                          const char* table_name, int32_t index_type, RepSRecordsServeDoneFn done,
                          Obj* cookie) noexcept {
  if (descriptor == nullptr || descriptor->get_record == nullptr || args == nullptr ||
      args->fields() == nullptr) {
    TraceMessage(kTag, 92, 0, -1, "Bad arguments for serving table '%s' as s-records",
                 table_name != nullptr ? table_name : "");
    return 0;
  }
  Ref<SRecordsProducer> p = SRecordsProducer::New();
  ObjSetSlotPointer(p.get(), 1, reinterpret_cast<uint64_t>(descriptor));
  ObjSetSlotObject(p.get(), 2, std::move(grabber_context));
  ObjSetSlotObject(p.get(), 3, Ref<Obj>::Share(args));
  ObjSetSlotObject(p.get(), 4, Ref<Obj>::Share(filter_tree));
  ObjSetSlotString(p.get(), 5, table_name != nullptr ? table_name : "");
  ObjSetSlotInteger(p.get(), 6,
                    index_type == kRepTypeInteger || index_type == kRepTypeSysTime
                        ? index_type
                        : kRepSRecordsNoIndex);
  ObjSetSlotObject(p.get(), 11, Ref<Obj>::Share(cookie));
  ObjSetSlotPointer(p.get(), 12, FnToken(done));
  if (!RepInitSRecordsSendFromMemory(destination, &ProducerNextBuffer, &ProducerDone,
                                     kRepSRecordsProducerBufferSize, p.get())) {
    ProducerFinishGrabber(p.get());
    return 0;
  }
  TraceMessage(kTag, 93, 0, 2, "Started serving table '%s' as s-records",
               ObjGetSlotString(p.get(), 5));
  return 1;
}
