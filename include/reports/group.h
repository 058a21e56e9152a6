// Grouping: a report's records gathered into groups by one or more key fields, with counts,
// totals, averages, minimums and maximums per group.
//
// Two forms:
//   - a summary table (RepGroupRecords): one record per group, a new table with its own field
//     list (the key fields, then one field per aggregate), so that the report writers, the sort,
//     the sum and average rows, the produced-report store and re-processing work on it as on any
//     class's table;
//   - group breaks (RepOutputGroupBreaks): the detailed records of a plain text or HTML report,
//     with a heading before each group, a subtotal row after it and the grand total at the end.
//
// The grouping is given as two texts, kept that way in templates and on the command line:
//
//   group by     key fields, separated by blanks or commas:  %client   %starttime:week %level
//                A system time or date key may name a bucket: :day, :week (weeks begin on
//                Monday) or :month; the key is then the bucket's first day, a date.
//   aggregates   items separated by blanks or commas, each optionally NAME=ITEM:
//                  count                   records of the group
//                  count(%status=Failed)   records whose field equals the value (quotes allowed)
//                  count(%status)          one column per value the field takes, in value order
//                  countif(FILTER)         records the filter catches, in the filter language
//                                          of include filters: countif(%expires <= now+30DA)
//                  sum(%size) avg(%size) min(%starttime) max(%starttime)
//
// Every aggregate keeps its field's type: a sum or average of a data count is a data count, of a
// duration a duration; a sum of integers is a 64-bit integer. Summing a system time, a date or a
// text is refused (the sum means nothing); min and max take any ordered type. Only values in
// state Normal take part; a group without any has N/A in that column. A duration total beyond
// what a duration holds is Unknown rather than wrong. Averages are truncated toward zero, as the
// average rows of the writers are.
//
// Keys compare exactly (text keys are case-sensitive). Summary records come in key order.
//
// Thread safety: none beyond the runtime's; everything runs on the caller's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kr/list.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/reports.h"

enum RepGroupBucket : int32_t { kRepBucketValue = 0, kRepBucketDay, kRepBucketWeek, kRepBucketMonth };

enum RepAggregateKind : int32_t {
  kRepAggCount = 0,   // records of the group
  kRepAggCountValue,  // records whose field equals `value`
  kRepAggCountEach,   // one column per value of the field
  kRepAggSum,
  kRepAggAverage,
  kRepAggMin,
  kRepAggMax,
  kRepAggCountIf,     // records that a filter catches (`value` holds the filter)
};

struct RepGroupKey {
  std::string field;
  int32_t bucket = kRepBucketValue;
};

struct RepAggregate {
  int32_t kind = kRepAggCount;
  std::string field;  // empty for count
  std::string value;  // the value counted (kRepAggCountValue), the filter (kRepAggCountIf)
  std::string name;   // the summary field's name, empty for the default
};

struct RepGroupSpec {
  std::vector<RepGroupKey> keys;
  std::vector<RepAggregate> aggregates;
};

// Parses the two texts (see above). A null or empty aggregate text means "count". 1, or 0 with
// a message for the user in `error` naming the item that is wrong.
int RepParseGroupSpec(RepGroupSpec* spec, std::string* error, const char* group_by,
                      const char* aggregates) noexcept;

// The summary table of `table`'s records (its name is the table's name followed by " summary").
// The summary fields are as wide as their widest value, name, total and average, so a
// fixed-width report with sum and average rows never cuts a number. 1, or 0 with a message in
// `error` (an unknown field, an aggregate the field's type does not allow).
int RepGroupRecords(Ref<RepTable>* summary, std::string* error, const RepTable* table,
                    const RepGroupSpec& spec) noexcept;

// Widens the fields of `fields` (a report's field list) that take part in sum and average rows
// over `table` to the width of the widest total and average those rows print, so a fixed-width
// row never cuts them. Widths given in a format (%size::8) are the format's and stay. 1/0.
int RepWidenForTotals(RepFieldList* fields, const RepTable* table) noexcept;

// A report control over a summary table: the parameters of `control` (output type, options,
// header and footer), its format replaced by `format`, or, when that is null or empty, by one
// generated for the summary's fields with the output type's format texts. Null on failure.
Ref<RepControl> RepGroupSummaryControl(const RepControl* control, RepTable* summary,
                                       const char* format) noexcept;

// Group runs of a record list in its present order: each run is the position of its first
// record and the number of records that follow with the same keys. Sort the records by the
// keys first to get one run per group. 1/0 (an unknown key field).
struct RepGroupRun {
  size_t first = 0;
  size_t count = 0;
};
int RepGroupRuns(std::vector<RepGroupRun>* runs, std::string* error, const RepTable* table,
                 const RepGroupSpec& spec) noexcept;

// Writes a produced plain text (0) or HTML (1) report into `directory` (made by
// RepInitOutputDir) with group breaks: header, column headers, then per group of the keys a
// heading ("Client: alpha"), its records and a subtotal row, then the grand total row and the
// footer. The subtotal and total rows are the writers' sum rows (and average rows when the
// options ask for them). The records should be sorted by the keys. 1, or 0 with a message.
int RepOutputGroupBreaks(std::string* error, const char* directory, const RepControl* control,
                         int32_t output_type, const List* options, const RepGroupSpec& spec,
                         RepProgressCallback progress, void* progress_argument) noexcept;

// A horizontal bar chart of one numeric field of `table` by its label fields (the key fields
// of a summary, joined with " / "), as inline SVG: no script, no external file, a fixed width
// that reads at 1280 px and prints. Bars are labelled with the value as the report renders it.
// At most `max_bars` bars (the first ones in table order; the chart says how many are left out).
// 1, or 0 with a message (an unknown or non-numeric field).
int RepGroupChartSvg(std::string* svg, std::string* error, const RepTable* table,
                     const std::vector<std::string>& label_fields, const char* value_field,
                     const char* title, size_t max_bars) noexcept;
