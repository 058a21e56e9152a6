// Fetching tables from their providers: task hand-over, the fields request, and receiving a
// table's records by record packets.

#include "reports/fetch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "contextstate.h"
#include "kr/config.h"
#include "kr/context.h"
#include "kr/datachannel.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "recordcodec.h"
#include "reports/filter.h"
#include "reports/restrictions.h"
#include "reports/serializedrecords.h"
#include "reports/sql.h"
#include "reports/tableslowlevel.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char* kTag = "REPCLASS";

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

// --- cancelling ---------------------------------------------------------------------------------

// A cancel request belongs to the context that made it (contextstate.h). The front end's own
// stop check (RepSetFetchCancelCheck) belongs to the thread, and is asked while a fetch waits.
thread_local RepFetchCancelCheck t_cancel_check = nullptr;
thread_local void* t_cancel_cookie = nullptr;

// True when the fetch should stop: a cancel request, or the front end's check says so (which
// then becomes a cancel request, so that the rest of the production fails alike).
bool StopRequested() {
  if (RepTableFetchCancelled()) return true;
  if (t_cancel_check == nullptr || t_cancel_check(t_cancel_cookie) == 0) return false;
  RepCancelTableFetch();
  return true;
}

// --- how long a provider may stay silent --------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Set for the process by RepSetFetchInactivityLimit; 0 means "as configured".
std::atomic<double> g_inactivity_limit{0};

// How often a wait for the provider wakes to look at the clock and at cancel requests (scaled
// like every time-out, so tests wake more often).
constexpr int32_t kWaitSliceMs = 250;

// What one request is about, for the traces.
struct Peer {
  const char* table;
  const char* process;
  const char* machine;
};

// When the provider last gave a sign of life: a message of the conversation, or a buffer of its
// stream.
struct Silence {
  double limit = RepGetFetchInactivityLimit();
  Clock::time_point last = Clock::now();

  void Heard() { last = Clock::now(); }
  bool Exceeded() const {
    const Clock::time_point heard = std::max(last, kr_internal::RepSRecordsLastBufferTime());
    return Clock::now() - heard >= std::chrono::duration<double>(limit);
  }
};

enum class Waited { kGot, kLost, kSilent, kCancelled };

// Waits for a message of one of `types` from `source` (any sender when null) for as long as the
// provider shows signs of life and nobody cancels.
Waited WaitFromProvider(Ref<Obj>* message, const Obj* source, const uint32_t* types, int count,
                        Silence* silence) {
  for (;;) {
    if (StopRequested()) return Waited::kCancelled;
    Ref<Obj> slice;
    TimeCreateAndSetTimeout(&slice, 0, kWaitSliceMs);
    if (MsgWaitMultipleWithTimeout(message, source, types, count, slice.get()) == 1) {
      silence->Heard();
      return Waited::kGot;
    }
    if (MsgWaitLastError() != kMsgWaitTimedOut) return Waited::kLost;
    if (silence->Exceeded()) return Waited::kSilent;
  }
}

// Says, as a sentence an administrator can act on, why a wait for `what` ended without it.
void TraceWaitEnd(Waited why, const Peer& peer, const char* what, const Silence& silence) {
  if (why == Waited::kSilent) {
    TraceMessage(kTag, 170, 0, -1,
                 "Table '%s': process '%s' on machine '%s' sent nothing for %g s while %s was "
                 "awaited (the fetch inactivity limit). The process may be stopped, hung or "
                 "overloaded: check it, or raise FetchInactivityLimit in the Reports stanza of "
                 "reports.cfg.",
                 peer.table, peer.process, peer.machine, silence.limit, what);
  } else if (why == Waited::kLost) {
    TraceMessage(kTag, 171, 0, -1,
                 "Table '%s': the link to process '%s' on machine '%s' was lost while %s was "
                 "awaited; the process has probably ended or been killed. Check that it runs, "
                 "then make the report again.",
                 peer.table, peer.process, peer.machine, what);
  } else if (why == Waited::kCancelled) {
    TraceMessage(kTag, 172, 0, -1,
                 "Fetch of table '%s' from process '%s' on machine '%s' cancelled while %s was "
                 "awaited",
                 peer.table, peer.process, peer.machine, what);
  }
}

// Says why a provider may have refused a request, as a sentence: the reply carries no reason.
void TraceRefusal(const Obj* reply_message, const Peer& peer) {
  if (MsgIsLocalMachine(reply_message) != 1) {
    TraceMessage(kTag, 164, 0, -1,
                 "Table '%s': process '%s' on machine '%s' refused the request. A provider on "
                 "another machine refuses requests from other machines unless it is told to "
                 "serve them (krcatalogd serve --remote, --remote-machines); its own trace says "
                 "why.",
                 peer.table, peer.process, peer.machine);
  } else {
    TraceMessage(kTag, 165, 0, -1,
                 "Table '%s': process '%s' on machine '%s' refused the request (it does not serve "
                 "that table or those fields, or its data cannot be read); its own trace says "
                 "why.",
                 peer.table, peer.process, peer.machine);
  }
}

// --- replies to requests given up ---------------------------------------------------------------
//
// A provider answers a request in order: the acceptance of a task (1003) goes out before the
// task's reply. So whatever reply reaches this process before the acceptance of its own task
// belongs to a request given up earlier (one fetch at a time per context). Such a reply is set
// aside; a provider task that sent a positive GET_TABLE reply is released, for it waits for a
// channel or a stream request that would otherwise never come.

