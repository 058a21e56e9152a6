#include "csv.h"

#include <ctime>
#include <string_view>
#include <vector>

#include "kr/text.h"
#include "reports/format.h"

namespace krreport {
namespace {

std::string IsoUtc(int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm) == nullptr) return std::to_string(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string CsvValue(const RepFieldDef* field, const RepFieldValue* value) {
  if (value == nullptr || value->state() == kRepStateUnknown) return "";
  if (value->state() != kRepStateNormal) return RepStateToText(value->state());
  const Obj* v = value->value();
  char buf[32];
  switch (field->type()) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
      return std::to_string(ObjGetInteger(v));
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return std::to_string(ObjGetInt64(v));
    case kRepTypeBoolean:
      return ObjGetBoolean(v) ? "true" : "false";
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
      return "";
    case kRepTypeTime:
      if (const auto* t = ObjCast<RepTimeValue>(v)) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t->hour(), t->minute(), t->second());
        return buf;
      }
      return "";
    default: {
      DString scratch;
      std::string_view text;
      if (RepTypedDataToText(&text, &scratch, field->type(), v) != 1) return "";
      return std::string(text);
    }
  }
}

int WriteRfc4180(std::FILE* out, const RepTable* table, const RepFieldList* fields) {
  if (table == nullptr || table->fields() == nullptr || fields == nullptr) return 0;
  // The columns: each field once, with its position in the records.
  std::vector<std::pair<const RepFieldDef*, int32_t>> columns;
  for (Obj* item : *fields) {
    auto* field = ObjCast<RepFieldDef>(item);
    int32_t index = -1;
    if (field == nullptr || !RepGetFieldIndex(&index, field->name(), table->fields())) continue;
    bool seen = false;
    for (const auto& c : columns) seen |= c.second == index;
    if (!seen) columns.emplace_back(field, index);
  }
  std::string line;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) line += ',';
    line += CsvField(columns[i].first->name());
  }
  line += "\r\n";
  if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return 0;
  if (table->records() != nullptr) {
    for (Obj* item : *table->records()) {
      auto* record = ObjCast<RepRecord>(item);
      if (record == nullptr) continue;
      line.clear();
      for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) line += ',';
        line += CsvField(
            CsvValue(columns[i].first, record->value_at(static_cast<size_t>(columns[i].second))));
      }
      line += "\r\n";
      if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return 0;
    }
  }
  return std::fflush(out) == 0 ? 1 : 0;
}

}  // namespace krreport
