// The provider side of the table request protocol: the fields and table requests, and the record
// send in acknowledged packets that follows a table request.

#include "reports/tablesprovider.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "contextstate.h"
#include "kr/context.h"
#include "kr/message.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/filter.h"
#include "reports/restrictions.h"
#include "reports/serializedrecords.h"
#include "reports/sql.h"
#include "tablesprovider_internal.h"

namespace {

constexpr const char* kTag = "REPTABP";

// --- the calling context's provider state -------------------------------------------------------

using LiveSend = kr_internal::ProviderSend;
using ProviderState = kr_internal::RepContextState;

// Tokens start at a value that differs from context to context, so that a token from an earlier
// context's packets does not name a send of this one.
std::atomic<uint64_t> g_next_token_base{1};

// What the calling context's provider side keeps between messages (contextstate.h).
ProviderState& State() {
  ProviderState& s = kr_internal::RepState();
  if (s.next_token == 0) s.next_token = g_next_token_base.fetch_add(1) << 32;
  return s;
}

LiveSend* FindSend(uint64_t token) {
  ProviderState& s = State();
  auto it = s.provider_sends.find(token);
  return it == s.provider_sends.end() ? nullptr : &it->second;
}

void* TokenCookie(uint64_t token) { return reinterpret_cast<void*>(static_cast<uintptr_t>(token)); }
uint64_t CookieToken(void* cookie) { return reinterpret_cast<uintptr_t>(cookie); }

const RepProvidedTableDesc* FindDescriptor(const RepProvidedTableDesc* descriptors,
                                           const char* name) {
  if (name == nullptr) return nullptr;
  for (const RepProvidedTableDesc* d = descriptors; d != nullptr && d->name != nullptr; ++d)
    if (StrCompareNoCase(d->name, name) == 0) return d;
  return nullptr;
}

// The task's giver (slot 1) and argument (slot 2).
Obj* TaskGiver(Obj* task) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  return t != nullptr ? t->giver() : nullptr;
}
Obj* TaskArgument(Obj* task) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  return t != nullptr ? t->argument() : nullptr;
}

bool RefusedAsRemote(Obj* giver) {
  return !State().remote_allowed && MsgIsLocalMachine(giver) != 1;
}

// --- ending a send ------------------------------------------------------------------------------

int RecordsReceivedHandler(Obj* message, void* cookie);
int ChannelDownHandler(Obj* message, void* cookie);

void FinishGrabber(LiveSend* send) {
  RepRecordSendState* st = send->state.get();
  Ref<Obj> context = Ref<Obj>::Share(st->grabber_context());
  st->set_grabber_context(nullptr);
  if (send->descriptor != nullptr && send->descriptor->finish != nullptr)
    send->descriptor->finish(&context, st->init_args());
}

// The ends where the grabber is left to its process: its handler, when installed, finishes it.
void HandOverUnfinishedGrabber(LiveSend* send) {
  RepRecordSendState* st = send->state.get();
  Ref<Obj> context = Ref<Obj>::Share(st->grabber_context());
  st->set_grabber_context(nullptr);
  const ProviderState& s = State();
  if (s.unfinished != nullptr)
    s.unfinished(send->descriptor, &context, st->init_args(), s.unfinished_cookie);
}

void CloseChannel(LiveSend* send, int msg_no, const char* warning) {
  if (!send->channel_open) return;
  send->channel_open = false;
  if (MsgChannelClose(send->state->channel()) == 0)
    TraceMessage(kTag, msg_no, 0, -1, warning, StrOrEmpty(send->state->table_name()));
}

void RemoveHandlers(uint64_t token) {
  MsgWaitRemoveHandler(kMsgChannelLost, &ChannelDownHandler, TokenCookie(token));
  MsgWaitRemoveHandler(kRepMsgRecordsReceived, &RecordsReceivedHandler, TokenCookie(token));
}

enum class Grabber { kFinish, kHandOver };

