#include "csv.h"

#include <string_view>
#include <vector>

#include "plainvalue.h"

namespace krreport {

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
  const PlainValue p = ToPlainValue(field, value);
  switch (p.kind) {
    case PlainValue::kNumber:
      return std::to_string(p.number);
    case PlainValue::kBoolean:
      return p.boolean ? "true" : "false";
    case PlainValue::kText:
      return p.text;
    case PlainValue::kAbsent:
      break;
  }
  return "";
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
