// The table request protocol and its provider side.
//
// A process that owns records (jobs, media, devices, ...) serves them as tables. It keeps an
// array of RepProvidedTableDesc, one per table, each with the four callbacks of its *data
// grabber*, and hands the tasks it is given to the handlers below:
//
//   GET_TABLE_FIELDS (task kind 22)  which fields can this table give?    -> message 3300
//   GET_TABLE        (task kind 21)  these fields, restricted and filtered -> message 3301,
//                                    then record packets on a message channel
//
// After the GET_TABLE reply the requester opens a message channel (2704); the provider sends
// packets of at most 100 records (3302), one in flight, each acknowledged (3303), and ends with
// 3304. A packet goes out after every 100 records examined even when the filter kept fewer, so
// the last packet may be empty. The requester side is reports/fetch.h.
//
// The object layouts and message numbers here are the protocol: both ends use them.
//
// Results: 1 success, 0 failure, unless a function says otherwise.
//
// Thread safety: the handlers run on the thread that waits or polls (kr/message.h); nothing here
// takes a lock. Several sends may be in progress at once, each with its own send state.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/tree.h"
#include "reports/fields.h"
#include "reports/reports.h"

// --- task kinds and message types -------------------------------------------------------------

inline constexpr int32_t kRepGetTableTaskKind = 21;
inline constexpr int32_t kRepGetTableFieldsTaskKind = 22;

inline constexpr uint32_t kRepMsgTableFieldsReply = 3300;  // RepGetTableFieldsReply
inline constexpr uint32_t kRepMsgTableReply = 3301;        // RepGetTableReply ("table is avail")
inline constexpr uint32_t kRepMsgRecordPacket = 3302;      // RepRecordPacket, on the channel
inline constexpr uint32_t kRepMsgRecordsReceived = 3303;   // RepRecordsReceivedAck, on the channel
inline constexpr uint32_t kRepMsgEndOfRecords = 3304;      // no object, on the channel
inline constexpr uint32_t kRepMsgSRecordsEnd = 3308;       // requester to itself: stream ended
inline constexpr uint32_t kRepMsgSRecordsRequest = 3309;   // RepSRecordRequest, to the provider
// LIB_REP_TABLE_PROV_COMPLETED_MSG: a provider process to itself when a send announced with the
// completion flag has sent all its records.
inline constexpr uint32_t kRepMsgTableProvCompleted = 3310;

// --- the data grabber -------------------------------------------------------------------------

struct RepGrabberInitArgs;

// What a grabber answers. GrabberGetRecord answers kRepGrabRecord or kRepGrabNoMore, anything else
// being an error; the other three answer kRepGrabOk on success.
inline constexpr int kRepGrabOk = 1;
inline constexpr int kRepGrabRecord = 1;  // a record was filled
inline constexpr int kRepGrabNoMore = 2;  // no more records

// Prepares a record fetch: 1 and the grabber's context (any object of the provider's own) in
// *context.
using RepGrabberInitFn = int (*)(Ref<Obj>* context, RepGrabberInitArgs* args);
// Fills the blank `record` (one Normal value per field of args->fields(), in that order) with the
// next record's values: 1 when a record was filled, 2 when there are no more, anything else on
// error.
using RepGrabberGetRecordFn = int (*)(RepRecord* record, Obj* context, RepGrabberInitArgs* args);
// Ends the fetch and frees the context (clearing *context).
using RepGrabberFinishFn = int (*)(Ref<Obj>* context, RepGrabberInitArgs* args);
// 1 and a new field list of every field the table can give.
using RepGrabberGetFieldsFn = int (*)(Ref<RepFieldList>* fields);

// One table a provider process serves. A process keeps an array of them ended by an entry whose
// name is null. Requests are matched to `name` case-blind, first match in array order.
struct RepProvidedTableDesc {
  const char* name;
  const void* reserved1;  // not read by the library: the provider's own
  const void* reserved2;
  RepGrabberInitFn init;
  RepGrabberGetRecordFn get_record;
  RepGrabberFinishFn finish;
  RepGrabberGetFieldsFn get_fields;
};