// Closes the channel if still open, removes the handlers (new style), and releases the state.
void EndSend(uint64_t token, Grabber grabber) {
  LiveSend* send = FindSend(token);
  if (send == nullptr) return;
  if (grabber == Grabber::kFinish)
    FinishGrabber(send);
  else
    HandOverUnfinishedGrabber(send);
  CloseChannel(send, 30, "Warning - failed to close msg channel for report table '%s'.");
  if (send->state->old_style() == false) {
    TraceMessage(kTag, 31, 0, 3, "Removing record send handlers");
    RemoveHandlers(token);
  }
  State().provider_sends.erase(token);
}

// --- sending packets ----------------------------------------------------------------------------

// Sends the next packet: records are fetched until 100 have been examined, 100 kept, or the
// grabber has no more.
void SendPacket(uint64_t token) {
  LiveSend* send = FindSend(token);
  if (send == nullptr) return;
  Ref<RepRecordSendState> st = send->state;
  Ref<List> records;
  bool all_fetched = false;
  int got = kr_internal::RepFillRecordPacket(&records, send->descriptor, st->grabber_context(),
                                             st->init_args(), st->filter_tree(), &all_fetched);
  if (got == 0) {
    TraceMessage(kTag, 40, 0, -1,
                 "Failed to get record from data grabber whilegetting records for table '%s'.",
                 StrOrEmpty(st->table_name()));
    Ref<RepRecordPacket> abort = RepRecordPacket::New();
    abort->set_abort(true);
    abort->set_records(ListNewFromPool());
    abort->set_send_state(token);
    if (MsgSendObject(st->channel(), kRepMsgRecordPacket, abort.get()) == 0)
      TraceMessage(kTag, 41, 0, -1, "Failed to send abort msg while record for table '%s'",
                   StrOrEmpty(st->table_name()));
    EndSend(token, Grabber::kFinish);
    return;
  }
  if (all_fetched) st->set_all_fetched(true);
  const long count = static_cast<long>(records->size());
  Ref<RepRecordPacket> packet = RepRecordPacket::New();
  packet->set_abort(false);
  packet->set_records(std::move(records));
  packet->set_send_state(token);
  if (MsgSendObject(st->channel(), kRepMsgRecordPacket, packet.get()) == 0) {
    TraceMessage(kTag, 42, 0, -1,
                 "Failed to send records out for table '%s'. Aborting record send.",
                 StrOrEmpty(st->table_name()));
    EndSend(token, Grabber::kFinish);
    return;
  }
  TraceMessage(kTag, 43, 0, 3, "Sent record packet of %ld records for table '%s'", count,
               StrOrEmpty(st->table_name()));
}

// All records sent and the last packet acknowledged.
void CompleteSend(uint64_t token) {
  LiveSend* send = FindSend(token);
  if (send == nullptr) return;
  Ref<RepRecordSendState> st = send->state;
  TraceMessage(kTag, 50, 0, 2, "Sent all records for table '%s' succesfully.",
               StrOrEmpty(st->table_name()));
  FinishGrabber(send);
  if (MsgSendObject(st->channel(), kRepMsgEndOfRecords, nullptr) == 0)
    TraceMessage(kTag, 51, 0, -1, "Could not send 'end of records' message for table '%s'.",
                 StrOrEmpty(st->table_name()));
  CloseChannel(send, 52,
               "Warning - failed to close comms channel used for sending records of table '%s'.");
  if (st->announce_completion()) {
    Ref<Obj> local, message;
    if (MsgLocalAddress(&local) == 0 ||
        MsgCreate(&message, local.get(), kRepMsgTableProvCompleted, nullptr) == 0) {
      TraceMessage(kTag, 53, 0, -1, "Failed to create LIB_REP_TABLE_PROV_COMPLETED_MSG message");
    } else if (MsgSendToSelf(message.get()) == 0) {
      TraceMessage(kTag, 54, 0, -1, "Failed to send LIB_REP_TABLE_PROV_COMPLETED_MSG message");
    } else {
      TraceMessage(kTag, 55, 0, 3, "Send LIB_REP_TABLE_PROV_COMPLETED_MSG message");
    }
  }
  if (!st->old_style()) RemoveHandlers(token);
  State().provider_sends.erase(token);
}

