// Re-processing a stored report: new filters or a new sort order over the records of a produced
// report, without fetching the class's table again.
//
// The caller puts the stored records (and the stored filtered-out records) into a control whose
// parameters are the new ones; re-processing reads the stored control to learn the filters and
// sort order the records were produced with, and filters and sorts again only as far as the
// differences need. Relative dates in the new filters ("today", "now-1DA") are taken against the
// stored time of production, so a report re-processed next week still means the day it was made.
//
// This lives beside the control and production code in spirit, but in its own source: the values
// and records source is large enough already.
//
// Thread safety: none beyond the runtime's. The report's current time in the calling context is
// changed to the stored time of production.
#pragma once

#include "reports/control.h"

// Re-filters and re-sorts the records of `control` for its (new) parameters. `control`'s table
// holds the stored records with the table's field list, and its filtered-out slot the stored
// filtered-out records (or nothing). `produced_name` is the stored report's produced report name,
// from which the stored control is read. `use_condition` 1 applies the condition filter now.
//
// 1 when the records now reflect the new parameters. 0 when the stored control cannot be read,
// its time cannot be made current, or a new filter or sort spec does not build; the record list
// may then already be recombined or partly re-filtered, and the report is not to be output.
int RepReProcessProducedReport(RepControl* control, const char* produced_name,
                               int use_condition) noexcept;
