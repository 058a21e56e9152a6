// Grouping in the command-line front end: summaries (one record per group) and detailed reports
// with group breaks, from `run` options or from a template's keys.
//
//   --group-by "%client"                         template: %groupby "%client"
//   --aggregates "count count(%status) sum(%size)"            %aggregates "..."
//   --breaks        detailed records with group headings and subtotals   %groupbreaks "Yes"
//   --summary-format FORMAT   the summary's record format (default: every summary field)
//                                                              %summaryformat "..."
//   --summary-sort SPEC       the summary's order (default: by the group keys)  %summarysort
//   --chart FIELD             HTML: a bar chart of a summary field by group      %chart
//   --headline TEXT           a line above the summary; %FIELD is that summary field's total
//                             ("%count jobs, %failed failed" gives "1,520 jobs, 15 failed")
//                                                              %headline "..."
// A template may also name the front end's own output types: %filetype "rfc4180" or "jsonl".
// Command-line flags win over a template's keys. doc/summaries.md has the whole story.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"

namespace krreport {

struct GroupOptions {
  std::optional<std::string> group_by, aggregates, summary_format, summary_sort, chart, headline;
  std::optional<bool> breaks;
  std::optional<std::string> file_type;  // from a template: the front end's own output type

  bool grouping() const { return group_by.has_value() && !group_by->empty(); }
  bool with_breaks() const { return grouping() && breaks.value_or(false); }
};

// Adds the grouping options to a command.
void AddGroupOptions(CLI::App* command, GroupOptions* options);

// Fills the options the command line left unset from the keys of the template `name` (a name
// under the reports directory's templates, or a path). True also when it has none.
bool ReadGroupTemplateKeys(GroupOptions* options, const std::string& name);

// Before production (`fetching`) or re-processing: group breaks need the records in key order,
// so the keys go first in the sort spec. Before a fetch, grouping fields the class lacks are
// refused, and a summary's format is cut to the fields its grouping reads. A spec that is
// refused here (a bad --group-by) is a usage error: exit status.
int PrepareGrouping(RepParams* params, const GroupOptions& options, bool fetching);

// After production: a summary replaces *control by the summary's control (its own fields,
// format and sort; a headline or chart that cannot be drawn is refused here); a plain text
// report with total or average rows (or breaks) gets columns wide enough for its totals. Exit
// status.
int ApplyGrouping(Ref<RepControl>* control, const GroupOptions& options, const std::string& type);

// The output options to write a summary with: `*options` with the headline and the chart (HTML)
// put before the column headers. They are drawn at each writing, never stored. False on failure.
bool SummaryWriteOptions(Ref<List>* options, const RepControl* control, const GroupOptions& o);

// Writes a report with group breaks into `directory`. False with *error_text on failure.
bool WriteGroupBreaks(std::string* error_text, const std::string& directory, RepControl* control,
                      const GroupOptions& options, RepProgressCallback progress,
                      void* progress_argument);

}  // namespace krreport