// An acknowledgement for the send `token`, which is live.
void HandleAck(uint64_t token, const RepRecordsReceivedAck* ack) {
  LiveSend* send = FindSend(token);
  if (send == nullptr) return;
  if (ack->abort()) {
    TraceMessage(kTag, 60, 0, 2, "Asked to abort record send for table '%s'",
                 StrOrEmpty(send->state->table_name()));
    EndSend(token, Grabber::kHandOver);
    return;
  }
  if (!send->state->all_fetched()) {
    SendPacket(token);
    return;
  }
  CompleteSend(token);
}

// True when the message came on the send's channel.
bool FromSendChannel(Obj* message, const LiveSend* send, int* result) {
  Ref<Obj> source;
  if (MsgGetSource(&source, message) == 0) {
    TraceMessage(kTag, 61, 0, -1, "Failed to get source of message");
    *result = 1;
    return false;
  }
  if (MsgAddressEqual(source.get(), send->state->channel()) != 1) {
    *result = 1;
    return false;
  }
  return true;
}

int RecordsReceivedHandler(Obj* message, void* cookie) {
  const uint64_t token = CookieToken(cookie);
  LiveSend* send = FindSend(token);
  if (send == nullptr) return 1;
  int result = 1;
  if (!FromSendChannel(message, send, &result)) return result;
  Ref<Obj> object;
  MsgGetObjectInternal(&object, message, RepRecordsReceivedAck::kTypeCode);
  const RepRecordsReceivedAck* ack = ObjCast<RepRecordsReceivedAck>(object.get());
  if (ack == nullptr) {
    TraceMessage(kTag, 62, 0, -1,
                 "Incorrect/null object attached to received records message. Aborting record "
                 "send.");
    EndSend(token, Grabber::kHandOver);
    return 0;
  }
  if (ack->send_state() != token) {
    // Every packet of this send carried its token; anything else names no send.
    TraceMessage(kTag, 64, 0, -1,
                 "Received records acknowledgement for no record send in progress. Ignoring.");
    return 0;
  }
  HandleAck(token, ack);
  return 0;
}

int ChannelDownHandler(Obj* message, void* cookie) {
  const uint64_t token = CookieToken(cookie);
  LiveSend* send = FindSend(token);
  if (send == nullptr) return 1;
  int result = 1;
  if (!FromSendChannel(message, send, &result)) return result;
  TraceMessage(kTag, 63, 0, -1,
               "Channel down unexpectedly for provision of records in '%s' table. Aborting record "
               "send.",
               StrOrEmpty(send->state->table_name()));
  EndSend(token, Grabber::kHandOver);
  return 0;
}

