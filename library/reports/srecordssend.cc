// Sending serialized records: the send state machine that streams files or memory buffers over a
// data channel, and the provider-side table producer that feeds it from a data grabber. The
// receiving side never needs it, so it is its own file.

#include "reports/serializedrecords.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "contextstate.h"
#include "kr/config.h"
#include "kr/datachannel.h"
#include "kr/file.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "kr/tree.h"
#include "reports/filter.h"
#include "reports/reports.h"
#include "reports/tablesprovider.h"
#include "srecords_internal.h"

using kr_internal::srecords::FnToken;
using kr_internal::srecords::HeldFile;
using kr_internal::srecords::HoldFile;
using kr_internal::srecords::kTag;
using kr_internal::srecords::TokenToFn;

namespace {

// Transmit ids are process-wide, so that two contexts of one process never confuse their
// self-posted messages.
std::atomic<int32_t> g_next_transmit_id{0};

// --- live transfers -----------------------------------------------------------------------------

// Each transfer is owned by the context's state from its start to its end (contextstate.h).
using SendEntry = kr_internal::SRecordsSend;

SendEntry* FindSend(const void* state) {
  auto& sends = kr_internal::RepState().srecords_sends;
  auto it = sends.find(static_cast<const Obj*>(state));
  return it == sends.end() ? nullptr : &it->second;
}

}  // namespace

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
  kr_internal::RepState().srecords_sends.erase(s);
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
  kr_internal::RepState().srecords_sends[key].state = s;
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
// The table producer

