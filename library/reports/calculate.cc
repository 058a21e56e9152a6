// Summary rows: column totals and averages.

#include "reports/calculate.h"

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "kr/trace.h"

namespace {

constexpr const char* kTag = "RPTCALC";

// Stores a total or an average in a value of a summary record: whole in a 64-bit integer object,
// the low 32 bits in an integer object (timepassed and systime keep their integer form).
void StoreSummary(RepRecord* record, size_t column, int64_t v) {
  RepFieldValue* value = record->value_at(column);
  if (value == nullptr) return;
  value->set_state(kRepStateNormal);
  Obj* object = value->value();
  if (ObjGetMagic(object) == kObjInt64Type) {
    ObjSetInt64(object, v);
  } else if (ObjGetMagic(object) == kObjIntegerType) {
    ObjSetInteger(object, static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))));
  } else {
    value->set_value(ObjNewInt64(v));
  }
}

}  // namespace

int RepMakeSummaryFields(Ref<List>* summary_fields, const RepFieldList* fields) noexcept {
  if (summary_fields == nullptr) return 0;
  Ref<Obj> copy;
  Ref<List> list;
  if (fields != nullptr && ObjDuplicate(&copy, fields)) list = RefCast<List>(std::move(copy));
  if (!list) {
    TraceMessage(kTag, 1, 0, -1, "Failed to copy field list");
    return 0;
  }
  for (Obj* o : *list) {
    RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f == nullptr || f->type() != kRepTypeInteger) continue;
    TraceMessage(kTag, 2, 0, 2, "Promoting field '%s' to int64", f->name());
    f->set_type(kRepTypeInt64);
  }
  *summary_fields = std::move(list);
  return 1;
}

int RepCalculate(const RepTable* table, const RepFieldList* summary_fields, int want_sum,
                 int want_average, Ref<RepRecord>* sum_record,
                 Ref<RepRecord>* average_record) noexcept {
  const List* records = table != nullptr ? table->records() : nullptr;
  if (records == nullptr || records->empty()) {
    TraceMessage(kTag, 3, 0, 2, "No records to process!");
    return 1;
  }
  if (want_sum != 1 && want_average != 1) {
    TraceMessage(kTag, 4, 0, 2, "No SUM or AVERAGE required");
    return 1;
  }
  const RepRecord* first = ObjCast<RepRecord>(records->at(0));
  const size_t n = first != nullptr ? ListGetItemCount(first->values()) : 0;
  TraceMessage(kTag, 5, 0, 2, "Records have '%zu' fields", n);
  // Sums wrap in unsigned arithmetic: overflow past 64 bits is not checked, but never undefined.
  std::vector<uint64_t> totals(n, 0);
  std::vector<int64_t> counts(n, 0);
  std::vector<bool> has_total(n, false);

  for (Obj* o : *records) {
    const RepRecord* record = ObjCast<RepRecord>(o);
    const List* values = record != nullptr ? record->values() : nullptr;
    const size_t count = std::min(n, ListGetItemCount(values));
    for (size_t i = 0; i < count; ++i) {
      const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(i));
      if (v == nullptr) continue;
      if (TraceEnabled(3))
        TraceMessage(kTag, 6, 0, 3, "Field '%zu' Type '%s'", i, ObjNameFromObject(v->value()));
      if (v->state() != kRepStateNormal) continue;
      ++counts[i];
      const uint32_t magic = ObjGetMagic(v->value());
      if (magic == kObjIntegerType) {
        totals[i] += static_cast<uint64_t>(static_cast<int64_t>(ObjGetInteger(v->value())));
        has_total[i] = true;
      } else if (magic == kObjInt64Type) {
        totals[i] += static_cast<uint64_t>(ObjGetInt64(v->value()));
        has_total[i] = true;
      }
      TraceMessage(kTag, 7, 0, 3, "Total for field '%zu' is now %" PRId64, i,
                   static_cast<int64_t>(totals[i]));
    }
  }

  Ref<RepRecord> sum, average;
  if (want_sum == 1) {
    sum = RepMakeBlankRecord(summary_fields, kRepStateNA);
    for (size_t i = 0; sum && i < n; ++i) {
      if (!has_total[i]) continue;
      TraceMessage(kTag, 8, 0, 2, "Have total for field '%zu' = %" PRId64, i,
                   static_cast<int64_t>(totals[i]));
      StoreSummary(sum.get(), i, static_cast<int64_t>(totals[i]));
    }
  }
  if (want_average == 1) {
    TraceMessage(kTag, 9, 0, 2, "Want an AVERAGE row - have '%zu' records", records->size());
    average = RepMakeBlankRecord(summary_fields, kRepStateNA);
    for (size_t i = 0; average && i < n; ++i) {
      if (!has_total[i]) continue;
      TraceMessage(kTag, 10, 0, 2, "Field number '%zu'", i);
      const int64_t mean = static_cast<int64_t>(totals[i]) / counts[i];  // truncates toward 0
      TraceMessage(kTag, 11, 0, 2, "Have average for field '%zu' = %" PRId64, i, mean);
      StoreSummary(average.get(), i, mean);
    }
  }
  if (sum && sum_record != nullptr) *sum_record = std::move(sum);
  if (average && average_record != nullptr) *average_record = std::move(average);
  return 1;
}
