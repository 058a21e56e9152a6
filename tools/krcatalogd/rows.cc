// Rows to records.

#include "rows.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kr/text.h"
#include "reports/fields.h"

namespace catalog {

bool ReadAsFor(int32_t type, ReadAs* as) {
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
    case kRepTypeInt64:
    case kRepTypeDataCount:
    case kRepTypeBoolean:
    case kRepTypeDate:
    case kRepTypeTime:
      *as = ReadAs::kInt;
      return true;
    case kRepTypeString:
    case kRepTypeDaysInWeek:
    case kRepTypeHdwmyCount:
      *as = ReadAs::kText;
      return true;
    default:
      return false;
  }
}

namespace {

// The local date or time of day of a time column.
bool SetDateOrTime(Obj* obj, int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  auto* date = ObjCast<RepDateValue>(obj);
  auto* tod = ObjCast<RepTimeValue>(obj);
  if (localtime_r(&t, &tm) == nullptr || (date == nullptr && tod == nullptr)) return false;
  if (date != nullptr) {
    date->set_year(tm.tm_year + 1900);
    date->set_month(tm.tm_mon + 1);
    date->set_day(tm.tm_mday);
  } else {
    tod->set_hour(tm.tm_hour);
    tod->set_minute(tm.tm_min);
    tod->set_second(tm.tm_sec);
  }
  return true;
}

// Seven 0/1 characters, Monday first.
bool SetDaysInWeek(Obj* obj, const char* text) {
  auto* days = ObjCast<RepDaysInWeekValue>(obj);
  if (days == nullptr) return false;
  for (size_t i = 0; i < RepDaysInWeekValue::kUsed; ++i) {
    days->days()[i] = (text[i] == '1') ? 1 : 0;
    if (text[i] == '\0') break;
  }
  return true;
}

// A count and a unit letter: 30d, 4w, 6m, 1y, 12h.
bool SetHdwmyCount(Obj* obj, const char* text) {
  auto* count = ObjCast<RepHdwmyCountValue>(obj);
  const size_t n = std::strlen(text);
  const char* units = "hdwmy";
  const char* unit = n > 1 ? std::strchr(units, text[n - 1]) : nullptr;
  if (count == nullptr || unit == nullptr) return false;
  count->set_unit(static_cast<int32_t>(unit - units));
  count->set_count(std::atoi(text));
  return true;
}

bool SetMappedText(Obj* obj, const char* text,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [stored, served] : values) {
    if (stored == text) return ObjSetString(obj, served.c_str()) == 1;
  }
  return false;
}

bool FillValue(Obj* obj, const ColumnRead& c, Rows* rows) {
  if (c.as == ReadAs::kInt) {
    const int64_t v = rows->Int(c.column);
    switch (c.type) {
      case kRepTypeInteger:
      case kRepTypeTimePassed:
      case kRepTypeSysTime:
        if (v < INT32_MIN || v > INT32_MAX) return false;
        return ObjSetInteger(obj, static_cast<int32_t>(v)) == 1;
      case kRepTypeInt64:
      case kRepTypeDataCount:
        return ObjSetInt64(obj, v) == 1;
      case kRepTypeBoolean:
        return ObjSetBoolean(obj, v != 0) == 1;
      case kRepTypeDate:
      case kRepTypeTime:
        return SetDateOrTime(obj, v);
      default:
        return false;
    }
  }
  const char* text = rows->Text(c.column);
  switch (c.type) {
    case kRepTypeString:
      return c.values != nullptr ? SetMappedText(obj, text, *c.values)
                                 : ObjSetString(obj, text) == 1;
    case kRepTypeDaysInWeek:
      return SetDaysInWeek(obj, text);
    case kRepTypeHdwmyCount:
      return SetHdwmyCount(obj, text);
    default:
      return false;
  }
}

}  // namespace

void FillRecord(RepRecord* record, const std::vector<ColumnRead>& plan, Rows* rows) {
  for (size_t i = 0; i < plan.size(); ++i) {
    RepFieldValue* value = record->value_at(i);
    if (value == nullptr) continue;
    const ColumnRead& c = plan[i];
    if (c.column < 0) {
      value->set_state(kRepStateUnknown);
    } else if (rows->IsNull(c.column)) {
      value->set_state(c.null_state);
    } else if (!FillValue(value->value(), c, rows)) {
      value->set_state(kRepStateUnknown);
    }
  }
}

}  // namespace catalog
