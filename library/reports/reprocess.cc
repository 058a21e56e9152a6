// Re-processing a stored report with new filters or sort order.

#include "reports/reprocess.h"

#include <cstring>
#include <iterator>

#include "kr/list.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/filter.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reports.h"
#include "reports/sort.h"

namespace {

constexpr const char* kTag = "RPTMAIN";

// Filter and sort texts compare whole and case-sensitive; an absent text is an empty one.
bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }
bool SameText(const char* a, const char* b) {
  return std::strcmp(StrOrEmpty(a), StrOrEmpty(b)) == 0;
}

// What re-processing has to redo.
struct Redo {
  bool include = false;
  bool exclude = false;
  bool condition = false;
  bool force_sort = false;
};

// One filter to apply again: its new text, whether the matching records go (exclude) or stay,
// and its messages.
struct RefilterStep {
  const char* text;
  bool drop_matching;
  const char* which;  // as the failure message names the filter
  const char* before;
  const char* after;
};

// Without stored filtered-out records, dropped records cannot come back: only a new, non-empty
// restriction is applied on top of what is there.
Redo DecideWithoutFilteredOut(const RepParams* now, const RepParams* then, bool use_condition,
                              bool used_condition) {
  Redo redo;
  redo.include = !IsEmpty(RepParamsGetInclude(now)) &&
                 !SameText(RepParamsGetInclude(now), RepParamsGetInclude(then));
  TraceMessage(kTag, 60, 0, 2, "%s",
               redo.include
                   ? "Include filter changed, no filtered out records, so re-do include filter"
                   : "Include filter unchanged, wont re-do");
  redo.exclude = !IsEmpty(RepParamsGetExclude(now)) &&
                 !SameText(RepParamsGetExclude(now), RepParamsGetExclude(then));
  TraceMessage(kTag, 61, 0, 2, "%s",
               redo.exclude
                   ? "Exclude filter changed, no filtered out records, so re-do exclude filter"
                   : "Exclude filter unchanged, wont re-do");
  redo.condition =
      use_condition && !IsEmpty(RepParamsGetCondition(now)) &&
      (!used_condition || !SameText(RepParamsGetCondition(now), RepParamsGetCondition(then)));
  TraceMessage(kTag, 62, 0, 2, "%s",
               redo.condition
                   ? "Condition filter changed, no filtered out records, so re-do condition filter"
                   : "Condition filter unchanged, wont re-do");
  return redo;
}

// With stored filtered-out records, any change brings them back and every filter runs again.
Redo DecideWithFilteredOut(const RepParams* now, const RepParams* then, bool use_condition,
                           bool used_condition) {
  const bool include_changed = !SameText(RepParamsGetInclude(now), RepParamsGetInclude(then));
  const bool exclude_changed = !SameText(RepParamsGetExclude(now), RepParamsGetExclude(then));
  const bool condition_matters = (used_condition && !IsEmpty(RepParamsGetCondition(then))) ||
                                 (use_condition && !IsEmpty(RepParamsGetCondition(now)));
  const bool condition_changed =
      condition_matters && (used_condition != use_condition ||
                            !SameText(RepParamsGetCondition(now), RepParamsGetCondition(then)));
  Redo redo;
  if (!include_changed && !exclude_changed && !condition_changed) {
    TraceMessage(kTag, 63, 0, 2,
                 "Filters unchanged with filtered out records, so no need to re-filter");
    return redo;
  }
  redo.include = true;
  redo.exclude = true;
  redo.condition = use_condition;
  redo.force_sort = true;
  return redo;
}

}  // namespace