namespace {

// One served table. The sender's cookie is an object, so the producer lives in a data field
// whose finalizer deletes it when the send lets go of its cookie; nothing serializes it.
struct Producer {
  const RepProvidedTableDesc* desc = nullptr;  // not owned
  Ref<Obj> grabber_context;                    // null once the grabber has finished
  Ref<RepGrabberInitArgs> args;
  const Tree* tree = nullptr;  // the filter tree, held by `filter`
  Ref<Obj> filter;
  std::string table;
  int32_t index_type = kRepSRecordsNoIndex;
  int32_t next_block = 0;
  bool all_fetched = false;
  bool grabber_finished = false;
  bool block_open = false;
  size_t block_bytes = 0;  // of the open block, handed out so far
  std::string piece;       // the piece being handed out
  Ref<Obj> cookie;         // the caller's
  RepSRecordsServeDoneFn done = nullptr;
  int32_t sent = 0;
  Ref<RepRecord> blank;   // a blank record of the fields
  Ref<RepRecord> record;  // the record the grabber fills
  // Set when the grabber writes its records' values itself (RepSetGrabberRecordWriter). With a
  // filter, `record` then holds only the fields the filter names (`named`), set from the writer.
  RepGrabberWriteRecordFn write = nullptr;
  RepRecordWriter writer;
  std::vector<size_t> named;
};

// The fields a filter tree's expressions name, in the tree's field list; false when one names
// none there.
bool FieldsNamedBy(const Tree* tree, size_t field_count, std::vector<size_t>* named) {
  for (TreeNode* n = TreeFirstNode(tree); n != nullptr; n = TreeNextNode(n)) {
    const auto* e = ObjCast<RepFilterExpression>(TreeNodeItem(n));
    if (e == nullptr) continue;
    if (e->field_index() < 0 || static_cast<size_t>(e->field_index()) >= field_count) return false;
    const size_t field = static_cast<size_t>(e->field_index());
    if (std::find(named->begin(), named->end(), field) == named->end()) named->push_back(field);
  }
  return true;
}

// The grabbers that can write their records' values, by their get_record.
struct RecordWriters {
  std::mutex mu;
  std::vector<std::pair<RepGrabberGetRecordFn, RepGrabberWriteRecordFn>> known;
};
RecordWriters& Writers() {
  static RecordWriters* w = new RecordWriters;  // never destroyed: grabbers outlive statics
  return *w;
}

Producer* ProducerOf(Obj* cookie) {
  size_t size = 0;
  void* bytes = ObjDataFieldGet(cookie, &size);
  Producer* p = nullptr;
  if (bytes != nullptr && size == sizeof p) std::memcpy(&p, bytes, sizeof p);
  return p;
}

void DeleteProducer(void* bytes) {
  Producer* p = nullptr;
  std::memcpy(&p, bytes, sizeof p);
  delete p;
}

// A block is handed to the sender in pieces of about one send buffer rather than whole: the
// records of a piece are on their way to the requester while the next piece is read from the
// grabber, so the two processes work at once instead of in turns. Pieces after the first
// continue their block, so the requester sees exactly the blocks it would see whole.
constexpr size_t kProducerPieceSize = static_cast<size_t>(kRepSRecordsProducerBufferSize) - 4096;

void ProducerFinishGrabber(Producer* p) {
  if (p->grabber_finished) return;
  p->grabber_finished = true;
  Ref<Obj> context = p->grabber_context;
  if (p->desc != nullptr && p->desc->finish != nullptr) p->desc->finish(&context, p->args.get());
  p->grabber_context = nullptr;
}

// Sets every value of `record` back to what `blank` holds, in place. False when the record is
// not the producer's alone or a value cannot be set back so; then a new blank record is made.
bool ResetToBlank(RepRecord* record, const RepRecord* blank) {
  List* values = record->values();
  const List* blanks = blank->values();
  if (record->ref_count != 1 || record->ObjSlot<2>() != nullptr || values == nullptr ||
      values->ref_count != 1 || values->size() != blanks->size() ||
      ListGetExtensionItem(values) != nullptr) {
    return false;
  }
  for (size_t i = 0; i < values->size(); ++i) {
    RepFieldValue* v = ObjCast<RepFieldValue>(values->at(i));
    const RepFieldValue* b = ObjCast<RepFieldValue>(blanks->at(i));
    if (v == nullptr || b == nullptr || v->ref_count != 1 || v->ObjSlot<3>() != nullptr) {
      return false;
    }
    Obj* value = v->value();
    if (value != b->value() &&  // both null: nothing to set back
        (value == nullptr || b->value() == nullptr || value->ref_count != 1 ||
         ObjAssignPlain(value, b->value()) != 1)) {
      return false;
    }
    v->set_state(b->state());
  }
  return true;
}

// The record the grabber fills next: the last one again, set back to blank, when nothing kept
// it (a row costs a fraction of a new record's objects then); otherwise a new blank record.
RepRecord* NextBlankRecord(Producer* p, const RepFieldList* fields) {
  if (!p->blank) p->blank = RepMakeBlankRecord(fields, kRepStateNormal);
  if (!p->record || !p->blank || !ResetToBlank(p->record.get(), p->blank.get())) {
    p->record = RepMakeBlankRecord(fields, kRepStateNormal);
  }
  return p->record.get();
}

// Appends kept records to `out` until the piece or the block is full or the grabber has no
// more. 0 when the grabber or the serializer failed.
int ProducerFill(Producer* p, std::string* out, size_t block_bytes_before) {
  const RepFieldList* fields = p->args->fields();
  const char* table = p->table.c_str();
  auto serialize_failed = [p, table] {
    TraceMessage(kTag, 89, 0, -1, "Failed to serialize a record of table '%s'.", table);
    ProducerFinishGrabber(p);
    return 0;
  };
  while (!p->all_fetched && out->size() < kProducerPieceSize &&
         block_bytes_before + out->size() < kRepSRecordsProducerBlockSize) {
    // The grabber fills a blank record, or writes its values straight to bytes (p->write).
    Ref<RepRecord> record;
    int r = 0;
    if (p->write != nullptr) {
      r = p->write(&p->writer, p->grabber_context.get(), p->args.get());
    } else {
      record = Ref<RepRecord>::Share(NextBlankRecord(p, fields));
      r = p->desc->get_record(record.get(), p->grabber_context.get(), p->args.get());
    }
    if (r == 2) {
      p->all_fetched = true;
      ProducerFinishGrabber(p);
      break;
    }
    if (r != 1) {
      TraceMessage(kTag, 88, 0, -1,
                   "Failed to get record from data grabber while streaming table '%s'.", table);
      ProducerFinishGrabber(p);
      return 0;
    }
    if (p->tree != nullptr) {
      // A written row is decided on a record holding only the fields the filter names.
      if (!record) {
        if (!p->writer.FillRecordFields(p->record.get(), p->named)) return serialize_failed();
        record = p->record;
      }
      if (!RepFilterCatchesRecord(record.get(), p->tree)) {
        if (p->write != nullptr) p->writer.Discard();
        continue;
      }
    }
    if (!(p->write == nullptr ? RepSRecordsAppendRecord(out, record.get(), p->index_type)
                              : p->writer.Append(out, p->index_type))) {
      return serialize_failed();
    }
    ++p->sent;
  }
  return 1;
}

int ProducerNextBuffer(const unsigned char** buffer, int32_t* size, Obj* cookie) {
  Producer* p = ProducerOf(cookie);
  if (p == nullptr) return 3;
  std::string& out = p->piece;
  const char* table = p->table.c_str();
  for (;;) {
    const int32_t block = p->next_block;
    const bool starts = !p->block_open;
    out.clear();
    size_t block_bytes = 0;
    if (starts) {
      // The first block always goes, so an empty table still tells its field list.
      if (p->all_fetched && block > 0) return kRepSRecBufferNoMore;
      if (!RepSRecordsAppendBlockInfo(&out, table, p->args->fields(), block)) return 3;
    } else {
      block_bytes = p->block_bytes;
    }
    const size_t info_end = starts ? out.size() : 0;
    if (!ProducerFill(p, &out, block_bytes)) return 3;
    if (starts && block > 0 && out.size() == info_end && p->all_fetched) {
      return kRepSRecBufferNoMore;
    }
    block_bytes += out.size();
    const bool block_ends = p->all_fetched || block_bytes >= kRepSRecordsProducerBlockSize;
    p->block_open = !block_ends;
    p->block_bytes = block_bytes;
    if (block_ends) {
      p->next_block = block + 1;
      TraceMessage(kTag, 90, 0, 3, "Cut s-record block %ld of %lu bytes for table '%s'",
                   static_cast<long>(block), static_cast<unsigned long>(block_bytes), table);
    }
    // A continuing piece that found no more records has nothing to send: the block simply
    // ended with the piece before.
    if (out.empty()) continue;
    *buffer = reinterpret_cast<const unsigned char*>(out.data());
    *size = static_cast<int32_t>(out.size());
    return starts ? kRepSRecBufferNewBlock : kRepSRecBufferContinues;
  }
}

void ProducerDone(int success, Obj* cookie) {
  Ref<Obj> hold = Ref<Obj>::Share(cookie);
  Producer* p = ProducerOf(cookie);
  if (p == nullptr) return;
  ProducerFinishGrabber(p);
  TraceMessage(kTag, 91, 0, 2, "Served %ld s-records of table '%s'. Success = %s",
               static_cast<long>(p->sent), p->table.c_str(), success ? "TRUE" : "FALSE");
  p->piece.clear();
  if (p->done != nullptr) p->done(success, p->cookie.get());
}

}  // namespace

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
  auto owned = std::make_unique<Producer>();
  Producer* p = owned.get();
  p->desc = descriptor;
  p->grabber_context = std::move(grabber_context);
  p->args = Ref<RepGrabberInitArgs>::Share(args);
  p->filter = Ref<Obj>::Share(filter_tree);
  p->tree = ObjGetMagic(filter_tree) == kObjTreeType ? static_cast<Tree*>(filter_tree) : nullptr;
  p->table = StrOrEmpty(table_name);
  p->index_type = index_type == kRepTypeInteger || index_type == kRepTypeSysTime
                      ? index_type
                      : kRepSRecordsNoIndex;
  p->cookie = Ref<Obj>::Share(cookie);
  p->done = done;
  p->write = RepGetGrabberRecordWriter(descriptor->get_record);
  if (p->write != nullptr &&
      (!p->writer.Start(args->fields()) ||
       (p->tree != nullptr && !FieldsNamedBy(p->tree, args->fields()->size(), &p->named)))) {
    p->write = nullptr;
  }
  if (p->write != nullptr && p->tree != nullptr) {
    p->record = RepMakeBlankRecord(args->fields(), kRepStateNormal);
    if (!p->record) p->write = nullptr;
  }
  Ref<Obj> holder;
  if (!ObjDataFieldCreate(&holder, &p, sizeof p)) {
    ProducerFinishGrabber(p);
    return 0;
  }
  ObjDataFieldSetFinalizer(holder.get(), &DeleteProducer);
  owned.release();  // the holder's finalizer deletes it
  if (!RepInitSRecordsSendFromMemory(destination, &ProducerNextBuffer, &ProducerDone,
                                     kRepSRecordsProducerBufferSize, holder.get())) {
    ProducerFinishGrabber(p);
    return 0;
  }
  TraceMessage(kTag, 93, 0, 2, "Started serving table '%s' as s-records", p->table.c_str());
  return 1;
}

int RepSetGrabberRecordWriter(RepGrabberGetRecordFn get_record,
                              RepGrabberWriteRecordFn write) noexcept {
  if (get_record == nullptr) return 0;
  try {
    RecordWriters& w = Writers();
    std::lock_guard<std::mutex> lock(w.mu);
    auto& known = w.known;
    known.erase(std::remove_if(known.begin(), known.end(),
                               [get_record](const auto& k) { return k.first == get_record; }),
                known.end());
    if (write != nullptr) known.emplace_back(get_record, write);
    return 1;
  } catch (...) {
    return 0;
  }
}

RepGrabberWriteRecordFn RepGetGrabberRecordWriter(RepGrabberGetRecordFn get_record) noexcept {
  RecordWriters& w = Writers();
  std::lock_guard<std::mutex> lock(w.mu);
  for (const auto& [get, write] : w.known) {
    if (get == get_record) return write;
  }
  return nullptr;
}
