// The RFC 4180 CSV writer of the command-line front end, for spreadsheets and database imports.
//
// The library's own CSV type (--type csv) writes what its format says, unquoted, with a comma
// after every header name; this one (--type rfc4180) writes output.csv as RFC 4180 asks: a header
// line of the field names without a trailing comma, one line per record ended by CR LF, and a
// field quoted (its quotes doubled) when it holds a comma, a quote or a line break. Values are
// plain: integers, 64-bit integers and data counts (bytes) in decimal, durations in seconds,
// booleans true/false, system times ISO 8601 in UTC (2026-12-06T18:37:27Z), dates 2026-12-06,
// times of day 18:37:27; other types as the report writers render them. An Unknown value is an
// empty field; N/A, Never and Unlimited are their state texts.
#pragma once

#include <cstdio>
#include <string>

#include "reports/fields.h"
#include "reports/reports.h"

namespace krreport {

// One field's text, quoted when it needs to be.
std::string CsvField(const std::string& text);

// One value's plain text (not yet quoted).
std::string CsvValue(const RepFieldDef* field, const RepFieldValue* value);

// Writes the header and every record of `table`, with the columns of `fields` (found in the
// table's fields by name; a field named twice is written once). 1, or 0 when a write fails.
int WriteRfc4180(std::FILE* out, const RepTable* table, const RepFieldList* fields);

}  // namespace krreport
