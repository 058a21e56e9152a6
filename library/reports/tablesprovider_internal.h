// The table provider's inner steps, apart from the messaging around them, for the tests and the
// fuzzer. Not part of the library's interface.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/tree.h"
#include "reports/reports.h"
#include "reports/tablesprovider.h"

namespace kr_internal {

// A packet carries at most this many records, and goes out after this many are examined.
inline constexpr int kRepRecordsPerPacket = 100;

// What a GET_TABLE request turns into before its reply goes out.
struct RepPreparedSend {
  const RepProvidedTableDesc* descriptor = nullptr;
  Ref<RepTable> table;                // as the reply names it: record fields, no records
  Ref<RepGrabberInitArgs> init_args;  // record fields and converted restrictions
  Ref<Obj> context;                   // the grabber's, after GrabberInit
  Ref<Tree> filter_tree;              // null without a filter
};

// Checks a GET_TABLE argument object against the descriptors, converts its restrictions and
// filter and starts the grabber. 1 with *out filled; 0 (traced) when the request must be
// refused. `giver_pid` is for the trace only.
int RepPrepareTableSend(RepPreparedSend* out, const RepProvidedTableDesc* descriptors,
                        Obj* argument, int64_t giver_pid) noexcept;

// Fetches one packet's records from the grabber: until 100 are examined, 100 kept or the grabber
// has no more (*all_fetched). 1 with the kept records; 0 on a grabber error.
int RepFillRecordPacket(Ref<List>* records, const RepProvidedTableDesc* descriptor, Obj* context,
                        RepGrabberInitArgs* args, const Tree* filter, bool* all_fetched) noexcept;

}  // namespace kr_internal
