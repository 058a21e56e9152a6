// Rows to records: the one place where a catalog row becomes the values of a record, for every
// database and every mapping.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "reports/reports.h"
#include "reports/serializedrecords.h"
#include "source.h"

namespace catalog {

// How one record field is filled from the current row.
struct ColumnRead {
  int column = -1;  // the selected column, -1 for a field the mapping does not give (Unknown)
  ReadAs as = ReadAs::kInt;
  int32_t type = 0;  // the record field's type
  int32_t null_state = kRepStateUnknown;
  const std::vector<std::pair<std::string, std::string>>* values = nullptr;  // a value map
};

// How a field of this type is read, and whether it can be read at all.
bool ReadAsFor(int32_t type, ReadAs* as);

// Fills the blank record (one Normal value per field, in `plan` order) from the current row. A
// NULL gives the field's NULL state; a value that does not fit the field (a number beyond a
// 32-bit field, a text outside the value map, a malformed count) gives Unknown.
void FillRecord(RepRecord* record, const std::vector<ColumnRead>& plan, Rows* rows);

// The same values written straight to the stream, for a table served as serialized records:
// the writer gets exactly what FillRecord would set.
void WriteRecord(RepRecordWriter* writer, const std::vector<ColumnRead>& plan, Rows* rows);

// Breaks `seconds` down in local time as localtime_r does; a value of a day seen before is broken
// down from that day's midnight, without the C library. False when localtime_r fails.
bool LocalTime(int64_t seconds, std::tm* tm);

// Forgets the local days FillRecord keeps to break times down quickly: called as a fetch starts,
// so a change of zone between fetches is seen.
void ForgetLocalDay();

}  // namespace catalog
