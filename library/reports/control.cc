// The report control object: allocation, production of the report, and the small accessors.

#include "reports/control.h"

#include <cinttypes>
#include <string>
#include <utility>

#include "contextstate.h"
#include "kr/config.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/classes.h"
#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/outputtypes.h"
#include "reports/sort.h"

namespace {

constexpr const char* kTag = "RPTMAIN";

// The stages' progress functions: each passes the call on to the caller's callback.
int CallCallerProgress(void* cookie, int) {
  const RepProgressCookie* p = static_cast<const RepProgressCookie*>(cookie);
  if (p != nullptr && p->callback() != nullptr) p->callback()(p->argument(), 0);
  return 0;
}
int FetchStageProgress(void* cookie, int reserved) { return CallCallerProgress(cookie, reserved); }
int FilterStageProgress(void* cookie, int reserved) { return CallCallerProgress(cookie, reserved); }
int SortStageProgress(void* cookie, int reserved) { return CallCallerProgress(cookie, reserved); }

void SetUserError(std::string* error_text, std::string text) {
  if (error_text != nullptr) *error_text = std::move(text);
}

// Adds copies of the fields of `more` that the report fields do not have yet.
void AddNewFields(RepFieldList* report, const List* more) {
  RepAddAnyNewFields(report, report, more);
}

// Rebuilds the control's report fields from nothing: the format's fields first, so that they
// stand where the format puts them, then those of the sort spec and of the three filters. false
// and the detail message for the user on failure.
bool WorkOutReportFields(RepControl* control, std::string* detail) {
  const RepParams* params = control->params();
  const RepFieldList* possible = control->possible_fields();
  Ref<List> report = ListNewFromPool();
  control->set_report_fields(report);

  Ref<List> fields;
  if (RepListOutputFields(&fields, control) != kRepOk) {
    TraceMessage(kTag, 10, 0, -1, "Cannot get fields needed to output report");
    *detail = LocaleGetString("Cannot interpret fields required to output report", 8316);
    return false;
  }
  AddNewFields(report.get(), fields.get());

  if (RepGetFieldsInSort(&fields, possible, RepParamsGetSort(params)) != kRepOk) {
    TraceMessage(kTag, 11, 0, -1, "Failed to get fields in sort spec");
    *detail = LocaleGetString("Cannot interpret fields required to sort report", 8315);
    return false;
  }
  AddNewFields(report.get(), fields.get());

  struct FilterStep {
    const char* text;
    const char* trace;
    const char* detail;
    int id;
    int msg_no;
  };
  const FilterStep steps[] = {
      {RepParamsGetInclude(params), "Failed to get fields in include filter spec.",
       "Cannot interpret fields required for include filter", 8314, 12},
      {RepParamsGetExclude(params), "Failed to get fields in exclude filter spec",
       "Cannot interpret fields required for exclude filter", 8313, 13},
      // The condition's fields are there whether or not this production applies it, so that
      // the same produced report can be filtered by it later.
      {RepParamsGetCondition(params), "Failed to get fields in condition filter spec",
       "Cannot interpret fields required for condition filter", 8312, 14},
  };
  for (const FilterStep& step : steps) {
    if (RepGetFieldsInFilter(&fields, possible, step.text) != kRepOk) {
      TraceMessage(kTag, step.msg_no, 0, -1, "%s", step.trace);
      *detail = LocaleGetString(step.detail, step.id);
      return false;
    }
    AddNewFields(report.get(), fields.get());
  }
  if (report->empty()) {
    TraceMessage(kTag, 15, 0, -1, "Bad report - no fields needed");
    *detail = LocaleGetString("No fields specified for report", 8311);
    return false;
  }
  return true;
}

}  // namespace

Ref<RepControl> RepControlAlloc(const RepParams* params) noexcept {
  if (params == nullptr) return nullptr;
  Ref<RepControl> control = RepControl::New();
  if (!control) return nullptr;
  control->set_report_fields(ListNewFromPool());
  Ref<Obj> copy;
  if (!ObjDuplicate(&copy, params)) return nullptr;
  Ref<RepParams> own = RefCast<RepParams>(std::move(copy));
  if (!own) return nullptr;
  control->set_params(std::move(own));

  Ref<RepTable> class_table;
  if (RepGetClassFields(&class_table, RepParamsGetClass(control->params())) != kRepClassOk ||
      class_table->fields() == nullptr) {
    TraceMessage(kTag, 2, 0, -1, "Failed to load possible class fields");
    return nullptr;
  }
  control->set_possible_fields(Ref<List>::Share(class_table->fields()));
  TraceMessage(kTag, 3, 0, -1, "Loaded possible class fields OK");
  return control;
}