int RepReProcessProducedReport(RepControl* control, const char* produced_name,
                               int use_condition) noexcept {
  if (control == nullptr || control->params() == nullptr || control->table() == nullptr ||
      control->table()->fields() == nullptr) {
    TraceMessage(kTag, 70, 0, -1, "Cannot re-process produced report - no records to work on");
    return 0;
  }
  Ref<RepStoredControl> stored;
  if (!RepReConstructProducedReport(&stored, produced_name, 0)) {
    TraceMessage(kTag, 71, 0, -1,
                 "Cannot re-process produced report - cannot read original control object from "
                 "file '%s'",
                 StrOrEmpty(produced_name));
    return 0;
  }
  const RepControl* original = stored->control();
  if (!RepSetTimeNow(original->time_of_production())) {
    TraceMessage(kTag, 72, 0, -1, "Failed to set time now. Cannot re-process report.");
    return 0;
  }

  const RepParams* now = control->params();
  const RepParams* then = original->params();
  const bool use = use_condition == 1;
  const bool used = stored->flag();
  RepTable* table = control->table();
  List* filtered_out = control->filtered_out();

  Redo redo;
  const bool rejoin = ListGetItemCount(filtered_out) != 0;
  if (!rejoin) {
    redo = DecideWithoutFilteredOut(now, then, use, used);
  } else {
    redo = DecideWithFilteredOut(now, then, use, used);
    if (redo.force_sort)
      TraceMessage(kTag, 64, 0, 2,
                   "At least one filter changed. Have filtered out records, so combine records "
                   "and re-filter");
  }

  const RefilterStep steps[] = {
      {redo.include ? RepParamsGetInclude(now) : nullptr, false, "include",
       "Include filters differ. Going to re-filter.", "Have applied re-processing include filter"},
      {redo.exclude ? RepParamsGetExclude(now) : nullptr, true, "Exclude",
       "Exclude filters differ. Going to re-filter.", "Have applied re-processing exclude filter"},
      {redo.condition ? RepParamsGetCondition(now) : nullptr, false, "condition",
       "Condition filters differ. Going to re-filter.",
       "Have applied re-processing condition filter"},
  };
  // Every new tree and the sort spec are built before a record moves, so that a bad one leaves
  // the record list and the filtered-out records as they were.
  Ref<RepFilterTree> trees[std::size(steps)];
  for (size_t i = 0; i < std::size(steps); ++i) {
    if (IsEmpty(steps[i].text)) continue;
    trees[i] = RepMakeFilterTree(steps[i].text, table->fields());
    if (!trees[i]) {
      TraceMessage(kTag, 73, 0, -1, "Bad new %s filter '%s'", steps[i].which, steps[i].text);
      return 0;
    }
  }
  const char* sort = RepParamsGetSort(now);
  const bool resort = redo.force_sort || !SameText(sort, RepParamsGetSort(then));
  // Said where the re-sort begins; a bad new spec is found before the filters run, so it is said
  // there too, ahead of the refusal.
  auto announce_resort = [] {
    TraceMessage(kTag, 77, 0, 2, "Sort specs filters differ. Going to re-sort.");
  };
  Ref<List> spec;
  if (resort && !RepBuildSortSpec(&spec, table->fields(), sort)) {
    announce_resort();
    TraceMessage(kTag, 78, 0, -1, "Bad new sort spec '%s'", StrOrEmpty(sort));
    return 0;
  }

  if (table->records() == nullptr) table->set_records(ListNewFromPool());
  List* records = table->records();
  if (rejoin && redo.force_sort) ListJoin(records, filtered_out);
  for (size_t i = 0; i < std::size(steps); ++i) {
    if (!trees[i]) continue;
    TraceMessage(kTag, 74, 0, 2, "%s", steps[i].before);
    if (steps[i].drop_matching) {
      RepApplyFilterBinMatching(trees[i].get(), records);
    } else {
      RepApplyFilterBinNonMatching(trees[i].get(), records);
    }
    TraceMessage(kTag, 75, 0, 2, "%s", steps[i].after);
  }

  if (!resort) {
    TraceMessage(kTag, 76, 0, 3, "No need to re-sort records");
    return 1;
  }
  announce_resort();
  RepApplySortToRecords(spec.get(), records);
  TraceMessage(kTag, 79, 0, 2, "Have applied re-processing sort spec");
  return 1;
}
