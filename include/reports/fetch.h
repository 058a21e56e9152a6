// Fetching tables from the processes that provide them: the requester side of the table request
// protocol (reports/tablesprovider.h has the objects and message numbers both ends use).
//
// A fetch is a conversation with the provider process the registry names (reports/registry.h):
//
//   1. a task is given to the provider (kind 22 for the fields, kind 21 for the records) and its
//      acceptance (1003) awaited, at most 60 s (fields) or 30 s (records), scaled by the
//      context's timeout_scale;
//   2. fields: the reply 3300 is awaited under the same 60 s time-out;
//      records: the reply 3301 ("table is avail") is awaited from the serving task;
//   3. records: a message channel is opened to the serving task; every record packet (3302) is
//      acknowledged (3303) as the answer to it, and 3304 ends the table.
//
// The reply and the packets have no time-out of their own, but they can only come from the
// provider: when its process dies or its link is lost, the wait fails and so does the fetch,
// instead of waiting for ever. Records that arrive are checked against the reply's field list
// where they enter: a packet holding anything but records of that format fails the fetch, and a
// value whose object does not fit its field's type becomes Unknown.
//
// Cancelling. A front end that wants to stop a report while its tables are fetched calls
// RepCancelTableFetch from its progress callback. The fetch in progress answers the packet it
// has just received with an acknowledgement carrying the abort flag, so the provider stops
// sending, and fails; the class table, and the production of the report, then fail as for any
// failed fetch, and nothing is written. See RepCancelTableFetch.
//
// Beyond those waits, a fetch gives up on a provider that sends nothing for the fetch inactivity
// limit (RepSetFetchInactivityLimit), whether it owes the reply, the next record packet or the
// next buffer of a stream: a stopped or wedged provider whose link stays up would otherwise hold
// the requester for ever. The limit counts real seconds (it is not scaled), and the fetch fails
// with a trace naming the table, the provider and the limit. Every such wait wakes a few times a
// second, so a cancel request (RepCancelTableFetch, or the check RepSetFetchCancelCheck installs)
// ends it at once, whatever the provider does.
//
// A provider may answer a request that was given up (late, after a restart of a stopped
// process). Such a stale reply (3301) is never taken for the answer to a later request: replies
// that reach the requester before the acceptance of its own task are set aside, and the provider
// task that sent one is released (its channel opened and closed, or its stream refused) rather
// than left waiting.
//
// Like the class code, the operations here return 0 on success and non-zero on failure:
// kRepFetchOk and kRepFetchFailed.
// Trace messages carry the module tag REPCLASS.
//
// Thread safety: a fetch blocks the calling thread in message waits of its context; handlers run
// on that thread from inside those waits. One fetch at a time per context.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/registry.h"
#include "reports/reports.h"

// What the operations here answer.
inline constexpr int kRepFetchOk = 0;
inline constexpr int kRepFetchFailed = 1;

// How long a provider may take to accept a task, in seconds (before scaling).
inline constexpr int32_t kRepGetTableAcceptSeconds = 30;
inline constexpr int32_t kRepGetTableFieldsSeconds = 60;

// The receiving side calls its progress callback once per this many records received.
inline constexpr int kRepFetchProgressEvery = 500;

// The state of one task hand-over while its acceptance (1003) is awaited: done flag; the task id
// ProcGiveServiceATaskWithID gave back; the task-return object once it arrived.
struct RepTaskWait : ObjView<RepTaskWait> {
  static constexpr uint32_t kTypeCode = 0xc852e98c;
  static constexpr const char kSpec[] = "b;i;o;";
  static constexpr const char kName[] = "RepTaskWait";

  bool done() const noexcept { return BoolSlot<1>(); }
  int32_t task_id() const noexcept { return IntSlot<2>(); }
  Obj* task_return() const noexcept { return ObjSlot<3>(); }

  void set_done(bool v) noexcept { SetBoolSlot<1>(v); }
  void set_task_id(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_task_return(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
};

// The 1003 handler of a task hand-over, the cookie being its RepTaskWait: takes the task return
// whose task id is the one awaited (0), and leaves every other message (1).
int RepClassGiveTaskMsgHandler(Obj* message, void* cookie) noexcept;

// Fetches one table with records from the process `info` names. `wanted` is the field list to
// ask for; `restrictions` the table's list of RepSqlRestriction (textual bounds; may be null);
// `filter` its RepSqlFilter (may be null). The records come as record packets, or as a
// serialized-record stream when the registry says so. 0 and a new table (the provider's name
// and field list, the records received); non-zero on failure, nothing handed back. The
// callback, when given, is called once per 500 records received; it may cancel the fetch
// (RepCancelTableFetch).
int RepGetTableFromProc(Ref<RepTable>* table, const RepTableInfo* info, List* wanted,
                        List* restrictions, Obj* filter, RepProgressCallback progress,
                        void* argument) noexcept;

// Asks process `process` on `machine` for the fields of `table_name`. 0 and a new field list of
// every field the provider can give; non-zero on failure.
int RepGetTableFieldsFromProc(Ref<RepFieldList>* fields, const char* table_name,
                              const char* process, const char* machine) noexcept;

// Cancels the report production in progress on the calling context. Meant to be called from a
// progress callback while the class table is produced: the record fetch in progress (or the
// next one) tells its provider to stop with an acknowledgement carrying the abort flag and
// fails, and so does the production (RepProduceClassTable, RepControlProduceReport), which then
// hands nothing back and writes nothing. The request holds until the next class table is
// produced, which clears it when it starts. Filtering and sorting, which run locally once the
// table is in, are not interrupted.
void RepCancelTableFetch() noexcept;

// True while a cancel request made with RepCancelTableFetch holds for the calling context.
bool RepTableFetchCancelled() noexcept;

// The fetch inactivity limit: how long, in seconds, a fetch waits for anything from its provider
// before it fails. Set here for the process; 0 or less goes back to the configured value:
// reports.cfg, stanza Reports, key FetchInactivityLimit (whole seconds), else 120.
inline constexpr int32_t kRepFetchInactivityDefaultSeconds = 120;
void RepSetFetchInactivityLimit(double seconds) noexcept;
// The limit in force, in seconds.
double RepGetFetchInactivityLimit() noexcept;

// A check that fetches of the calling thread ask, between messages and a few times a second
// while they wait, whether to give up: non-zero cancels the fetch as RepCancelTableFetch does.
// Meant for a front end whose stop request (Ctrl-C, SIGTERM) sets a flag that the check reads,
// so that the request takes effect while no record arrives. Null removes it.
using RepFetchCancelCheck = int (*)(void* cookie);
void RepSetFetchCancelCheck(RepFetchCancelCheck check, void* cookie) noexcept;

namespace kr_internal {

// Clears a cancel request of the calling context (done when a class table starts).
void ClearTableFetchCancel() noexcept;

}  // namespace kr_internal