void ReleaseStaleReply(const Obj* message) {
  Ref<Obj> obj;
  if (MsgGetObjectInternal(&obj, message, RepGetTableReply::kTypeCode) != 1) return;
  const RepGetTableReply* reply = ObjCast<RepGetTableReply>(obj.get());
  const RepTable* table = reply->table();
  TraceMessage(kTag, 173, 0, 2,
               "Set aside a late reply about table '%s' from process '%s' on machine '%s': its "
               "request was given up",
               table != nullptr ? OrEmpty(table->name()) : "", MsgGetProcessName(message),
               MsgGetMachineName(message));
  if (!reply->success()) return;
  Ref<Obj> sender;
  if (MsgGetSender(&sender, message) != 1) return;
  if (reply->stream_request() != nullptr) {
    // A stream request without the reply's ticket is refused, which ends the provider's task.
    Ref<RepSRecordRequest> refuse = RepSRecordRequest::New();
    MsgSendObject(sender.get(), kRepMsgSRecordsRequest, refuse.get());
    return;
  }
  // The channel connect ends the provider's wait; the close ends its send.
  Ref<Obj> channel;
  if (MsgChannelOpenInternal(&channel, sender.get(), 0, 0, 1, 1, 1) == 1)
    MsgChannelClose(channel.get());
}

// Installed while a task's acceptance is awaited: takes every reply of an earlier request.
int SetAsideStaleReply(Obj* message, void*) {
  if (MsgGetType(message) == kRepMsgTableReply) ReleaseStaleReply(message);
  return 0;
}

constexpr uint32_t kStaleTypes[] = {kRepMsgTableFieldsReply, kRepMsgTableReply,
                                    kMsgDataChannelConnect};

class StaleReplyGuard {
 public:
  StaleReplyGuard() {
    for (uint32_t type : kStaleTypes) MsgWaitAddHandler(type, &SetAsideStaleReply, nullptr);
  }
  ~StaleReplyGuard() {
    for (uint32_t type : kStaleTypes) MsgWaitRemoveHandler(type, &SetAsideStaleReply, nullptr);
  }
  StaleReplyGuard(const StaleReplyGuard&) = delete;
  StaleReplyGuard& operator=(const StaleReplyGuard&) = delete;
};

// --- the task hand-over -------------------------------------------------------------------------

int TaskWaitDone(void* cookie) { return static_cast<RepTaskWait*>(cookie)->done() ? 1 : 0; }

enum class TaskKind { kGetTable, kGetTableFields };

// Gives the task of `kind` with `arguments` to the peer and waits for its acceptance, under a
// time-out of 30 s (GET_TABLE) or 60 s (GET_TABLE_FIELDS) that is handed back for the waits that
// follow. True and the serving task's address on acceptance.
bool GiveTaskAndWait(Ref<Obj>* task_address, Ref<Obj>* timeout, TaskKind kind, Obj* arguments,
                     const Peer& peer) {
  const bool get_table = kind == TaskKind::kGetTable;
  Ref<Obj> address;
  if (ProcCreateAddress(&address, peer.machine, peer.process,
                        get_table ? kRepGetTableTaskKind : kRepGetTableFieldsTaskKind) != 1) {
    if (get_table) {
      TraceMessage(kTag, 101, 0, -1, "COuld not create address of proc '%s' on mahcine '%s'",
                   peer.process, peer.machine);
    }
    return false;
  }
  StaleReplyGuard stale_replies;
  int32_t task_id = 0;
  if (ProcGiveServiceATaskWithID(&task_id, address.get(), nullptr, 0, 0, arguments) != 1) {
    TraceMessage(kTag, 106, 0, -1,
                 "Table '%s': process '%s' on machine '%s', which the table registry names as "
                 "its provider, cannot be reached: it is not running, or nothing tells where it "
                 "runs (no endpoint under the home's run directory, no line for it in "
                 "config/machines). Start it, or register the table anew.",
                 peer.table, peer.process, peer.machine);
    if (get_table) {
      TraceMessage(kTag, 102, 0, -1, "Failed to give proc '%s' on machine '%s' a GIVE_TABLE task",
                   peer.process, peer.machine);
    } else {
      TraceMessage(kTag, 103, 0, -1,
                   "Failed to give GET_TABLE_FIELDS task to process '%s' on machine '%s'",
                   peer.process, peer.machine);
    }
    return false;
  }
  TimeCreateAndSetTimeout(timeout,
                          get_table ? kRepGetTableAcceptSeconds : kRepGetTableFieldsSeconds, 0);
  Ref<RepTaskWait> wait = RepTaskWait::New();
  wait->set_task_id(task_id);
  MsgWaitAddHandler(kMsgTaskReturn, &RepClassGiveTaskMsgHandler, wait.get());
  // In slices, so that a stop request is seen while the provider says nothing.
  int waited = 0;
  while (!StopRequested()) {
    Ref<Obj> slice;
    TimeCreateAndSetTimeout(&slice, 0, kWaitSliceMs);
    const bool last = TimeTimeoutRemaining(timeout->get()) <= TimeTimeoutRemaining(slice.get());
    waited = MsgWaitOnCallbackWithTimeout(&TaskWaitDone, wait.get(),
                                          last ? timeout->get() : slice.get());
    if (waited == 1 || last) break;
  }
  MsgWaitRemoveHandler(kMsgTaskReturn, &RepClassGiveTaskMsgHandler, wait.get());
  if ((waited != 1 || !wait->done()) && RepTableFetchCancelled()) {
    TraceMessage(kTag, 175, 0, -1,
                 "Request for table '%s' to process '%s' on machine '%s' cancelled before it was "
                 "taken up",
                 peer.table, peer.process, peer.machine);
  } else if (waited != 1 || !wait->done()) {
    TraceMessage(kTag, 107, 0, -1,
                 "Table '%s': process '%s' on machine '%s' did not take up the request in time "
                 "(%d s); it may be stopped, busy or unreachable.",
                 peer.table, peer.process, peer.machine,
                 get_table ? kRepGetTableAcceptSeconds : kRepGetTableFieldsSeconds);
    TraceMessage(kTag, 104, 0, -1, "Failed to get task reply msg from proc '%s' on machine '%s'",
                 peer.process, peer.machine);
    return false;
  }
  const MsgTaskReturn* ret = ObjCast<MsgTaskReturn>(wait->task_return());
  Obj* serving = ret != nullptr ? ret->task_address() : nullptr;
  if (ret == nullptr || ret->status() != 1 || serving == nullptr) {
    if (ret != nullptr && ret->error() == kProcErrNoHandler) {
      TraceMessage(kTag, 108, 0, -1,
                   "Table '%s': process '%s' on machine '%s' runs but serves no table requests; "
                   "the table registry may name the wrong process.",
                   peer.table, peer.process, peer.machine);
    } else {
      TraceMessage(kTag, 109, 0, -1,
                   "Table '%s': process '%s' on machine '%s' cannot be reached: no link to it "
                   "could be made or kept (the link failure traced before this says why: a "
                   "certificate problem, a refused or unreachable address, or the process ended).",
                   peer.table, peer.process, peer.machine);
    }
    TraceMessage(kTag, 105, 0, -1, "Failed to give task to proc '%s' on machine '%s'", peer.process,
                 peer.machine);
    return false;
  }
  *task_address = Ref<Obj>::Share(serving);
  return true;
}

