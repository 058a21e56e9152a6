// What the library keeps for each runtime context, in the one slot the context holds for it
// (ContextLibraryState): made on first use in a context, destroyed with it. A test process that
// plays several machines, each a context of one thread, so keeps each machine's sends, receives,
// cancel request and progress apart, and switching contexts loses none of them.
//
// The report's current time is not here: it lives in the context's plugin data block
// (RepGetContextData, reports/reports.h), where other components read it.
//
// Thread safety: a context belongs to one thread, and so does this state.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "kr/datachannel.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/serializedrecords.h"
#include "reports/tablesprovider.h"

namespace kr_internal {

// A record send of the table provider, owned from the request to its end (tablesprovider.cc).
struct ProviderSend {
  Ref<RepRecordSendState> state;
  const RepProvidedTableDesc* descriptor = nullptr;
  bool channel_open = false;
};

// A serialized-record send, owned from its start to its end; the handlers and the alarm get the
// state's address as their cookie. Beside the state: the bookkeeping that is no part of it.
struct SRecordsSend {
  Ref<RepSRecordsSendState> state;
  bool starts_block = false;   // the next send buffer starts a new block
  DataBlock* spare = nullptr;  // a send buffer got but not sent (after a failed read)
};

struct RepContextState {
  // The table provider (tablesprovider.cc): whether remote requests are served, the live sends
  // by token, and the handler of grabbers a send leaves unfinished.
  bool remote_allowed = false;  // remote requests are refused until enabled
  uint64_t next_token = 0;      // 0: not yet drawn (see tablesprovider.cc)
  std::map<uint64_t, ProviderSend> provider_sends;
  RepUnfinishedGrabberFn unfinished = nullptr;
  void* unfinished_cookie = nullptr;

  // Serialized records (srecordssend.cc, srecordsreceive.cc): the live transfers by state, and
  // when the last buffer of any receive arrived (a requester's sign that its provider is alive
  // while a block too large for one buffer trickles in).
  std::unordered_map<const Obj*, SRecordsSend> srecords_sends;
  std::unordered_map<const Obj*, Ref<RepSRecordsReceiveState>> srecords_receives;
  std::chrono::steady_clock::time_point last_buffer;

  // Fetching (fetch.cc): a cancel request holds until the next class table starts.
  bool fetch_cancelled = false;

  // Report production (control.cc): what the report being produced is doing.
  RepProgressState progress;
};

// The calling context's state, never null (a context that cannot make it ends the process, as
// running out of memory anywhere else in the library does).
RepContextState& RepState() noexcept;

}  // namespace kr_internal
