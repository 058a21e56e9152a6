// The JSON Lines writer of the command-line front end: one JSON object per record, for
// monitoring tools that read JSON rather than fixed-width text.
//
// Keys are the field names, in the order of `fields`. Numbers (integer, int64, data count in
// bytes, time passed in seconds) are JSON numbers, booleans JSON booleans, system times ISO 8601
// texts in UTC (2026-12-06T18:37:27Z), dates 2026-12-06 and times of day 18:37:27. Other types
// are written as the report writers render them. A value whose state is Unknown is null; one in
// any other state but Normal (N/A, Never, Unlimited) is its state text.
#pragma once

#include <cstdio>
#include <string>

#include "reports/fields.h"
#include "reports/reports.h"

namespace krreport {

// One record as one JSON object (no line feed).
std::string RecordToJson(const RepRecord* record, const RepFieldList* record_fields,
                         const RepFieldList* fields);

// Writes every record of `table`, keyed by `fields` (a subset of the table's fields, found by
// name). 1, or 0 when a write fails.
int WriteJsonLines(std::FILE* out, const RepTable* table, const RepFieldList* fields);

}  // namespace krreport
