#include "jsonl.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "plainvalue.h"

namespace krreport {
namespace {

using json = nlohmann::ordered_json;

json ValueToJson(const RepFieldDef* field, const RepFieldValue* value) {
  const PlainValue p = ToPlainValue(field, value);
  switch (p.kind) {
    case PlainValue::kNumber:
      return p.number;
    case PlainValue::kBoolean:
      return p.boolean;
    case PlainValue::kText:
      return p.text;
    case PlainValue::kAbsent:
      break;
  }
  return nullptr;
}

}  // namespace

std::string RecordToJson(const RepRecord* record, const RepFieldList* record_fields,
                         const RepFieldList* fields) {
  json object = json::object();
  for (Obj* item : *fields) {
    auto* field = ObjCast<RepFieldDef>(item);
    if (field == nullptr) continue;
    int32_t index = -1;
    const RepFieldValue* value = nullptr;
    if (RepGetFieldIndex(&index, field->name(), record_fields) && index >= 0) {
      value = record->value_at(static_cast<size_t>(index));
    }
    object[field->name()] = ValueToJson(field, value);
  }
  // Texts that are not valid UTF-8 are written with replacement characters rather than failing
  // the whole report.
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

int WriteJsonLines(std::FILE* out, const RepTable* table, const RepFieldList* fields) {
  const List* records = table != nullptr ? table->records() : nullptr;
  if (records == nullptr || table->fields() == nullptr || fields == nullptr) return 1;
  // Keep only the first mention of each field: a format may name a field twice.
  Ref<List> keys = ListNewFromPool();
  for (Obj* item : *fields) {
    auto* field = ObjCast<RepFieldDef>(item);
    if (field == nullptr) continue;
    Ref<RepFieldDef> seen;
    if (!RepFindFieldInList(&seen, field->name(), keys.get())) ListAddLastItem(keys.get(), item);
  }
  for (Obj* item : *records) {
    auto* record = ObjCast<RepRecord>(item);
    if (record == nullptr) continue;
    std::string line = RecordToJson(record, table->fields(), keys.get());
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return 0;
  }
  return std::fflush(out) == 0 ? 1 : 0;
}

}  // namespace krreport