int RepControlProduceReport(std::string* error_text, RepControl* control, int use_condition,
                            RepProgressCallback progress, void* argument) noexcept {
  if (control == nullptr || control->params() == nullptr) return 0;
  int64_t now = 0;
  if (QuorTime(&now) != 1) {
    TraceMessage(kTag, 20, 0, -1, "Failed to get quor time");
    SetUserError(error_text, LocaleGetString("Cannot get current time", 8286));
    return 0;
  }
  if (!RepControl::HoldsTimeOfProduction(now)) {
    TraceMessage(kTag, 31, 0, -1,
                 "Cannot produce report - the time now (%" PRId64
                 ") does not fit the control's 32-bit time of production, which ends at "
                 "2038-01-19 03:14:07 UTC",
                 now);
    SetUserError(error_text, LocaleGetString("Cannot set current time", 8285) +
                                 " (it is past 2038-01-19 03:14:07 UTC, the last time a report "
                                 "can record)");
    return 0;
  }
  if (RepSetTimeNow(now) != kRepOk) {
    TraceMessage(kTag, 21, 0, -1, "Failed to set time now");
    SetUserError(error_text, LocaleGetString("Cannot set current time", 8285));
    return 0;
  }
  control->set_time_of_production(static_cast<int32_t>(now));

  std::string detail;
  if (!WorkOutReportFields(control, &detail)) {
    TraceMessage(kTag, 22, 0, -1, "Cannot produce report - could not figure out fields to include");
    SetUserError(
        error_text,
        LocaleGetString("Failed to work out fields required by report (", 8284) + detail + ")");
    return 0;
  }

  // Building leaves a tree alone when its text is empty, so trees of an earlier production
  // would otherwise outlive a filter the user has since cleared.
  control->set_include_tree(nullptr);
  control->set_exclude_tree(nullptr);
  control->set_condition_tree(nullptr);
  if (RepBuildFilterSpec(control) != kRepOk) {
    TraceMessage(kTag, 23, 0, -1, "Failed to produce filter spec.");
    SetUserError(error_text, LocaleGetString("Invalid filters", 8283));
    return 0;
  }

  Ref<RepProgressCookie> cookie;
  if (progress != nullptr) {
    cookie = RepProgressCookie::New();
    cookie->set_callback(progress);
    cookie->set_argument(argument);
  }
  const RepProgressCallback fetch_progress = cookie ? &FetchStageProgress : nullptr;
  const RepProgressCallback filter_progress = cookie ? &FilterStageProgress : nullptr;
  const RepProgressCallback sort_progress = cookie ? &SortStageProgress : nullptr;

  TraceMessage(kTag, 24, 0, 2, "Fetch table for class");
  RepProgressBeginStage(kRepStageFetch, 0);
  if (RepProduceClassTable(control, fetch_progress, cookie.get()) != kRepClassOk) {
    TraceMessage(kTag, 25, 0, -1, "Failed to fetch table for class");
    SetUserError(error_text, LocaleGetString("Failed to get raw report data from Kestrane", 8282));
    return 0;
  }
  TraceMessage(kTag, 26, 0, 2, "Finished fetching table for class");
  RepProgressBeginStage(kRepStageFilter, static_cast<int64_t>(RepGiveNumRecords(control)));
  if (progress != nullptr) progress(argument, 0);

  // Records an earlier production dropped belong to that production's table.
  control->set_filtered_out(nullptr);
  TraceMessage(kTag, 27, 0, 2, "Begin filtering records");
  RepFilterRecords(control, use_condition, RepParamsGetKeepFiltered(control->params()),
                   filter_progress, cookie.get());
  TraceMessage(kTag, 28, 0, 2, "Finished filtering records");
  RepProgressBeginStage(kRepStageSort, static_cast<int64_t>(RepGiveNumRecords(control)));
  if (progress != nullptr) progress(argument, 0);

  TraceMessage(kTag, 29, 0, 2, "Begin sorting records");
  RepSort(control, sort_progress, cookie.get());
  TraceMessage(kTag, 30, 0, 2, "Finished sorting records");
  return 1;
}

const RepProgressState& RepGetProgressState() noexcept { return kr_internal::RepState().progress; }

void RepProgressBeginStage(RepProgressStage stage, int64_t records) noexcept {
  RepProgressState& progress = kr_internal::RepState().progress;
  progress.stage = stage;
  progress.table.clear();
  progress.fetched = 0;
  progress.in_stage = records;
  progress.stage_start = std::chrono::steady_clock::now();
}

namespace kr_internal {

void RepProgressBeginTable(const char* table) noexcept {
  RepProgressState& progress = RepState().progress;
  progress.table = table != nullptr ? table : "";
  progress.fetched = 0;
}

void RepProgressAddFetched(int64_t records) noexcept { RepState().progress.fetched += records; }

}  // namespace kr_internal

Ref<RepParams> RepControlGetParams(const RepControl* control) noexcept {
  if (control == nullptr || control->params() == nullptr) return nullptr;
  Ref<Obj> copy;
  if (!ObjDuplicate(&copy, control->params())) return nullptr;
  return RefCast<RepParams>(std::move(copy));
}

int RepControlGetFieldString(std::string* fields, const RepControl* control) noexcept {
  if (fields == nullptr || control == nullptr || control->possible_fields() == nullptr) return 0;
  return RepGetAllFieldsString(fields, control->possible_fields());
}

size_t RepGiveNumRecords(const RepControl* control) noexcept {
  const RepTable* table = control != nullptr ? control->table() : nullptr;
  return table != nullptr ? ListGetItemCount(table->records()) : 0;
}

Ref<RepControl> RepControlFromTable(const RepParams* params, RepTable* table) noexcept {
  if (table == nullptr || table->fields() == nullptr) {
    TraceMessage(kTag, 1, 0, -1, "Cannot make a report control without a table and its fields");
    return nullptr;
  }
  Ref<RepParams> own;
  if (params != nullptr) {
    Ref<Obj> copy;
    if (!ObjDuplicate(&copy, params)) return nullptr;
    own = RefCast<RepParams>(std::move(copy));
  } else {
    own = RepParamsAlloc();
  }
  Ref<List> report_fields;
  if (!own || !ListClone(&report_fields, table->fields())) return nullptr;

  Ref<RepControl> control = RepControl::New();
  if (!control) return nullptr;
  control->set_params(std::move(own));
  control->set_possible_fields(Ref<List>::Share(table->fields()));
  control->set_report_fields(std::move(report_fields));
  control->set_table(Ref<RepTable>::Share(table));
  return control;
}