// The end of the serving task (1006) arrives while the records are received; it is of no
// interest, and taking it keeps it from lingering in the queue. The cookie is the serving
// task's address.
int TakeTaskEnd(Obj* message, void* cookie) {
  Ref<Obj> end;
  if (MsgGetObjectInternal(&end, message, MsgTaskEnd::kTypeCode) != 1) return 1;
  const MsgTaskEnd* e = ObjCast<MsgTaskEnd>(end.get());
  return e != nullptr && MsgAddressEqual(e->task_address(), static_cast<Obj*>(cookie)) == 1 ? 0 : 1;
}

// Installs TakeTaskEnd for one serving task for the life of the object.
class TaskEndTaker {
 public:
  explicit TaskEndTaker(Obj* task_address) : address_(Ref<Obj>::Share(task_address)) {
    MsgWaitAddHandler(kMsgTaskEnded, &TakeTaskEnd, address_.get());
  }
  // The serving task usually ends right after its last message to us, so its 1006 is often
  // already here: one poll takes it before the handler goes.
  ~TaskEndTaker() {
    MsgWaitPoll();
    MsgWaitRemoveHandler(kMsgTaskEnded, &TakeTaskEnd, address_.get());
  }
  TaskEndTaker(const TaskEndTaker&) = delete;
  TaskEndTaker& operator=(const TaskEndTaker&) = delete;

 private:
  Ref<Obj> address_;
};

// --- receiving by record packets ----------------------------------------------------------------

// Sends the acknowledgement of a packet, as the answer to it.
bool Acknowledge(const Obj* packet_message, uint64_t token, bool abort) {
  Ref<RepRecordsReceivedAck> ack = RepRecordsReceivedAck::New();
  ack->set_abort(abort);
  ack->set_send_state(token);
  return MsgSendReply(packet_message, kRepMsgRecordsReceived, ack.get()) == 1;
}

struct Progress {
  RepProgressCallback callback;
  void* argument;
  int counted = 0;

  void Add(size_t records) {
    kr_internal::RepProgressAddFetched(static_cast<int64_t>(records));
    if (callback == nullptr) return;
    counted += static_cast<int>(records);
    if (counted >= kRepFetchProgressEvery) {
      counted = 0;
      callback(argument, 0);
    }
  }
};

enum class PacketResult { kMore, kFailed };

// Handles one record packet: appends its records to `table` and acknowledges it, or, when the
// fetch was cancelled, tells the provider to stop.
PacketResult TakePacket(const Obj* message, RepTable* table, Progress* progress, const Peer& peer) {
  Ref<Obj> obj;
  Ref<RepRecordPacket> packet;
  if (MsgGetObjectInternal(&obj, message, RepRecordPacket::kTypeCode) == 1) {
    packet = RefCast<RepRecordPacket>(std::move(obj));
  }
  const bool well_formed = packet && (packet->abort() || (packet->records() != nullptr &&
                                                          kr_internal::RepCheckIncomingRecords(
                                                              packet->records(), table->fields())));
  if (!well_formed) {
    TraceMessage(kTag, 110, 0, -1,
                 "Bad/null object when receiving records of table '%s' from proc '%s' on machine "
                 "'%s'",
                 peer.table, peer.process, peer.machine);
    return PacketResult::kFailed;
  }
  if (packet->abort()) {
    TraceMessage(kTag, 111, 0, -1,
                 "Asked to abort records receive for table '%s' from process '%s' on machine '%s'",
                 peer.table, peer.process, peer.machine);
    return PacketResult::kFailed;
  }
  const size_t count = packet->records()->size();
  TraceMessage(kTag, 112, 0, 3, "Received %ld records for table '%s'", static_cast<long>(count),
               peer.table);
  ListJoin(table->records(), packet->records());
  progress->Add(count);
  if (RepTableFetchCancelled()) {
    // The front end gave up: the provider is told to stop instead of being asked for more.
    TraceMessage(kTag, 113, 0, -1,
                 "Receive of records for table '%s' from process '%s' on machine '%s' cancelled. "
                 "Asking provider to stop.",
                 peer.table, peer.process, peer.machine);
    Acknowledge(message, packet->send_state(), true);
    return PacketResult::kFailed;
  }
  if (!Acknowledge(message, packet->send_state(), false)) {
    TraceMessage(kTag, 114, 0, -1,
                 "Failed to send records received acknowledgement re table '%s' to process '%s' "
                 "on machine '%s'. Aborting.",
                 peer.table, peer.process, peer.machine);
    return PacketResult::kFailed;
  }
  return PacketResult::kMore;
}