// The channel connect of a requester: completes the channel and sends the first packet. 1 when
// the message is not the one this send waits for.
int RepRecSendChannelConnectHandler(Obj* message, uint64_t token) {
  LiveSend* send = FindSend(token);
  if (send == nullptr) return 1;
  Ref<RepRecordSendState> st = send->state;
  Ref<Obj> sender;
  MsgGetSender(&sender, message);
  if (MsgAddressEqual(sender.get(), st->requester()) != 1) {
    TraceMessage(kTag, 70, 0, -1,
                 "RepRecSendChannelConnectHandler - Ignore connect msg from %s:%ld (want msg from "
                 "%s:%ld)",
                 MsgGetMachineName(sender.get()), static_cast<long>(MsgGetProcessId(sender.get())),
                 MsgGetMachineName(st->requester()),
                 static_cast<long>(MsgGetProcessId(st->requester())));
    return 1;
  }
  const char* machine = MsgGetMachineName(st->requester());
  const long pid = static_cast<long>(MsgGetProcessId(st->requester()));
  TraceMessage(kTag, 71, 0, 3,
               "Got channel connect msg for reports record send of '%s' from %s:%ld. Now try to "
               "complete channel...",
               StrOrEmpty(st->table_name()), machine, pid);
  Ref<Obj> channel;
  if (MsgChannelCompleteInternal(&channel, message, 0, 1, 1) == 0) {
    TraceMessage(kTag, 72, 0, -1,
                 "Channel complete failed for channel to provide records for table '%s' to "
                 "%s:%ld",
                 StrOrEmpty(st->table_name()), machine, pid);
    HandOverUnfinishedGrabber(send);
    State().provider_sends.erase(token);
    return 0;
  }
  st->set_channel(std::move(channel));
  send->channel_open = true;
  TraceMessage(kTag, 73, 0, 3, "Channel completed OK to provide records for table '%s' to %s:%ld",
               StrOrEmpty(st->table_name()), machine, pid);
  if (!st->old_style()) {
    TraceMessage(kTag, 74, 0, 3, "New style process - installing own message handlers.");
    MsgWaitAddHandler(kMsgChannelLost, &ChannelDownHandler, TokenCookie(token));
    MsgWaitAddHandler(kRepMsgRecordsReceived, &RecordsReceivedHandler, TokenCookie(token));
  } else {
    TraceMessage(kTag, 75, 0, 3, "Old style process - NOT installing own message handlers.");
  }
  SendPacket(token);
  return 0;
}

}  // namespace

// --- internal steps, shared with the tests and the fuzzer ---------------------------------------