// What the grabber is given: slot 1 the field list each record will have (the wanted fields plus
// the fields the filter names), slot 2 the converted restrictions (a List of RepSqlRestriction
// with typed bounds; may be null), slot 3 reserved.
struct RepGrabberInitArgs : ObjView<RepGrabberInitArgs> {
  static constexpr uint32_t kTypeCode = 0xc8e08a7b;
  static constexpr const char kSpec[] = "o;o;o;";
  static constexpr const char kName[] = "RepGrabberInitArgs";

  RepFieldList* fields() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  List* restrictions() const noexcept { return ObjCast<List>(ObjSlot<2>()); }

  void set_fields(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_restrictions(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
};

// --- protocol objects -------------------------------------------------------------------------

// GET_TABLE_FIELDS task arguments: slot 1 the table name, slot 2 not read.
struct RepGetTableFieldsArgs : ObjView<RepGetTableFieldsArgs> {
  static constexpr uint32_t kTypeCode = 0xcaa2eb44;
  static constexpr const char kSpec[] = "s;o;";
  static constexpr const char kName[] = "RepGetTableFieldsArgs";

  const char* table_name() const noexcept { return StrSlot<1>(); }
  void set_table_name(const char* v) noexcept { SetStrSlot<1>(v); }
};

// Message 3300: the table name (empty when the request was refused or malformed), success, the
// provider's field list, reserved.
struct RepGetTableFieldsReply : ObjView<RepGetTableFieldsReply> {
  static constexpr uint32_t kTypeCode = 0xcaa2e9f7;
  static constexpr const char kSpec[] = "s;b;o;o;";
  static constexpr const char kName[] = "RepGetTableFieldsReply";

  const char* table_name() const noexcept { return StrSlot<1>(); }
  bool success() const noexcept { return BoolSlot<2>(); }
  RepFieldList* fields() const noexcept { return ObjCast<List>(ObjSlot<3>()); }

  void set_table_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_success(bool v) noexcept { SetBoolSlot<2>(v); }
  void set_fields(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
};

// GET_TABLE task arguments: the table name; the wanted fields; the restrictions in textual form
// (a List of RepSqlRestriction, converted in place by the provider); the filter object (a
// RepSqlFilter whose text the provider reads and into whose tree slot it puts the tree it
// builds; may be null); slot 5 not read.
struct RepGetTableArgs : ObjView<RepGetTableArgs> {
  static constexpr uint32_t kTypeCode = 0xcab513d6;
  static constexpr const char kSpec[] = "s;o;o;o;o;";
  static constexpr const char kName[] = "RepGetTableArgs";

  const char* table_name() const noexcept { return StrSlot<1>(); }
  RepFieldList* wanted_fields() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  List* restrictions() const noexcept { return ObjCast<List>(ObjSlot<3>()); }
  Obj* filter() const noexcept { return ObjSlot<4>(); }

  void set_table_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_wanted_fields(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_restrictions(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_filter(Ref<Obj> v) noexcept { SetObjSlot<4>(std::move(v)); }
};

// Message 3301: success; the table as it will be sent (named after the provider's descriptor,
// with the field list of the records to come and an empty record list); three further slots. A
// provider of a serialized-record table puts in slot 3 the object the requester hands back in
// its stream request (3309), and in slot 4 derived field definitions that the requester merges
// into every block's field list.
struct RepGetTableReply : ObjView<RepGetTableReply> {
  static constexpr uint32_t kTypeCode = 0xcab51604;
  static constexpr const char kSpec[] = "b;o;o;o;o;";
  static constexpr const char kName[] = "RepGetTableReply";

  bool success() const noexcept { return BoolSlot<1>(); }
  RepTable* table() const noexcept { return ObjCast<RepTable>(ObjSlot<2>()); }
  Obj* stream_request() const noexcept { return ObjSlot<3>(); }
  Obj* derived_fields() const noexcept { return ObjSlot<4>(); }

  void set_success(bool v) noexcept { SetBoolSlot<1>(v); }
  void set_table(Ref<RepTable> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_stream_request(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_derived_fields(Ref<Obj> v) noexcept { SetObjSlot<4>(std::move(v)); }
};

// Message 3302: abort flag; the records (at most 100); the sender's send-state token, carried
// only to be echoed back; reserved.
struct RepRecordPacket : ObjView<RepRecordPacket> {
  static constexpr uint32_t kTypeCode = 0xcab69a03;
  static constexpr const char kSpec[] = "b;o;p;o;";
  static constexpr const char kName[] = "RepRecordPacket";

  bool abort() const noexcept { return BoolSlot<1>(); }
  List* records() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  uint64_t send_state() const noexcept { return PtrSlot<3>(); }

  void set_abort(bool v) noexcept { SetBoolSlot<1>(v); }
  void set_records(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_send_state(uint64_t v) noexcept { SetPtrSlot<3>(v); }
};

// Message 3303: abort flag (the requester wants no more); the token echoed from the packet;
// reserved.
struct RepRecordsReceivedAck : ObjView<RepRecordsReceivedAck> {
  static constexpr uint32_t kTypeCode = 0xcab69b4d;
  static constexpr const char kSpec[] = "b;p;o;";
  static constexpr const char kName[] = "RepRecordsReceivedAck";

  bool abort() const noexcept { return BoolSlot<1>(); }
  uint64_t send_state() const noexcept { return PtrSlot<2>(); }

  void set_abort(bool v) noexcept { SetBoolSlot<1>(v); }
  void set_send_state(uint64_t v) noexcept { SetPtrSlot<2>(v); }
};

// Message 3309: slot 1 the object the provider put in its reply's slot 3, handed back; slot 2
// reserved.
struct RepSRecordRequest : ObjView<RepSRecordRequest> {
  static constexpr uint32_t kTypeCode = 0xca1e968e;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "RepSRecordRequest";

  Obj* reply_object() const noexcept { return ObjSlot<1>(); }
  void set_reply_object(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
};

// One record send in progress (provider side): the channel to the requester; the requester's
// address; the table name; the grabber context; the grabber's arguments; the descriptor (a
// token, not owned); all records fetched; old-style process; announce completion; the records'
// field list; the filter tree or null; reserved.
//
// A send state never leaves its process: packets carry a token naming it (RepRecordPacket), and
// the token is looked up in the process's table of live sends when it comes back.
struct RepRecordSendState : ObjView<RepRecordSendState> {
  static constexpr uint32_t kTypeCode = 0xcab698e9;
  static constexpr const char kSpec[] = "o;o;s;o;o;p;b;b;b;o;o;o;";
  static constexpr const char kName[] = "RepRecordSendState";

  Obj* channel() const noexcept { return ObjSlot<1>(); }
  Obj* requester() const noexcept { return ObjSlot<2>(); }
  const char* table_name() const noexcept { return StrSlot<3>(); }
  Obj* grabber_context() const noexcept { return ObjSlot<4>(); }
  RepGrabberInitArgs* init_args() const noexcept {
    return ObjCast<RepGrabberInitArgs>(ObjSlot<5>());
  }
  bool all_fetched() const noexcept { return BoolSlot<7>(); }
  bool old_style() const noexcept { return BoolSlot<8>(); }
  bool announce_completion() const noexcept { return BoolSlot<9>(); }
  RepFieldList* fields() const noexcept { return ObjCast<List>(ObjSlot<10>()); }
  Tree* filter_tree() const noexcept { return ObjCast<Tree>(ObjSlot<11>()); }

  void set_channel(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_requester(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_table_name(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_grabber_context(Ref<Obj> v) noexcept { SetObjSlot<4>(std::move(v)); }
  void set_init_args(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
  // The descriptor's address, kept for traces and debugging only; the live-send table holds the
  // descriptor the library uses.
  void set_descriptor(uint64_t v) noexcept { SetPtrSlot<6>(v); }
  void set_all_fetched(bool v) noexcept { SetBoolSlot<7>(v); }
  void set_old_style(bool v) noexcept { SetBoolSlot<8>(v); }
  void set_announce_completion(bool v) noexcept { SetBoolSlot<9>(v); }
  void set_fields(Ref<List> v) noexcept { SetObjSlot<10>(std::move(v)); }
  void set_filter_tree(Ref<Obj> v) noexcept { SetObjSlot<11>(std::move(v)); }
};

// --- the provider's handlers ------------------------------------------------------------------

// Answers a GET_TABLE_FIELDS task (a MsgTask, kr/message.h); every path sends a reply (3300).
// 1 when the reply sent carried the fields, else 0. Refused (from another machine while remote
// requests are refused) or malformed requests are answered with an empty table name.
int RepHandleMyGetTableFieldsRequest(const RepProvidedTableDesc* descriptors, Obj* task) noexcept;

// Answers a GET_TABLE task and starts the record send. `old_style`: the process receives the
// acknowledgements (3303) itself and passes them to RepHandleMyRecReceivedMsg, so no handlers are
// installed. `announce_completion`: send 3310 to this process when all records are sent. 1 once
// the requester's channel connect arrived and was handled, else 0.
int RepHandleMyGetTableRequest(const RepProvidedTableDesc* descriptors, Obj* task, int old_style,
                               int announce_completion) noexcept;

// Answers a GET_TABLE task for a table this process serves as a serialized-record stream (one
// it registered with "Serialized Records"): prepares the fetch as RepHandleMyGetTableRequest
// does, replies with a stream ticket in slot 3 and the provider's own field list (with its
// derived fields) in slot 4, waits (excluding other messages, like the packet handler's wait
// for the channel) for the requester's stream request (3309) carrying that ticket, and starts
// streaming the records to it (reports/serializedrecords.h). `index_type` is the table's
// registered index type (0 or 13; anything else for a table without an index): the value of
// each record's first field is then sent in front of it. 1 once the stream has begun, else 0.
int RepHandleMyGetTableRequestBySRecords(const RepProvidedTableDesc* descriptors, Obj* task,
                                         int32_t index_type) noexcept;

// For old-style processes: hands an acknowledgement object (RepRecordsReceivedAck) to the send
// whose token it echoes. A token that names no live send is ignored.
int RepHandleMyRecReceivedMsg(Obj* ack) noexcept;

// ListWalk callback (kr/list.h), the cookie being the provider's field list: 1 when the item's
// field name (its first slot) is in that list (case-blind), else 0. Walking the wanted fields
// with it checks that the provider can give them all.
int RepCheckProvideFieldsCB(Obj* item, void* provider_fields) noexcept;

// Serving of tasks from other machines, for the calling context; refused until enabled.
void RepEnableRemoteRequests() noexcept;
void RepDisableRemoteRequests() noexcept;

// --- sends that end with the grabber unfinished ------------------------------------------------
//
// Most ends of a send finish the grabber (GrabberFinish): all records sent, a grabber error, a
// failed send, or no channel connect. Four ends do not, because the protocol leaves the grabber
// to its process there: the channel could not be completed, the channel went down, the
// requester asked to abort, or an acknowledgement carried no acknowledgement object. A grabber
// holding an outside resource (an open database statement, a file) would leak it, so a provider
// process installs a handler that the library calls at each such end, with the descriptor, the
// grabber context (to be finished and cleared) and the grabber's arguments. Without a handler
// the context is released like any object, which frees what its slots own but runs none of the
// provider's own clean-up.
//
// RepFinishUnfinishedGrabber is a ready-made handler: it calls the descriptor's GrabberFinish.
using RepUnfinishedGrabberFn = void (*)(const RepProvidedTableDesc* descriptor, Ref<Obj>* context,
                                        RepGrabberInitArgs* args, void* cookie);
// Installs the handler for the calling context (null removes it).
void RepSetUnfinishedGrabberHandler(RepUnfinishedGrabberFn handler, void* cookie) noexcept;
void RepFinishUnfinishedGrabber(const RepProvidedTableDesc* descriptor, Ref<Obj>* context,
                                RepGrabberInitArgs* args, void* cookie) noexcept;

// The number of record sends in progress in the calling context (for a provider that wants to
// wait for its sends to end before it stops, and for tests).
int RepGetLiveRecordSendCount() noexcept;