// Receives the records of `table` (the reply's table) from the serving task over a message
// channel. True when the provider ended the table with 3304.
bool ReceiveByMessages(RepTable* table, const Obj* task_address, Progress* progress,
                       Silence* silence, const Peer& peer) {
  TraceMessage(kTag, 120, 0, 2,
               "Table '%s' is avail from proc '%s' on machine '%s'. Opening channel for tables.",
               peer.table, peer.process, peer.machine);
  Ref<Obj> channel;
  if (MsgChannelOpenInternal(&channel, task_address, 0, 0, 1, 1, 1) != 1) {
    TraceMessage(kTag, 121, 0, -1,
                 "Failed to open channel for receiving fields of table '%s' from proc '%s' on "
                 "machine '%s'",
                 peer.table, peer.process, peer.machine);
    return false;
  }
  TraceMessage(kTag, 122, 0, 3, "Msg channel open for stanard record fetch");
  table->set_records(ListNewFromPool());

  static constexpr uint32_t kTypes[] = {kRepMsgRecordPacket, kRepMsgEndOfRecords, kMsgChannelLost,
                                        kMsgTaskEnded};
  bool ok = false;
  for (;;) {
    // Only the provider can answer on the channel: when it is lost, the wait fails. Leaving
    // the loop closes the channel, which also tells a provider that is still there to stop.
    Ref<Obj> message;
    const Waited waited = WaitFromProvider(&message, channel.get(), kTypes, 4, silence);
    if (waited != Waited::kGot) {
      TraceWaitEnd(waited, peer, "the next record packet", *silence);
      break;
    }
    const uint32_t type = MsgGetType(message.get());
    if (type == kRepMsgRecordPacket) {
      TraceMessage(kTag, 123, 0, 3, "Received some records.");
      if (TakePacket(message.get(), table, progress, peer) != PacketResult::kMore) break;
    } else if (type == kRepMsgEndOfRecords) {
      TraceMessage(kTag, 124, 0, 2,
                   "Received all records for for table '%s' from process '%s' on machine '%s'.",
                   peer.table, peer.process, peer.machine);
      ok = true;
      break;
    }
    // 2705 and 1006: nothing to do; a lost channel fails the next wait.
  }
  // After 3304 the provider has usually closed the channel already, so this may fail.
  if (MsgChannelClose(channel.get()) != 1) {
    TraceMessage(kTag, 125, 0, 3, "Warning - failed to close msg channel");
  }
  return ok;
}

// --- receiving by a serialized-record stream ----------------------------------------------------
//
// For tables registered with "Serialized Records": after the reply the requester asks the serving
// task for the stream (3309), takes up the data channel it announces (55809) and receives the
// blocks (reports/serializedrecords.h) until the stream's end callback posts 3308 to this
// process.

// The state of one stream receive. Slots: 1 the reply's table, 2 records received so far,
// 3 success, 4 the current block's record conversion, 5 offset of the serialized record in each
// item, 6 filter tree, 7 and 8 lower and upper bound of the index field, 9 index value object,
// 10 index type, 11 lower bound reached, 12 upper bound passed, 13 the reply's derived field
// definitions, 14 progress callback, 15 its argument, 16 items since the last progress call,
// 19 the requesting context's state (looked up once for the whole stream).
struct RepSRecordsFetchState : ObjView<RepSRecordsFetchState> {
  static constexpr uint32_t kTypeCode = 0xca1cec43;
  static constexpr const char kSpec[] = "o;o;b;o;i;o;o;o;o;i;b;b;o;p;p;i;o;o;p;";
  static constexpr const char kName[] = "RepSRecordsFetchState";

