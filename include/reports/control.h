// The report control object: everything about one report.
//
// A `RepControl` holds the report's own copy of its parameters, the possible fields of its class,
// the fields the report needs, the table of records, the records the filters dropped, the three
// filter trees and the time of production. Filtering, sorting, the writers, the output wrapper
// and the produced-report store read and write its slots; the control owns everything in them,
// and releasing it releases them. The control is serialized whole into produced-report files.
//
// Positions matter: the report fields (slot 3) are the field list of the table (slot 4), in
// record order, and filter trees and sort keys address a record's values by a field's 0-based
// position in that list.
//
// Thread safety: none beyond the runtime's: a control belongs to the calling thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/params.h"
#include "reports/reports.h"

// Progress callbacks are called as callback(argument, 0) every fixed number of records or
// comparisons; their result is not looked at. Null means no progress calls.
using RepProgressCallback = int (*)(void* argument, int reserved);

struct RepControl : ObjView<RepControl> {
  static constexpr uint32_t kTypeCode = 0xc8dcb14f;
  static constexpr const char kSpec[] = "o;o;o;o;o;o;o;o;i;o;";
  static constexpr const char kName[] = "RepControl";

  // Every accessor hands out a borrowed object, null when the slot is empty or holds something
  // of another type.
  RepParams* params() const noexcept { return ObjCast<RepParams>(ObjSlot<1>()); }
  // Every field the class offers.
  RepFieldList* possible_fields() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  // The fields the report needs: the field list of the table, in record order.
  RepFieldList* report_fields() const noexcept { return ObjCast<List>(ObjSlot<3>()); }
  RepTable* table() const noexcept { return ObjCast<RepTable>(ObjSlot<4>()); }
  // The records the filters dropped, when the parameters keep them.
  List* filtered_out() const noexcept { return ObjCast<List>(ObjSlot<5>()); }
  Obj* include_tree() const noexcept { return ObjSlot<6>(); }
  Obj* exclude_tree() const noexcept { return ObjSlot<7>(); }
  Obj* condition_tree() const noexcept { return ObjSlot<8>(); }
  // The time (time_t) at which the report was produced; 0 before.
  int32_t time_of_production() const noexcept { return IntSlot<9>(); }
  // Whether `time` fits the 32-bit slot: from 2038-01-19 03:14:08 UTC on it does not, and
  // production refuses such a time rather than store a wrapped one.
  static constexpr bool HoldsTimeOfProduction(int64_t time) noexcept {
    return time >= INT32_MIN && time <= INT32_MAX;
  }

  void set_params(Ref<RepParams> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_possible_fields(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_report_fields(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_table(Ref<RepTable> v) noexcept { SetObjSlot<4>(std::move(v)); }
  void set_filtered_out(Ref<List> v) noexcept { SetObjSlot<5>(std::move(v)); }
  void set_include_tree(Ref<Obj> v) noexcept { SetObjSlot<6>(std::move(v)); }
  void set_exclude_tree(Ref<Obj> v) noexcept { SetObjSlot<7>(std::move(v)); }
  void set_condition_tree(Ref<Obj> v) noexcept { SetObjSlot<8>(std::move(v)); }
  void set_time_of_production(int32_t v) noexcept { SetIntSlot<9>(v); }
};

// The progress context of one production: the caller's progress callback and its argument. The
// stages of production are given small functions that call callback(argument, 0) through it.
struct RepProgressCookie : ObjView<RepProgressCookie> {
  static constexpr uint32_t kTypeCode = 0xc9c904d7;
  static constexpr const char kSpec[] = "p;p;";
  static constexpr const char kName[] = "RepProgressCookie";

  RepProgressCallback callback() const noexcept {
    return reinterpret_cast<RepProgressCallback>(static_cast<uintptr_t>(PtrSlot<1>()));
  }
  void* argument() const noexcept {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(PtrSlot<2>()));
  }
  void set_callback(RepProgressCallback v) noexcept {
    SetPtrSlot<1>(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v)));
  }
  void set_argument(void* v) noexcept {
    SetPtrSlot<2>(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v)));
  }
};