namespace kr_internal {

int RepFillRecordPacket(Ref<List>* records, const RepProvidedTableDesc* descriptor, Obj* context,
                        RepGrabberInitArgs* args, const Tree* filter, bool* all_fetched) noexcept {
  Ref<List> list = ListNewWithCapacity(kRepRecordsPerPacket);
  *all_fetched = false;
  if (descriptor == nullptr || descriptor->get_record == nullptr || args == nullptr) return 0;
  const RepFieldList* fields = args->fields();
  int examined = 0, kept = 0;
  for (;;) {
    Ref<RepRecord> record = RepMakeBlankRecord(fields, kRepStateNormal);
    if (!record) return 0;
    int got = descriptor->get_record(record.get(), context, args);
    if (got == kRepGrabNoMore) {
      *all_fetched = true;
    } else if (got == kRepGrabRecord) {
      if (filter == nullptr || RepFilterCatchesRecord(record.get(), filter) == 1) {
        ListPushLastItemInternal(list.get(), std::move(record));
        ++kept;
      }
    } else {
      return 0;
    }
    ++examined;
    if (examined >= kRepRecordsPerPacket || kept >= kRepRecordsPerPacket || *all_fetched) break;
  }
  *records = std::move(list);
  return 1;
}

int RepPrepareTableSend(RepPreparedSend* out, const RepProvidedTableDesc* descriptors,
                        Obj* argument, int64_t giver_pid) noexcept {
  RepGetTableArgs* args = ObjCast<RepGetTableArgs>(argument);
  if (args == nullptr) {
    TraceMessage(kTag, 10, 0, -1, "Incorrect user arguments for GET_TABLE task. Failing.");
    return 0;
  }
  const char* name = StrOrEmpty(args->table_name());
  const RepProvidedTableDesc* desc = FindDescriptor(descriptors, args->table_name());
  TraceMessage(kTag, 11, 0, 2, "Handle get table request for table '%s' for task %ld", name,
               static_cast<long>(giver_pid));
  if (desc == nullptr) {
    TraceMessage(kTag, 12, 0, -1, "This process does not provide table '%s'. Sending failure.",
                 name);
    return 0;
  }
  Ref<RepFieldList> provider_fields;
  if (desc->get_fields == nullptr || desc->get_fields(&provider_fields) != kRepGrabOk ||
      ObjCast<List>(provider_fields.get()) == nullptr) {
    TraceMessage(kTag, 13, 0, -1, "Failed to get fields in table '%s'.", name);
    return 0;
  }
  // The wanted fields must be a list of fields, every one of which the grabber can give.
  RepFieldList* wanted = args->wanted_fields();
  if (wanted == nullptr || ListWalk(wanted, &RepCheckProvideFieldsCB, provider_fields.get()) != 1) {
    TraceMessage(kTag, 14, 0, -1,
                 "Not providing table '%s' - cannot provide all the requested fields.", name);
    return 0;
  }
  int64_t now = 0;
  if (QuorTime(&now) == 0) {
    TraceMessage(kTag, 15, 0, -1, "Failed to get quor time to set reports system time");
    return 0;
  }
  if (RepSetTimeNow(now) == kRepFailed) {
    TraceMessage(kTag, 16, 0, -1, "Failed to set current time for reporting system");
    return 0;
  }
  // Restrictions come as a list or not at all; anything else cannot be converted.
  Obj* restriction_slot = ObjGetSlotObject(args, 3);
  List* restrictions = args->restrictions();
  if ((restriction_slot != nullptr && restrictions == nullptr) ||
      RepConvTextRestrictions(restrictions, provider_fields.get()) == kRepFailed) {
    TraceMessage(kTag, 17, 0, -1,
                 "Could not convert textual restrictions to data types for table '%s'.", name);
    return 0;
  }
  TraceMessage(kTag, 18, 0, 3, "Converted textual restrictions!");

  Ref<List> record_fields = Ref<List>::Share(wanted);
  Ref<RepFilterTree> tree;
  Obj* filter_slot = args->filter();
  RepSqlFilter* filter = ObjCast<RepSqlFilter>(filter_slot);
  const char* text = filter != nullptr ? filter->text() : nullptr;
  if (filter_slot != nullptr && filter == nullptr) {
    // A filter object of another kind: the requester wants a filter this provider cannot read,
    // and unfiltered records would be wrong ones.
    TraceMessage(kTag, 19, 0, -1,
                 "Could not convert textual filter to filter object for table '%s'.", name);
    return 0;
  }
  if (text != nullptr && text[0] != '\0') {
    Ref<List> in_filter;
    if (RepGetFieldsInFilter(&in_filter, provider_fields.get(), text) == kRepFailed) {
      TraceMessage(kTag, 20, 0, -1, "Failed to get list of fields in filter");
      return 0;
    }
    ListClone(&record_fields, wanted);
    RepAddAnyNewFields(record_fields.get(), record_fields.get(), in_filter.get());
    tree = RepMakeFilterTree(text, record_fields.get());
    if (!tree) {
      TraceMessage(kTag, 19, 0, -1,
                   "Could not convert textual filter to filter object for table '%s'.", name);
      return 0;
    }
    filter->set_tree(tree);
  }

  Ref<RepGrabberInitArgs> init_args = RepGrabberInitArgs::New();
  init_args->set_fields(record_fields);
  if (restrictions != nullptr) init_args->set_restrictions(Ref<List>::Share(restrictions));
  Ref<RepTable> table = RepNewTable(desc->name, record_fields, ListNewFromPool());
  TraceMessage(kTag, 21, 0, 3, "Converted textual filter");
  Ref<Obj> context;
  if (desc->init == nullptr || desc->init(&context, init_args.get()) != kRepGrabOk) {
    TraceMessage(kTag, 22, 0, -1, "Init of data grabber for table '%s' failed.", name);
    return 0;
  }
  out->descriptor = desc;
  out->table = std::move(table);
  out->init_args = std::move(init_args);
  out->context = std::move(context);
  out->filter_tree = std::move(tree);
  return 1;
}

}  // namespace kr_internal

// --- the handlers -------------------------------------------------------------------------------

int RepCheckProvideFieldsCB(Obj* item, void* provider_fields) noexcept {
  const char* name = ObjGetSlotString(item, 1);
  const List* fields = static_cast<const List*>(provider_fields);
  if (name == nullptr || fields == nullptr) return 0;
  for (const Obj* f : *fields) {
    const char* have = ObjGetSlotString(f, 1);
    if (have != nullptr && StrCompareNoCase(have, name) == 0) {
      TraceMessage(kTag, 1, 0, 3, "Do provide field '%s'", name);
      return 1;
    }
  }
  return 0;
}