  RepTable* table() const noexcept { return ObjCast<RepTable>(ObjSlot<1>()); }
  List* records() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  bool success() const noexcept { return BoolSlot<3>(); }
  const RepRecordConversion* conversion() const noexcept {
    return ObjCast<RepRecordConversion>(ObjSlot<4>());
  }
  int32_t item_offset() const noexcept { return IntSlot<5>(); }
  const Tree* filter() const noexcept { return ObjCast<Tree>(ObjSlot<6>()); }
  Obj* lower() const noexcept { return ObjSlot<7>(); }
  Obj* upper() const noexcept { return ObjSlot<8>(); }
  Obj* index() const noexcept { return ObjSlot<9>(); }
  int32_t index_type() const noexcept { return IntSlot<10>(); }
  bool lower_reached() const noexcept { return BoolSlot<11>(); }
  bool upper_passed() const noexcept { return BoolSlot<12>(); }
  RepFieldList* derived() const noexcept { return ObjCast<List>(ObjSlot<13>()); }
  RepProgressCallback progress() const noexcept {
    return reinterpret_cast<RepProgressCallback>(static_cast<uintptr_t>(PtrSlot<14>()));
  }
  void* argument() const noexcept { return reinterpret_cast<void*>(PtrSlot<15>()); }
  int32_t counted() const noexcept { return IntSlot<16>(); }
  kr_internal::RepContextState* context() const noexcept {
    return reinterpret_cast<kr_internal::RepContextState*>(PtrSlot<19>());
  }
  // The decoder of the stream's records (slot 17, a data field holding it).
  kr_internal::RecordDecoder* decoder() const noexcept {
    size_t size = 0;
    void* bytes = ObjDataFieldGet(ObjSlot<17>(), &size);
    kr_internal::RecordDecoder* decoder = nullptr;
    if (bytes != nullptr && size == sizeof decoder) std::memcpy(&decoder, bytes, sizeof decoder);
    return decoder;
  }
  // A one-item list the checks of each incoming record reuse (slot 18).
  List* one() const noexcept { return ObjCast<List>(ObjSlot<18>()); }
};

void FreeDecoder(void* bytes) {
  kr_internal::RecordDecoder* decoder = nullptr;
  std::memcpy(&decoder, bytes, sizeof decoder);
  delete decoder;
}

// Gives the fetch state its record decoder, owned by the state's slot 17.
void AttachDecoder(RepSRecordsFetchState* st) {
  auto decoder = std::make_unique<kr_internal::RecordDecoder>();
  kr_internal::RecordDecoder* raw = decoder.get();
  Ref<Obj> holder;
  if (!ObjDataFieldCreate(&holder, &raw, sizeof raw)) return;
  ObjDataFieldSetFinalizer(holder.get(), &FreeDecoder);
  decoder.release();
  ObjSetSlotObject(st, 17, std::move(holder));
}

int SRecordsNewBlock(Obj* block_info, Obj* cookie, std::string* /*dump_path*/) {
  auto* st = static_cast<RepSRecordsFetchState*>(cookie);
  ObjSetSlotObject(st, 4, nullptr);
  RepFieldList* fields = RepSRecordsBlockFields(block_info);
  const long count = static_cast<long>(ListGetItemCount(fields));
  if (RepTableFetchCancelled()) return 3;  // the rest of the stream is drained unread
  Ref<RepRecordConversion> conversion;
  if (fields != nullptr && st->derived() != nullptr) RepMergeDerivedFields(fields, st->derived());
  if (fields == nullptr || st->table() == nullptr ||
      RepRecordFromRecordPreCalc(&conversion, st->table()->fields(), fields, 1) != kRepOk) {
    TraceMessage(kTag, 131, 0, -1,
                 "Failed to do precalc for new block of records with %ld fields - abort receive "
                 "of block",
                 count);
    return 3;
  }
  ObjSetSlotObject(st, 4, std::move(conversion));
  if (kr_internal::RecordDecoder* decoder = st->decoder()) {
    std::vector<int32_t> types;
    for (Obj* item : *fields) {
      const RepFieldDef* def = ObjCast<RepFieldDef>(item);
      types.push_back(def != nullptr ? def->type() : -1);
    }
    decoder->StartBlock(types);
  }
  TraceMessage(kTag, 132, 0, 3, "Begun receive of new block of records with %ld fields", count);
  return 1;
}

// Whether the item whose index bytes follow its length lies within the index bounds.
bool WithinIndexBounds(RepSRecordsFetchState* st, const unsigned char* item) {
  if (st->lower() == nullptr) return true;
  if (st->upper_passed()) return false;
  RepEncodeRecordIndex(item + 4, st->index(), st->index_type());
  const Obj* index = st->index();
  if (!st->lower_reached()) {
    if (RepCompareData(index, st->lower(), st->index_type()) < 0) return false;
    ObjSetSlotBoolean(st, 11, true);
  }
  if (st->upper() != nullptr && RepCompareData(index, st->upper(), st->index_type()) > 0) {
    ObjSetSlotBoolean(st, 12, true);
    return false;
  }
  return true;
}