// --- progress state ---------------------------------------------------------------------------
//
// What the report being produced in the calling context is doing, for a front end's progress
// display: the library sets it as each stage begins and as records arrive, so a progress callback
// reads the stage instead of guessing it. It comes beside the progress callback, whose form and
// call intervals stay as they are.

enum RepProgressStage : int32_t {
  kRepStageIdle = 0,
  kRepStageFetch = 1,   // the class's tables are fetched (and joined)
  kRepStageFilter = 2,  // the report's filters are applied
  kRepStageSort = 3,
  kRepStageWrite = 4,  // set by whoever writes the report (RepProgressBeginStage)
  kRepStageDone = 5,
};

struct RepProgressState {
  RepProgressStage stage = kRepStageIdle;
  std::string table;       // while fetching: the table being fetched
  int64_t fetched = 0;     // records of `table` received so far (each table counts from 0)
  int64_t in_stage = 0;    // the records the stage works on (filter, sort, write)
  std::chrono::steady_clock::time_point stage_start;  // when the stage began
};

// The calling context's progress state.
const RepProgressState& RepGetProgressState() noexcept;
// Begins a stage working on `records` records (fetch: 0), its time counted from now.
void RepProgressBeginStage(RepProgressStage stage, int64_t records) noexcept;

namespace kr_internal {
// The fetch's side: a table's fetch begins; records of it arrived.
void RepProgressBeginTable(const char* table) noexcept;
void RepProgressAddFetched(int64_t records) noexcept;
}  // namespace kr_internal

// A new control for a report with the given parameters: its own deep copy of them, and the
// possible fields of their class, found by running the class's query without records. Null
// when the parameters cannot be copied or the class's fields cannot be had (traced).
Ref<RepControl> RepControlAlloc(const RepParams* params) noexcept;

// Produces the report: takes the system-wide current time as the report's "now" and its time of
// production; works out the fields the report needs (the format's first, then those of the sort
// spec and of the include, exclude and condition filters); builds the three filter trees afresh;
// produces the class's table (fetching its tables from their providers); filters its records
// (the condition filter only when `use_condition` is 1) and sorts them. Nothing is written.
//
// 1 when the report was produced. 0 on failure, with *error_text (when not null) set to a
// message for the user. The callback, when given, is called as records arrive, as tables are
// joined, as records are filtered and compared, and once after each of fetching and filtering.
// A cancel request made from it while the table is produced (RepCancelTableFetch,
// reports/fetch.h) makes production fail as a failed fetch does.
int RepControlProduceReport(std::string* error_text, RepControl* control, int use_condition,
                            RepProgressCallback progress, void* argument) noexcept;

// A new deep copy of the control's parameters, so that changing it leaves the report alone.
// Null when the control has no parameters or the copy fails.
Ref<RepParams> RepControlGetParams(const RepControl* control) noexcept;

// The names of the class's possible fields, each followed by a line feed. 1; 0 when the control
// has no possible fields.
int RepControlGetFieldString(std::string* fields, const RepControl* control) noexcept;

// The number of records in the control's table; 0 when it has no table or no record list.
size_t RepGiveNumRecords(const RepControl* control) noexcept;

// Makes a control over a table that is already in hand, in the state production leaves it
// before filtering and sorting: for re-processing records that came from elsewhere, and for
// tests of the stages that work on a produced report (filters, sorting, writers).
//
//   parameters       a deep copy of `params` (a fresh RepParamsAlloc when null)
//   possible fields  the table's own field list (a shared reference)
//   report fields    a new list holding the same definitions in the same order
//   table            `table` itself (a shared reference, so its records are sorted and
//                    filtered in place)
//   everything else  empty; the time of production 0
//
// Because the report fields and the table's field list hold the same definitions in the same
// order, a field's position in either is the position of its value in every record, which is
// what filter trees and sort keys index by. Build the table with its field list first (its
// records may come later); do not reorder the table's field list afterwards. Null when `table`
// is null or has no field list, or the parameters cannot be copied.
Ref<RepControl> RepControlFromTable(const RepParams* params, RepTable* table) noexcept;