void RepEnableRemoteRequests() noexcept { State().remote_allowed = true; }
void RepDisableRemoteRequests() noexcept { State().remote_allowed = false; }

int RepHandleMyGetTableFieldsRequest(const RepProvidedTableDesc* descriptors, Obj* task) noexcept {
  Obj* giver = TaskGiver(task);
  if (giver == nullptr) return 0;  // no task: nobody to answer
  Ref<RepGetTableFieldsReply> reply = RepGetTableFieldsReply::New();
  reply->set_success(false);
  const RepGetTableFieldsArgs* args = ObjCast<RepGetTableFieldsArgs>(TaskArgument(task));
  if (RefusedAsRemote(giver)) {
    TraceMessage(kTag, 2, 0, -1, "Refusing fields request for table %s from non-local machine (%s)",
                 StrOrEmpty(args != nullptr ? args->table_name() : nullptr),
                 MsgGetMachineName(giver));
  } else if (args != nullptr) {
    const RepProvidedTableDesc* desc = FindDescriptor(descriptors, args->table_name());
    reply->set_table_name(args->table_name());
    if (desc == nullptr) {
      TraceMessage(kTag, 3, 0, -1, "Error: This process is not the provider of table '%s'",
                   StrOrEmpty(args->table_name()));
    } else {
      Ref<RepFieldList> fields;
      if (desc->get_fields != nullptr && desc->get_fields(&fields) == kRepGrabOk &&
          ObjCast<List>(fields.get()) != nullptr) {
        TraceMessage(kTag, 4, 0, 3,
                     "Data grabber has provided field list OK for table '%s'. %ld fields present.",
                     StrOrEmpty(args->table_name()), static_cast<long>(fields->size()));
        reply->set_fields(std::move(fields));
        reply->set_success(true);
      } else {
        TraceMessage(kTag, 5, 0, -1, "Data grabber failed to provide field list for table '%s'",
                     StrOrEmpty(args->table_name()));
      }
    }
  }
  if (MsgSendObject(giver, kRepMsgTableFieldsReply, reply.get()) == 0) {
    TraceMessage(kTag, 6, 0, -1, "Failed to send table fields reply msg");
    return 0;
  }
  TraceMessage(kTag, 7, 0, 3, "Sent reply table fields request reply msg OK");
  return reply->success() ? 1 : 0;
}

namespace {

// What both GET_TABLE handlers start with: the task's giver, the reply (saying the table is not
// available until the handler says otherwise), and the send prepared unless it was refused.
struct GetTableStart {
  Obj* giver = nullptr;
  Ref<Obj> requester;
  Ref<RepGetTableReply> reply;
  kr_internal::RepPreparedSend prepared;
  bool ready = false;
};

// The common start of both GET_TABLE handlers. A request from another machine is refused (traced
// under the caller's message number) unless remote requests are on; otherwise the send is
// prepared, and `ready` says whether it could be. False when the task has no giver to answer.
bool StartGetTable(GetTableStart* start, const RepProvidedTableDesc* descriptors, Obj* task,
                   int refused_msg_no) {
  Obj* giver = TaskGiver(task);
  if (giver == nullptr) return false;
  start->giver = giver;
  start->requester = Ref<Obj>::Share(giver);
  start->reply = RepGetTableReply::New();
  start->reply->set_success(false);
  if (RefusedAsRemote(giver)) {
    const RepGetTableArgs* args = ObjCast<RepGetTableArgs>(TaskArgument(task));
    TraceMessage(
        kTag, refused_msg_no, 0, -1, "Refusing request for table %s from non-local machine (%s)",
        StrOrEmpty(args != nullptr ? args->table_name() : nullptr), MsgGetMachineName(giver));
    return true;
  }
  start->ready = kr_internal::RepPrepareTableSend(&start->prepared, descriptors, TaskArgument(task),
                                                  MsgGetProcessId(giver)) == kRepOk;
  return true;
}

// Tells the requester that the table is not available (traced under the caller's message number
// when even that cannot be sent). 0, the handler's result.
int RefuseGetTable(const GetTableStart& start, int msg_no) {
  if (MsgSendObject(start.giver, kRepMsgTableReply, start.reply.get()) == 0)
    TraceMessage(kTag, msg_no, 0, -1, "Warning - could not send reply to GET_TABLE task");
  return 0;
}

}  // namespace