int SRecordsRecord(const unsigned char* item, uint32_t length, Obj* cookie) {
  auto* st = static_cast<RepSRecordsFetchState*>(cookie);
  if (st->progress() != nullptr) {
    ObjSetSlotInteger(st, 16, st->counted() + 1);
    if (st->counted() >= kRepFetchProgressEvery) {
      ObjSetSlotInteger(st, 16, 0);
      st->progress()(st->argument(), 0);
    }
  }
  kr_internal::RepContextState* context = st->context();
  if (context->fetch_cancelled) return 0;
  const uint32_t offset = static_cast<uint32_t>(st->item_offset());
  if (length < offset + 4) {
    TraceMessage(kTag, 133, 0, -1, "Failed to reconstruct received srecord");
    return 0;
  }
  if (!WithinIndexBounds(st, item)) return 1;
  uint32_t body = 0;
  Ref<Obj> rebuilt;
  if (ObjBufferAnalyze(&body, item + offset, length - offset) != 1 ||
      uint64_t{offset} + kObjHeaderSize + body != length || st->decoder() == nullptr ||
      st->decoder()->Rebuild(&rebuilt, item + offset + kObjHeaderSize, body) != 1) {
    TraceMessage(kTag, 146, 0, -1, "Failed to reconstruct received srecord");
    return 0;
  }
  // Checked where it enters, as record packets are: its shape against the block's fields (the
  // table's own when the formats are the same), and after the conversion its values against the
  // table's fields, so a value that does not fit its field's type becomes Unknown.
  const RepRecordConversion* conversion = st->conversion();
  const RepFieldList* table_fields = st->table()->fields();
  List* one = st->one();
  ListClear(one);
  ListPushLastItemInternal(one, rebuilt);
  Ref<RepRecord> record;
  bool well_formed =
      conversion != nullptr &&
      kr_internal::RepCheckIncomingRecords(
          one, conversion->identical() ? table_fields : conversion->source_fields()) &&
      RepRecordFromRecord(&record, conversion, ObjCast<RepRecord>(rebuilt.get())) == kRepOk &&
      record;
  if (well_formed && !conversion->identical()) {
    ListClear(one);
    ListPushLastItemInternal(one, record);
    well_formed = kr_internal::RepCheckIncomingRecords(one, table_fields);
  }
  ListClear(one);
  if (!well_formed) {
    TraceMessage(kTag, 134, 0, -1, "Failed to convert reconstructed srecord");
    return 0;
  }
  // The filter is built over the reply table's fields, so it is applied after the conversion.
  if (st->filter() != nullptr && RepFilterCatchesRecord(record.get(), st->filter()) != 1) return 1;
  TraceMessage(kTag, 135, 0, 3, "Converted received srecord OK");
  ListPushLastItemInternal(st->records(), std::move(record));
  ++context->progress.fetched;  // a record kept, not one skipped by bounds or filter
  return 1;
}

void SRecordsEnd(int success, Obj* cookie) {
  ObjSetSlotBoolean(cookie, 3, success == 1);
  TraceMessage(kTag, 136, 0, 3, "SRecords receive-end handler called. Success = %s",
               success == 1 ? "TRUE" : "FALSE");
  MsgSendObjectToSelf(kRepMsgSRecordsEnd, nullptr);
}

// Receives the records of `table` (the reply's table) as a serialized-record stream from the
// serving task. True when the whole stream arrived.
bool ReceiveBySRecords(RepTable* table, RepGetTableReply* reply, const RepTableInfo* info,
                       List* restrictions, Obj* filter, const Obj* task_address, Progress* progress,
                       Silence* silence, const Peer& peer) {
  if (RepConvTextRestrictions(restrictions, table->fields()) != kRepOk) {
    TraceMessage(kTag, 137, 0, -1,
                 "Cannot convert restrictions from textual form - dont ask for s-record table");
    return false;
  }
  Ref<RepSRecordRequest> request = RepSRecordRequest::New();
  request->set_reply_object(Ref<Obj>::Share(reply->stream_request()));
  // The announcement can only come from the provider's process: when it is lost the wait fails.
  Ref<Obj> connect;
  static constexpr uint32_t kConnect[] = {kMsgDataChannelConnect};
  Waited waited = Waited::kLost;
  if (MsgSendObject(task_address, kRepMsgSRecordsRequest, request.get()) == 1)
    waited = WaitFromProvider(&connect, task_address, kConnect, 1, silence);
  if (waited != Waited::kGot) {
    TraceWaitEnd(waited, peer, "the stream's data channel", *silence);
    TraceMessage(kTag, 138, 0, -1,
                 "Failed to get data channel connect msg from srecords table provider");
    return false;
  }

  Ref<RepSRecordsFetchState> st = RepSRecordsFetchState::New();
  ObjSetSlotObject(st.get(), 1, Ref<Obj>::Share(table));
  ObjSetSlotObject(st.get(), 2, ListNewFromPool());
  AttachDecoder(st.get());
  ObjSetSlotObject(st.get(), 18, ListNewWithCapacity(1));
  int32_t offset = 4;
  const RepSqlFilter* sql_filter = ObjCast<RepSqlFilter>(filter);
  if (sql_filter != nullptr && sql_filter->text() != nullptr && sql_filter->text()[0] != '\0') {
    Ref<RepFilterTree> tree = RepMakeFilterTree(sql_filter->text(), table->fields());
    ObjSetSlotObject(st.get(), 6, std::move(tree));
  }
  ObjSetSlotObject(st.get(), 13, Ref<Obj>::Share(reply->derived_fields()));
  ObjSetSlotPointer(st.get(), 14, reinterpret_cast<uintptr_t>(progress->callback));
  ObjSetSlotPointer(st.get(), 15, reinterpret_cast<uintptr_t>(progress->argument));
  ObjSetSlotPointer(st.get(), 19, reinterpret_cast<uintptr_t>(&kr_internal::RepState()));
  if (info->indexed()) {
    offset += RepGetSRecordsIndexSize(info->index_type());
    const RepFieldDef* index_field = ObjCast<RepFieldDef>(ListGetFirstItem(table->fields()));
    Ref<RepSqlRestriction> bounds;
    if (index_field != nullptr &&
        RepFindFieldRestriction(&bounds, index_field->name(), restrictions) == kRepOk) {
      ObjSetSlotObject(st.get(), 7, Ref<Obj>::Share(bounds->lower()));
      ObjSetSlotObject(st.get(), 8, Ref<Obj>::Share(bounds->upper()));
      Ref<Obj> index;
      if (RepCreateIndexObject(&index, info->index_type()) != kRepOk) {
        // No index can be read, so no bound can be applied.
        ObjSetSlotObject(st.get(), 7, nullptr);
        ObjSetSlotObject(st.get(), 8, nullptr);
      }
      ObjSetSlotObject(st.get(), 9, std::move(index));
      ObjSetSlotInteger(st.get(), 10, info->index_type());
    }
  }
  ObjSetSlotInteger(st.get(), 5, offset);

  if (RepInitSRecordsReceive(&SRecordsNewBlock, &SRecordsRecord, &SRecordsEnd, connect.get(),
                             st.get()) != kRepOk) {
    TraceMessage(kTag, 139, 0, -1, "Failed to start srecords receive");
    // The receive's completion has already posted its end notice; take it, so that it cannot
    // end a later fetch's wait.
    Ref<Obj> now, stale;
    TimeCreateAndSetTimeout(&now, 0, 0);
    MsgWaitMessageWithTimeout(&stale, nullptr, kRepMsgSRecordsEnd, now.get());
    return false;
  }
  TraceMessage(kTag, 143, 0, 3, "Started srecords receive for table");
  Ref<Obj> end;
  static constexpr uint32_t kEnd[] = {kRepMsgSRecordsEnd};
  waited = WaitFromProvider(&end, nullptr, kEnd, 1, silence);
  if (waited != Waited::kGot) {
    TraceWaitEnd(waited, peer, "the rest of the stream", *silence);
    // Releasing the data channel stops the provider's send; the receive's end notice, posted
    // by the abandoned receive itself, is taken here so that it cannot end a later fetch.
    if (kr_internal::RepSRecordsAbortReceive(st.get())) {
      Ref<Obj> now, stale;
      TimeCreateAndSetTimeout(&now, 0, 0);
      MsgWaitMessageWithTimeout(&stale, nullptr, kRepMsgSRecordsEnd, now.get());
    }
  } else if (!st->success() && MsgWaitLastError() == kMsgWaitOk) {
    TraceMessage(kTag, 174, 0, -1,
                 "Table '%s': the stream from process '%s' on machine '%s' broke off before its "
                 "end; the process has probably ended or been killed. Check that it runs, then "
                 "make the report again.",
                 peer.table, peer.process, peer.machine);
  }
  const bool ok = waited == Waited::kGot && st->success() && !RepTableFetchCancelled();
  TraceMessage(kTag, 144, 0, ok ? 2 : -1, "Finished srecords receive for table. Success = %s",
               ok ? "TRUE" : "FALSE");
  if (!ok) return false;
  table->set_records(Ref<List>::Share(st->records()));
  TraceMessage(kTag, 145, 0, 2, "Got srecords table from process OK");
  return true;
}

}  // namespace

