// A report value as the interchange formats of the front end (JSON Lines, RFC 4180 CSV) write
// it: absent for an Unknown value; a number for integers, 64-bit integers, data counts (bytes)
// and durations (seconds); a boolean; or a text: system times ISO 8601 in UTC
// (2026-12-06T18:37:27Z), dates 2026-12-06, times of day 18:37:27, N/A, Never and Unlimited as
// their state texts, and other types as the report writers render them. The two writers differ
// only in how they spell each kind, so both read values through this one conversion.
#pragma once

#include <cstdint>
#include <string>

#include "reports/fields.h"
#include "reports/reports.h"

namespace krreport {

struct PlainValue {
  enum Kind { kAbsent, kNumber, kBoolean, kText } kind = kAbsent;
  int64_t number = 0;
  bool boolean = false;
  std::string text;
};

PlainValue ToPlainValue(const RepFieldDef* field, const RepFieldValue* value);

}  // namespace krreport