int RepHandleMyGetTableRequest(const RepProvidedTableDesc* descriptors, Obj* task, int old_style,
                               int announce_completion) noexcept {
  GetTableStart start;
  if (!StartGetTable(&start, descriptors, task, 8)) return 0;
  if (!start.ready) return RefuseGetTable(start, 9);
  Obj* giver = start.giver;
  const Ref<Obj>& requester = start.requester;
  RepGetTableReply* reply = start.reply.get();
  kr_internal::RepPreparedSend& prepared = start.prepared;

  reply->set_success(true);
  reply->set_table(prepared.table);
  if (MsgSendObject(giver, kRepMsgTableReply, reply) == 0) {
    TraceMessage(kTag, 23, 0, -1, "Failed when sending 'table is avail' reply");
    if (prepared.descriptor->finish != nullptr)
      prepared.descriptor->finish(&prepared.context, prepared.init_args.get());
    return 0;
  }

  ProviderState& s = State();
  const uint64_t token = ++s.next_token;
  Ref<RepRecordSendState> st = RepRecordSendState::New();
  st->set_requester(requester);
  st->set_table_name(prepared.table->name());
  st->set_grabber_context(prepared.context);
  st->set_init_args(prepared.init_args);
  st->set_descriptor(reinterpret_cast<uintptr_t>(prepared.descriptor));
  st->set_old_style(old_style != 0);
  st->set_announce_completion(announce_completion != 0);
  st->set_fields(Ref<List>::Share(prepared.table->fields()));
  st->set_filter_tree(prepared.filter_tree);
  prepared.context.reset();
  s.provider_sends[token] = LiveSend{st, prepared.descriptor, false};

  TraceMessage(kTag, 24, 0, 3, "Wait for channel connect for sending records");
  // Only the requester can open the channel; the wait fails if its link is lost, so a requester
  // that dies before connecting does not leave this task waiting for ever.
  Ref<Obj> connect;
  if (MsgWaitExclusiveWithTimeout(&connect, requester.get(), kMsgChannelConnect, nullptr) == 0) {
    EndSend(token, Grabber::kFinish);
    return 0;
  }
  if (RepRecSendChannelConnectHandler(connect.get(), token) != 0) {
    // Not the requester's connect after all: nobody will connect to this send.
    EndSend(token, Grabber::kFinish);
    return 0;
  }
  return 1;
}

int RepHandleMyRecReceivedMsg(Obj* ack) noexcept {
  const RepRecordsReceivedAck* a = ObjCast<RepRecordsReceivedAck>(ack);
  if (a == nullptr) {
    TraceMessage(kTag, 80, 0, -1, "Invalid received records object. Doing nothing.");
    return 0;
  }
  // The token came back from another process: it is only a key into the live sends.
  if (FindSend(a->send_state()) == nullptr) {
    TraceMessage(kTag, 81, 0, -1,
                 "Received records acknowledgement for no record send in progress. Ignoring.");
    return 0;
  }
  HandleAck(a->send_state(), a);
  return 1;
}

void RepSetUnfinishedGrabberHandler(RepUnfinishedGrabberFn handler, void* cookie) noexcept {
  ProviderState& s = State();
  s.unfinished = handler;
  s.unfinished_cookie = cookie;
}

