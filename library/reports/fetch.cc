// Fetching tables from their providers: task hand-over, the fields request, and receiving a
// table's records by record packets.

#include "reports/fetch.h"

#include <string>
#include <utility>

#include "kr/context.h"
#include "kr/message.h"
#include "kr/trace.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char* kTag = "REPCLASS";

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

// --- cancelling ---------------------------------------------------------------------------------

// A cancel request belongs to the context that made it. Contexts live on one thread each, so a
// per-thread record of the requesting context is enough, and a test thread that plays several
// processes never sees another's request.
thread_local const KrContext* g_cancel_context = nullptr;

// --- the task hand-over -------------------------------------------------------------------------

int TaskWaitDone(void* cookie) { return static_cast<RepTaskWait*>(cookie)->done() ? 1 : 0; }

// What one request is about, for the traces.
struct Peer {
  const char* table;
  const char* process;
  const char* machine;
};

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
  int32_t task_id = 0;
  if (ProcGiveServiceATaskWithID(&task_id, address.get(), nullptr, 0, 0, arguments) != 1) {
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
  TimeCreateAndSetTimeout(
      timeout, get_table ? kRepGetTableAcceptSeconds : kRepGetTableFieldsSeconds, 0);
  Ref<RepTaskWait> wait = RepTaskWait::New();
  wait->set_task_id(task_id);
  MsgWaitAddHandler(kMsgTaskReturn, &RepClassGiveTaskMsgHandler, wait.get());
  const int waited = MsgWaitOnCallbackWithTimeout(&TaskWaitDone, wait.get(), timeout->get());
  MsgWaitRemoveHandler(kMsgTaskReturn, &RepClassGiveTaskMsgHandler, wait.get());
  if (waited != 1 || !wait->done()) {
    TraceMessage(kTag, 104, 0, -1, "Failed to get task reply msg from proc '%s' on machine '%s'",
                 peer.process, peer.machine);
    return false;
  }
  const Obj* ret = wait->task_return();
  Obj* serving = ObjGetSlotObject(ret, 3);
  if (ObjGetSlotInteger(ret, 1) != 1 || serving == nullptr) {
    TraceMessage(kTag, 105, 0, -1, "Failed to give task to proc '%s' on machine '%s'",
                 peer.process, peer.machine);
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
  return MsgAddressEqual(ObjGetSlotObject(end.get(), 1), static_cast<Obj*>(cookie)) == 1 ? 0 : 1;
}

// Installs TakeTaskEnd for one serving task for the life of the object.
class TaskEndTaker {
 public:
  explicit TaskEndTaker(Obj* task_address) : address_(Ref<Obj>::Share(task_address)) {
    MsgWaitAddHandler(kMsgTaskEnded, &TakeTaskEnd, address_.get());
  }
  ~TaskEndTaker() { MsgWaitRemoveHandler(kMsgTaskEnded, &TakeTaskEnd, address_.get()); }
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
PacketResult TakePacket(const Obj* message, RepTable* table, Progress* progress,
                        const Peer& peer) {
  Ref<Obj> obj;
  Ref<RepRecordPacket> packet;
  if (MsgGetObjectInternal(&obj, message, RepRecordPacket::kTypeCode) == 1) {
    packet = RefCast<RepRecordPacket>(std::move(obj));
  }
  const bool well_formed =
      packet && (packet->abort() ||
                 (packet->records() != nullptr &&
                  kr_internal::RepCheckIncomingRecords(packet->records(), table->fields())));
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
                       const Peer& peer) {
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
    // Only the provider can answer on the channel: when it is lost, the wait fails.
    Ref<Obj> message;
    if (MsgWaitMultipleWithTimeout(&message, channel.get(), kTypes, 4, nullptr) != 1) break;
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

// Receiving by a serialized-record stream, for tables registered with "Serialized Records".
// The stream is carried by reports/serializedrecords.h; until that path is joined here, such a
// table cannot be fetched.
bool ReceiveBySRecords(RepTable* /*table*/, RepGetTableReply* /*reply*/,
                       const RepTableInfo* /*info*/, List* /*restrictions*/, Obj* /*filter*/,
                       const Obj* /*task_address*/, Progress* /*progress*/, const Peer& peer) {
  TraceMessage(kTag, 130, 0, -1,
               "Table '%s' from process '%s' on machine '%s' comes as serialized records, which "
               "this process cannot receive",
               peer.table, peer.process, peer.machine);
  return false;
}

}  // namespace

int RepClassGiveTaskMsgHandler(Obj* message, void* cookie) noexcept {
  RepTaskWait* wait = static_cast<RepTaskWait*>(cookie);
  Ref<Obj> ret;
  if (wait == nullptr || MsgGetObjectInternal(&ret, message, MsgTaskReturn::kTypeCode) != 1) {
    TraceMessage(kTag, 140, 0, -1, "RepClassGiveTaskMsgHandler - Bad task return object");
    return 1;
  }
  const int32_t id = ObjGetSlotInteger(ret.get(), 6);
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
  if (fields == nullptr || table_name == nullptr) return 1;
  const Peer peer{table_name, OrEmpty(process), OrEmpty(machine)};
  Ref<RepGetTableFieldsArgs> args = RepGetTableFieldsArgs::New();
  args->set_table_name(table_name);
  Ref<Obj> task_address;
  Ref<Obj> timeout;
  if (!GiveTaskAndWait(&task_address, &timeout, TaskKind::kGetTableFields, args.get(), peer)) {
    return 1;
  }
  TraceMessage(kTag, 150, 0, 3, "Gave GET_TABLE_FIELDS task to process '%s' on machine '%s'",
               peer.process, peer.machine);
  TaskEndTaker end_taker(task_address.get());
  Ref<Obj> message;
  if (MsgWaitMessageWithTimeout(&message, nullptr, kRepMsgTableFieldsReply, timeout.get()) != 1) {
    TraceMessage(kTag, 151, 0, -1,
                 "Never received reply from task '%s' on machine '%s' about fields in table '%s'",
                 peer.process, peer.machine, peer.table);
    return 1;
  }
  Ref<Obj> obj;
  Ref<RepGetTableFieldsReply> reply;
  if (MsgGetObjectInternal(&obj, message.get(), RepGetTableFieldsReply::kTypeCode) == 1) {
    reply = RefCast<RepGetTableFieldsReply>(std::move(obj));
  }
  if (!reply) {
    TraceMessage(kTag, 152, 0, -1, "Bad object attached to send table fields reply msg");
    return 1;
  }
  if (!reply->success() || reply->fields() == nullptr) {
    TraceMessage(kTag, 153, 0, -1,
                 "Process '%s' on machine '%s' was unable to provide fields for table '%s'",
                 peer.process, peer.machine, peer.table);
    return 1;
  }
  TraceMessage(kTag, 154, 0, 3, "Got fields back for table '%s'", peer.table);
  *fields = Ref<RepFieldList>::Share(reply->fields());
  return 0;
}

int RepGetTableFromProc(Ref<RepTable>* table, const RepTableInfo* info, List* wanted,
                        List* restrictions, Obj* filter, RepProgressCallback progress,
                        void* argument) noexcept {
  if (table == nullptr || info == nullptr) return 1;
  const Peer peer{OrEmpty(info->table_name()), OrEmpty(info->process_name()),
                  OrEmpty(info->machine_name())};
  if (RepTableFetchCancelled()) {
    TraceMessage(kTag, 163, 0, -1, "Fetch of table '%s' cancelled before it began", peer.table);
    return 1;
  }
  Ref<RepGetTableArgs> args = RepGetTableArgs::New();
  args->set_table_name(peer.table);
  args->set_wanted_fields(Ref<List>::Share(wanted));
  args->set_restrictions(Ref<List>::Share(restrictions));
  args->set_filter(Ref<Obj>::Share(filter));
  Ref<Obj> task_address;
  Ref<Obj> timeout;
  if (!GiveTaskAndWait(&task_address, &timeout, TaskKind::kGetTable, args.get(), peer)) return 1;
  TaskEndTaker end_taker(task_address.get());

  // No time-out: the reply can take as long as the provider's preparation, and only the serving
  // task can answer, so a lost provider fails the wait.
  Ref<Obj> message;
  if (MsgWaitMessageWithTimeout(&message, task_address.get(), kRepMsgTableReply, nullptr) != 1) {
    TraceMessage(kTag, 160, 0, -1,
                 "Never receieved send table reply from process '%s' on machine '%s' re table "
                 "'%s'",
                 peer.process, peer.machine, peer.table);
    return 1;
  }
  Ref<Obj> obj;
  Ref<RepGetTableReply> reply;
  if (MsgGetObjectInternal(&obj, message.get(), RepGetTableReply::kTypeCode) == 1) {
    reply = RefCast<RepGetTableReply>(std::move(obj));
  }
  if (!reply || (reply->success() && reply->table() == nullptr)) {
    TraceMessage(kTag, 161, 0, -1,
                 "Incorrect or no object attached to send table reply from proc '%s' on machine "
                 "'%s' re table '%s'",
                 peer.process, peer.machine, peer.table);
    return 1;
  }
  if (!reply->success()) {
    TraceMessage(kTag, 162, 0, -1, "Table '%s' not available from proc '%s' on machine '%s'",
                 peer.table, peer.process, peer.machine);
    return 1;
  }
  Ref<RepTable> result = Ref<RepTable>::Share(reply->table());
  Progress counter{progress, argument};
  const bool ok =
      info->serialized_records()
          ? ReceiveBySRecords(result.get(), reply.get(), info, restrictions, filter,
                              task_address.get(), &counter, peer)
          : ReceiveByMessages(result.get(), task_address.get(), &counter, peer);
  if (!ok) return 1;
  *table = std::move(result);
  return 0;
}

void RepCancelTableFetch() noexcept { g_cancel_context = ContextCurrent(); }

bool RepTableFetchCancelled() noexcept {
  return g_cancel_context != nullptr && g_cancel_context == ContextCurrent();
}

void kr_internal::ClearTableFetchCancel() noexcept {
  if (RepTableFetchCancelled()) g_cancel_context = nullptr;
}
