#include "jsonl.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "kr/text.h"
#include "reports/format.h"

namespace krreport {
namespace {

using json = nlohmann::ordered_json;

std::string IsoUtc(int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm) == nullptr) return std::to_string(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

json ValueToJson(const RepFieldDef* field, const RepFieldValue* value) {
  if (value == nullptr || value->state() == kRepStateUnknown) return nullptr;
  if (value->state() != kRepStateNormal) return RepStateToText(value->state());
  const Obj* v = value->value();
  char buf[32];
  switch (field->type()) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
      return ObjGetInteger(v);
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return ObjGetInt64(v);
    case kRepTypeBoolean:
      return ObjGetBoolean(v);
    case kRepTypeString: {
      const char* s = ObjGetString(v);
      return s != nullptr ? s : "";
    }
    case kRepTypeSysTime:
      return IsoUtc(ObjGetInteger(v));
    case kRepTypeDate:
      if (const auto* d = ObjCast<RepDateValue>(v)) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d->year(), d->month(), d->day());
        return buf;
      }
      return nullptr;
    case kRepTypeTime:
      if (const auto* t = ObjCast<RepTimeValue>(v)) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t->hour(), t->minute(), t->second());
        return buf;
      }
      return nullptr;
    default: {
      DString scratch;
      std::string_view text;
      if (RepTypedDataToText(&text, &scratch, field->type(), v) != 1) return nullptr;
      return std::string(text);
    }
  }
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
