// Summary rows: the column totals and averages that end a plain text or HTML report.
//
// Both rows are ordinary records, made for a *summary field list*: a deep copy of a field list in
// which every integer field has become a 64-bit integer, so that totals do not overflow. A column
// takes part when at least one of its values is Normal and held in an integer or 64-bit integer
// object (integer, timepassed, systime, int64, datacount); its total is the exact 64-bit sum of
// those values and its average the total divided by their count, truncated toward zero. Every
// other column stays N/A in both rows.
//
// Thread safety: none beyond the runtime's; objects belong to the calling thread.
#pragma once

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/reports.h"

// 1 and a new summary field list copied from `fields`; 0 (traced) when the copy fails, leaving
// *summary_fields as it was.
int RepMakeSummaryFields(Ref<List>* summary_fields, const RepFieldList* fields) noexcept;

// Computes the sum and average records of `table`'s records in one pass. `summary_fields` is the
// summary list of the table's field list. Each record is handed back (a new reference) only when
// it is wanted (`want_sum`, `want_average` 1) and its out-parameter is given; an empty table, or
// no row wanted, hands back nothing and leaves the out-parameters as they were. Every record is
// taken to have as many values as the first: missing values add nothing, extra ones are ignored.
// Always 1.
int RepCalculate(const RepTable* table, const RepFieldList* summary_fields, int want_sum,
                 int want_average, Ref<RepRecord>* sum_record,
                 Ref<RepRecord>* average_record) noexcept;