int RepClassGiveTaskMsgHandler(Obj* message, void* cookie) noexcept {
  RepTaskWait* wait = static_cast<RepTaskWait*>(cookie);
  Ref<Obj> ret;
  if (wait == nullptr || MsgGetObjectInternal(&ret, message, MsgTaskReturn::kTypeCode) != 1) {
    TraceMessage(kTag, 140, 0, -1, "RepClassGiveTaskMsgHandler - Bad task return object");
    return 1;
  }
  const int32_t id = ObjCast<MsgTaskReturn>(ret.get())->task_id();
  if (wait->done() || id != wait->task_id()) {
    TraceMessage(kTag, 141, 0, 3,
                 "RepClassGiveTaskMsgHandler - Ignore task return with id %ld, I want id %ld",
                 static_cast<long>(id), static_cast<long>(wait->task_id()));
    return 1;
  }
  TraceMessage(kTag, 142, 0, 3, "RepClassGiveTaskMsgHandler - Got task return msg with id %ld",
               static_cast<long>(id));
  wait->set_task_return(std::move(ret));
  wait->set_done(true);
  return 0;
}

int RepGetTableFieldsFromProc(Ref<RepFieldList>* fields, const char* table_name,
                              const char* process, const char* machine) noexcept {
  if (fields == nullptr || table_name == nullptr) return kRepFetchFailed;
  const Peer peer{table_name, OrEmpty(process), OrEmpty(machine)};
  Ref<RepGetTableFieldsArgs> args = RepGetTableFieldsArgs::New();
  args->set_table_name(table_name);
  Ref<Obj> task_address;
  Ref<Obj> timeout;
  if (!GiveTaskAndWait(&task_address, &timeout, TaskKind::kGetTableFields, args.get(), peer)) {
    return kRepFetchFailed;
  }
  TraceMessage(kTag, 150, 0, 3, "Gave GET_TABLE_FIELDS task to process '%s' on machine '%s'",
               peer.process, peer.machine);
  TaskEndTaker end_taker(task_address.get());
  // Under the hand-over's deadline, in slices so that a stop request is seen meanwhile.
  Ref<Obj> message;
  bool got = false;
  while (!got && !StopRequested() && TimeTimeoutRemaining(timeout.get()) > 0) {
    Ref<Obj> slice;
    TimeCreateAndSetTimeout(&slice, 0, kWaitSliceMs);
    const bool last = TimeTimeoutRemaining(timeout.get()) <= TimeTimeoutRemaining(slice.get());
    got = MsgWaitMessageWithTimeout(&message, nullptr, kRepMsgTableFieldsReply,
                                    last ? timeout.get() : slice.get()) == 1;
  }
  if (!got) {
    TraceMessage(kTag, 151, 0, -1,
                 "Never received reply from task '%s' on machine '%s' about fields in table '%s'",
                 peer.process, peer.machine, peer.table);
    return kRepFetchFailed;
  }
  Ref<Obj> obj;
  Ref<RepGetTableFieldsReply> reply;
  if (MsgGetObjectInternal(&obj, message.get(), RepGetTableFieldsReply::kTypeCode) == 1) {
    reply = RefCast<RepGetTableFieldsReply>(std::move(obj));
  }
  if (!reply) {
    TraceMessage(kTag, 152, 0, -1, "Bad object attached to send table fields reply msg");
    return kRepFetchFailed;
  }
  if (!reply->success() || reply->fields() == nullptr) {
    TraceRefusal(message.get(), peer);
    TraceMessage(kTag, 153, 0, -1,
                 "Process '%s' on machine '%s' was unable to provide fields for table '%s'",
                 peer.process, peer.machine, peer.table);
    return kRepFetchFailed;
  }
  TraceMessage(kTag, 154, 0, 3, "Got fields back for table '%s'", peer.table);
  *fields = Ref<RepFieldList>::Share(reply->fields());
  return kRepFetchOk;
}