void RepFinishUnfinishedGrabber(const RepProvidedTableDesc* descriptor, Ref<Obj>* context,
                                RepGrabberInitArgs* args, void*) noexcept {
  if (descriptor != nullptr && descriptor->finish != nullptr) descriptor->finish(context, args);
}

int RepGetLiveRecordSendCount() noexcept { return static_cast<int>(State().provider_sends.size()); }

// --- serving a table as a serialized-record stream ----------------------------------------------

namespace {

// Stream tickets number the stream replies of the process; a stream request must hand back the
// one its reply carried.
std::atomic<int32_t> g_next_stream_ticket{1};

void FinishPrepared(kr_internal::RepPreparedSend* prepared) {
  if (prepared->descriptor != nullptr && prepared->descriptor->finish != nullptr &&
      prepared->context)
    prepared->descriptor->finish(&prepared->context, prepared->init_args.get());
}

}  // namespace

int RepHandleMyGetTableRequestBySRecords(const RepProvidedTableDesc* descriptors, Obj* task,
                                         int32_t index_type) noexcept {
  GetTableStart start;
  if (!StartGetTable(&start, descriptors, task, 90)) return 0;
  Obj* giver = start.giver;
  const Ref<Obj>& requester = start.requester;
  RepGetTableReply* reply = start.reply.get();
  kr_internal::RepPreparedSend& prepared = start.prepared;
  Ref<RepFieldList> provider_fields;
  if (start.ready &&
      (prepared.descriptor->get_fields(&provider_fields) != kRepGrabOk || !provider_fields)) {
    TraceMessage(kTag, 91, 0, -1, "Failed to get fields in table '%s'.", prepared.table->name());
    FinishPrepared(&prepared);
    start.ready = false;
  }
  if (!start.ready) return RefuseGetTable(start, 92);

  const int32_t ticket = g_next_stream_ticket.fetch_add(1);
  reply->set_success(true);
  reply->set_table(prepared.table);
  reply->set_stream_request(ObjNewInteger(ticket));
  reply->set_derived_fields(provider_fields);
  if (MsgSendObject(giver, kRepMsgTableReply, reply) == 0) {
    TraceMessage(kTag, 93, 0, -1, "Failed when sending 'table is avail' reply");
    FinishPrepared(&prepared);
    return 0;
  }

  TraceMessage(kTag, 94, 0, 3, "Wait for s-record request for sending records of '%s'",
               prepared.table->name());
  // As for the packet send's channel connect: only the requester can ask, and a requester that
  // dies before asking fails the wait.
  Ref<Obj> message, request;
  if (MsgWaitExclusiveWithTimeout(&message, requester.get(), kRepMsgSRecordsRequest, nullptr) ==
      0) {
    TraceMessage(kTag, 95, 0, -1, "Never received s-record request for table '%s'",
                 prepared.table->name());
    FinishPrepared(&prepared);
    return 0;
  }
  const RepSRecordRequest* asked = nullptr;
  if (MsgGetObjectInternal(&request, message.get(), RepSRecordRequest::kTypeCode) == 1)
    asked = ObjCast<RepSRecordRequest>(request.get());
  if (asked == nullptr || ObjCast<ObjInteger>(asked->reply_object()) == nullptr ||
      ObjGetInteger(asked->reply_object()) != ticket) {
    TraceMessage(kTag, 96, 0, -1, "Bad s-record request for table '%s'. Not sending records.",
                 prepared.table->name());
    FinishPrepared(&prepared);
    return 0;
  }
  Ref<Obj> sender;
  MsgGetSender(&sender, message.get());
  // The producer owns the grabber context from here on and finishes it.
  if (RepSRecordsServeTable(sender.get(), prepared.descriptor, std::move(prepared.context),
                            prepared.init_args.get(), prepared.filter_tree.get(),
                            prepared.table->name(), index_type, nullptr, nullptr) != kRepOk) {
    TraceMessage(kTag, 97, 0, -1, "Failed to start s-record send of table '%s'",
                 prepared.table->name());
    return 0;
  }
  return 1;
}