int RepGetTableFromProc(Ref<RepTable>* table, const RepTableInfo* info, List* wanted,
                        List* restrictions, Obj* filter, RepProgressCallback progress,
                        void* argument) noexcept {
  if (table == nullptr || info == nullptr) return kRepFetchFailed;
  const Peer peer{OrEmpty(info->table_name()), OrEmpty(info->process_name()),
                  OrEmpty(info->machine_name())};
  if (RepTableFetchCancelled()) {
    TraceMessage(kTag, 163, 0, -1, "Fetch of table '%s' cancelled before it began", peer.table);
    return kRepFetchFailed;
  }
  Ref<RepGetTableArgs> args = RepGetTableArgs::New();
  args->set_table_name(peer.table);
  args->set_wanted_fields(Ref<List>::Share(wanted));
  args->set_restrictions(Ref<List>::Share(restrictions));
  args->set_filter(Ref<Obj>::Share(filter));
  Ref<Obj> task_address, timeout;
  if (!GiveTaskAndWait(&task_address, &timeout, TaskKind::kGetTable, args.get(), peer))
    return kRepFetchFailed;
  TaskEndTaker end_taker(task_address.get());

  // The reply can take as long as the provider's preparation, but not longer than the fetch
  // inactivity limit; only the serving task can answer, so a lost provider fails the wait.
  Silence silence;
  Ref<Obj> message;
  Ref<RepGetTableReply> reply;
  for (;;) {
    static constexpr uint32_t kReply[] = {kRepMsgTableReply};
    const Waited waited = WaitFromProvider(&message, task_address.get(), kReply, 1, &silence);
    if (waited != Waited::kGot) {
      TraceWaitEnd(waited, peer, "its reply", silence);
      TraceMessage(kTag, 160, 0, -1,
                   "Never receieved send table reply from process '%s' on machine '%s' re table "
                   "'%s'",
                   peer.process, peer.machine, peer.table);
      return kRepFetchFailed;
    }
    Ref<Obj> obj;
    if (MsgGetObjectInternal(&obj, message.get(), RepGetTableReply::kTypeCode) == 1) {
      reply = RefCast<RepGetTableReply>(std::move(obj));
    }
    // A reply naming another table answers another request: set aside, the wait goes on.
    const RepTable* named = reply ? reply->table() : nullptr;
    if (named == nullptr || named->name() == nullptr ||
        StrCompareNoCase(named->name(), peer.table) == 0)
      break;
    ReleaseStaleReply(message.get());
    reply.reset();
  }
  if (!reply || (reply->success() && reply->table() == nullptr)) {
    TraceMessage(kTag, 161, 0, -1,
                 "Incorrect or no object attached to send table reply from proc '%s' on machine "
                 "'%s' re table '%s'",
                 peer.process, peer.machine, peer.table);
    return kRepFetchFailed;
  }
  if (!reply->success()) {
    TraceRefusal(message.get(), peer);
    TraceMessage(kTag, 162, 0, -1, "Table '%s' not available from proc '%s' on machine '%s'",
                 peer.table, peer.process, peer.machine);
    return kRepFetchFailed;
  }
  Ref<RepTable> result = Ref<RepTable>::Share(reply->table());
  kr_internal::RepProgressBeginTable(peer.table);
  Progress counter{progress, argument};
  const bool ok = info->serialized_records()
                      ? ReceiveBySRecords(result.get(), reply.get(), info, restrictions, filter,
                                          task_address.get(), &counter, &silence, peer)
                      : ReceiveByMessages(result.get(), task_address.get(), &counter, &silence,
                                          peer);
  if (!ok) return kRepFetchFailed;
  *table = std::move(result);
  return kRepFetchOk;
}

void RepCancelTableFetch() noexcept { kr_internal::RepState().fetch_cancelled = true; }

void RepSetFetchInactivityLimit(double seconds) noexcept {
  g_inactivity_limit = seconds > 0 ? seconds : 0;
}

double RepGetFetchInactivityLimit() noexcept {
  const double set = g_inactivity_limit;
  if (set > 0) return set;
  int32_t configured = 0;
  if (CfgGetInteger(&configured, "reports.cfg", "Reports", "FetchInactivityLimit",
                    kRepFetchInactivityDefaultSeconds) != 1 ||
      configured <= 0) {
    configured = kRepFetchInactivityDefaultSeconds;
  }
  return configured;
}

void RepSetFetchCancelCheck(RepFetchCancelCheck check, void* cookie) noexcept {
  t_cancel_check = check;
  t_cancel_cookie = cookie;
}

bool RepTableFetchCancelled() noexcept { return kr_internal::RepState().fetch_cancelled; }

void kr_internal::ClearTableFetchCancel() noexcept { RepState().fetch_cancelled = false; }
